// Record operations under the calling thread's exclusive lock: insert,
// update, remove and remove-all, with inverse references and the refresh of
// the thread's cursors.
#include <algorithm>
#include <vector>

#include "database.h"

namespace {

bool isReferenceArray(const dbFieldDescriptor* fd) { return fd->type == dbField::tpArray; }

dbVarying storedVarying(const db_byte* record, const dbFieldDescriptor* fd) {
  dbVarying v;
  std::memcpy(&v, record + fd->dbsOffs, sizeof v);
  return v;
}

// The ids an inverse-reference field of a stored record holds.
std::vector<oid_t> storedReferences(const db_byte* record, const dbFieldDescriptor* fd) {
  if (!isReferenceArray(fd)) {
    oid_t id;
    std::memcpy(&id, record + fd->dbsOffs, sizeof id);
    return {id};
  }
  dbVarying v = storedVarying(record, fd);
  std::vector<oid_t> ids(v.size);
  if (v.size != 0) std::memcpy(ids.data(), record + v.offs, v.size * sizeof(oid_t));
  return ids;
}

// The ids the same field of an application object holds.
std::vector<oid_t> objectReferences(const void* object, const dbFieldDescriptor* fd) {
  const auto* at = static_cast<const db_byte*>(object) + fd->appOffs;
  if (!isReferenceArray(fd)) return {reinterpret_cast<const dbAnyReference*>(at)->getOid()};
  const auto* array = reinterpret_cast<const dbAnyArray*>(at);
  const auto* refs = static_cast<const dbAnyReference*>(array->base());
  std::vector<oid_t> ids;
  for (size_t i = 0; i < array->length(); i++) ids.push_back(refs[i].getOid());
  return ids;
}

bool contains(const std::vector<oid_t>& ids, oid_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

}  // namespace

// ---------------------------------------------------------------------------
// Index maintenance: the hash tables and T-trees of a table's hashed and
// indexed fields (field lists `hashedFields` / `indexedFields`) join here.


// ---------------------------------------------------------------------------

void dbDatabase::refreshCursors(oid_t id, bool removed) {
  dbDatabaseThreadContext* ctx = getThreadContext();
  if (ctx == nullptr) return;
  for (dbL2List* node = ctx->cursors.next; node != &ctx->cursors;) {
    dbL2List* next = node->next;
    auto* cursor = static_cast<dbOpenCursor*>(node);
    if (removed) {
      cursor->onRecordRemoved(id);
    } else {
      cursor->onRecordUpdated(id);
    }
    node = next;
  }
}

void dbDatabase::addInverseReference(dbFieldDescriptor* fd, oid_t source, oid_t target) {
  dbFieldDescriptor* inverse = fd->inverseRef;
  if (source == target || inverse == nullptr) return;
  if (isReferenceArray(inverse)) {
    const auto* old = getRow(target);
    const size_t oldSize = reinterpret_cast<const dbRecord*>(old)->size;
    dbSmallBuffer copy(oldSize);
    std::memcpy(copy.data(), old, oldSize);
    const dbVarying array = storedVarying(copy.data(), inverse);
    // Grow in place when the elements end the record, else move them to the end.
    const bool atEnd = array.offs + array.size * sizeof(oid_t) == oldSize;
    const size_t elems = atEnd ? array.offs : (oldSize + sizeof(oid_t) - 1) / sizeof(oid_t) * sizeof(oid_t);
    const size_t newSize = elems + (array.size + 1) * sizeof(oid_t);
    db_byte* record = resizeRecord(target, newSize);
    std::memcpy(record + sizeof(dbRecord), copy.data() + sizeof(dbRecord), std::min(oldSize, newSize) - sizeof(dbRecord));
    std::memmove(record + elems, copy.data() + array.offs, array.size * sizeof(oid_t));
    std::memcpy(record + elems + array.size * sizeof(oid_t), &source, sizeof source);
    dbVarying updated{array.size + 1, static_cast<db_nat4>(elems)};
    std::memcpy(record + inverse->dbsOffs, &updated, sizeof updated);
  } else {
    db_byte* record = writableRecord(target);
    std::memcpy(record + inverse->dbsOffs, &source, sizeof source);
  }
  refreshCursors(target, false);
}

void dbDatabase::removeInverseReference(dbFieldDescriptor* fd, oid_t source, oid_t target) {
  dbFieldDescriptor* inverse = fd->inverseRef;
  if (source == target || target == updatedRecordId || inverse == nullptr || !isLiveRecord(target) ||
      contains(removalChain, target)) {
    return;
  }
  if ((fd->indexFlags & CASCADE_DELETE) &&
      (!isReferenceArray(inverse) || storedVarying(getRow(target), inverse).size < 2)) {
    removeRecord(inverse->defTable, target);
    return;
  }
  db_byte* record = writableRecord(target);
  if (isReferenceArray(inverse)) {
    dbVarying array = storedVarying(record, inverse);
    auto* elems = reinterpret_cast<oid_t*>(record + array.offs);
    for (size_t i = array.size; i-- > 0;) {
      if (elems[i] != source) continue;
      std::memmove(elems + i, elems + i + 1, (array.size - i - 1) * sizeof(oid_t));
      array.size -= 1;
      std::memcpy(record + inverse->dbsOffs, &array, sizeof array);
      break;
    }
  } else {
    oid_t current;
    std::memcpy(&current, record + inverse->dbsOffs, sizeof current);
    if (current == source) std::memset(record + inverse->dbsOffs, 0, sizeof(oid_t));
  }
  refreshCursors(target, false);
}

void dbDatabase::removeInverseReferences(dbTableDescriptor* table, oid_t id) {
  removalChain.push_back(id);
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    std::vector<oid_t> targets = storedReferences(getRow(id), fd);
    for (size_t i = targets.size(); i-- > 0;) {
      if (targets[i] != 0) removeInverseReference(fd, id, targets[i]);
    }
  }
  removalChain.pop_back();
}

