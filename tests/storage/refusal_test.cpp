#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "storage_support.h"

namespace {

dbHeader& headerOf(std::vector<char>& file) { return *reinterpret_cast<dbHeader*>(file.data()); }

class RefusalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = folder.file("refuse.fdb");
    std::unique_ptr<TestDatabase> db(makeProgramDatabase());
    ASSERT_TRUE(db->open("refuse", path.c_str()));
    table = createRawTable(*db, "Raw");
    kept = addRawRow(*db, table, "kept");
    db->commit();
    db->close();
    reportedErrors().clear();
  }

  // Opens the file with the program's parameters (or `type`); the messages
  // reported go to reportedErrors().
  bool open(dbDatabase::dbAccessType type = dbDatabase::dbAllAccess) {
    db.reset(new TestDatabase(type, 1048576, 4194304, 65536, 1));
    db->errorHandler = recordError;
    return db->open("refuse", path.c_str());
  }

  ScratchFolder folder;
  std::string path;
  std::unique_ptr<TestDatabase> db;
  oid_t table = 0;
  oid_t kept = 0;
};

}  // namespace

TEST_F(RefusalTest, DamagedOrForeignFilesAreRefusedAndLeftAsTheyWere) {
  struct Case {
    const char* what;
    std::function<void(std::vector<char>&)> damage;
    const char* message;
  };
  const char* outside = "Database file was corrupted: object index points outside the file";
  const Case cases[] = {
      {"root index 2", [](std::vector<char>& f) { headerOf(f).currentRoot = 2; },
       "Database file was corrupted: invalid root index"},
      {"clean file grown", [](std::vector<char>& f) { f.resize(f.size() + 4096); },
       "Database file was corrupted: file size in header differs from actual file size"},
      {"clean file cut", [](std::vector<char>& f) { f.resize(f.size() - 4096); },
       "Database file was corrupted: file size in header differs from actual file size"},
      {"foreign text", [](std::vector<char>& f) { f.assign(5000, 'x'); },
       "Database file was corrupted: unknown file format"},
      {"committed index beyond the end",
       [](std::vector<char>& f) { headerOf(f).root[headerOf(f).currentRoot].indexOffset = 0xFFFF0000u; }, outside},
      {"dirty file whose shadow index lies beyond the end",
       [](std::vector<char>& f) {
         headerOf(f).dirty = 1;
         headerOf(f).root[headerOf(f).currentRoot].shadowIndexOffset = static_cast<offs_t>(f.size() - 16);
       },
       outside},
      {"ids used beyond the index capacity",
       [](std::vector<char>& f) { headerOf(f).root[headerOf(f).currentRoot].indexUsed = 0x7FFFFFFF; }, outside},
      {"Metatable entry beyond the end",
       [](std::vector<char>& f) {
         offs_t* index = reinterpret_cast<offs_t*>(f.data() + headerOf(f).root[headerOf(f).currentRoot].indexOffset);
         index[MetatableId] = static_cast<offs_t>(f.size() - 16);
       },
       outside},
  };
  const std::vector<char> original = readFile(path);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> damaged = original;
    c.damage(damaged);
    writeFile(path, damaged);
    reportedErrors().clear();
    EXPECT_FALSE(open());
    EXPECT_EQ(reportedErrors(), std::vector<std::string>{c.message});
    EXPECT_EQ(readFile(path), damaged);
  }
}

