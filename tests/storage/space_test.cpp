#include <memory>

#include "storage_support.h"

namespace {

class SpaceTest : public ::testing::Test {
 protected:
  void openWith(TestDatabase* database) {
    db.reset(database);
    ASSERT_TRUE(db->open("space", folder.file("space.fdb").c_str()));
    table = createRawTable(*db, "Raw");
  }
  offs_t offsetOf(oid_t id) const { return db->getPos(id) & ~dbInternalObjectMarker; }

  ScratchFolder folder;
  std::unique_ptr<TestDatabase> db;
  oid_t table = 0;
};

}  // namespace

TEST_F(SpaceTest, ObjectLargerThanTheRunAtTheEndOfTheLastBitmapPageExtendsTheFileAcrossTheBoundary) {
  // One bitmap page: it describes exactly the 512 KiB file.
  openWith(new TestDatabase(dbDatabase::dbAllAccess, 524288, 1048576, 8192, 1));
  ASSERT_EQ(db->getMappedSize(), 524288u);
  oid_t filler = addRawRow(*db, table, std::string(200000 - sizeof(dbRecord), 'f'));
  const size_t runStart = offsetOf(filler) + 200000;
  const size_t run = 524288 - runStart;
  ASSERT_GT(run, 0u);
  ASSERT_EQ(db->getPos(FirstBitmapId + 1), dbFreeHandleMarker);

  oid_t big = addRawRow(*db, table, std::string(run + 100000, 'b'));
  EXPECT_EQ(offsetOf(big), runStart);
  EXPECT_GT(db->getMappedSize(), 524288u);
  EXPECT_EQ(db->getPos(FirstBitmapId + 1) & dbInternalObjectMarker, PageObjectMarker);
  EXPECT_EQ(rawPayload(*db, big), std::string(run + 100000, 'b'));
  db->commit();
  EXPECT_SOUND(*db);
}

TEST_F(SpaceTest, LastFreedIdIsHandedOutFirst) {
  openWith(makeProgramDatabase());
  oid_t a = addRawRow(*db, table, "a");
  oid_t b = addRawRow(*db, table, "b");
  oid_t c = addRawRow(*db, table, "c");
  db->commit();
  db->lock();
  db->removeRow(table, b);
  db->removeRow(table, c);
  EXPECT_EQ(addRawRow(*db, table, "x"), c);
  EXPECT_EQ(addRawRow(*db, table, "y"), b);
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"a", "x", "y"}));
  (void)a;
  db->commit();
  EXPECT_SOUND(*db);
}

TEST_F(SpaceTest, IndexGrowsByDoublingAndTheOldArrayIsFreed) {
  openWith(makeProgramDatabase());
  const int w = 1 - db->getHeader()->currentRoot;
  const offs_t oldArray = db->getHeader()->root[w].indexOffset;
  ASSERT_EQ(db->getHeader()->root[w].indexCapacity, 65536u);
  while (db->getWorkingIndexUsed() <= 65536) addRawRow(*db, table, "r");
  EXPECT_EQ(db->getHeader()->root[w].indexCapacity, 131072u);
  EXPECT_NE(db->getHeader()->root[w].indexOffset, oldArray);
  db->commit();
  EXPECT_EQ(db->getHeader()->root[0].indexCapacity, 131072u);
  EXPECT_EQ(db->getHeader()->root[1].indexCapacity, 131072u);
  EXPECT_SOUND(*db);  // a leaked old array would show as space marked but unowned

  const size_t rows = rawRows(*db, table).size();
  db->close();
  EXPECT_FILE_SOUND(folder.file("space.fdb"));
  db.reset(makeProgramDatabase());
  ASSERT_TRUE(db->open("space", folder.file("space.fdb").c_str()));
  EXPECT_EQ(rawRows(*db, table).size(), rows);
}

TEST_F(SpaceTest, CommittedRecordIsCopiedOncePerTransactionAndASameLengthResizeStaysInPlace) {
  openWith(makeProgramDatabase());
  oid_t row = addRawRow(*db, table, "payload");
  db->commit();
  const offs_t committed = offsetOf(row);

  db->lock();
  db->writableRecord(row)[sizeof(dbRecord)] = 'P';
  const offs_t copy = offsetOf(row);
  EXPECT_NE(copy, committed);
  db->writableRecord(row)[sizeof(dbRecord) + 1] = 'A';
  EXPECT_EQ(offsetOf(row), copy);
  db->resizeRecord(row, sizeof(dbRecord) + 7);
  EXPECT_EQ(offsetOf(row), copy);
  EXPECT_EQ(rawPayload(*db, row), "PAyload");
  db->commit();
  EXPECT_EQ(db->committedIndex()[row] & ~dbInternalObjectMarker, copy);
  EXPECT_SOUND(*db);
}

TEST_F(SpaceTest, ResizingToAnotherLengthMovesTheRecordAndKeepsItsLinks) {
  openWith(makeProgramDatabase());
  oid_t first = addRawRow(*db, table, "1");
  oid_t middle = addRawRow(*db, table, "2");
  oid_t last = addRawRow(*db, table, "3");
  db->commit();
  db->lock();
  db_byte* record = db->resizeRecord(middle, sizeof(dbRecord) + 300);
  std::memset(record + sizeof(dbRecord), 'm', 300);
  const auto* header = reinterpret_cast<const dbRecord*>(db->getRow(middle));
  EXPECT_EQ(header->prev, first);
  EXPECT_EQ(header->next, last);
  db->resizeRecord(middle, sizeof(dbRecord) + 1000)[sizeof(dbRecord)] = 'M';  // uncommitted: moves and frees
  std::memset(db->getRow(middle) + sizeof(dbRecord) + 1, 'm', 999);
  db->commit();
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"1", "M" + std::string(999, 'm'), "3"}));
  EXPECT_SOUND(*db);
}
