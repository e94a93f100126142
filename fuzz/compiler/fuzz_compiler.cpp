// Compiles arbitrary query texts against the test schema. The input is cut
// into text pieces at 0x01 bytes; the byte after each cut picks a bound
// variable placed between the pieces. Any input must compile or be refused
// with a report, never crash, leak or read outside its pieces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RecordingDatabase db;
  static dbQueryCompiler compiler(&db);
  static Variables variables;

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
    } else if (db.reports.empty() || query.compiled()) {
      __builtin_trap();  // a refusal is always reported and leaves nothing behind
    }
    db.reports.clear();
  }
  return 0;
}
