#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "hashtab.h"
#include "index_testing.h"

namespace {

class HashTableTest : public ::testing::Test {
 protected:
  oid_t addText(const std::string& text, size_t tableRows = 1) {
    oid_t oid = addRecord(db, {0, 0, text});
    insert(oid, kStringField, tableRows);
    return oid;
  }
  void insert(oid_t oid, const dbKeyField& f, size_t tableRows = 1) {
    dbHashTable::insert(db, table, oid, f.type, f.size, f.offs, tableRows);
  }
  void remove(oid_t oid, const dbKeyField& f = kStringField) {
    dbHashTable::remove(db, table, oid, f.type, f.size, f.offs);
  }
  std::vector<oid_t> find(const void* key, const dbKeyField& f = kStringField) {
    Collector found;
    dbIndexSearch sc = makeSearch(f, &found);
    sc.firstKey = key;
    sc.lastKey = key;
    dbHashTable::find(db, table, sc);
    std::sort(found.ids.begin(), found.ids.end());
    return found.ids;
  }
  dbHashTableHeader header() { return *reinterpret_cast<const dbHashTableHeader*>(db.readObject(table)); }

  FakeStore db;
  oid_t table = dbHashTable::create(db, 0);
};

TEST_F(HashTableTest, CreateSizesTheBucketArrayByTheExpectedRows) {
  const struct {
    size_t expectedRows;
    db_nat4 size;
  } cases[] = {{0, 16383}, {16382, 16383}, {16383, 32767}, {40000, 65535}};
  for (const auto& c : cases) {
    size_t pagesBefore = db.liveObjects(PageObjectMarker);
    oid_t id = dbHashTable::create(db, c.expectedRows);
    auto h = *reinterpret_cast<const dbHashTableHeader*>(db.readObject(id));
    EXPECT_EQ(h.size, c.size) << c.expectedRows << " rows";
    EXPECT_EQ(h.used, 0u);
    db_nat4 pages = (c.size + 1) / 1024;
    EXPECT_EQ(db.liveObjects(PageObjectMarker) - pagesBefore, pages);
    for (db_nat4 p = 0; p < pages; p++) {
      EXPECT_EQ(db.positionOf(h.page + p) % dbPageSize, 0u);
      EXPECT_EQ(db.positionOf(h.page + p), db.positionOf(h.page) + p * dbPageSize);
      const db_byte* bytes = db.readObject(h.page + p);
      EXPECT_TRUE(std::all_of(bytes, bytes + dbPageSize, [](db_byte b) { return b == 0; }));
    }
  }
}

TEST_F(HashTableTest, ItemsAreStoredInTheirBucketWithRecordAndFullHash) {
  oid_t oid = addText("abc");
  db_nat4 hash = dbHashCode("abc", 3);
  auto h = header();
  oid_t itemId;
  std::memcpy(&itemId, db.readObject(h.page + (hash % h.size) / 1024) + (hash % h.size % 1024) * 4, 4);
  ASSERT_NE(itemId, 0u);
  auto item = *reinterpret_cast<const dbHashTableItem*>(db.readObject(itemId));
  EXPECT_EQ(item.next, 0u);
  EXPECT_EQ(item.record, oid);
  EXPECT_EQ(item.hash, hash);
}

TEST_F(HashTableTest, UsedCountsBucketsWithANonEmptyChain) {
  oid_t x1 = addText("x");
  EXPECT_EQ(header().used, 1u) << "insert into an empty bucket";
  oid_t x2 = addText("x");
  oid_t x3 = addText("x");
  EXPECT_EQ(header().used, 1u) << "insert into a non-empty bucket";
  oid_t y = addText("y");
  EXPECT_EQ(header().used, 2u);
  remove(x2);
  EXPECT_EQ(header().used, 2u) << "remove from the middle of a chain";
  remove(x3);
  EXPECT_EQ(header().used, 2u) << "remove the head of a longer chain";
  remove(x1);
  EXPECT_EQ(header().used, 1u) << "remove the only item";
  remove(y);
  EXPECT_EQ(header().used, 0u);
  EXPECT_EQ(db.liveObjects(HashTableItemMarker), 0u);
}

TEST_F(HashTableTest, ATextNeverMatchesAnotherTextWithTheSameHash) {
  // 1*31 + 66 == 3*31 + 4 == 97 == 'a'.
  ASSERT_EQ(dbHashCode("\x01"
                       "B",
                       2),
            dbHashCode("a", 1));
  oid_t one = addText("a");
  oid_t two = addText("\x01"
                      "B");
  oid_t other = addText("\x03\x04");
  oid_t longer = addText("ab");
  EXPECT_EQ(find("a"), std::vector<oid_t>{one});
  EXPECT_EQ(find("\x01"
                 "B"),
            std::vector<oid_t>{two});
  EXPECT_EQ(find("\x03\x04"), std::vector<oid_t>{other});
  EXPECT_EQ(find("ab"), std::vector<oid_t>{longer});
  EXPECT_TRUE(find("").empty());
}

TEST_F(HashTableTest, FindsEqualKeysOfEachTypeAndAppliesTheCondition) {
  std::vector<oid_t> sevens;
  for (int i = 0; i < 6; i++) {
    TestRecord r{i % 2 == 0 ? 7 : 8, i % 2 == 0 ? 0.5 : -0.5, "", i % 2 == 0 ? 0xABCDu : 0xDCBAu};
    oid_t oid = addRecord(db, r);
    for (const dbKeyField* f : {&kIntField, &kRealField, &kRawField}) insert(oid, *f);
    if (r.i == 7) sevens.push_back(oid);
  }
  int32_t seven = 7;
  double half = 0.5;
  uint32_t raw = 0xABCD;
  EXPECT_EQ(find(&seven, kIntField), sevens);
  EXPECT_EQ(find(&half, kRealField), sevens);
  EXPECT_EQ(find(&raw, kRawField), sevens);

  Collector found;
  FilterFunction notFirst([&](oid_t oid) { return oid != sevens[0]; });
  dbIndexSearch sc = makeSearch(kIntField, &found);
  sc.firstKey = &seven;
  sc.condition = &notFirst;
  EXPECT_TRUE(dbHashTable::find(db, table, sc));
  EXPECT_EQ(found.ids.size(), 2u);
  EXPECT_GE(sc.probes, 3);  // every item of the chain is a probe
}

TEST_F(HashTableTest, AFullCursorStopsTheChainWalk) {
  for (int i = 0; i < 5; i++) addText("same");
  Collector two(2);
  dbIndexSearch sc = makeSearch(kStringField, &two);
  sc.firstKey = "same";
  EXPECT_FALSE(dbHashTable::find(db, table, sc));
  EXPECT_EQ(two.ids.size(), 2u);
}

TEST_F(HashTableTest, ChangesAfterCommitLeaveTheCommittedStateUntouched) {
  std::vector<oid_t> ids;
  for (int i = 0; i < 50; i++) ids.push_back(addText("k" + std::to_string(i % 20)));
  db.commit();
  for (int i = 0; i < 50; i += 2) remove(ids[i]);
  for (int i = 0; i < 30; i++) addText("n" + std::to_string(i));
  dbHashTable::purge(db, table);
  EXPECT_EQ(db.changedCommittedObject(), 0u);
}

TEST_F(HashTableTest, PurgeEmptiesTheTableAndDropFreesEverything) {
  for (int i = 0; i < 100; i++) addText(std::to_string(i % 30));
  size_t pages = db.liveObjects(PageObjectMarker);
  dbHashTable::purge(db, table);
  EXPECT_EQ(header().used, 0u);
  EXPECT_EQ(header().size, 16383u);
  EXPECT_EQ(db.liveObjects(HashTableItemMarker), 0u);
  EXPECT_EQ(db.liveObjects(PageObjectMarker), pages);
  EXPECT_TRUE(find("7").empty());
  oid_t again = addText("7");
  EXPECT_EQ(find("7"), std::vector<oid_t>{again});

  dbHashTable::drop(db, table);
  EXPECT_EQ(db.liveObjects(HashTableItemMarker), 0u);
  EXPECT_EQ(db.liveObjects(PageObjectMarker), 0u);
  EXPECT_EQ(db.liveObjects(HashTableMarker), 0u);
}

TEST_F(HashTableTest, GrowsToTwiceThePlusOneBucketsWhenTheTableOutgrowsIt) {
  std::vector<oid_t> ids;
  for (int i = 0; i < 40; i++) ids.push_back(addText("g" + std::to_string(i)));
  EXPECT_EQ(header().size, 16383u);
  ids.push_back(addText("last", 16384));
  auto h = header();
  EXPECT_EQ(h.size, 32767u);
  EXPECT_EQ(db.liveObjects(PageObjectMarker), 32u) << "old bucket pages freed";
  std::set<db_nat4> buckets;
  for (int i = 0; i < 40; i++) {
    std::string text = "g" + std::to_string(i);
    buckets.insert(dbHashCode(text.data(), text.size()) % 32767);
  }
  buckets.insert(dbHashCode("last", 4) % 32767);
  EXPECT_EQ(h.used, buckets.size());
  for (int i = 0; i < 40; i++) EXPECT_EQ(find(("g" + std::to_string(i)).c_str()), std::vector<oid_t>{ids[i]});
  EXPECT_EQ(find("last"), std::vector<oid_t>{ids.back()});
}

TEST_F(HashTableTest, ReadsAndUpdatesAStoredTableOfAnyPowerOfTwoMinusOneSize) {
  // A table written with 2047 buckets (two bucket pages).
  dbHashTableOps<FakeStore> ops(db);
  oid_t small = db.allocateObject(HashTableMarker);
  oid_t pages = ops.allocateBuckets(2047);
  *reinterpret_cast<dbHashTableHeader*>(db.writableObject(small)) = {2047, 0, pages};
  table = small;
  oid_t oid = addText("stored");
  db_nat4 b = dbHashCode("stored", 6) % 2047;
  oid_t head;
  std::memcpy(&head, db.readObject(pages + b / 1024) + b % 1024 * 4, 4);
  EXPECT_NE(head, 0u);
  EXPECT_EQ(find("stored"), std::vector<oid_t>{oid});
  remove(oid);
  EXPECT_TRUE(find("stored").empty());
}

TEST_F(HashTableTest, ATableWithoutBucketsFindsNothing) {
  oid_t empty = db.allocateObject(HashTableMarker);
  *reinterpret_cast<dbHashTableHeader*>(db.writableObject(empty)) = {0, 0, 0};
  table = empty;
  EXPECT_TRUE(find("anything").empty());
}

using HashTableDeathTest = HashTableTest;

TEST_F(HashTableDeathTest, RemovingARecordMissingFromItsChainStops) {
  addText("present");
  oid_t stranger = addRecord(db, {0, 0, "absent"});
  EXPECT_DEATH(remove(stranger), "Assertion failed: itemId != 0, file engine286/src/hashtab");
}

TEST_F(HashTableDeathTest, AMisalignedBucketArrayStops) {
  db.misalignPageSpace();
  EXPECT_DEATH(dbHashTable::create(db, 0), "Assertion failed: \\(pos & \\(dbPageSize-1\\)\\) == 0, file engine286/src/hashtab");
}

}  // namespace