TEST_F(RefusalTest, ReadOnlyModesRefuseDirtyAndMissingFiles) {
  std::vector<char> file = readFile(path);
  headerOf(file).dirty = 1;
  writeFile(path, file);
  EXPECT_FALSE(open(dbDatabase::dbReadOnly));
  EXPECT_FALSE(open(dbDatabase::dbConcurrentRead));
  EXPECT_EQ(reportedErrors(), std::vector<std::string>(2, "Can not open dirty file in read only moode"));

  reportedErrors().clear();
  path = folder.file("missing.fdb");
  EXPECT_FALSE(open(dbDatabase::dbReadOnly));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(RefusalTest, ReadOnlyOpenOfACleanFileReadsItWithoutChangingIt) {
  const std::vector<char> before = readFile(path);
  ASSERT_TRUE(open(dbDatabase::dbReadOnly));
  EXPECT_EQ(rawRows(*db, table), std::vector<std::string>{"kept"});
  db->commit();
  db->close();
  EXPECT_EQ(readFile(path), before);
}

TEST_F(RefusalTest, FileLeftDirtyInTheMiddleOfATransactionOpensWithTheLastCommit) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TestDatabase crashing(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
    if (!crashing.open("refuse", path.c_str())) _exit(1);
    addRawRow(crashing, table, "committed");
    crashing.commit();
    addRawRow(crashing, table, "lost");  // links the committed last row to it in place
    crashing.writableRecord(kept)[sizeof(dbRecord)] = 'K';
    _exit(0);  // no commit, no close: the mapping's pages stay in the file
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<char> file = readFile(path);
  ASSERT_EQ(headerOf(file).dirty, 1);
  EXPECT_FILE_SOUND(path);  // the committed state is whole even before the repair

  ASSERT_TRUE(open());
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"kept", "committed"}));
  db->commit();
  EXPECT_SOUND(*db);
  addRawRow(*db, table, "after");
  db->commit();
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"kept", "committed", "after"}));
  db->close();
  EXPECT_FILE_SOUND(path);
}

TEST(IntegrityCheck, NamesEachKindOfDamage) {
  ScratchFolder folder;
  const std::string path = folder.file("check.fdb");
  oid_t table, row;
  {
    std::unique_ptr<TestDatabase> db(makeProgramDatabase());
    ASSERT_TRUE(db->open("check", path.c_str()));
    table = createRawTable(*db, "Raw");
    addRawRow(*db, table, "one");
    row = addRawRow(*db, table, "two");
    db->commit();
    db->close();
  }
  const std::vector<char> original = readFile(path);
  const dbHeader& h = *reinterpret_cast<const dbHeader*>(original.data());
  auto indexOf = [&](std::vector<char>& f) {
    return reinterpret_cast<offs_t*>(f.data() + h.root[h.currentRoot].indexOffset);
  };
  // The bitmap byte that holds the bit of file offset `pos`.
  auto bitmapByte = [&](std::vector<char>& f, size_t pos) -> db_byte& {
    offs_t page = indexOf(f)[FirstBitmapId + pos / dbBitmapSegmentSize] & ~dbInternalObjectMarker;
    return reinterpret_cast<db_byte*>(f.data() + page)[pos % dbBitmapSegmentSize / 128];
  };
  auto recordOf = [&](std::vector<char>& f, oid_t id) { return reinterpret_cast<dbTable*>(f.data() + indexOf(f)[id]); };
  struct Case {
    const char* what;
    std::function<void(std::vector<char>&)> damage;
    const char* expected;  // a piece of the first fault
  };
  const Case cases[] = {
      {"a used quantum cleared in the bitmap",
       [&](std::vector<char>& f) { bitmapByte(f, indexOf(f)[row]) &= ~(1 << ((indexOf(f)[row] / 16) % 8)); },
       "space unmarked"},
      {"a free quantum marked used", [&](std::vector<char>& f) { bitmapByte(f, f.size() - 16) |= 0x80; }, "space leaked"},
      {"two ids at one offset",
       [&](std::vector<char>& f) { indexOf(f)[row] = indexOf(f)[row - 1]; }, "overlaps another object"},
      {"row count off by one", [&](std::vector<char>& f) { recordOf(f, table)->nRows += 1; }, "nRows is 3"},
      {"table name without its end", [&](std::vector<char>& f) { recordOf(f, table)->name.size = 400; },
       "name lies outside"},
  };
  EXPECT_EQ(dbCheckImage(reinterpret_cast<const db_byte*>(original.data()), original.size()), std::vector<std::string>{});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> damaged = original;
    c.damage(damaged);
    std::vector<std::string> faults = dbCheckImage(reinterpret_cast<const db_byte*>(damaged.data()), damaged.size());
    ASSERT_FALSE(faults.empty());
    EXPECT_NE(faults.front().find(c.expected), std::string::npos) << faults.front();
  }
}
