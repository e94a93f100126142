// The schema: stored table descriptions built from, compared with and
// converted to the program's table descriptors, and the schema load at open.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <limits>
#include <vector>

#include "class.h"
#include "database.h"
#include "hashtab.h"
#include "ttree.h"

namespace {

const char* referencedTableName(const dbFieldDescriptor& fd) { return fd.refTable != nullptr ? fd.refTable->name : ""; }
const char* inverseName(const dbFieldDescriptor& fd) { return fd.inverseRefName != nullptr ? fd.inverseRefName : ""; }

// The stored field entries of a table description, with their names.
class StoredFields {
 public:
  explicit StoredFields(const dbTable* table)
      : base(reinterpret_cast<const db_byte*>(table)), first(table->fields.offs), count(table->fields.size) {}

  size_t size() const { return count; }
  dbField entry(size_t i) const {
    dbField e;
    std::memcpy(&e, base + entryOffset(i), sizeof e);
    return e;
  }
  const char* text(size_t i, const dbVarying& name) const {
    return reinterpret_cast<const char*>(base + entryOffset(i) + name.offs);
  }
  size_t entryOffset(size_t i) const { return first + i * sizeof(dbField); }

 private:
  const db_byte* base;
  size_t first;
  size_t count;
};

// Whether a stored field of `old` type can be converted to `fd`.
bool convertible(const dbFieldDescriptor& fd, int oldType, const char* oldTableName) {
  auto numeric = [](int type) { return type >= dbField::tpBool && type <= dbField::tpReal8; };
  if (fd.type == dbField::tpReference || oldType == dbField::tpReference) {
    return fd.type == oldType && std::strcmp(referencedTableName(fd), oldTableName) == 0;
  }
  if (numeric(fd.type) || numeric(oldType)) return numeric(fd.type) && numeric(oldType);
  if (fd.type == dbField::tpString || oldType == dbField::tpString) return fd.type == oldType;
  return fd.type == oldType;
}

// A stored number read as the widest integer or real of its kind.
struct OldNumber {
  bool isReal = false;
  db_int8 integer = 0;
  real8 real = 0;
};

OldNumber readNumber(const db_byte* at, int type) {
  OldNumber n;
  switch (type) {
    case dbField::tpBool:
    case dbField::tpInt1: {
      db_int1 v;
      std::memcpy(&v, at, 1);
      n.integer = type == dbField::tpBool ? static_cast<db_nat1>(v) : v;
      break;
    }
    case dbField::tpInt2: {
      db_int2 v;
      std::memcpy(&v, at, 2);
      n.integer = v;
      break;
    }
    case dbField::tpInt4: {
      db_int4 v;
      std::memcpy(&v, at, 4);
      n.integer = v;
      break;
    }
    case dbField::tpInt8:
      std::memcpy(&n.integer, at, 8);
      break;
    case dbField::tpReal4: {
      real4 v;
      std::memcpy(&v, at, 4);
      n.isReal = true;
      n.real = v;
      break;
    }
    default:
      std::memcpy(&n.real, at, 8);
      n.isReal = true;
      break;
  }
  return n;
}

// A real truncated toward zero into an integer of `bytes` bytes; values out
// of the target's range (and NaN) are clamped instead of being undefined.
db_int8 truncateReal(real8 value, size_t bytes) {
  db_int8 max = bytes == 8 ? std::numeric_limits<db_int8>::max() : (db_int8{1} << (bytes * 8 - 1)) - 1;
  db_int8 min = -max - 1;
  if (std::isnan(value)) return 0;
  if (value >= static_cast<real8>(max)) return max;
  if (value <= static_cast<real8>(min)) return min;
  return static_cast<db_int8>(std::trunc(value));
}

void writeNumber(db_byte* at, int type, const OldNumber& n) {
  auto store = [at](auto v) { std::memcpy(at, &v, sizeof v); };
  bool toInteger = type >= dbField::tpInt1 && type <= dbField::tpInt8;
  db_int8 integer = n.isReal && toInteger ? truncateReal(n.real, size_t{1} << (type - dbField::tpInt1)) : n.integer;
  switch (type) {
    case dbField::tpBool:
      store(static_cast<db_nat1>(n.isReal ? n.real != 0 : n.integer != 0));
      break;
    case dbField::tpInt1:
      store(static_cast<db_int1>(integer));
      break;
    case dbField::tpInt2:
      store(static_cast<db_int2>(integer));
      break;
    case dbField::tpInt4:
      store(static_cast<db_int4>(integer));
      break;
    case dbField::tpInt8:
      store(integer);
      break;
    case dbField::tpReal4:
      store(static_cast<real4>(n.isReal ? n.real : static_cast<real8>(n.integer)));
      break;
    case dbField::tpReal8:
      store(n.isReal ? n.real : static_cast<real8>(n.integer));
      break;
    default:
      break;
  }
}

// Converts one field holding no strings or arrays from its old stored form.
// A field without an old counterpart keeps the zero bytes it was given.
void convertFixedField(const dbFieldDescriptor& fd, db_byte* to, const db_byte* from) {
  int oldType = fd.oldDbsType;
  if (fd.type == dbField::tpRawBinary) {
    if (oldType == dbField::tpRawBinary) std::memcpy(to, from, std::min(fd.oldDbsSize, fd.dbsSize));
  } else if (fd.type == dbField::tpReference) {
    if (oldType == dbField::tpReference) std::memcpy(to, from, sizeof(oid_t));
  } else if (oldType >= dbField::tpBool && oldType <= dbField::tpReal8) {
    writeNumber(to, fd.type, readNumber(from, oldType));
  }
}

// Converts one level of an old record into the new layout. With `record`
// null only the length is computed. `newBase`/`oldBase` are the offsets of
// the level's container (the record, or an array element) in either record;
// `v` is the next free byte of the new variable part. Returns the new `v`.
size_t convertLevel(const dbFieldDescriptor* level, db_byte* record, const db_byte* old, size_t newBase,
                    size_t oldBase, size_t v) {
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    db_byte* to = record != nullptr ? record + newBase + fd.dbsOffs : nullptr;
    const db_byte* from = old + oldBase + fd.oldDbsOffs;
    switch (fd.type) {
      case dbField::tpStructure:
        v = convertLevel(fd.components, record, old, newBase, oldBase, v);
        break;
      case dbField::tpString: {
        const db_byte* chars = reinterpret_cast<const db_byte*>("");
        size_t length = 1;
        if (fd.oldDbsType == dbField::tpString) {
          dbVarying was = dbReadVarying(from);
          chars = old + oldBase + was.offs;
          length = was.size;
        }
        if (record != nullptr) {
          dbWriteVarying(to, length, v - newBase);
          std::memcpy(record + v, chars, length);
        }
        v += length;
        break;
      }
      case dbField::tpArray: {
        const dbFieldDescriptor* elem = fd.components;
        size_t n = 0;
        size_t oldStart = 0;
        if (fd.oldDbsType == dbField::tpArray) {
          dbVarying was = dbReadVarying(from);
          n = was.size;
          oldStart = oldBase + was.offs;
        }
        size_t start = dbAlignUp(v, elem->alignment);
        if (record != nullptr) {
          std::memset(record + v, 0, start - v + n * elem->dbsSize);
          dbWriteVarying(to, n, start - newBase);
        }
        v = start + n * elem->dbsSize;
        for (size_t i = 0; i < n; i++) {
          v = convertLevel(elem, record, old, start + i * elem->dbsSize, oldStart + i * elem->oldDbsSize, v);
        }
        break;
      }
      default:
        if (record != nullptr) convertFixedField(fd, to, from);
        break;
    }
  });
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Stored descriptions

