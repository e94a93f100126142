// Selects over a small table, the same rows stored three times: without an
// index (scan and sort), with hash tables and with T-trees. Every path must
// select the same rows, in the requested order.
#include <algorithm>
#include <functional>
#include <map>

#include "cursor_support.h"

namespace {

const std::vector<RowValues> kRows = {
    {5, 1, 0.5f, 0.25, "apple", -1},
    {3, -2, 0.1f, 0.75, "apricot", 0},
    {8, 100, 2.5f, 0.5, "banana", 0},
    {5, 7, 0.1f, 1.5, "a\xFF", 1},
    {-1, -128, -3.0f, -0.5, "a\xFF\xFF\xFF\xFFz", 2},
    {12, 127, 0.0f, 0.0, "\xA4\xA4\xA4\xE5", 3},  // Big5: sorts after ASCII
    {3, 0, -0.0f, 2.0, "a\xFF" "b", -1},
    {0, 5, 1.0f, 0.25, "apple", 6},
};

struct SetCase {
  const char* condition;
  std::vector<int> rows;  // in any order
};

class SelectTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    scannedIds = insertRows<ScannedRow>(kRows);
    insertRows<HashedRow>(kRows);
    insertRows<TreeRow>(kRows);
  }
  // The rows a condition selects from each table, sorted.
  std::map<std::string, std::vector<int>> selectEverywhere(const char* condition) {
    std::map<std::string, std::vector<int>> found = {{"scan", selectRows<ScannedRow>(condition)},
                                                     {"hash", selectRows<HashedRow>(condition)},
                                                     {"tree", selectRows<TreeRow>(condition)}};
    for (auto& [table, rows] : found) std::sort(rows.begin(), rows.end());
    return found;
  }
  std::vector<oid_t> scannedIds;
};

TEST_F(SelectTest, EveryPathSelectsTheRowsTheConditionDescribes) {
  const SetCase cases[] = {
      {"num = 5", {0, 3}},
      {"num > 5", {2, 5}},
      {"num >= 5", {0, 2, 3, 5}},
      {"num < 3", {4, 7}},
      {"num <= 3", {1, 4, 6, 7}},
      {"num between 3 and 5", {0, 1, 3, 6}},
      {"num = 5 and r8 > 0.5", {3}},
      {"r8 > 0.5 and num = 5", {3}},
      {"num <> 5 and num < 4", {1, 4, 6, 7}},
      // Keys the one-byte field cannot hold select what the comparison says.
      {"tiny = 300", {}},
      {"tiny = -300", {}},
      {"tiny < 200", {0, 1, 2, 3, 4, 5, 6, 7}},
      {"tiny > -200", {0, 1, 2, 3, 4, 5, 6, 7}},
      {"tiny >= 128", {}},
      {"tiny = -128", {4}},
      // A float field against a double: 0.1f is not 0.1, and lies above it.
      {"r4 = 0.1", {}},
      {"r4 < 0.1", {4, 5, 6}},
      {"r4 > 0.1", {0, 1, 2, 3, 7}},
      {"r4 <= 0.1", {4, 5, 6}},
      {"r4 = 0.0", {5, 6}},  // +0 and -0
      {"r8 = 0.0", {5}},
      {"r8 between 0.25 and 0.75", {0, 1, 2, 7}},
      {"name = 'apple'", {0, 7}},
      {"name > 'b'", {2, 5}},
      {"name like 'ap%'", {0, 1, 7}},
      {"name like 'a\xFF%'", {3, 4, 6}},
      {"name like 'a\xFF%z'", {4}},
      {"name like '%an%'", {2}},
      {"name like '%'", {0, 1, 2, 3, 4, 5, 6, 7}},
      {"name like 'appl_'", {0, 7}},
      {"name like 'apple'", {0, 7}},
      {"name like 'a\xFF_' and num = 3", {6}},
      {"num = 3 or num = 5 or name = 'apple'", {0, 1, 3, 6, 7}},
      {"num = 12 or r8 > 1.0", {3, 5, 6}},
      {"r8 > 1.0 or num = 12", {3, 5, 6}},
      {"not num = 5", {1, 2, 4, 5, 6, 7}},
  };
  for (const SetCase& c : cases) {
    for (const auto& [table, rows] : selectEverywhere(c.condition)) {
      EXPECT_EQ(rows, c.rows) << c.condition << " on the " << table << " table";
    }
  }
  EXPECT_EQ(db.errors.size(), 0u);
}

