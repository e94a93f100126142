// Conditions evaluated over records of an open database: references followed
// from record to record, `first`, `last` and `current`.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "evaluate.h"
#include "query_support.h"

namespace {

class StoredRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-query-XXXXXX").string();
    folder = mkdtemp(pattern.data());
    ASSERT_TRUE(db.open("query", (folder / "query.fdb").c_str()));
    bossId = db.insert(Owner{0, "Boss", 0}).getOid();
    leeId = db.insert(Owner{0, "Lee", bossId}).getOid();
    Item first{};
    first.id = "1";
    first.name = "first";
    first.owner = leeId;
    firstId = db.insert(first).getOid();
    Item second{};
    second.id = "2";
    second.name = "second";
    second.parent = firstId;
    secondId = db.insert(second).getOid();
  }

  void TearDown() override {
    db.close();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // Whether record `id` of Item passes `text`; "error N" after a run-time error.
  std::string test(const char* text, oid_t id) {
    dbQuery q(text);
    if (!compiler.compile(&Item::dbDescriptor, q)) return "does not compile";
    const auto* table = reinterpret_cast<const dbTable*>(db.getRow(Item::dbDescriptor.tableId));
    try {
      return dbTestRecord(&db, q.tree, id, table) ? "true" : "false";
    } catch (const dbEvaluationError& e) {
      return "error " + std::to_string(e.errorClass);
    }
  }

  std::filesystem::path folder;
  RecordingDatabase db{dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1};
  dbQueryCompiler compiler{&db};
  oid_t bossId = 0, leeId = 0, firstId = 0, secondId = 0;
};

TEST_F(StoredRecordsTest, ReferencesAreFollowedToTheRecordsTheyName) {
  EXPECT_EQ(test("owner.name = 'Lee' and owner.boss.name = 'Boss'", firstId), "true");
  EXPECT_EQ(test("owner.boss.boss = null", firstId), "true");
  EXPECT_EQ(test("parent.owner.name = 'Lee'", secondId), "true");
  EXPECT_EQ(test("owner != null and owner.name = 'Lee'", secondId), "false");
}

TEST_F(StoredRecordsTest, FirstLastAndCurrentNameRecordsOfTheTable) {
  EXPECT_EQ(test("first.name = 'first' and last.name = 'second'", secondId), "true");
  EXPECT_EQ(test("current = first and current <> last", firstId), "true");
  EXPECT_EQ(test("parent = first and last = current", secondId), "true");
}

TEST_F(StoredRecordsTest, FollowingANullOrVanishedReferenceIsAnError) {
  EXPECT_EQ(test("parent.name = 'x'", firstId), "error 8");
  ASSERT_FALSE(db.reports.empty());
  EXPECT_EQ(db.reports.back().errorClass, ErrNullReference);
  // The owner is removed while the item still names it.
  db.removeRecord(&Owner::dbDescriptor, leeId);
  EXPECT_EQ(test("owner.name = 'Lee'", firstId), "error 8");
}

}  // namespace