size_t dbTableDescriptor::storedDescriptionSize() const {
  size_t size = sizeof(dbTable) + nFields * sizeof(dbField) + std::strlen(name) + 1;
  for (const dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    size += std::strlen(fd->longName) + 3 + std::strlen(inverseName(*fd)) + std::strlen(referencedTableName(*fd));
  }
  return size;
}

void dbTableDescriptor::storeInDatabase(dbTable* table) const {
  auto* base = reinterpret_cast<db_byte*>(table);
  size_t offs = sizeof(dbTable) + nFields * sizeof(dbField);
  auto putText = [&](dbVarying& ref, const char* text, size_t relativeTo) {
    size_t length = std::strlen(text) + 1;
    ref = {static_cast<db_nat4>(length), static_cast<db_nat4>(offs - relativeTo)};
    std::memcpy(base + offs, text, length);
    offs += length;
  };
  putText(table->name, name, 0);
  table->fields = {static_cast<db_nat4>(nFields), static_cast<db_nat4>(sizeof(dbTable))};
  table->fixedSize = static_cast<db_nat4>(fixedSize);
  table->nColumns = static_cast<db_nat4>(nColumns);
  size_t entryOffs = sizeof(dbTable);
  for (const dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, entryOffs += sizeof(dbField)) {
    dbField entry{};
    putText(entry.name, fd->longName, entryOffs);
    putText(entry.tableName, referencedTableName(*fd), entryOffs);
    putText(entry.inverse, inverseName(*fd), entryOffs);
    entry.type = fd->type;
    entry.offset = static_cast<db_int4>(fd->dbsOffs);
    entry.size = static_cast<db_int4>(fd->dbsSize);
    entry.hashTable = fd->hashTable;
    entry.tTree = fd->tTree;
    std::memcpy(base + entryOffs, &entry, sizeof entry);
  }
}

