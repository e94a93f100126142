// Cursors: how the program reads and changes the records of one table.
//
// A cursor selects records (every record, those matching a query, or the one
// a reference names), walks them one at a time, copies the current one into
// a program object of the record's class, and writes changes back or
// removes records:
//
//   dbCursor<Product> products(dbCursorForUpdate);
//   dbQuery q;
//   q = "price >", limit, "order by name";
//   for (bool more = products.select(q) != 0; more; more = products.next()) {
//     products->price *= 2;  // the fetched copy
//     products.update();
//   }
//
// A selection holds only object ids, in 1024-id segments, in the order the
// select produced them. Select-all builds no selection at all: the cursor
// then walks the table's row list ("all-records mode"). Every select puts
// the cursor on its thread's list of open cursors, so that the engine can
// tell it about changes to its current record; the end of the thread's
// transaction resets it.
#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <vector>

#include "class.h"
#include "database.h"
#include "keys.h"
#include "query.h"
#include "types.h"

enum dbCursorType { dbCursorForRead = 0, dbCursorForUpdate = 1 };

// Reports a broken cursor precondition ("Assertion failed: TEXT, file
// engine286/src/cursor, line N") and ends the process.
#define dbCursorAssert(condition) \
  ((condition) ? static_cast<void>(0) : dbAssertionFailed(#condition, "engine286/src/cursor", __LINE__))

// The ids a select produced, in 1024-id segments, with a read position.
class dbSelection {
 public:
  static constexpr size_t segmentSize = 1024;

  struct segment {
    size_t nRows = 0;
    std::array<oid_t, segmentSize> rows;
  };
  using Segments = std::list<segment>;

  // Appends an id (a new segment when the last one is full).
  void add(oid_t id);
  // Drops every id; the position is then nowhere.
  void clear();
  bool empty() const { return segments.empty(); }
  size_t size() const { return nRows; }

  // Position: the current segment and the index in it; none when `curr` is
  // the end of the list.
  bool positioned() const { return curr != segments.end(); }
  oid_t current() const { return curr->rows[pos]; }
  // Moves to the first or last id; false on an empty selection.
  bool first();
  bool last();
  // Moves one id on or back; false (not moving) at the end.
  bool next();
  bool prev();
  // Moves to the n-th id (from 0); false, leaving no position, when there
  // is no such id.
  bool seek(size_t n);
  void unposition() { curr = segments.end(); }

  // Takes the current id out. The id after it in its segment becomes
  // current; when it was the segment's last, the one before it; when the
  // segment empties, the first id of the next segment (or the last of the
  // previous one). Returns false when nothing is left to
  // be current. `nRows` is kept: it counts what the select found.
  bool removeCurrent();

  // All ids in order, and back after a sort (same count).
  std::vector<oid_t> toVector() const;
  void assign(const std::vector<oid_t>& ids);
  // Reverses the order of the ids.
  void reverse();

 private:
  Segments segments;
  Segments::iterator curr = segments.end();
  size_t pos = 0;
  size_t nRows = 0;
};

class dbAnyCursor : public dbOpenCursor, public dbIdReceiver {
 public:
  static constexpr size_t defaultLimit = 2000000000;

  // A cursor of `table` whose current record is copied into `record` (may be
  // null: a cursor that only walks ids). Not on any list, nothing selected.
  dbAnyCursor(dbTableDescriptor& table, dbCursorType type, void* record);
  virtual ~dbAnyCursor();
  dbAnyCursor(const dbAnyCursor&) = delete;
  dbAnyCursor& operator=(const dbAnyCursor&) = delete;

  // Selects the records matching `query` with the given cursor type and
  // fetches the first one; returns the number selected. A query that does
  // not compile, or whose evaluation raises a run-time error, selects
  // nothing (the error has been reported).
  size_t select(dbQuery& query, dbCursorType type, size_t paramBase = 0);
  // The same with a query made of one text.
  size_t select(const char* condition, dbCursorType type, size_t paramBase = 0);
  // Every record of the table (all-records mode), the first one fetched.
  size_t select();

  // Makes record `id` the only selected one and fetches it (id not 0).
  void at(oid_t id);
  // Whether `id` names a record of this cursor's table (beginning the
  // transaction a select of this cursor would). Walks the table's rows.
  bool isRecordId(oid_t id);

  // Moving: whether there is a record there. Failure does not move.
  bool gotoFirst();
  bool gotoLast();
  bool gotoNext();
  bool gotoPrev();

  // Copies the current record into the record object.
  void fetch();
  // Writes the record object back over the current record (update cursor).
  void update();
  // Removes the current record; the next one (or, at the end, the previous
  // one) becomes current and is fetched.
  void remove();
  // Removes every selected record (every record of the table in
  // all-records mode) and resets the cursor.
  void removeAllSelected();

  // Forgets the selection and leaves the open-cursor list.
  void reset();

  // Appends an id to the selection; false when the cursor is full (or was
  // already). With duplicate elimination an id seen before is skipped.
  bool add(oid_t id) override;
  // Turns duplicate elimination on for the current selection.
  void checkForDuplicates();
  void mark(oid_t id);
  bool isMarked(oid_t id) const;
  bool isFull() const { return nRows() >= limit; }

  size_t getNumberOfRecords() const { return nRows(); }
  oid_t currentId() const { return currId; }
  bool isInAllRecordsMode() const { return allRecords; }
  dbCursorType getType() const { return type; }
  dbTableDescriptor* getTable() const { return table; }
  dbDatabase* getDatabase() const { return db; }

  // Whether a select fetches its first record at once (default true).
  void setPrefetch(bool on) { prefetch = on; }
  // The most ids a selection may hold.
  void setLimit(size_t n) { limit = n; }

  // dbOpenCursor: what the engine tells the cursors of a thread.
  void onTransactionEnd() override { reset(); }
  void onRecordUpdated(oid_t id) override;
  void onRecordRemoved(oid_t id) override;
  void adjustReferences(const db_byte* oldBase, size_t oldSize, ptrdiff_t shift) override;

 protected:
  friend class dbSelectRun;  // the select procedure fills the selection

  size_t nRows() const { return allRecords ? allRecordsCount : selection.size(); }
  // Begins the transaction a select of this cursor's type needs and puts
  // the cursor on its thread's list.
  void beginSelect();
  // Select-all: all-records mode over the table's row list.
  void selectAllRecords();
  // Follows the current id's row link (next or prev) in all-records mode.
  bool followRowLink(bool forward);
  // Fetches the current record when there is one and prefetch is on.
  void prefetchCurrent();

  dbDatabase* db;
  dbTableDescriptor* table;
  dbCursorType type;
  dbCursorType defaultType;
  dbSelection selection;
  bool allRecords = false;
  oid_t firstId = 0;
  oid_t lastId = 0;
  size_t allRecordsCount = 0;
  oid_t currId = 0;
  void* record;
  size_t limit = defaultLimit;
  std::vector<db_nat4> bitmap;
  bool eliminateDuplicates = false;
  bool prefetch = true;
  bool updateInProgress = false;
  size_t paramBase = 0;
};

// A cursor of records of class T, holding the object that receives the
// current record.
template <class T>
class dbCursor : public dbAnyCursor {
 public:
  explicit dbCursor(dbCursorType type = dbCursorForRead) : dbAnyCursor(*dbTableOf<T>(), type, &object) {}

  size_t select(dbQuery& query) { return dbAnyCursor::select(query, defaultType); }
  size_t select(const char* condition) { return dbAnyCursor::select(condition, defaultType); }
  size_t select() { return dbAnyCursor::select(); }

  // The current record (there must be one).
  T* get() {
    dbCursorAssert(currId != 0);
    return &object;
  }
  T* operator->() { return get(); }
  T* at(dbReference<T> ref) {
    dbAnyCursor::at(ref.getOid());
    return &object;
  }
  dbReference<T> currentId() const { return dbReference<T>(currId); }
  bool next() { return gotoNext() && (fetch(), true); }
  bool prev() { return gotoPrev() && (fetch(), true); }

 private:
  T object{};
};
