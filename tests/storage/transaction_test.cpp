#include <atomic>
#include <memory>
#include <thread>

#include "storage_support.h"

namespace {

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = folder.file("tx.fdb");
    db.reset(makeProgramDatabase());
    ASSERT_TRUE(db->open("tx", path.c_str()));
    table = createRawTable(*db, "Raw");
    db->commit();
  }

  ScratchFolder folder;
  std::string path;
  std::unique_ptr<TestDatabase> db;
  oid_t table = 0;
};

struct Pair {
  int a;
  int b;
};

}  // namespace

TEST_F(TransactionTest, CommitWithoutChangesLeavesTheFileUntouched) {
  addRawRow(*db, table, "row");
  db->commit();
  const std::vector<char> before = readFile(path);
  db->lock();
  rawRows(*db, table);
  db->commit();
  db->beginTransaction(dbDatabase::dbSharedLock);
  db->commit();
  db->rollback();
  EXPECT_EQ(readFile(path), before);
}

TEST_F(TransactionTest, RollbackRestoresRowsAndFreesWhatTheTransactionAllocated) {
  oid_t a = addRawRow(*db, table, "a");
  oid_t b = addRawRow(*db, table, "b");
  oid_t c = addRawRow(*db, table, "c");
  db->commit();

  db->lock();
  oid_t d = addRawRow(*db, table, std::string(5000, 'd'));
  const offs_t dPos = db->getPos(d);
  addRawRow(*db, table, "e");
  db->writableRecord(b)[sizeof(dbRecord)] = 'B';
  db->removeRow(table, c);
  db->removeRow(table, a);
  db->rollback();

  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"a", "b", "c"}));
  db->commit();
  // The same id and the same space come back: nothing of the lost
  // transaction stays allocated.
  EXPECT_EQ(addRawRow(*db, table, std::string(5000, 'f')), d);
  EXPECT_EQ(db->getPos(d), dPos);
  db->commit();
  EXPECT_SOUND(*db);
  db->close();
  EXPECT_FILE_SOUND(path);
}

TEST_F(TransactionTest, ReadersNeverSeeAHalfDoneTransactionOfTheWriter) {
  Pair zero{0, 0};
  oid_t row = addRawRow(*db, table, std::string(reinterpret_cast<const char*>(&zero), sizeof zero));
  db->commit();
  constexpr int kWrites = 200;
  constexpr int kReads = 300;
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    db->attach();
    for (int i = 0; i < kWrites; i++) {
      db->lock();
      auto* pair = reinterpret_cast<Pair*>(db->writableRecord(row) + sizeof(dbRecord));
      pair->a += 1;
      std::this_thread::yield();
      pair = reinterpret_cast<Pair*>(db->writableRecord(row) + sizeof(dbRecord));
      pair->b += 1;
      db->commit();
    }
    db->detach();
  });
  for (int r = 0; r < 3; r++) {
    threads.emplace_back([&] {
      db->attach();
      for (int i = 0; i < kReads; i++) {
        db->beginTransaction(dbDatabase::dbSharedLock);
        Pair pair;
        std::memcpy(&pair, db->getRow(row) + sizeof(dbRecord), sizeof pair);
        if (pair.a != pair.b) torn++;
        db->commit();
      }
      db->detach();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  db->beginTransaction(dbDatabase::dbSharedLock);
  Pair last;
  std::memcpy(&last, db->getRow(row) + sizeof(dbRecord), sizeof last);
  EXPECT_EQ(last.a, kWrites);
  EXPECT_EQ(last.b, kWrites);
  db->commit();
  EXPECT_SOUND(*db);
}

TEST_F(TransactionTest, AWaitingWriterGoesBeforeNewReaders) {
  db->beginTransaction(dbDatabase::dbSharedLock);  // this thread reads
  std::atomic<bool> writerDone{false};
  std::thread writer([&] {
    db->attach();
    db->lock();
    writerDone = true;
    db->commit();
    db->detach();
  });
  while (db->monitor.nWaitWriters == 0) std::this_thread::yield();
  std::atomic<bool> readerStarted{false};
  std::thread reader([&] {
    db->attach();
    db->beginTransaction(dbDatabase::dbSharedLock);
    readerStarted = true;
    EXPECT_TRUE(writerDone.load());
    db->commit();
    db->detach();
  });
  while (db->monitor.nWaitReaders == 0) std::this_thread::yield();
  EXPECT_FALSE(readerStarted.load());
  db->commit();  // hands the lock to the writer, then the writer to the reader
  writer.join();
  reader.join();
  EXPECT_TRUE(readerStarted.load());
}

TEST_F(TransactionTest, TwoReadersUpgradingEndTheProcessWithTheDeadlockMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        db->beginTransaction(dbDatabase::dbSharedLock);
        std::thread other([&] {
          db->attach();
          db->beginTransaction(dbDatabase::dbSharedLock);
          db->lock();  // waits for this thread to give up its shared lock
        });
        while (!db->monitor.waitForUpgrade) std::this_thread::yield();
        db->lock();
        other.join();
      },
      ::testing::ExitedWithCode(3), "Deadlock is caused by upgrading shared locks to exclusive");
}

TEST_F(TransactionTest, DelayedCommitIsTakenBackByTheNextTransactionAndFinishedByClose) {
  db->close();
  db.reset(makeProgramDatabase());
  ASSERT_TRUE(db->open("tx", path.c_str(), dbWaitForever, 30));
  addRawRow(*db, table, "one");
  db->commit();  // waits in the commit thread
  addRawRow(*db, table, "two");  // takes the same transaction back
  db->commit();
  db->close();  // the pending commit runs now, not in 30 s
  EXPECT_FILE_SOUND(path);
  db.reset(makeProgramDatabase());
  ASSERT_TRUE(db->open("tx", path.c_str()));
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"one", "two"}));
}

TEST_F(TransactionTest, DelayedCommitRunsByItselfAfterTheDelay) {
  db->close();
  db.reset(makeProgramDatabase());
  ASSERT_TRUE(db->open("tx", path.c_str(), dbWaitForever, 1));
  const int rootBefore = db->getHeader()->currentRoot;
  addRawRow(*db, table, "one");
  db->commit();
  for (int i = 0; i < 1000 && db->getHeader()->currentRoot == rootBefore; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(db->getHeader()->currentRoot, rootBefore);
  EXPECT_FILE_SOUND(path);
}