// Orders are compared by key: rows with equal keys may come in any order.
struct OrderCase {
  const char* condition;
  std::function<bool(const RowValues&, const RowValues&)> before;  // strictly
};

TEST_F(SelectTest, OrderedSelectsFollowTheKeysOnEveryPath) {
  auto byNum = [](const RowValues& a, const RowValues& b) { return a.num < b.num; };
  auto byName = [](const RowValues& a, const RowValues& b) { return a.name < b.name; };
  auto byR8 = [](const RowValues& a, const RowValues& b) { return a.r8 < b.r8; };
  auto desc = [](auto f) { return [f](const RowValues& a, const RowValues& b) { return f(b, a); }; };
  const OrderCase cases[] = {
      {"order by num", byNum},
      {"order by num desc", desc(byNum)},
      {"order by name desc", desc(byName)},
      {"num > 0 order by name", byName},
      {"name like 'a%' order by name desc", desc(byName)},
      {"num = 3 or num = 5 order by r8", byR8},
      {"num = 3 or num = 5 order by num desc", desc(byNum)},
      {"num = 3 or r8 > 1.0 order by num", byNum},
      // What an index answers of an OR comes before an ordered walk for the rest.
      {"num = 12 or name like '%b%' order by num", byNum},
      {"num >= 3 order by r8 desc", desc(byR8)},
      {"num between 0 and 8 order by num", byNum},
  };
  for (const OrderCase& c : cases) {
    const std::vector<int> scanned = selectRows<ScannedRow>(c.condition);
    const std::map<std::string, std::vector<int>> found = {
        {"scan", scanned}, {"hash", selectRows<HashedRow>(c.condition)}, {"tree", selectRows<TreeRow>(c.condition)}};
    std::vector<int> expected = scanned;
    std::sort(expected.begin(), expected.end());
    for (const auto& [table, rows] : found) {
      for (size_t i = 1; i < rows.size(); i++) {
        EXPECT_FALSE(c.before(kRows[rows[i]], kRows[rows[i - 1]]))
            << c.condition << " on the " << table << " table: row " << rows[i] << " after row " << rows[i - 1];
      }
      std::vector<int> sorted = rows;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, expected) << c.condition << " on the " << table << " table";
    }
  }
}

