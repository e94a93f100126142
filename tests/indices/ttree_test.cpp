#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "index_testing.h"
#include "ttree.h"

namespace {

class TtreeTest : public ::testing::Test {
 protected:
  oid_t add(int32_t key, const std::string& text = "") {
    oid_t oid = addRecord(db, {key, static_cast<double>(key), text});
    insert(oid);
    return oid;
  }
  void insert(oid_t oid, const dbKeyField& f = kIntField) {
    dbTtree::insert(db, tree, oid, f.type, f.size, f.comparator, f.offs);
  }
  void remove(oid_t oid, const dbKeyField& f = kIntField) {
    dbTtree::remove(db, tree, oid, f.type, f.size, f.comparator, f.offs);
  }
  std::vector<oid_t> ascending() {
    Collector all;
    EXPECT_TRUE(dbTtree::walkAscending(db, tree, all));
    return all.ids;
  }
  std::vector<oid_t> descending() {
    Collector all;
    EXPECT_TRUE(dbTtree::walkDescending(db, tree, all));
    return all.ids;
  }
  std::vector<int32_t> intKeys(const std::vector<oid_t>& ids) {
    std::vector<int32_t> keys;
    for (oid_t oid : ids) keys.push_back(readTestRecord(db, oid).i);
    return keys;
  }
  std::vector<int32_t> range(std::optional<int32_t> low, int lowInclusion, std::optional<int32_t> high,
                             int highInclusion) {
    Collector found;
    dbIndexSearch sc = makeSearch(kIntField, &found);
    if (low) sc.firstKey = &*low, sc.firstKeyInclusion = lowInclusion;
    if (high) sc.lastKey = &*high, sc.lastKeyInclusion = highInclusion;
    dbTtree::find(db, tree, sc);
    return intKeys(found.ids);
  }
  oid_t rootId() { return reinterpret_cast<const dbTtreeHeader*>(db.readObject(tree))->root; }
  dbTtreeNode node(oid_t id) { return *reinterpret_cast<const dbTtreeNode*>(db.readObject(id)); }

