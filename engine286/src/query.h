// Query objects: a condition text made of pieces and bound program variables,
// and the compiled form kept with it.
//
// A page builds a query from fixed text pieces and variables:
//   dbQuery q;
//   q = "session=", sessionNumber;
// Text pieces are not copied: the caller keeps them alive until the query is
// reset. Bound variables are read every time the query is evaluated, so a
// compiled query may be run again after they change.
//
// In a `,` chain a string literal or a temporary pointer is a text piece,
// while a pointer variable (an lvalue `const char*`) is bound as a string
// parameter: `q = "id=", name;` compares with whatever `name` points to at
// the time of the select.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "class.h"
#include "expr.h"
#include "sync.h"
#include "types.h"

class dbQueryCompiler;

// One piece of a query, in the order written.
class dbQueryElement {
 public:
  // The element kinds; parameter opcode = kind + 53.
  enum ElementKind : uint8_t {
    ElemText = 0,      // a text piece
    ElemBool,          // 1-byte boolean
    ElemInt1,          // signed 1-byte integer
    ElemInt2,          // signed 2-byte integer
    ElemInt4,          // signed 4-byte integer
    ElemInt8,          // signed 8-byte integer
    ElemReal4,         // float
    ElemReal8,         // double
    ElemString,        // the characters themselves (a character array)
    ElemStringPtr,     // a pointer to a NUL-terminated string
    ElemReference,     // an object id (a dbReference<T>)
    ElemRefArray,      // a dbArray<dbReference<T>>
    ElemRefArrayPtr,   // a pointer to a dbArray<dbReference<T>>
    ElemRawBinary      // raw bytes
  };

  dbQueryElement* next = nullptr;
  const void* ptr = nullptr;           // text piece, or the bound variable's address
  ElementKind kind = ElemText;
  dbTableDescriptor* ref = nullptr;    // referenced table of reference kinds
};

// Process-wide free list of query elements. Elements live until the process
// ends; a reset query gives its whole list back at once.
class dbQueryElementAllocator {
 public:
  static dbQueryElementAllocator& instance();

  dbQueryElement* allocate(dbQueryElement::ElementKind kind, const void* ptr, dbTableDescriptor* ref);
  // Returns the chain first .. last (linked through next) to the free list.
  void release(dbQueryElement* first, dbQueryElement* last);

 private:
  dbMutex mutex_;
  dbQueryElement* freeList_ = nullptr;
  std::vector<std::unique_ptr<dbQueryElement>> all_;
};

// One ORDER BY item: a plain field of the record, or an expression.
struct dbOrderItem {
  std::unique_ptr<dbOrderItem> next;
  dbFieldDescriptor* field = nullptr;  // ordering by a plain field
  dbTableDescriptor* table = nullptr;  // the query's table
  dbExprNode* expr = nullptr;          // ordering by anything else (owned)
  bool ascent = true;                  // false when DESC was written

  ~dbOrderItem() { dbExprNode::destroy(expr); }
};

// One FOLLOW BY field: a reference or array-of-references field.
struct dbFollowItem {
  std::unique_ptr<dbFollowItem> next;
  dbFieldDescriptor* field = nullptr;
};

// What the compiler makes of a query.
class dbCompiledQuery {
 public:
  enum StartFrom { StartNone = 0, StartFirst, StartLast, StartRef, StartRefArray, StartRefArrayPtr };

  dbExprNode* tree = nullptr;                // condition; none while not compiled
  std::unique_ptr<dbOrderItem> order;        // in the written order
  std::unique_ptr<dbFollowItem> follow;      // most recently written first
  dbTableDescriptor* table = nullptr;        // table compiled for
  int schemaVersion = 0;                     // database schema version at compile time
  StartFrom startFrom = StartNone;
  const void* root = nullptr;                // bound variable named after START FROM

  dbCompiledQuery() = default;
  dbCompiledQuery(const dbCompiledQuery&) = delete;
  dbCompiledQuery& operator=(const dbCompiledQuery&) = delete;
  ~dbCompiledQuery() { destroy(); }

  bool compiled() const { return tree != nullptr; }
  // Frees the tree and the lists; the query is then not compiled.
  void destroy();
};

class dbQuery : public dbCompiledQuery {
 public:
  dbQuery() = default;
  explicit dbQuery(const char* text) { append(text); }
  ~dbQuery() { reset(); }

  // Returns every element and the compiled form; the query is then empty.
  dbQuery& reset();

  // Resets, then appends the text piece.
  dbQuery& operator=(const char* text) { return reset().append(text); }

  // Appends a text piece.
  dbQuery& append(const char* text) { return append(dbQueryElement::ElemText, text); }
  // Appends a bound variable of the given kind; `ref` is the referenced
  // table of the reference kinds.
  dbQuery& append(dbQueryElement::ElementKind kind, const void* ptr, dbTableDescriptor* ref = nullptr);

  // Typed appends of bound variables.
  // A text piece (a literal or a temporary pointer).
  dbQuery& add(const char*&& text) { return append(text); }
  dbQuery& add(bool& v) { return append(dbQueryElement::ElemBool, &v); }
  dbQuery& add(db_int1& v) { return append(dbQueryElement::ElemInt1, &v); }
  dbQuery& add(db_int2& v) { return append(dbQueryElement::ElemInt2, &v); }
  dbQuery& add(db_int4& v) { return append(dbQueryElement::ElemInt4, &v); }
  dbQuery& add(db_int8& v) { return append(dbQueryElement::ElemInt8, &v); }
  dbQuery& add(real4& v) { return append(dbQueryElement::ElemReal4, &v); }
  dbQuery& add(real8& v) { return append(dbQueryElement::ElemReal8, &v); }
  // A string variable (a pointer held in an lvalue), read at evaluation.
  dbQuery& add(char const*& v) { return append(dbQueryElement::ElemStringPtr, &v); }
  dbQuery& add(char*& v) { return append(dbQueryElement::ElemStringPtr, &v); }
  template <size_t N>
  dbQuery& add(char (&v)[N]) { return append(dbQueryElement::ElemString, v); }
  template <class T>
  dbQuery& add(dbReference<T>& v) { return append(dbQueryElement::ElemReference, &v, dbTableOf<T>()); }
  // Arrays of references: the array itself, or a pointer variable to one.
  template <class T>
  dbQuery& add(dbArray<dbReference<T>>& v) { return append(dbQueryElement::ElemRefArray, &v, dbTableOf<T>()); }
  template <class T>
  dbQuery& add(dbArray<dbReference<T>>*& v) {
    return append(dbQueryElement::ElemRefArrayPtr, &v, dbTableOf<T>());
  }

  // Chaining: q = "a=", x, " and b=", y;
  template <class T>
  dbQuery& operator,(T&& v) { return add(std::forward<T>(v)); }

  // The first element, for the compiler's lexer.
  const dbQueryElement* elements() const { return first_; }

  // Makes sure the compiled form is for `table` and `schema`, compiling with
  // `compiler` when it is not. Holds the query's mutex meanwhile, so two
  // threads never compile the same query at once. False when it does not
  // compile (the error has been reported).
  bool prepare(dbQueryCompiler& compiler, dbTableDescriptor* table, int schema);

  dbMutex mutex;

 private:
  dbQueryElement* first_ = nullptr;
  dbQueryElement* last_ = nullptr;
};