TEST_F(SelectTest, FieldsReachedThroughReferencesUseTheIndicesOfBothTables) {
  // Through the index of the referenced field and of the reference itself.
  std::vector<int> hashRows = selectRows<HashedRow>("link.name = 'apple'");
  std::sort(hashRows.begin(), hashRows.end());
  EXPECT_EQ(hashRows, (std::vector<int>{1, 2}));
  std::vector<int> treeRows = selectRows<TreeRow>("link.name like 'ap%'");
  std::sort(treeRows.begin(), treeRows.end());
  EXPECT_EQ(treeRows, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(db.errors.size(), 0u);
  // The scan follows the null reference of the first row and stops there.
  EXPECT_EQ(selectRows<ScannedRow>("link.name = 'apple'"), std::vector<int>{});
  EXPECT_EQ(db.errors, (std::vector<CursorTestDatabase::Error>{{ErrNullReference, ""}}));
}

TEST_F(SelectTest, RunTimeErrorsEndTheSelectEmptyAndTheNextOneRuns) {
  const struct {
    const char* condition;
    int errorClass;
    const char* message;
  } cases[] = {
      {"num / (num - num) = 1", ErrArithmetic, "Division by zero"},
      {"0 ^ (num - 10) = 1", ErrArithmetic, "Raise zero to negative power"},
      {"num = 12 or link.num = 1", ErrNullReference, ""},
  };
  for (const auto& c : cases) {
    db.errors.clear();
    tavroCursor<ScannedRow> cursor;
    EXPECT_EQ(cursor.select(c.condition), 0u) << c.condition;
    EXPECT_EQ(cursor.currentId().getOid(), 0u);
    EXPECT_EQ(cursor.nextAndFetch(), nullptr);
    EXPECT_EQ(db.errors, (std::vector<CursorTestDatabase::Error>{{c.errorClass, c.message}})) << c.condition;
    EXPECT_EQ(selectRows<ScannedRow>("num = 5"), (std::vector<int>{0, 3}));
  }
}

TEST_F(SelectTest, QueryThatDoesNotCompileSelectsNothing) {
  tavroCursor<TreeRow> cursor;
  EXPECT_EQ(cursor.select("nosuch = 1"), 0u);
  ASSERT_EQ(db.errors.size(), 1u);
  EXPECT_EQ(db.errors[0].errorClass, ErrQuery);
}

TEST_F(SelectTest, StartFromFollowsReferencesAndTestsEachRecordOnce) {
  EXPECT_EQ(selectRows<ScannedRow>("start from last follow by link"), (std::vector<int>{7, 6}));
  dbReference<ScannedRow> root(scannedIds[5]);
  dbQuery q;
  q = "start from", root, "follow by link";
  tavroCursor<ScannedRow> cursor;
  std::vector<int> rows;
  for (ScannedRow* r = cursor.select(q) ? cursor.get() : nullptr; r != nullptr; r = cursor.nextAndFetch()) {
    rows.push_back(r->row);
  }
  EXPECT_EQ(rows, (std::vector<int>{5, 3, 1, 0}));
  // Records that fail the condition are still followed.
  q = "num <> 5 start from", root, "follow by link order by num";
  rows.clear();
  for (ScannedRow* r = cursor.select(q) ? cursor.get() : nullptr; r != nullptr; r = cursor.nextAndFetch()) {
    rows.push_back(r->row);
  }
  EXPECT_EQ(rows, (std::vector<int>{1, 5}));
}

TEST_F(SelectTest, CurrentEqualsReferenceSelectsThatRecordOnly) {
  dbReference<ScannedRow> target(scannedIds[4]);
  dbQuery q;
  q = "current = ", target;
  tavroCursor<ScannedRow> cursor;
  ASSERT_EQ(cursor.select(q), 1u);
  EXPECT_EQ(cursor.get()->row, 4);
  target = dbReference<ScannedRow>(0);
  EXPECT_EQ(cursor.select(q), 0u);
}

TEST_F(SelectTest, IndicesFollowUpdatesAndRemovals) {
  tavroCursor<TreeRow> trees(dbCursorForUpdate);
  ASSERT_EQ(trees.select("name = 'banana'"), 1u);
  trees.get()->name = "cherry";
  trees.get()->num = 40;
  trees.update();
  ASSERT_EQ(trees.select("num = 5 and r8 > 1.0"), 1u);
  trees.remove();
  db.commit();
  tavroCursor<HashedRow> hashes(dbCursorForUpdate);
  ASSERT_EQ(hashes.select("name = 'apple'"), 2u);
  hashes.get()->name = "cherry";
  hashes.update();
  hashes.removeAllSelected();
  db.commit();
  EXPECT_EQ(selectRows<TreeRow>("name = 'cherry'"), (std::vector<int>{2}));
  EXPECT_EQ(selectRows<TreeRow>("num >= 5"), (std::vector<int>{0, 5, 2}));
  EXPECT_EQ(selectRows<HashedRow>("name = 'cherry'"), std::vector<int>{});
  EXPECT_EQ(selectRows<HashedRow>("name = 'apple'"), std::vector<int>{});
  EXPECT_EQ(selectRows<HashedRow>("num = 5"), (std::vector<int>{3}));
}

TEST_F(SelectTest, RemovingAllRecordsEmptiesTheIndices) {
  tavroCursor<TreeRow> trees(dbCursorForUpdate);
  ASSERT_EQ(trees.select(), kRows.size());
  trees.removeAllSelected();
  tavroCursor<HashedRow> hashes(dbCursorForUpdate);
  hashes.select();
  hashes.removeAllSelected();
  db.commit();
  insertRows<TreeRow>({kRows[2]});
  insertRows<HashedRow>({kRows[2]});
  EXPECT_EQ(selectRows<TreeRow>("num > 0"), (std::vector<int>{0}));
  EXPECT_EQ(selectRows<HashedRow>("name = 'banana'"), (std::vector<int>{0}));
  EXPECT_EQ(selectRows<HashedRow>("name = 'apple'"), std::vector<int>{});
}

}  // namespace
