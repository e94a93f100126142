// Evaluation of compiled query conditions and sort keys against one record.
//
// The evaluator walks a dbExprNode tree (made by dbQueryCompiler) once per
// record. Everything it needs lives in the dbInheritedAttribute it is given,
// so threads evaluate concurrently without sharing anything.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "class.h"
#include "compiler.h"
#include "expr.h"
#include "query.h"
#include "types.h"

class dbDatabase;

// The value of one node.
struct dbResultValue {
  union {
    db_int8 ivalue;  // integers
    real8 fvalue;    // reals
    db_int4 bvalue;  // booleans: 0 or 1
    oid_t oid;       // references
    struct {
      const db_byte* base;  // strings, arrays, raw binary; records and elements for field loads
      size_t size;          // a string's length with its NUL; an array's element count
    } array;
  };
};

// Raised after a run-time error of an evaluation (division by zero, an index
// out of range, a null reference followed) has been reported through the
// database's handleError. The select that runs the evaluation catches it and
// ends with what the error leaves it.
struct dbEvaluationError {
  int errorClass;
};

// The evaluation context of one record.
class dbInheritedAttribute {
 public:
  // Strings made during one evaluation are carved from this buffer; longer
  // ones go to the heap and are freed with the context.
  static constexpr size_t kBufferSize = 8192;

  // `table` is the table's stored description (its firstRow and lastRow give
  // `first` and `last`); `db` resolves references and receives errors (with
  // no database, errors go to the default report).
  dbInheritedAttribute(dbDatabase* db, const dbTable* table, const db_byte* record, oid_t oid,
                       size_t paramBase = 0)
      : record(record), oid(oid), table(table), db(db), paramBase(paramBase) {}
  dbInheritedAttribute(const dbInheritedAttribute&) = delete;
  dbInheritedAttribute& operator=(const dbInheritedAttribute&) = delete;

  // Room for a string of `size` bytes that lives as long as the context.
  char* allocate(size_t size);
  // Frees the heap strings (before an error is reported).
  void freeTemporaries() { temporaries.clear(); }

  const db_byte* record;  // the record being tested (its header included)
  oid_t oid;
  const dbTable* table;
  dbDatabase* db;
  size_t paramBase;  // added to the address of every bound variable

  // One slot per EXISTS nesting level.
  struct ExistsSlot {
    db_nat8 index = 0;     // the free variable's current value
    bool indexed = false;  // whether this round indexed anything with it
  } exists[dbQueryCompiler::kMaxFreeVars];

 private:
  std::vector<std::unique_ptr<char[]>> temporaries;
  size_t bufferPos = 0;
  char buffer[kBufferSize];
};

// Computes the value of `node` for the context's record. A run-time error is
// reported and then raised as dbEvaluationError.
void dbEvaluate(const dbExprNode* node, dbInheritedAttribute& ctx, dbResultValue& result);

// The value of a boolean condition (true for the empty condition, Void).
bool dbEvaluateCondition(const dbExprNode* condition, dbInheritedAttribute& ctx);

// Whether record `oid` of the table stored as `table` passes `condition`.
bool dbTestRecord(dbDatabase* db, const dbExprNode* condition, oid_t oid, const dbTable* table,
                  size_t paramBase = 0);

// The ORDER BY comparison of records `a` and `b` (ids `aId`, `bId`) of the
// table stored as `table`: negative, 0 or positive, item by item until one
// differs. A plain field compares by its type (arrays by their length), an
// expression by its value; DESC negates.
int dbCompareRecords(const dbOrderItem* order, dbDatabase* db, const dbTable* table, const db_byte* a, oid_t aId,
                     const db_byte* b, oid_t bId, size_t paramBase = 0);

// LIKE: `%` matches any run of bytes, `_` one byte; with an escape byte e,
// "e%" and the like match the escaped byte literally.
bool dbMatchLike(const char* string, const char* pattern, int escape = -1);

// Whether `needle` (length without its NUL) occurs in `haystack`.
bool dbContainsText(const char* haystack, size_t haystackLength, const char* needle, size_t needleLength);
