// Random inserts, removals, key changes and searches on T-trees and hash
// tables of three key types, each step checked against std::multimap.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <random>

#include "hashtab.h"
#include "index_testing.h"
#include "ttree.h"

namespace {

constexpr unsigned kSeed = 20261211;
constexpr int kSteps = 8000;

// One indexed field with its tree, its hash table and its oracle.
template <class Key>
struct IndexedField {
  dbKeyField field;
  Key (*keyOf)(const TestRecord&);
  const void* (*searchKey)(const Key&);
  oid_t tree = 0;
  oid_t table = 0;
  std::multimap<Key, oid_t> oracle;
};

int32_t intKey(const TestRecord& r) { return r.i; }
double realKey(const TestRecord& r) { return r.r; }
std::string textKey(const TestRecord& r) { return r.s; }
const void* addressOf(const int32_t& k) { return &k; }
const void* addressOf(const double& k) { return &k; }
const void* addressOf(const std::string& k) { return k.c_str(); }

class IndexModel {
 public:
  IndexModel() : db(211), random(kSeed) {
    forEachField([&](auto& f) {
      f.tree = dbTtree::create(db);
      f.table = dbHashTable::create(db, 0);
    });
  }

  void run() {
    for (int step = 0; step < kSteps && !::testing::Test::HasFailure(); step++) {
      SCOPED_TRACE("step " + std::to_string(step));
      // The first half mostly grows the indices, the second mostly shrinks them.
      unsigned action = random() % 100;
      unsigned inserts = step < kSteps / 2 ? 50 : 20;
      if (action < inserts || records.empty()) {
        insertRecord();
      } else if (action < 65) {
        removeRecord(pickRecord());
      } else if (action < 70) {
        changeNumbers(pickRecord());
      } else {
        forEachField([&](auto& f) { checkSearches(f); });
      }
      if (step % 250 == 249) {
        EXPECT_EQ(db.changedCommittedObject(), 0u) << "a committed object was written in place";
        forEachField([&](auto& f) { checkStructure(f); });
        db.commit();
      }
    }
    while (!records.empty() && !::testing::Test::HasFailure()) removeRecord(records.begin()->first);
    EXPECT_EQ(db.liveObjects(TtreeNodeMarker), 0u);
    EXPECT_EQ(db.liveObjects(HashTableItemMarker), 0u);
  }

 private:
  template <class F>
  void forEachField(F&& f) {
    f(ints);
    f(reals);
    f(texts);
  }

  TestRecord randomRecord() {
    static const double reals[] = {-2.5, -1, 0, 0.25, 1, 3.75, 1e10};
    static const char letters[] = {'a', 'b', 'z', '\x01', '\xa4', '\xff'};
    TestRecord r;
    r.i = static_cast<int32_t>(random() % 601) - 300;
    r.r = reals[random() % std::size(reals)];
    for (unsigned n = random() % 5; n > 0; n--) r.s += letters[random() % std::size(letters)];
    return r;
  }

  oid_t pickRecord() {
    auto it = records.begin();
    std::advance(it, random() % records.size());
    return it->first;
  }

  template <class Key>
  void insertInto(IndexedField<Key>& f, oid_t oid) {
    dbTtree::insert(db, f.tree, oid, f.field.type, f.field.size, f.field.comparator, f.field.offs);
    dbHashTable::insert(db, f.table, oid, f.field.type, f.field.size, f.field.offs, records.size());
    f.oracle.emplace(f.keyOf(records.at(oid)), oid);
  }

  template <class Key>
  void removeFrom(IndexedField<Key>& f, oid_t oid) {
    dbTtree::remove(db, f.tree, oid, f.field.type, f.field.size, f.field.comparator, f.field.offs);
    dbHashTable::remove(db, f.table, oid, f.field.type, f.field.size, f.field.offs);
    auto [from, to] = f.oracle.equal_range(f.keyOf(records.at(oid)));
    f.oracle.erase(std::find_if(from, to, [oid](const auto& entry) { return entry.second == oid; }));
  }

  void insertRecord() {
    TestRecord r = randomRecord();
    oid_t oid = addRecord(db, r);
    records[oid] = r;
    forEachField([&](auto& f) { insertInto(f, oid); });
  }

  void removeRecord(oid_t oid) {
    forEachField([&](auto& f) { removeFrom(f, oid); });
    records.erase(oid);
    db.freeRecord(oid);
  }

