// Compiles arbitrary query texts against the test schema and evaluates what
// compiles against one stored Item. The input is cut into text pieces at
// 0x01 bytes; the byte after each cut picks a bound variable placed between
// the pieces. Any input must compile or be refused with a report, and
// evaluate or end with a reported run-time error: never crash, hang, leak or
// read outside its pieces and the record.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "evaluate.h"
#include "query_support.h"

namespace {

struct Variables {
  bool b = true;
  db_int4 i4 = 1;
  db_int8 i8 = 2;
  real8 r8 = 3;
  char chars[4] = "abc";
  const char* text = "x";
  dbReference<Item> item;
  dbReference<Owner> owner;
  dbArray<dbReference<Item>> items;
  dbArray<dbReference<Item>>* itemsPtr = &items;

  void bind(dbQuery& q, uint8_t which) {
    switch (which % 10) {
      case 0: q.add(b); break;
      case 1: q.add(i4); break;
      case 2: q.add(i8); break;
      case 3: q.add(r8); break;
      case 4: q.add(chars); break;
      case 5: q.add(text); break;
      case 6: q.add(item); break;
      case 7: q.add(owner); break;
      case 8: q.add(items); break;
      default: q.add(itemsPtr); break;
    }
  }
};

// One stored Item with strings, arrays and a structure to walk.
std::vector<db_byte> storedItem() {
  static const db_int4 tags[] = {1, 2, 3};
  static const char* const words[] = {"red", "green"};
  static const Slot slots[] = {{10, "x"}, {20, "yy"}};
  Item item{};
  item.id = "A01";
  item.name = "Widget";
  item.count = 7;
  item.price = 2.5;
  item.tags = dbArray<db_int4>(tags, 3);
  item.words = dbArray<const char*>(words, 2);
  item.slots = dbArray<Slot>(slots, 2);
  std::vector<db_byte> record(Item::dbDescriptor.recordSize(&item));
  Item::dbDescriptor.pack(record.data(), &item);
  return record;
}

void evaluate(RecordingDatabase& db, const dbQuery& query, const std::vector<db_byte>& record) {
  try {
    dbInheritedAttribute ctx(&db, nullptr, record.data(), 1);
    dbEvaluateCondition(query.tree, ctx);
    dbCompareRecords(query.order.get(), &db, nullptr, record.data(), 1, record.data(), 2);
  } catch (const dbEvaluationError&) {
    if (db.reports.empty()) __builtin_trap();  // an error is always reported first
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RecordingDatabase db;
  static dbQueryCompiler compiler(&db);
  static Variables variables;
  static const std::vector<db_byte> record = storedItem();

  std::vector<std::string> pieces(1);
  std::vector<uint8_t> binds;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0x01 && i + 1 < size) {
      binds.push_back(data[++i]);
      pieces.emplace_back();
    } else if (data[i] != 0) {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  dbQuery query;
  for (size_t i = 0; i < pieces.size(); i++) {
    query.append(pieces[i].c_str());
    if (i < binds.size()) variables.bind(query, binds[i]);
  }
  db.reports.clear();
  for (dbTableDescriptor* table : {&Item::dbDescriptor, &Owner::dbDescriptor}) {
    if (compiler.compile(table, query)) {
      dbExprNode* copy = query.tree->copy();
      if (printTree(copy) != printTree(query.tree)) __builtin_trap();
      dbExprNode::destroy(copy);
      printOrder(query.order.get());
      if (table == &Item::dbDescriptor) evaluate(db, query, record);
    } else if (db.reports.empty() || query.compiled()) {
      __builtin_trap();  // a refusal is always reported and leaves nothing behind
    }
    db.reports.clear();
  }
  return 0;
}
