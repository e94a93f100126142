#include "check.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "database.h"

namespace {

std::string format(const char* fmt, unsigned long a = 0, unsigned long b = 0, unsigned long c = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

class ImageChecker {
 public:
  ImageChecker(const db_byte* image, size_t size) : base(image), size(size) {}

  std::vector<std::string> run() {
    if (!checkHeader()) return faults;
    claimFixedParts();
    checkIndexEntries();
    checkFreeList();
    checkBitmap();
    checkTables();
    return faults;
  }

 private:
  const db_byte* base;
  size_t size;
  std::vector<std::string> faults;
  const dbHeader* header = nullptr;
  const offs_t* index = nullptr;
  size_t used = 0;  // committed indexUsed
  std::vector<bool> claimed;       // per quantum
  std::vector<db_byte> rowOwner;   // per id: times found in a row list

  void fault(std::string text) { faults.push_back(std::move(text)); }

  bool arrayInside(offs_t offs, size_t capacity) const {
    return offs % dbAllocationQuantum == 0 && size_t(offs) + capacity * sizeof(offs_t) <= size;
  }

  bool checkHeader() {
    if (size < dbPageSize) {
      fault(format("file of %lu bytes is too short for a database", size));
      return false;
    }
    header = reinterpret_cast<const dbHeader*>(base);
    if (header->formatMajor != dbFormatMajor || header->formatMinor != dbFormatMinor || header->initialized != 1) {
      fault("not an initialised database file (format version or initialized flag)");
      return false;
    }
    if (header->currentRoot != 0 && header->currentRoot != 1) {
      fault(format("invalid root index %lu", static_cast<db_nat4>(header->currentRoot)));
      return false;
    }
    if (!header->dirty && header->size != size) {
      fault(format("clean file: header size %lu differs from file size %lu", header->size, size));
    }
    const dbHeader::dbRoot& root = header->root[header->currentRoot];
    if (!arrayInside(root.indexOffset, root.indexCapacity) || !arrayInside(root.shadowIndexOffset, root.shadowIndexCapacity)) {
      fault("committed root: index arrays lie outside the file");
      return false;
    }
    if (root.indexUsed > root.indexCapacity || root.indexUsed < FirstUserId) {
      fault(format("committed root: %lu ids used of capacity %lu", root.indexUsed, root.indexCapacity));
      return false;
    }
    index = reinterpret_cast<const offs_t*>(base + root.indexOffset);
    used = root.indexUsed;
    claimed.assign(size / dbAllocationQuantum, false);
    rowOwner.assign(used, 0);
    return true;
  }

  // Marks [pos, pos + length) as taken by `what`; false on overlap or overrun.
  bool claim(size_t pos, size_t length, const std::string& what) {
    if (pos % dbAllocationQuantum != 0 || pos + length > size) {
      fault(what + format(" at offset %lu (length %lu) lies outside the file", pos, length));
      return false;
    }
    size_t first = pos / dbAllocationQuantum;
    size_t last = (pos + length + dbAllocationQuantum - 1) / dbAllocationQuantum;
    bool overlap = false;
    for (size_t q = first; q < last; q++) {
      overlap = overlap || claimed[q];
      claimed[q] = true;
    }
    if (overlap) fault(what + format(" at offset %lu overlaps another object", pos));
    return !overlap;
  }

  void claimFixedParts() {
    const dbHeader::dbRoot& root = header->root[header->currentRoot];
    claim(0, dbPageSize, "header page");
    claim(root.indexOffset, size_t(root.indexCapacity) * sizeof(offs_t), "committed index");
    claim(root.shadowIndexOffset, size_t(root.shadowIndexCapacity) * sizeof(offs_t), "shadow index");
  }

  size_t objectLength(offs_t entry) const {
    size_t marker = entry & dbInternalObjectMarker;
    if (marker != RecordMarker) return dbInternalObjectSize[marker];
    offs_t pos = entry & ~dbInternalObjectMarker;
    if (size_t(pos) + sizeof(dbRecord) > size) return 0;
    return reinterpret_cast<const dbRecord*>(base + pos)->size;
  }

  void checkIndexEntries() {
    bool bitmapEnded = false;
    for (oid_t id = 1; id < used; id++) {
      offs_t entry = index[id];
      bool isFree = entry & dbFreeHandleMarker;
      if (id >= FirstBitmapId && id < FirstUserId) {
        if (isFree) {
          bitmapEnded = true;
          continue;
        }
        if (bitmapEnded || (entry & dbInternalObjectMarker) != PageObjectMarker) {
          fault(format("bitmap page id %lu: entry %#lx is not a page after the last bitmap page", id, entry));
        }
      }
      if (isFree) {
        if (id == MetatableId) fault("the Metatable (id 1) is free");
        continue;
      }
      size_t marker = entry & dbInternalObjectMarker;
      if (marker == dbInternalObjectMarker) {
        fault(format("id %lu: unknown object kind 7", id));
        continue;
      }
      size_t length = objectLength(entry);
      if (marker == RecordMarker && length < sizeof(dbRecord)) {
        fault(format("record %lu: length %lu is shorter than a record header", id, length));
        continue;
      }
      claim(entry & ~dbInternalObjectMarker, length, format("object %lu", id));
    }
  }

  void checkFreeList() {
    std::unordered_set<oid_t> onList;
    oid_t id = header->root[header->currentRoot].freeList;
    while (id != 0) {
      if (id >= used || !(index[id] & dbFreeHandleMarker)) {
        fault(format("free list: id %lu is not a free id", id));
        return;
      }
      if (!onList.insert(id).second) {
        fault(format("free list: id %lu appears twice (cycle)", id));
        return;
      }
      id = index[id] & ~dbFreeHandleMarker;
    }
    for (oid_t i = FirstUserId; i < used; i++) {
      if ((index[i] & dbFreeHandleMarker) && !onList.count(i)) fault(format("free id %lu is not on the free list", i));
    }
  }

  void checkBitmap() {
    size_t leaked = 0, unmarked = 0, firstLeaked = 0, firstUnmarked = 0;
    size_t covered = 0;
    for (oid_t page = FirstBitmapId; page < FirstUserId && !(index[page] & dbFreeHandleMarker); page++) {
      offs_t pos = index[page] & ~dbInternalObjectMarker;
      if (size_t(pos) + dbPageSize > size) break;  // reported with the entries
      const db_byte* bitmap = base + pos;
      size_t firstQuantum = size_t(page - FirstBitmapId) * dbBitmapPageBits;
      for (size_t bit = 0; bit < dbBitmapPageBits; bit++) {
        size_t q = firstQuantum + bit;
        bool marked = (bitmap[bit / 8] >> (bit % 8)) & 1;
        bool taken = q < claimed.size() && claimed[q];
        if (marked && !taken) {
          if (leaked++ == 0) firstLeaked = q * dbAllocationQuantum;
        } else if (!marked && taken) {
          if (unmarked++ == 0) firstUnmarked = q * dbAllocationQuantum;
        }
      }
      covered = firstQuantum + dbBitmapPageBits;
    }
    if (leaked) fault(format("space leaked: %lu quanta marked used but owned by no object (first at offset %lu)", leaked, firstLeaked));
    if (unmarked) fault(format("space unmarked: %lu quanta of objects not marked in the bitmap (first at offset %lu)", unmarked, firstUnmarked));
    for (size_t q = covered; q < claimed.size(); q++) {
      if (claimed[q]) {
        fault(format("object space at offset %lu lies beyond the bitmap", q * dbAllocationQuantum));
        break;
      }
    }
  }

  bool isRecord(oid_t id) const {
    return id != 0 && id < used && (index[id] & (dbFreeHandleMarker | dbInternalObjectMarker)) == 0 &&
           size_t(index[id]) + sizeof(dbRecord) <= size;
  }

  const dbRecord* record(oid_t id) const { return reinterpret_cast<const dbRecord*>(base + index[id]); }

  bool stringInside(const db_byte* start, size_t limit, const dbVarying& v) const {
    const db_byte* recordEnd = start + limit;
    return v.size >= 1 && v.offs + size_t(v.size) <= limit && start + v.offs + v.size <= recordEnd &&
           start[v.offs + v.size - 1] == 0;
  }

  // True when the table description `id` is well formed.
  bool checkDescription(oid_t id) {
    const auto* rec = record(id);
    const size_t length = rec->size;
    if (length < sizeof(dbTable) || size_t(index[id]) + length > size) {
      fault(format("table %lu: description of %lu bytes is too short", id, length));
      return false;
    }
    const auto* table = reinterpret_cast<const dbTable*>(rec);
    const auto* bytes = reinterpret_cast<const db_byte*>(rec);
    if (!stringInside(bytes, length, table->name)) {
      fault(format("table %lu: name lies outside the description", id));
      return false;
    }
    if (table->fields.offs < sizeof(dbTable) || table->fields.offs + size_t(table->fields.size) * sizeof(dbField) > length ||
        table->fixedSize < sizeof(dbRecord) || table->nColumns > table->fields.size) {
      fault(format("table %lu: malformed field list, fixed size or column count", id));
      return false;
    }
    for (size_t i = 0; i < table->fields.size; i++) {
      size_t entryOffs = table->fields.offs + i * sizeof(dbField);
      dbField field;
      std::memcpy(&field, bytes + entryOffs, sizeof field);
      const db_byte* entry = bytes + entryOffs;
      size_t room = length - entryOffs;
      if (!stringInside(entry, room, field.name) || !stringInside(entry, room, field.tableName) ||
          !stringInside(entry, room, field.inverse) || field.type < 0 || field.type > dbField::tpUnknown) {
        fault(format("table %lu: field entry %lu is malformed", id, i));
        return false;
      }
    }
    return true;
  }

  void checkRows(oid_t tableId) {
    const auto* table = reinterpret_cast<const dbTable*>(record(tableId));
    const std::string where = "table " + std::to_string(tableId) + ": ";
    size_t count = 0;
    oid_t prev = 0;
    for (oid_t id = table->firstRow; id != 0; id = record(id)->next) {
      if (!isRecord(id)) {
        fault(where + format("row %lu is not a live record", id));
        return;
      }
      if (record(id)->prev != prev) fault(where + format("row %lu has prev %lu, not %lu", id, record(id)->prev, prev));
      if (++rowOwner[id] > 1) {
        fault(format("row %lu is in more than one row list", id));
        return;
      }
      count++;
      prev = id;
      if (id == table->lastRow) break;
    }
    if (prev != table->lastRow) fault(where + format("the list ends at %lu, lastRow is %lu", prev, table->lastRow));
    // A dirty file may still carry the in-place link to a row appended by a
    // transaction that never committed; opening it removes the link.
    if (prev != 0 && record(prev)->next != 0 && !header->dirty) {
      fault(where + format("last row %lu has a next row", prev));
    }
    if (count != table->nRows) fault(where + format("%lu rows in the list, nRows is %lu", count, table->nRows));
  }

  void checkTables() {
    if (!isRecord(MetatableId)) {
      fault("the Metatable (id 1) is not a record");
      return;
    }
    if (!checkDescription(MetatableId)) return;
    checkRows(MetatableId);
    const auto* metatable = reinterpret_cast<const dbTable*>(record(MetatableId));
    size_t n = 0;
    for (oid_t id = metatable->firstRow; id != 0 && isRecord(id) && n <= metatable->nRows; n++) {
      if (checkDescription(id)) checkRows(id);
      if (id == metatable->lastRow) break;
      id = record(id)->next;
    }
    for (oid_t id = FirstUserId; id < used; id++) {
      if (isRecord(id) && rowOwner[id] == 0) fault(format("record %lu is a row of no table", id));
    }
  }
};

}  // namespace

std::vector<std::string> dbCheckImage(const db_byte* image, size_t size) { return ImageChecker(image, size).run(); }

std::vector<std::string> dbCheckDatabase(const dbDatabase& db) {
  return dbCheckImage(db.getBase(), db.getMappedSize());
}
