#include <memory>
#include <thread>

#include "storage_support.h"

// dbConcurrentUpdate: every transaction holds the mutator section, so the
// changes of two threads never interleave; commits still switch the root.
TEST(AccessModes, ConcurrentUpdateSerialisesTheMutatorsOfSeveralThreads) {
  ScratchFolder folder;
  const std::string path = folder.file("modes.fdb");
  oid_t table;
  {
    TestDatabase db(dbDatabase::dbConcurrentUpdate, 1048576, 4194304, 65536, 1);
    ASSERT_TRUE(db.open("modes", path.c_str()));
    table = createRawTable(db, "Raw");
    db.commit();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
      threads.emplace_back([&db, table, t] {
        db.attach();
        for (int i = 0; i < 50; i++) {
          addRawRow(db, table, std::to_string(t) + "a");
          addRawRow(db, table, std::to_string(t) + "b");
          db.commit();
        }
        db.detach();
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_SOUND(db);
    db.close();
  }
  EXPECT_FILE_SOUND(path);
  TestDatabase reader(dbDatabase::dbConcurrentRead, 1048576, 4194304, 65536, 1);
  ASSERT_TRUE(reader.open("modes", path.c_str()));
  std::vector<std::string> rows = rawRows(reader, table);
  ASSERT_EQ(rows.size(), 200u);
  for (size_t i = 0; i < rows.size(); i += 2) {
    EXPECT_EQ(rows[i][0], rows[i + 1][0]) << i;  // each pair came from one transaction
    EXPECT_EQ(rows[i][1], 'a');
  }
  reader.commit();
}

TEST(AccessModes, ReadOnlyDatabaseEndsTheProcessOnAChange) {
  ScratchFolder folder;
  const std::string path = folder.file("ro.fdb");
  {
    TestDatabase db(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
    ASSERT_TRUE(db.open("ro", path.c_str()));
    db.close();
  }
  EXPECT_EXIT(
      {
        TestDatabase db(dbDatabase::dbReadOnly, 1048576, 4194304, 65536, 1);
        if (!db.open("ro", path.c_str())) std::_Exit(1);
        db.beginTransaction(dbDatabase::dbSharedLock);  // the exclusive lock is refused outright
        db.allocateId();
      },
      ::testing::ExitedWithCode(3), "Attempt to modify readonly database");
  EXPECT_FILE_SOUND(path);
}