  FakeStore db;
  oid_t tree = dbTtree::create(db);
};

TEST_F(TtreeTest, FullRootHangsTheNextKeyInANewRightNodeAndStaysValidAfterRemovingTheFirst) {
  std::vector<oid_t> ids;
  for (int32_t k = 1; k <= 126; k++) ids.push_back(add(k));
  dbTtreeNode root = node(rootId());
  EXPECT_EQ(root.nItems, 125);
  EXPECT_EQ(root.child[0], 0u);
  ASSERT_NE(root.child[1], 0u);
  EXPECT_EQ(root.balance, 1);
  dbTtreeNode right = node(root.child[1]);
  EXPECT_EQ(right.nItems, 1);
  EXPECT_EQ(right.item[0], ids[125]);

  remove(ids[0]);
  EXPECT_EQ(checkTtree(db, tree, kIntField), "");
  std::vector<oid_t> expected(ids.begin() + 1, ids.end());
  EXPECT_EQ(ascending(), expected);
}

TEST_F(TtreeTest, NodeIsStoredInItsFixedLayout) {
  std::vector<oid_t> ids;
  for (int32_t k = 1; k <= 126; k++) ids.push_back(add(k));
  const db_byte* raw = db.readObject(rootId());
  db_nat4 right;
  db_nat2 nItems;
  oid_t first;
  std::memcpy(&right, raw + 4, 4);
  std::memcpy(&nItems, raw + 10, 2);
  std::memcpy(&first, raw + 12, 4);
  EXPECT_EQ(static_cast<db_int1>(raw[8]), 1);  // balance: right side taller
  EXPECT_EQ(nItems, 125);
  EXPECT_EQ(first, ids[0]);
  EXPECT_NE(right, 0u);
  oid_t rootInHeader;
  std::memcpy(&rootInHeader, db.readObject(tree), 4);
  EXPECT_EQ(rootInHeader, rootId());
}

TEST_F(TtreeTest, EqualKeysShareANodeWhileThereIsRoomAndAreAllWalked) {
  std::vector<oid_t> ids;
  for (int i = 0; i < 10; i++) ids.push_back(add(5));
  EXPECT_EQ(node(rootId()).nItems, 10);
  std::vector<oid_t> walked = ascending();
  std::sort(walked.begin(), walked.end());
  EXPECT_EQ(walked, ids);
}

TEST_F(TtreeTest, EqualKeysSpreadOverManyNodesAreFoundAndRemovedInAnyOrder) {
  std::vector<oid_t> ids;
  add(1);
  for (int i = 0; i < 400; i++) ids.push_back(add(7));
  add(9);
  ASSERT_EQ(checkTtree(db, tree, kIntField), "");
  EXPECT_EQ(range(7, 1, 7, 1).size(), 400u);
  EXPECT_EQ(range(7, 0, std::nullopt, 1), std::vector<int32_t>{9});

  std::mt19937 random(11);
  std::shuffle(ids.begin(), ids.end(), random);
  for (size_t i = 0; i < ids.size(); i++) {
    remove(ids[i]);
    ASSERT_EQ(checkTtree(db, tree, kIntField), "") << "after removing " << i + 1;
  }
  EXPECT_EQ(intKeys(ascending()), (std::vector<int32_t>{1, 9}));
}

TEST_F(TtreeTest, RangeSearchMatchesABruteForceFilterForEveryKindOfBound) {
  // Keys 0, 10, ..., 990, each three times: several nodes, equal keys at the bounds.
  std::vector<int32_t> all;
  for (int copy = 0; copy < 3; copy++) {
    for (int32_t k = 0; k < 1000; k += 10) {
      add(k);
      all.push_back(k);
    }
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(checkTtree(db, tree, kIntField), "");

  const std::vector<std::optional<int32_t>> bounds = {std::nullopt, -5, 0, 5, 10, 500, 505, 990, 995};
  for (const auto& low : bounds) {
    for (const auto& high : bounds) {
      for (int lowInclusion : {0, 1}) {
        for (int highInclusion : {0, 1}) {
          std::vector<int32_t> expected;
          for (int32_t k : all) {
            bool afterLow = !low || (lowInclusion ? k >= *low : k > *low);
            bool beforeHigh = !high || (highInclusion ? k <= *high : k < *high);
            if (afterLow && beforeHigh) expected.push_back(k);
          }
          EXPECT_EQ(range(low, lowInclusion, high, highInclusion), expected)
              << "low " << (low ? std::to_string(*low) : "none") << (lowInclusion ? " inclusive" : " exclusive")
              << ", high " << (high ? std::to_string(*high) : "none")
              << (highInclusion ? " inclusive" : " exclusive");
        }
      }
    }
  }
}

TEST_F(TtreeTest, ExclusiveBoundsSkipRecordsEqualToEitherBound) {
  for (int32_t k : {1, 2, 2, 3, 3, 3, 4, 4}) add(k);
  EXPECT_EQ(range(2, 0, 4, 0), (std::vector<int32_t>{3, 3, 3}));
  EXPECT_EQ(range(2, 1, 4, 1), (std::vector<int32_t>{2, 2, 3, 3, 3, 4, 4}));
}

TEST_F(TtreeTest, DescendingWalkIsTheExactReverseOfTheAscendingWalk) {
  std::mt19937 random(3);
  for (int i = 0; i < 1500; i++) add(static_cast<int32_t>(random() % 400));
  std::vector<oid_t> up = ascending();
  std::vector<oid_t> down = descending();
  ASSERT_EQ(up.size(), 1500u);
  std::reverse(down.begin(), down.end());
  EXPECT_EQ(up, down);
  std::vector<int32_t> keys = intKeys(up);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
}

TEST_F(TtreeTest, AFullCursorStopsWalksAndSearchesAtOnce) {
  for (int32_t k = 0; k < 600; k++) add(k);
  std::vector<oid_t> all = ascending();

  Collector seven(7);
  EXPECT_FALSE(dbTtree::walkAscending(db, tree, seven));
  EXPECT_EQ(seven.ids, std::vector<oid_t>(all.begin(), all.begin() + 7));

  Collector three(3);
  EXPECT_FALSE(dbTtree::walkDescending(db, tree, three));
  EXPECT_EQ(three.ids, std::vector<oid_t>(all.rbegin(), all.rbegin() + 3));

  Collector five(5);
  dbIndexSearch sc = makeSearch(kIntField, &five);
  int32_t from = 200;
  sc.firstKey = &from;
  EXPECT_FALSE(dbTtree::find(db, tree, sc));
  EXPECT_EQ(intKeys(five.ids), (std::vector<int32_t>{200, 201, 202, 203, 204}));
}

TEST_F(TtreeTest, ConditionFiltersSearchesAndConditionalWalks) {
  for (int32_t k = 0; k < 300; k++) add(k);
  FilterFunction even([this](oid_t oid) { return readTestRecord(db, oid).i % 2 == 0; });

  Collector walked;
  dbTtree::walkDescending(db, tree, walked, &even);
  std::vector<int32_t> keys = intKeys(walked.ids);
  ASSERT_EQ(keys.size(), 150u);
  EXPECT_EQ(keys.front(), 298);
  EXPECT_EQ(keys.back(), 0);

  Collector found;
  dbIndexSearch sc = makeSearch(kIntField, &found);
  int32_t low = 10, high = 15;
  sc.firstKey = &low;
  sc.lastKey = &high;
  sc.condition = &even;
  dbTtree::find(db, tree, sc);
  EXPECT_EQ(intKeys(found.ids), (std::vector<int32_t>{10, 12, 14}));
  EXPECT_GT(sc.probes, 0);
}

TEST_F(TtreeTest, StringKeysOrderBytesAsUnsignedAndAnswerPrefixRanges) {
  const dbKeyField& f = kStringField;
  std::vector<std::string> texts = {"abd", "abc", "ab", "abcz", "\xa4\xa4\xa4\xe5", "zzz", "abc", ""};
  for (const std::string& t : texts) insert(addRecord(db, {0, 0, t}), f);
  Collector all;
  dbTtree::walkAscending(db, tree, all);
  std::vector<std::string> walked;
  for (oid_t oid : all.ids) walked.push_back(readTestRecord(db, oid).s);
  EXPECT_EQ(walked, (std::vector<std::string>{"", "ab", "abc", "abc", "abcz", "abd", "zzz", "\xa4\xa4\xa4\xe5"}));

  // The prefix "abc" as a range: from "abc" inclusive to "abd" exclusive.
  Collector prefixed;
  dbIndexSearch sc = makeSearch(f, &prefixed);
  sc.firstKey = "abc";
  sc.lastKey = "abd";
  sc.lastKeyInclusion = 0;
  dbTtree::find(db, tree, sc);
  EXPECT_EQ(prefixed.ids.size(), 3u);
}

TEST_F(TtreeTest, RawBinaryKeysFollowTheFieldComparator) {
  // compareRawWords orders by the highest byte first: 0x0100 sorts after 0x00FF.
  for (uint32_t raw : {0x00000100u, 0x000000FFu, 0x01000000u, 0x00010000u}) {
    TestRecord r;
    r.raw = raw;
    insert(addRecord(db, r), kRawField);
  }
  Collector all;
  dbTtree::walkAscending(db, tree, all);
  std::vector<uint32_t> order;
  for (oid_t oid : all.ids) order.push_back(readTestRecord(db, oid).raw);
  EXPECT_EQ(order, (std::vector<uint32_t>{0xFF, 0x100, 0x10000, 0x1000000}));
}

TEST_F(TtreeTest, ChangesAfterCommitCopyNodesInsteadOfWritingCommittedOnes) {
  std::vector<oid_t> ids;
  for (int32_t k = 0; k < 700; k += 2) ids.push_back(add(k));
  db.commit();
  size_t copiesBefore = db.copiesOnWrite();
  for (int32_t k = 1; k < 700; k += 4) add(k);
  for (size_t i = 0; i < ids.size(); i += 3) remove(ids[i]);
  EXPECT_EQ(db.changedCommittedObject(), 0u);
  EXPECT_GT(db.copiesOnWrite(), copiesBefore);
  EXPECT_EQ(checkTtree(db, tree, kIntField), "");
}

TEST_F(TtreeTest, PurgeEmptiesTheTreeAndDropFreesEverything) {
  for (int32_t k = 0; k < 1000; k++) add(k);
  ASSERT_GT(db.liveObjects(TtreeNodeMarker), 5u);
  dbTtree::purge(db, tree);
  EXPECT_EQ(db.liveObjects(TtreeNodeMarker), 0u);
  EXPECT_TRUE(ascending().empty());
  add(42);
  EXPECT_EQ(intKeys(ascending()), std::vector<int32_t>{42});

  dbTtree::drop(db, tree);
  EXPECT_EQ(db.liveObjects(TtreeNodeMarker), 0u);
  EXPECT_EQ(db.liveObjects(TtreeMarker), 0u);
}

TEST(TtreeBalanceTest, RunsOfInsertsAndRemovalsKeepEveryInvariant) {
  // Random keys alone keep a T-tree nearly balanced by themselves; runs of
  // ascending and descending keys, and removals of whole key bands, are what
  // make insertions and removals take every kind of rotation.
  FakeStore db(1000);
  oid_t tree = dbTtree::create(db);
  std::mt19937 random(5);
  std::multimap<int32_t, oid_t> oracle;
  auto check = [&](const std::string& phase) {
    ASSERT_EQ(checkTtree(db, tree, kIntField), "") << phase << " with " << oracle.size() << " records";
    Collector all;
    dbTtree::walkAscending(db, tree, all);
    ASSERT_EQ(all.ids.size(), oracle.size());
    auto expected = oracle.begin();
    for (oid_t oid : all.ids) ASSERT_EQ(readTestRecord(db, oid).i, (expected++)->first);
  };
  auto insert = [&](int32_t key) {
    oid_t oid = addRecord(db, {key, 0, ""});
    dbTtree::insert(db, tree, oid, dbField::tpInt4, 4, nullptr, kIntOffs);
    oracle.emplace(key, oid);
  };
  auto remove = [&](std::multimap<int32_t, oid_t>::iterator it) {
    dbTtree::remove(db, tree, it->second, dbField::tpInt4, 4, nullptr, kIntOffs);
    oracle.erase(it);
  };
  for (int round = 0; round < 40; round++) {
    std::string phase = "round " + std::to_string(round);
    int32_t start = static_cast<int32_t>(random() % 100000);
    int count = 200 + static_cast<int>(random() % 2000);
    switch (random() % 3) {
      case 0:
        for (int i = 0; i < count; i++) insert(start + i);
        break;
      case 1:
        for (int i = 0; i < count; i++) insert(start - i);
        break;
      default:
        for (int i = 0; i < count; i++) insert(static_cast<int32_t>(random() % 100000));
    }
    check(phase + " after inserting");
    // Remove a band of keys, from its low or its high end.
    int32_t low = static_cast<int32_t>(random() % 100000);
    auto from = oracle.lower_bound(low);
    auto to = oracle.upper_bound(low + static_cast<int32_t>(random() % 30000));
    std::vector<std::multimap<int32_t, oid_t>::iterator> band;
    for (; from != to; ++from) band.push_back(from);
    if (random() % 2 == 0) std::reverse(band.begin(), band.end());
    for (auto it : band) remove(it);
    check(phase + " after removing");
  }
  while (!oracle.empty()) remove(oracle.begin());
  EXPECT_EQ(db.liveObjects(TtreeNodeMarker), 0u);
}

using TtreeDeathTest = TtreeTest;

TEST_F(TtreeDeathTest, RemovingARecordThatIsNotInTheTreeStops) {
  add(10);
  add(20);
  oid_t stranger = addRecord(db, {15, 0, ""});
  EXPECT_DEATH(remove(stranger), "Assertion failed: h >= 0, file engine286/src/ttree");
  oid_t below = addRecord(db, {5, 0, ""});
  EXPECT_DEATH(remove(below), "Assertion failed: diff == 0, file engine286/src/ttree");
}

}  // namespace
