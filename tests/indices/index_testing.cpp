#include "index_testing.h"

#include <cstring>

#include "ttree.h"

int compareRawWords(const void* a, const void* b, size_t size) {
  const db_byte* x = static_cast<const db_byte*>(a);
  const db_byte* y = static_cast<const db_byte*>(b);
  for (size_t i = size; i-- > 0;) {
    if (x[i] != y[i]) return x[i] - y[i];
  }
  return 0;
}

oid_t addRecord(FakeStore& db, const TestRecord& record) {
  std::vector<db_byte> image(kTextOffs + record.s.size() + 1, 0);
  std::memcpy(&image[kIntOffs], &record.i, 4);
  std::memcpy(&image[kRealOffs], &record.r, 8);
  db_nat4 ref[2] = {static_cast<db_nat4>(record.s.size() + 1), static_cast<db_nat4>(kTextOffs)};
  std::memcpy(&image[kStringOffs], ref, 8);
  std::memcpy(&image[kRawOffs], &record.raw, 4);
  std::memcpy(&image[kTextOffs], record.s.c_str(), record.s.size() + 1);
  return db.createRecord(std::move(image));
}

TestRecord readTestRecord(FakeStore& db, oid_t oid) {
  const db_byte* p = db.readRecord(oid);
  TestRecord record;
  std::memcpy(&record.i, p + kIntOffs, 4);
  std::memcpy(&record.r, p + kRealOffs, 8);
  std::memcpy(&record.raw, p + kRawOffs, 4);
  record.s = reinterpret_cast<const char*>(p + kTextOffs);
  return record;
}

void setNumbers(FakeStore& db, oid_t oid, int32_t i, double r) {
  db_byte* p = db.writableRecord(oid);
  std::memcpy(p + kIntOffs, &i, 4);
  std::memcpy(p + kRealOffs, &r, 8);
}

dbIndexSearch makeSearch(const dbKeyField& field, dbIdReceiver* cursor) {
  dbIndexSearch sc;
  sc.type = field.type;
  sc.sizeofType = field.size;
  sc.offs = field.offs;
  sc.comparator = field.comparator;
  sc.cursor = cursor;
  return sc;
}

namespace {

class TreeChecker {
 public:
  TreeChecker(FakeStore& db, const dbKeyField& field) : db(db), field(field) {}

  // Height of the subtree, or -1 after recording a fault.
  int check(oid_t nodeId) {
    const auto* n = reinterpret_cast<const dbTtreeNode*>(db.readObject(nodeId));
    dbTtreeNode copy = *n;
    std::string at = " in node " + std::to_string(nodeId);
    if (copy.nItems < 1 || copy.nItems > dbTtreeNode::pageSize) return fail("nItems out of 1..125" + at);
    for (int i = 1; i < copy.nItems; i++) {
      if (compare(copy.item[i - 1], copy.item[i]) > 0) return fail("items out of order" + at);
    }
    int heights[2] = {0, 0};
    for (int side = 0; side < 2; side++) {
      oid_t child = copy.child[side];
      if (child == 0) continue;
      heights[side] = check(child);
      if (heights[side] < 0) return -1;
      oid_t bound = side == 0 ? copy.item[0] : copy.item[copy.nItems - 1];
      oid_t extreme = extremeItem(child, 1 - side);
      if (side == 0 ? compare(extreme, bound) > 0 : compare(extreme, bound) < 0) {
        return fail("subtree key beyond node bound" + at);
      }
    }
    int balance = heights[1] - heights[0];
    if (balance < -1 || balance > 1) return fail("subtree heights differ by more than one" + at);
    if (balance != copy.balance) return fail("stored balance is wrong" + at);
    return 1 + std::max(heights[0], heights[1]);
  }

  std::string fault;

 private:
  int compare(oid_t a, oid_t b) {
    return dbCompareKeys(dbRecordKey(db.readRecord(a), field), dbRecordKey(db.readRecord(b), field), field);
  }

  // Greatest (side 1) or smallest (side 0) item of a subtree, found by a
  // full scan so that a misplaced item anywhere is seen.
  oid_t extremeItem(oid_t nodeId, int side) {
    dbTtreeNode copy = *reinterpret_cast<const dbTtreeNode*>(db.readObject(nodeId));
    oid_t best = copy.item[side == 0 ? 0 : copy.nItems - 1];
    for (oid_t child : copy.child) {
      if (child == 0) continue;
      oid_t candidate = extremeItem(child, side);
      int d = compare(candidate, best);
      if (side == 0 ? d < 0 : d > 0) best = candidate;
    }
    return best;
  }

  int fail(const std::string& text) {
    if (fault.empty()) fault = text;
    return -1;
  }

  FakeStore& db;
  dbKeyField field;
};

}  // namespace

std::string checkTtree(FakeStore& db, oid_t treeId, const dbKeyField& field) {
  oid_t root = reinterpret_cast<const dbTtreeHeader*>(db.readObject(treeId))->root;
  if (root == 0) return "";
  TreeChecker checker(db, field);
  checker.check(root);
  return checker.fault;
}