  // Indices must let go of a record before its key changes.
  void changeNumbers(oid_t oid) {
    removeFrom(ints, oid);
    removeFrom(reals, oid);
    TestRecord changed = randomRecord();
    setNumbers(db, oid, changed.i, changed.r);
    records[oid].i = changed.i;
    records[oid].r = changed.r;
    insertInto(ints, oid);
    insertInto(reals, oid);
  }

  template <class Key>
  Key randomBound(const IndexedField<Key>& f) {
    if (!f.oracle.empty() && random() % 2 == 0) {
      auto it = f.oracle.begin();
      std::advance(it, random() % f.oracle.size());
      return it->first;
    }
    return f.keyOf(randomRecord());
  }

  template <class Key>
  void checkSearches(IndexedField<Key>& f) {
    std::optional<Key> low, high;
    if (random() % 4 != 0) low = randomBound(f);
    if (random() % 4 != 0) high = randomBound(f);
    int lowInclusion = random() % 2, highInclusion = random() % 2;
    size_t limit = random() % 5 == 0 ? 1 + random() % 20 : SIZE_MAX;

    Collector found(limit);
    dbIndexSearch sc = makeSearch(f.field, &found);
    if (low) sc.firstKey = f.searchKey(*low), sc.firstKeyInclusion = lowInclusion;
    if (high) sc.lastKey = f.searchKey(*high), sc.lastKeyInclusion = highInclusion;
    dbTtree::find(db, f.tree, sc);

    std::vector<std::pair<Key, oid_t>> expected;
    auto it = !low ? f.oracle.begin() : lowInclusion ? f.oracle.lower_bound(*low) : f.oracle.upper_bound(*low);
    for (; it != f.oracle.end(); ++it) {
      bool beforeHigh = !high || (highInclusion ? !(*high < it->first) : it->first < *high);
      if (!beforeHigh) break;
      expected.emplace_back(*it);
    }
    compareFound(f, found.ids, expected, limit);

    Key key = randomBound(f);
    Collector equal;
    dbIndexSearch hashSearch = makeSearch(f.field, &equal);
    hashSearch.firstKey = f.searchKey(key);
    dbHashTable::find(db, f.table, hashSearch);
    auto [from, to] = f.oracle.equal_range(key);
    compareFound(f, equal.ids, std::vector<std::pair<Key, oid_t>>(from, to), SIZE_MAX);
  }

  // The keys must come in the oracle's order; which of several records with
  // equal keys comes first is the index's choice, except that all of them
  // come when there is no limit.
  template <class Key>
  void compareFound(IndexedField<Key>& f, std::vector<oid_t> found, std::vector<std::pair<Key, oid_t>> expected,
                    size_t limit) {
    if (expected.size() > limit) expected.resize(limit);
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); i++) {
      ASSERT_TRUE(f.keyOf(records.at(found[i])) == expected[i].first) << "position " << i;
    }
    if (limit == SIZE_MAX) {
      std::vector<oid_t> ids;
      for (const auto& entry : expected) ids.push_back(entry.second);
      std::sort(ids.begin(), ids.end());
      std::sort(found.begin(), found.end());
      EXPECT_EQ(found, ids);
    }
  }

  template <class Key>
  void checkStructure(IndexedField<Key>& f) {
    ASSERT_EQ(checkTtree(db, f.tree, f.field), "");
    Collector up, down;
    dbTtree::walkAscending(db, f.tree, up);
    dbTtree::walkDescending(db, f.tree, down);
    std::reverse(down.ids.begin(), down.ids.end());
    EXPECT_EQ(up.ids, down.ids);
    compareFound(f, up.ids, std::vector<std::pair<Key, oid_t>>(f.oracle.begin(), f.oracle.end()), SIZE_MAX);
  }

  FakeStore db;
  std::mt19937 random;
  std::map<oid_t, TestRecord> records;
  IndexedField<int32_t> ints{kIntField, intKey, addressOf, 0, 0, {}};
  IndexedField<double> reals{kRealField, realKey, addressOf, 0, 0, {}};
  IndexedField<std::string> texts{kStringField, textKey, addressOf, 0, 0, {}};
};

TEST(IndexModelTest, RandomChangesAndSearchesAgreeWithAnOrderedMultimap) {
  std::cout << "index model seed " << kSeed << ", " << kSteps << " steps\n";
  IndexModel model;
  model.run();
}

}  // namespace