oid_t dbDatabase::insertRecord(dbTableDescriptor* table, const void* object) {
  dbAssert(opened);
  beginTransaction(dbExclusiveLock);
  modified = true;
  const size_t size = table->recordSize(object);
  const oid_t id = createRow(table->tableId, size);
  table->pack(getRow(id), object);
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    for (oid_t target : objectReferences(object, fd)) {
      if (target != 0) addInverseReference(fd, id, target);
    }
  }
  const auto* stored = reinterpret_cast<const dbTable*>(getRow(table->tableId));
  insertIntoIndices(table, id, stored->nRows, false);
  return id;
}

void dbDatabase::updateRecord(oid_t id, dbTableDescriptor* table, const void* object) {
  dbAssert(opened);
  beginTransaction(dbExclusiveLock);
  const size_t size = table->recordSize(object);
  table->markUpdatedFields(getRow(id), object);

  updatedRecordId = id;
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    const std::vector<oid_t> before = storedReferences(getRow(id), fd);
    const std::vector<oid_t> after = objectReferences(object, fd);
    for (oid_t target : before) {
      if (target != 0 && !contains(after, target)) removeInverseReference(fd, id, target);
    }
    for (oid_t target : after) {
      if (target != 0 && !contains(before, target)) addInverseReference(fd, id, target);
    }
  }
  updatedRecordId = 0;

  removeFromIndices(table, id, true);
  const offs_t oldPos = currIndex[id];
  db_byte* record = resizeRecord(id, size);
  if (currIndex[id] == oldPos) {
    // The object's strings may point into this very record: pack aside first.
    dbSmallBuffer buffer(size);
    std::memset(buffer.data(), 0, size);
    table->pack(buffer.data(), object);
    std::memcpy(record + sizeof(dbRecord), buffer.data() + sizeof(dbRecord), size - sizeof(dbRecord));
  } else {
    table->pack(record, object);
  }
  modified = true;
  insertIntoIndices(table, id, 0, true);
  table->clearUpdatedFields();
  refreshCursors(id, false);
}

void dbDatabase::removeRecord(dbTableDescriptor* table, oid_t id) {
  beginTransaction(dbExclusiveLock);
  modified = true;
  removeInverseReferences(table, id);
  removeFromIndices(table, id, false);
  removeRow(table->tableId, id);
  refreshCursors(id, true);
}

void dbDatabase::removeAllRecords(dbTableDescriptor* table) {
  beginTransaction(dbExclusiveLock);
  modified = true;
  auto* stored = reinterpret_cast<dbTable*>(writableRecord(table->tableId));
  oid_t id = stored->firstRow;
  stored->firstRow = stored->lastRow = 0;
  stored->nRows = 0;
  while (id != 0) {
    const oid_t next = reinterpret_cast<const dbRecord*>(getRow(id))->next;
    removeInverseReferences(table, id);
    releaseObject(id);
    freeId(id);
    id = next;
  }
  purgeIndices(table);
}