bool dbTableDescriptor::equal(const dbTable* table) {
  if (table->nColumns != nColumns || table->fields.size != nFields || table->fixedSize != fixedSize) return false;
  StoredFields stored(table);
  size_t i = 0;
  for (const dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, i++) {
    dbField e = stored.entry(i);
    // The size matters too: a raw binary field may grow in place.
    if (std::strcmp(stored.text(i, e.name), fd->longName) != 0 ||
        std::strcmp(stored.text(i, e.tableName), referencedTableName(*fd)) != 0 ||
        std::strcmp(stored.text(i, e.inverse), inverseName(*fd)) != 0 || e.offset != static_cast<db_int4>(fd->dbsOffs) ||
        e.type != fd->type || e.size != static_cast<db_int4>(fd->dbsSize)) {
      return false;
    }
  }
  i = 0;
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, i++) {
    dbField e = stored.entry(i);
    fd->hashTable = e.hashTable;
    fd->tTree = e.tTree;
  }
  return true;
}

const char* dbTableDescriptor::match(dbTable* table, bool allowColumnDrop, bool& formatChanged) {
  StoredFields stored(table);
  std::vector<bool> matched(stored.size(), false);
  formatChanged = stored.size() != nFields;
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    fd->oldDbsType = dbField::tpUnknown;
    size_t i = 0;
    while (i < stored.size() && std::strcmp(stored.text(i, stored.entry(i).name), fd->longName) != 0) i++;
    if (i == stored.size()) {
      formatChanged = true;
      continue;
    }
    dbField e = stored.entry(i);
    if (!convertible(*fd, e.type, stored.text(i, e.tableName))) return "field can be converted to new format";
    matched[i] = true;
    fd->oldDbsType = e.type;
    fd->oldDbsOffs = e.offset;
    fd->oldDbsSize = e.size;
    if (e.type != fd->type || e.offset != static_cast<db_int4>(fd->dbsOffs) ||
        e.size != static_cast<db_int4>(fd->dbsSize)) {
      formatChanged = true;
    }
    if (e.type == fd->type) {
      // The index survives the conversion: keep it out of the drop that
      // rewriting the description does.
      if ((fd->indexFlags & HASHED) && e.hashTable != 0) {
        fd->hashTable = e.hashTable;
        e.hashTable = 0;
      }
      if ((fd->indexFlags & INDEXED) && e.tTree != 0) {
        fd->tTree = e.tTree;
        e.tTree = 0;
      }
      std::memcpy(reinterpret_cast<db_byte*>(table) + stored.entryOffset(i), &e, sizeof e);
    }
  }
  if (!allowColumnDrop && std::find(matched.begin(), matched.end(), false) != matched.end()) {
    return "field can be removed only from empty table";
  }
  return nullptr;
}

size_t dbTableDescriptor::convertedRecordSize(const db_byte* old) const {
  return convertLevel(columns, nullptr, old, 0, 0, fixedSize);
}

void dbTableDescriptor::convertRecord(db_byte* record, const db_byte* old) const {
  std::memset(record + sizeof(dbRecord), 0, fixedSize - sizeof(dbRecord));
  convertLevel(columns, record, old, 0, 0, fixedSize);
}

void dbTableDescriptor::setFlagsFromIndices() {
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    if (fd->tTree != 0) fd->indexFlags |= INDEXED;
    if (fd->hashTable != 0) fd->indexFlags |= HASHED;
  }
}

// ---------------------------------------------------------------------------
// Schema load

namespace {

bool writableMode(dbDatabase::dbAccessType type) {
  return type != dbDatabase::dbReadOnly && type != dbDatabase::dbConcurrentRead;
}

// Brings the stored entries' index ids in line with the fields, dropping the
// structures no field names any more.
void syncStoredIndices(dbDatabase& db, dbTableDescriptor* table) {
  std::vector<oid_t> oldHashTables, oldTtrees;
  auto* stored = reinterpret_cast<dbTable*>(db.writableRecord(table->tableId));
  auto* entry = reinterpret_cast<db_byte*>(stored) + stored->fields.offs;
  for (const dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField, entry += sizeof(dbField)) {
    dbField e;
    std::memcpy(&e, entry, sizeof e);
    if (e.hashTable != fd->hashTable && e.hashTable != 0) oldHashTables.push_back(e.hashTable);
    if (e.tTree != fd->tTree && e.tTree != 0) oldTtrees.push_back(e.tTree);
    e.hashTable = fd->hashTable;
    e.tTree = fd->tTree;
    std::memcpy(entry, &e, sizeof e);
  }
  for (oid_t id : oldHashTables) dbHashTable::drop(db, id);
  for (oid_t id : oldTtrees) dbTtree::drop(db, id);
}

const char* storedTableName(const db_byte* row) {
  const auto* table = reinterpret_cast<const dbTable*>(row);
  return reinterpret_cast<const char*>(row + table->name.offs);
}

}  // namespace

