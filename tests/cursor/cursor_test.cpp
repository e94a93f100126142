// Cursor behaviour: empty selections, segments, seeking, removal in both
// modes, locate and checkedAt, and what other cursors of the thread see.
#include "cursor_support.h"

namespace {

std::vector<RowValues> numberedRows(int n) {
  std::vector<RowValues> rows;
  for (int i = 0; i < n; i++) rows.push_back({i, i % 100, 0, 0, "r" + std::to_string(i), -1});
  return rows;
}

using CursorBehaviourTest = CursorTest;

TEST_F(CursorBehaviourTest, EmptyTableSelectsNothingAndFetchesNothing) {
  tavroCursor<ScannedRow> cursor;
  EXPECT_EQ(cursor.select(), 0u);
  EXPECT_EQ(cursor.currentId().getOid(), 0u);
  EXPECT_EQ(cursor.nextAndFetch(), nullptr);
  EXPECT_EQ(cursor.seekAndFetch(0), nullptr);
  EXPECT_EQ(cursor.select("num > 0"), 0u);
  EXPECT_EQ(cursor.currentId().getOid(), 0u);
  EXPECT_EQ(cursor.seekAndFetch(0), nullptr);
  EXPECT_EQ(cursor.nextAndFetch(), nullptr);
}

TEST_F(CursorBehaviourTest, GetWithoutCurrentRecordStops) {
  tavroCursor<ScannedRow> cursor;
  cursor.select("num > 0");
  EXPECT_DEATH(cursor.get(), "currId != 0");
}

TEST_F(CursorBehaviourTest, SeekCrossesSegmentsAndFailsPastTheEnd) {
  const std::vector<oid_t> ids = insertRows<ScannedRow>(numberedRows(2000));
  tavroCursor<ScannedRow> cursor;
  ASSERT_EQ(cursor.select("num >= 0"), 2000u);
  const struct {
    long n;
    int row;  // -1: none
  } cases[] = {{1024, 1024}, {1023, 1023}, {0, 0}, {1999, 1999}, {2000, -1}, {-1, -1}};
  for (const auto& c : cases) {
    cursor.first();
    ScannedRow* row = cursor.seekAndFetch(c.n);
    if (c.row < 0) {
      EXPECT_EQ(row, nullptr) << c.n;
      // The first record stays current, and stepping on finds nothing.
      EXPECT_EQ(cursor.currentId().getOid(), ids[0]) << c.n;
      EXPECT_EQ(cursor.nextAndFetch(), nullptr) << c.n;
    } else {
      ASSERT_NE(row, nullptr) << c.n;
      EXPECT_EQ(row->row, c.row);
      EXPECT_EQ(cursor.pos, static_cast<size_t>(c.n));
      ScannedRow* following = cursor.nextAndFetch();
      if (c.row + 1 < 2000) {
        ASSERT_NE(following, nullptr);
        EXPECT_EQ(following->row, c.row + 1);
      }
    }
  }
  // All-records mode walks the row list.
  ASSERT_EQ(cursor.select(), 2000u);
  ASSERT_NE(cursor.seekAndFetch(1500), nullptr);
  EXPECT_EQ(cursor.get()->row, 1500);
  ASSERT_NE(cursor.seekAndFetch(3), nullptr);
  EXPECT_EQ(cursor.get()->row, 3);
}

TEST_F(CursorBehaviourTest, RemovingInSelectionModeMakesTheNeighbourCurrent) {
  insertRows<ScannedRow>(numberedRows(2100));
  tavroCursor<ScannedRow> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select("num >= 0"), 2100u);  // segments: rows 0-1023, 1024-2047, 2048-2099
  ASSERT_NE(cursor.seekAndFetch(5), nullptr);
  cursor.remove();
  EXPECT_EQ(cursor.get()->row, 6);  // the later ids moved down
  // Row 1023 is now the last id of the first segment: the one before it follows.
  ASSERT_NE(cursor.seekAndFetch(1022), nullptr);
  ASSERT_EQ(cursor.get()->row, 1023);
  cursor.remove();
  EXPECT_EQ(cursor.get()->row, 1022);
  // A segment that empties hands over to the first id of the next one...
  ASSERT_NE(cursor.seekAndFetch(1022), nullptr);
  ASSERT_EQ(cursor.get()->row, 1024);
  for (int row = 1024; row < 2048; row++) {
    ASSERT_EQ(cursor.get()->row, row);
    cursor.remove();
  }
  EXPECT_EQ(cursor.get()->row, 2048);
  // ... or, with none following, to the last id of the one before.
  for (int row = 2048; row < 2100; row++) cursor.remove();
  EXPECT_EQ(cursor.get()->row, 1022);
  EXPECT_FALSE(cursor.next());
  db.commit();
  EXPECT_EQ(cursor.select(), 1022u);
}

