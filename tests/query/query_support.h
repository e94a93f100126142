// Shared pieces of the query tests: a small schema, a database that records
// the errors reported to it, and a printer that shows compiled trees as text.
#pragma once

#include <string>
#include <vector>

#include "class.h"
#include "compiler.h"
#include "database.h"
#include "datetime.h"
#include "query.h"

struct Owner {
  db_int4 oid;
  const char* name;
  dbReference<Owner> boss;
  TYPE_DESCRIPTOR((FIELD(oid), FIELD(name), FIELD(boss)));
};

struct Point {
  db_int4 x;
  db_int4 y;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(y)));
};

struct Slot {
  db_int4 width;
  const char* label;
  TYPE_DESCRIPTOR((FIELD(width), FIELD(label)));
};

struct Item {
  const char* id;
  const char* name;
  db_int4 count;
  db_int1 small;
  db_int8 big;
  real8 price;
  real4 weight;
  bool flag;
  dbReference<Owner> owner;
  dbReference<Item> parent;
  dbArray<dbReference<Item>> children;
  dbArray<db_int4> tags;
  dbArray<const char*> words;
  dbArray<real8> levels;
  dbArray<Slot> slots;
  Point pos;
  dbDateTime made;
  char code[4];
  db_int4 order;  // named like a keyword: cannot be used in a query
  TYPE_DESCRIPTOR((FIELD(id), FIELD(name), FIELD(count), FIELD(small), FIELD(big), FIELD(price), FIELD(weight),
                   FIELD(flag), FIELD(owner), FIELD(parent), FIELD(children), FIELD(tags), FIELD(words),
                   FIELD(levels), FIELD(slots), FIELD(pos), FIELD(made), FIELD(code), FIELD(order)));
};

// Records what the compiler reports instead of writing it out.
class RecordingDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  struct Report {
    int errorClass;
    std::string message;
    int position;
  };
  void handleError(int errorClass, const char* message, int argument) override {
    reports.push_back({errorClass, message != nullptr ? message : "", argument});
  }
  std::vector<Report> reports;
};

// The tree as text: Opcode[:detail](operands), e.g.
// "EqInt(SelfFieldInt4:count, ConstInteger:5)".
std::string printTree(const dbExprNode* node);

// The order list as text: "name asc, length(tags) desc" style items,
// "field:NAME" or "expr:TREE", each followed by " asc" or " desc".
std::string printOrder(const dbOrderItem* order);