bool dbDatabase::loadScheme(bool alter) {
  // Without `alter` another user holds the file, which is then never
  // changed here: tables are neither added nor indexed, as in a read-only mode.
  const bool writable = writableMode(accessType) && alter;
  if (!beginTransaction(writable ? dbExclusiveLock : dbSharedLock)) return false;
  const dbTable metatable = *reinterpret_cast<const dbTable*>(getRow(MetatableId));
  oid_t position = metatable.firstRow;

  auto fail = [this](const char* message) {
    if (message != nullptr) handleError(ErrOpen, message);
    rollback();
    unlinkTables();
    return false;
  };

  for (dbTableDescriptor* table = dbTableDescriptor::chain; table != nullptr; table = table->next) {
    if (table->db != nullptr && table->db != this) continue;
    for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
      fd->hashTable = 0;
      fd->tTree = 0;
      fd->attr &= ~Updated;
    }
    oid_t found = 0;
    for (size_t n = metatable.nRows; n != 0 && found == 0; n--) {
      const db_byte* row = getRow(position);
      if (std::strcmp(storedTableName(row), table->name) == 0) found = position;
      // Tables added meanwhile follow the old last row: they are not searched.
      position = position == metatable.lastRow ? metatable.firstRow : reinterpret_cast<const dbRecord*>(row)->next;
    }
    if (found != 0) {
      if (table->equal(reinterpret_cast<const dbTable*>(getRow(found)))) {
        linkTable(table, found);
      } else {
        if (!writable) return fail("Incompatible class definition in application");
        if (!beginTransaction(dbExclusiveLock)) return fail(nullptr);
        modified = true;
        if (reinterpret_cast<const dbTable*>(getRow(found))->nRows == 0) {
          updateTableDescriptor(table, found);
        } else if (!reformatTable(found, table)) {
          return fail(nullptr);
        }
      }
      table->setFlagsFromIndices();
    } else {
      if (!writable) return fail("New table definition can not be added to read only database");
      addNewTable(table);
      modified = true;
    }
    if (writable && !addIndices(alter, table)) return fail("Failed to alter indices with active applications");
  }
  checkInverseReferences();
  commit();
  return true;
}

void dbDatabase::linkTable(dbTableDescriptor* table, oid_t tableId) {
  if (table->tableId != 0) dbAssertionFailed("Table can be used only in one database", __FILE__, __LINE__);
  table->tableId = tableId;
  table->db = this;
  table->nextDbTable = tables;
  tables = table;
}

void dbDatabase::unlinkTables() {
  for (dbTableDescriptor* table = tables; table != nullptr; table = table->nextDbTable) {
    table->tableId = 0;
    if (!table->fixedDatabase) table->db = nullptr;
  }
  tables = nullptr;
}

void dbDatabase::addNewTable(dbTableDescriptor* table) {
  oid_t tableId = createRow(MetatableId, table->storedDescriptionSize());
  linkTable(table, tableId);
  auto* stored = reinterpret_cast<dbTable*>(writableRecord(tableId));
  table->storeInDatabase(stored);
  stored->nRows = 0;
  stored->firstRow = 0;
  stored->lastRow = 0;
}

void dbDatabase::updateTableDescriptor(dbTableDescriptor* table, oid_t tableId) {
  linkTable(table, tableId);
  const auto* old = reinterpret_cast<const dbTable*>(getRow(tableId));
  const db_nat4 nRows = old->nRows;
  const oid_t firstRow = old->firstRow;
  const oid_t lastRow = old->lastRow;
  std::vector<oid_t> hashTables, tTrees;
  StoredFields stored(old);
  for (size_t i = 0; i < stored.size(); i++) {
    dbField e = stored.entry(i);
    if (e.hashTable != 0) hashTables.push_back(e.hashTable);
    if (e.tTree != 0) tTrees.push_back(e.tTree);
  }
  for (oid_t id : hashTables) dbHashTable::drop(*this, id);
  for (oid_t id : tTrees) dbTtree::drop(*this, id);
  auto* description = reinterpret_cast<dbTable*>(resizeRecord(tableId, table->storedDescriptionSize()));
  table->storeInDatabase(description);
  description->nRows = nRows;
  description->firstRow = firstRow;
  description->lastRow = lastRow;
}

