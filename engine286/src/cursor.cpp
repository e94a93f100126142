#include "cursor.h"

#include "tavrocursor.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// dbSelection

void dbSelection::add(oid_t id) {
  if (segments.empty() || segments.back().nRows == segmentSize) segments.emplace_back();
  segment& last = segments.back();
  last.rows[last.nRows++] = id;
  nRows += 1;
}

void dbSelection::clear() {
  segments.clear();
  curr = segments.end();
  pos = 0;
  nRows = 0;
}

bool dbSelection::first() {
  if (segments.empty()) return false;
  curr = segments.begin();
  pos = 0;
  return true;
}

bool dbSelection::last() {
  if (segments.empty()) return false;
  curr = std::prev(segments.end());
  pos = curr->nRows - 1;
  return true;
}

bool dbSelection::next() {
  if (!positioned()) return false;
  if (pos + 1 < curr->nRows) {
    pos += 1;
    return true;
  }
  auto following = std::next(curr);
  if (following == segments.end()) return false;
  curr = following;
  pos = 0;
  return true;
}

bool dbSelection::prev() {
  if (!positioned()) return false;
  if (pos > 0) {
    pos -= 1;
    return true;
  }
  if (curr == segments.begin()) return false;
  curr = std::prev(curr);
  pos = curr->nRows - 1;
  return true;
}

bool dbSelection::seek(size_t n) {
  for (auto s = segments.begin(); s != segments.end(); ++s) {
    if (n < s->nRows) {
      curr = s;
      pos = n;
      return true;
    }
    n -= s->nRows;
  }
  curr = segments.end();
  return false;
}

bool dbSelection::removeCurrent() {
  segment& s = *curr;
  std::copy(s.rows.begin() + pos + 1, s.rows.begin() + s.nRows, s.rows.begin() + pos);
  s.nRows -= 1;
  if (s.nRows == 0) {
    auto following = segments.erase(curr);
    if (following != segments.end()) {
      curr = following;
      pos = 0;
      return true;
    }
    if (segments.empty()) {
      curr = segments.end();
      return false;
    }
    curr = std::prev(following);
    pos = curr->nRows - 1;
    return true;
  }
  if (pos == s.nRows) pos -= 1;  // the removed id ended its segment
  return true;
}

std::vector<oid_t> dbSelection::toVector() const {
  std::vector<oid_t> ids;
  ids.reserve(nRows);
  for (const segment& s : segments) ids.insert(ids.end(), s.rows.begin(), s.rows.begin() + s.nRows);
  return ids;
}

void dbSelection::assign(const std::vector<oid_t>& ids) {
  auto from = ids.begin();
  for (segment& s : segments) {
    std::copy(from, from + s.nRows, s.rows.begin());
    from += s.nRows;
  }
}

void dbSelection::reverse() {
  std::vector<oid_t> ids = toVector();
  std::reverse(ids.begin(), ids.end());
  assign(ids);
}

// ---------------------------------------------------------------------------
// dbAnyCursor

dbAnyCursor::dbAnyCursor(dbTableDescriptor& table, dbCursorType type, void* record)
    : db(table.db), table(&table), type(type), defaultType(type), record(record) {}

dbAnyCursor::~dbAnyCursor() = default;

void dbAnyCursor::reset() {
  if (db == nullptr) {
    if (table->db == nullptr || table->tableId == 0) {
      dbAssertionFailed("cursor associated with online database table", "engine286/src/cursor", __LINE__);
    }
    db = table->db;
  }
  unlink();
  selection.clear();
  eliminateDuplicates = false;
  allRecords = false;
  firstId = lastId = 0;
  allRecordsCount = 0;
  currId = 0;
  updateInProgress = false;
}

void dbAnyCursor::beginSelect() {
  dbDatabaseThreadContext* ctx = db->getThreadContext();
  dbAssert(db->isOpen() && ctx != nullptr);
  db->beginTransaction(type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock);
  ctx->cursors.link(this);
}

void dbAnyCursor::prefetchCurrent() {
  if (currId != 0 && prefetch) fetch();
}

size_t dbAnyCursor::select(const char* condition, dbCursorType cursorType, size_t base) {
  dbQuery query(condition);
  return select(query, cursorType, base);
}

size_t dbAnyCursor::select() {
  type = defaultType;
  reset();
  selectAllRecords();
  gotoFirst();
  prefetchCurrent();
  return nRows();
}

void dbAnyCursor::selectAllRecords() {
  beginSelect();
  const auto* stored = reinterpret_cast<const dbTable*>(db->getRow(table->tableId));
  allRecords = true;
  firstId = stored->firstRow;
  lastId = stored->lastRow;
  allRecordsCount = stored->nRows;
}

void dbAnyCursor::at(oid_t id) {
  const struct {
    oid_t oid;
  } ref{id};
  dbCursorAssert(ref.oid != 0);
  reset();
  beginSelect();
  add(id);
  gotoFirst();
  prefetchCurrent();
}

