// The program's cursors: a position counter over the engine's cursor, so
// that a page can jump to the n-th record of a selection (its `index`
// parameter) and step on from there.
//
//   tavroCursor<Product> products;
//   products.select(q);
//   for (Product* p = products.seekAndFetch(index); p != nullptr; p = products.nextAndFetch()) ...
#pragma once

#include <cstddef>

#include "cursor.h"

class tavroAnyCursor : public dbAnyCursor {
 public:
  tavroAnyCursor(dbTableDescriptor& table, dbCursorType type, void* record) : dbAnyCursor(table, type, record) {}

  // 0-based position of the current record in the selection.
  size_t pos = 0;

  bool first() {
    pos = 0;
    return gotoFirst();
  }
  bool next() {
    if (!gotoNext()) return false;
    pos += 1;
    return true;
  }
  bool prev() {
    if (!gotoPrev()) return false;
    pos -= 1;
    return true;
  }
  // Makes the n-th selected record (from 0) current. On failure (no such
  // record) nothing is current for stepping on: next fails too.
  bool seek(long n);
};

template <class T>
class tavroCursor : public tavroAnyCursor {
 public:
  explicit tavroCursor(dbCursorType type = dbCursorForRead) : tavroAnyCursor(*dbTableOf<T>(), type, &object) {}

  size_t select(dbQuery& query) {
    pos = 0;
    return dbAnyCursor::select(query, defaultType);
  }
  size_t select(const char* condition) {
    pos = 0;
    return dbAnyCursor::select(condition, defaultType);
  }
  size_t select() {
    pos = 0;
    return dbAnyCursor::select();
  }

  // The current record (there must be one).
  T* get() {
    dbCursorAssert(currId != 0);
    return &object;
  }
  T* operator->() { return get(); }
  dbReference<T> currentId() const { return dbReference<T>(currId); }

  // The n-th selected record, fetched; null when there is none.
  T* seekAndFetch(long n) { return seek(n) ? fetched() : nullptr; }
  // The next record, fetched; null at the end.
  T* nextAndFetch() { return next() ? fetched() : nullptr; }
  // Makes the referenced record the only selected one and fetches it.
  T* at(dbReference<T> ref) {
    pos = 0;
    dbAnyCursor::at(ref.getOid());
    return &object;
  }
  // As at, but null (instead of stopping) when the id names no record.
  T* checkedAt(dbReference<T> ref) { return isRecordId(ref.getOid()) ? at(ref) : nullptr; }
  // Steps from the first selected record to the referenced one and fetches
  // it; null when the selection does not hold it.
  T* locate(dbReference<T> ref) {
    for (bool more = first(); more; more = next()) {
      if (currId == ref.getOid()) return fetched();
    }
    return nullptr;
  }

 private:
  T* fetched() {
    fetch();
    return &object;
  }

  T object{};
};
