// Index keys: how a key is found in a record, compared and hashed by the
// type of its field, and the search context that index lookups receive.
#pragma once

#include <cstddef>
#include <string>

#include "class.h"  // dbField type codes, dbUDTComparator
#include "types.h"

// The indexed field as the index code sees it.
struct dbKeyField {
  int type;
  size_t size;                 // stored size of the field in the record
  size_t offs;                 // offset of the field from the start of the record
  dbUDTComparator comparator;  // used for tpRawBinary keys only
};

// Address of a record's key: the field itself, or for tpString the
// NUL-terminated text its varying reference points to.
const void* dbRecordKey(const db_byte* record, const dbKeyField& field);

// Length in bytes of a record's key as it is hashed: the text without its
// NUL for strings, the field size otherwise.
size_t dbRecordKeyLength(const db_byte* record, const dbKeyField& field);

// A copy of a record's key (with the NUL for strings), for callers that must
// keep the key while the store may move.
std::string dbCopyRecordKey(const db_byte* record, const dbKeyField& field);

// Compares two keys in the field's representation (strings NUL-terminated):
// negative, zero or positive. An unknown type is a fatal assertion.
int dbCompareKeys(const void* a, const void* b, const dbKeyField& field);

// h = h*31 + byte over `length` bytes taken as unsigned, wrapping in 32 bits.
db_nat4 dbHashCode(const void* key, size_t length);

// Receives the ids an index search or walk finds (the cursor).
class dbIdReceiver {
 public:
  // Takes an id; returns false when no further id is wanted (the cursor is
  // full), which ends the search or walk at once.
  virtual bool add(oid_t oid) = 0;

 protected:
  ~dbIdReceiver() = default;
};

// A further condition each found record must pass (the query's filter).
class dbIndexFilter {
 public:
  virtual bool passes(oid_t oid) = 0;

 protected:
  ~dbIndexFilter() = default;
};

// One search of a hash table or T-tree.
struct dbIndexSearch {
  const void* firstKey = nullptr;  // none: no lower bound
  int firstKeyInclusion = 1;       // 1 inclusive, 0 exclusive
  const void* lastKey = nullptr;   // none: no upper bound
  int lastKeyInclusion = 1;
  int type = 0;
  size_t sizeofType = 0;
  size_t offs = 0;
  dbUDTComparator comparator = nullptr;
  dbIndexFilter* condition = nullptr;  // none: every found record qualifies
  dbIdReceiver* cursor = nullptr;
  int probes = 0;  // raised by one per hash item or T-tree node visited

  dbKeyField field() const { return {type, sizeofType, offs, comparator}; }
};

// Reports a broken index invariant ("Assertion failed: TEXT, file FILE,
// line N") on standard error and ends the process.
[[noreturn]] void dbIndexAssertionFailed(const char* text, const char* file, int line);

#define dbIndexAssert(condition, file) \
  ((condition) ? static_cast<void>(0) : dbIndexAssertionFailed(#condition, file, __LINE__))