bool dbAnyCursor::isRecordId(oid_t id) {
  if (db == nullptr) db = table->db;
  if (db == nullptr) return false;
  db->beginTransaction(type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock);
  if (!db->isLiveRecord(id)) return false;
  // A live record of another table (a table description, say) would be
  // unpacked as one of ours: only a row of this table will do.
  const auto* stored = reinterpret_cast<const dbTable*>(db->getRow(table->tableId));
  for (oid_t row = stored->firstRow; row != 0; row = reinterpret_cast<const dbRecord*>(db->getRow(row))->next) {
    if (row == id) return true;
  }
  return false;
}

bool dbAnyCursor::followRowLink(bool forward) {
  if (currId == 0) return false;
  const auto* header = reinterpret_cast<const dbRecord*>(db->getRow(currId));
  oid_t to = forward ? header->next : header->prev;
  if (to == 0) return false;
  currId = to;
  return true;
}

bool dbAnyCursor::gotoFirst() {
  if (allRecords) {
    currId = firstId;
    return currId != 0;
  }
  if (!selection.first()) return false;
  currId = selection.current();
  return true;
}

bool dbAnyCursor::gotoLast() {
  if (allRecords) {
    currId = lastId;
    return currId != 0;
  }
  if (!selection.last()) return false;
  currId = selection.current();
  return true;
}

bool dbAnyCursor::gotoNext() {
  if (allRecords) return followRowLink(true);
  if (!selection.next()) return false;
  currId = selection.current();
  return true;
}

bool dbAnyCursor::gotoPrev() {
  if (allRecords) return followRowLink(false);
  if (!selection.prev()) return false;
  currId = selection.current();
  return true;
}

void dbAnyCursor::fetch() {
  dbCursorAssert(db->isLiveRecord(currId));
  if (record != nullptr) table->unpack(record, db->getRow(currId));
}

void dbAnyCursor::update() {
  dbCursorAssert(type == dbCursorForUpdate && currId != 0);
  updateInProgress = true;
  db->updateRecord(currId, table, record);
  updateInProgress = false;
}

void dbAnyCursor::remove() {
  oid_t removedId = currId;
  dbCursorAssert(type == dbCursorForUpdate && removedId != 0);
  updateInProgress = true;
  if (allRecords) {
    const auto* header = reinterpret_cast<const dbRecord*>(db->getRow(removedId));
    const oid_t next = header->next;
    if (next == 0) {
      if (removedId == firstId) {
        currId = firstId = lastId = 0;
      } else {
        currId = lastId = header->prev;
      }
    } else {
      currId = next;
      if (removedId == firstId) firstId = next;
    }
    if (allRecordsCount != 0) allRecordsCount -= 1;
  } else {
    currId = selection.positioned() && selection.removeCurrent() ? selection.current() : 0;
  }
  db->removeRecord(table, removedId);
  updateInProgress = false;
  if (currId != 0) fetch();
}

void dbAnyCursor::removeAllSelected() {
  dbCursorAssert(type == dbCursorForUpdate);
  if (allRecords) {
    dbCursorAssert(db != nullptr);
    db->removeAllRecords(table);
  } else if (!selection.empty()) {
    for (oid_t id : selection.toVector()) {
      if (db->isLiveRecord(id)) db->removeRecord(table, id);
    }
  } else if (currId != 0) {
    db->removeRecord(table, currId);
    currId = 0;
  }
  reset();
}

bool dbAnyCursor::add(oid_t id) {
  if (selection.size() >= limit) return false;
  if (eliminateDuplicates) {
    if (isMarked(id)) return true;
    mark(id);
  }
  selection.add(id);
  return selection.size() < limit;
}

void dbAnyCursor::checkForDuplicates() {
  if (eliminateDuplicates || limit < 2) return;
  eliminateDuplicates = true;
  const size_t words = (db->getWorkingIndexUsed() + 31) / 32;
  bitmap.assign(std::max(bitmap.size(), words), 0);
}

void dbAnyCursor::mark(oid_t id) {
  const size_t word = id / 32;
  if (word >= bitmap.size()) bitmap.resize(word + 1, 0);
  bitmap[word] |= db_nat4{1} << (id % 32);
}

bool dbAnyCursor::isMarked(oid_t id) const {
  const size_t word = id / 32;
  return word < bitmap.size() && (bitmap[word] & (db_nat4{1} << (id % 32))) != 0;
}

void dbAnyCursor::onRecordUpdated(oid_t id) {
  if (id == currId && !updateInProgress && record != nullptr) fetch();
}

void dbAnyCursor::onRecordRemoved(oid_t id) {
  if (id == currId) currId = 0;
}

void dbAnyCursor::adjustReferences(const db_byte* oldBase, size_t oldSize, ptrdiff_t shift) {
  if (currId != 0 && record != nullptr) table->adjustReferences(record, oldBase, oldSize, shift);
}

// ---------------------------------------------------------------------------
// tavroAnyCursor

bool tavroAnyCursor::seek(long n) {
  if (!allRecords) {
    if (n >= 0 && selection.seek(static_cast<size_t>(n))) {
      currId = selection.current();
      pos = static_cast<size_t>(n);
      return true;
    }
    selection.unposition();
    return false;
  }
  if (n < 0) return false;
  const size_t target = static_cast<size_t>(n);
  while (pos < target) {
    if (!next()) return false;
  }
  while (pos > target) {
    if (!prev()) return false;
  }
  return currId != 0;
}