bool dbDatabase::reformatTable(oid_t tableId, dbTableDescriptor* table) {
  // Matched on a copy, so that a refused change leaves the file untouched.
  const db_byte* row = getRow(tableId);
  std::vector<db_byte> description(row, row + reinterpret_cast<const dbRecord*>(row)->size);
  auto* stored = reinterpret_cast<dbTable*>(description.data());
  bool formatChanged = false;
  if (const char* error = table->match(stored, allowColumnDrop, formatChanged)) {
    handleError(ErrOpen, error);
    return false;
  }
  std::memcpy(writableRecord(tableId), description.data(), description.size());
  oid_t rowId = stored->firstRow;
  updateTableDescriptor(table, tableId);
  if (!formatChanged) return true;
  // Each row is copied first: it may be resized in place, and growing the
  // file moves every address.
  std::vector<db_byte> old;
  while (rowId != 0) {
    const db_byte* row = getRow(rowId);
    old.assign(row, row + reinterpret_cast<const dbRecord*>(row)->size);
    oid_t next = reinterpret_cast<const dbRecord*>(old.data())->next;
    db_byte* record = resizeRecord(rowId, table->convertedRecordSize(old.data()));
    table->convertRecord(record, old.data());
    rowId = next;
  }
  return true;
}

bool dbDatabase::addIndices(bool alter, dbTableDescriptor* table) {
  bool changed = false;
  std::vector<dbFieldDescriptor*> newHashTables, newTtrees;
  const size_t nRows = reinterpret_cast<const dbTable*>(getRow(table->tableId))->nRows;
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
    if (fd->type == dbField::tpStructure) continue;
    bool wantsHash = (fd->indexFlags & HASHED) != 0;
    bool wantsTree = (fd->indexFlags & INDEXED) != 0;
    if (wantsHash != (fd->hashTable != 0) || wantsTree != (fd->tTree != 0)) {
      // Another user of the file may be reading the indices as they are.
      if (!alter) return false;
      changed = true;
    }
    if (wantsHash && fd->hashTable == 0) {
      fd->hashTable = dbHashTable::create(*this, nRows);
      newHashTables.push_back(fd);
    } else if (!wantsHash) {
      fd->hashTable = 0;
    }
    if (wantsTree && fd->tTree == 0) {
      fd->tTree = dbTtree::create(*this);
      newTtrees.push_back(fd);
    } else if (!wantsTree) {
      fd->tTree = 0;
    }
  }
  if (!newHashTables.empty() || !newTtrees.empty()) {
    oid_t rowId = reinterpret_cast<const dbTable*>(getRow(table->tableId))->firstRow;
    while (rowId != 0) {
      for (dbFieldDescriptor* fd : newHashTables) {
        dbHashTable::insert(*this, fd->hashTable, rowId, fd->type, fd->dbsSize, fd->dbsOffs, nRows);
      }
      for (dbFieldDescriptor* fd : newTtrees) {
        dbTtree::insert(*this, fd->tTree, rowId, fd->type, fd->dbsSize, fd->comparator, fd->dbsOffs);
      }
      rowId = reinterpret_cast<const dbRecord*>(getRow(rowId))->next;
    }
  }
  if (changed) syncStoredIndices(*this, table);
  return true;
}

void dbDatabase::checkInverseReferences() {
  for (dbTableDescriptor* table = tables; table != nullptr; table = table->nextDbTable) {
    for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
      fd->inverseRef = nullptr;
      dbTableDescriptor* target = fd->type == dbField::tpArray ? fd->components->refTable : fd->refTable;
      dbFieldDescriptor* inverse = target != nullptr ? target->findSymbol(fd->inverseRefName) : nullptr;
      std::string message;
      if (inverse == nullptr) {
        message = std::string("Failed to locate inverse reference field ") + (target != nullptr ? target->name : "") +
                  "." + fd->inverseRefName + " for field " + table->name + "." + fd->longName;
      } else if (inverse->inverseRefName != fd->name) {
        message = std::string("Inverse references for field ") + table->name + "." + fd->longName + " is " +
                  target->name + "." + fd->inverseRefName + ", but its inverse reference is " + inverseName(*inverse);
      } else {
        fd->inverseRef = inverse;
        continue;
      }
      handleError(ErrInverseReference, message.c_str());
    }
  }
}