TEST_F(CursorBehaviourTest, RemovingInAllRecordsModeWalksTheRowList) {
  insertRows<ScannedRow>(numberedRows(3));
  tavroCursor<ScannedRow> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select(), 3u);
  cursor.remove();  // the first: the second becomes current and first
  EXPECT_EQ(cursor.get()->row, 1);
  ASSERT_TRUE(cursor.next());
  cursor.remove();  // the last: the one before it
  EXPECT_EQ(cursor.get()->row, 1);
  cursor.remove();  // the only one left
  EXPECT_EQ(cursor.currentId().getOid(), 0u);
  EXPECT_FALSE(cursor.next());
  db.commit();
  EXPECT_EQ(cursor.select(), 0u);
}

TEST_F(CursorBehaviourTest, RemoveAllSelectedRemovesOnlyTheSelection) {
  insertRows<ScannedRow>(numberedRows(2100));
  tavroCursor<ScannedRow> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select("row / 2 * 2 = row or row < 5"), 1052u);
  cursor.removeAllSelected();
  EXPECT_EQ(cursor.currentId().getOid(), 0u);
  db.commit();
  EXPECT_EQ(cursor.select(), 1048u);
  EXPECT_EQ(cursor.get()->row, 5);
  cursor.removeAllSelected();
  db.commit();
  EXPECT_EQ(cursor.select(), 0u);
}

TEST_F(CursorBehaviourTest, LocateAndCheckedAt) {
  const std::vector<oid_t> ids = insertRows<ScannedRow>(numberedRows(10));
  tavroCursor<ScannedRow> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select("row < 5"), 5u);
  ScannedRow* found = cursor.locate(dbReference<ScannedRow>(ids[3]));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->row, 3);
  EXPECT_EQ(cursor.pos, 3u);
  EXPECT_EQ(cursor.locate(dbReference<ScannedRow>(ids[7])), nullptr);

  ASSERT_NE(cursor.checkedAt(dbReference<ScannedRow>(ids[8])), nullptr);
  EXPECT_EQ(cursor.get()->row, 8);
  cursor.remove();
  db.commit();
  for (oid_t id : {ids[8], oid_t{0}, oid_t{1}, oid_t{FirstBitmapId}, oid_t{0x7FFFFFF0}}) {
    EXPECT_EQ(cursor.checkedAt(dbReference<ScannedRow>(id)), nullptr) << id;
  }
  EXPECT_EQ(cursor.at(dbReference<ScannedRow>(ids[9]))->row, 9);
  EXPECT_EQ(cursor.getNumberOfRecords(), 1u);
}

TEST_F(CursorBehaviourTest, OtherCursorsOfTheThreadSeeUpdatesAndRemovals) {
  const std::vector<oid_t> ids = insertRows<ScannedRow>(numberedRows(3));
  tavroCursor<ScannedRow> writer(dbCursorForUpdate);
  tavroCursor<ScannedRow> reader;
  tavroCursor<ScannedRow> elsewhere;
  ASSERT_NE(writer.at(dbReference<ScannedRow>(ids[1])), nullptr);
  ASSERT_EQ(reader.select("num >= 0"), 3u);
  ASSERT_TRUE(reader.next());
  ASSERT_EQ(elsewhere.select(), 3u);
  writer.get()->name = "a much longer name than before, so the record moves";
  writer.get()->num = 77;
  writer.update();
  EXPECT_EQ(reader.get()->num, 77);
  EXPECT_STREQ(reader.get()->name, "a much longer name than before, so the record moves");
  EXPECT_EQ(elsewhere.get()->num, 0);  // on another record
  writer.remove();
  EXPECT_EQ(reader.currentId().getOid(), 0u);
  EXPECT_EQ(elsewhere.currentId().getOid(), ids[0]);
  // The end of the transaction resets every cursor of the thread.
  db.commit();
  EXPECT_EQ(elsewhere.currentId().getOid(), 0u);
  EXPECT_EQ(elsewhere.getNumberOfRecords(), 0u);
}

TEST_F(CursorBehaviourTest, FetchedStringsFollowTheFileWhenItGrows) {
  const std::vector<oid_t> ids = insertRows<ScannedRow>(numberedRows(1));
  tavroCursor<ScannedRow> reader;
  ASSERT_NE(reader.at(dbReference<ScannedRow>(ids[0])), nullptr);
  // Enough new rows to grow the file past its first size.
  std::string big(4000, 'x');
  for (int i = 0; i < 600; i++) {
    ScannedRow row{};
    row.name = big.c_str();
    db.insert(row);
  }
  EXPECT_STREQ(reader.get()->name, "r0");
}

}  // namespace
