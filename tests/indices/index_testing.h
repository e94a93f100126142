// Shared helpers of the index tests: a record layout with one key of each
// kind the tests index, a collecting cursor, a filter from a function, and
// a structural checker for T-trees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fake_store.h"
#include "keys.h"

// Record: 12-byte header, int4 at 12, real8 at 16, string reference at 24,
// 4 raw bytes at 32, then the text.
struct TestRecord {
  int32_t i = 0;
  double r = 0;
  std::string s;
  uint32_t raw = 0;
};

constexpr size_t kIntOffs = 12;
constexpr size_t kRealOffs = 16;
constexpr size_t kStringOffs = 24;
constexpr size_t kRawOffs = 32;
constexpr size_t kTextOffs = 36;

// Orders raw keys as little-endian unsigned words from the highest byte
// down, which differs from memcmp order, so tests see the comparator used.
int compareRawWords(const void* a, const void* b, size_t size);

const dbKeyField kIntField{dbField::tpInt4, 4, kIntOffs, nullptr};
const dbKeyField kRealField{dbField::tpReal8, 8, kRealOffs, nullptr};
const dbKeyField kStringField{dbField::tpString, 8, kStringOffs, nullptr};
const dbKeyField kRawField{dbField::tpRawBinary, 4, kRawOffs, compareRawWords};

oid_t addRecord(FakeStore& db, const TestRecord& record);
TestRecord readTestRecord(FakeStore& db, oid_t oid);
// Rewrites the fixed keys of a record in place (the text stays).
void setNumbers(FakeStore& db, oid_t oid, int32_t i, double r);

// A cursor that takes ids until it holds `limit` of them.
class Collector : public dbIdReceiver {
 public:
  explicit Collector(size_t limit = SIZE_MAX) : limit(limit) {}
  bool add(oid_t oid) override {
    ids.push_back(oid);
    return ids.size() < limit;
  }
  std::vector<oid_t> ids;

 private:
  size_t limit;
};

class FilterFunction : public dbIndexFilter {
 public:
  explicit FilterFunction(std::function<bool(oid_t)> f) : f(std::move(f)) {}
  bool passes(oid_t oid) override { return f(oid); }

 private:
  std::function<bool(oid_t)> f;
};

dbIndexSearch makeSearch(const dbKeyField& field, dbIdReceiver* cursor);

// Checks order within and between nodes, node fill (1..125), the balance
// of every node against the real heights, and the AVL bound. Returns a
// description of the first fault, or an empty text.
std::string checkTtree(FakeStore& db, oid_t treeId, const dbKeyField& field);
