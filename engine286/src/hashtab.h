// Hash tables: find the records whose indexed field equals a key.
//
// A header names an array of buckets spread over 4096-byte page objects;
// each bucket holds the first item of a chain, and each item one record id
// with the full hash code of its key. Keys are read from the records; all
// changes go through the store's copy on first write.
#pragma once

#include <bit>
#include <cstring>

#include "database.h"  // dbPageSize, markers of internal objects
#include "keys.h"
#include "objstore.h"

static_assert(std::endian::native == std::endian::little, "the stored format is little-endian");

// Stored table header (HashTableMarker, 12 bytes).
struct dbHashTableHeader {
  db_nat4 size;  // number of buckets, 2^k - 1
  db_nat4 used;  // buckets whose chain is not empty
  oid_t page;    // first of (size + 1) / 1024 consecutive bucket page objects
};
static_assert(sizeof(dbHashTableHeader) == 12);

// Stored chain item (HashTableItemMarker, 12 bytes).
struct dbHashTableItem {
  oid_t next;    // next item of the chain, or 0
  oid_t record;  // the record's id
  db_nat4 hash;  // full hash code of the record's key
};
static_assert(sizeof(dbHashTableItem) == 12);

// Length of a search key as it is hashed: a text without its NUL, otherwise
// the field size.
size_t dbSearchKeyLength(const void* key, const dbKeyField& field);

// Whether a record's key equals a search key of `keyLength` bytes: texts
// must have the same length and bytes, other keys compare equal by type.
bool dbRecordKeyEquals(const db_byte* record, const void* key, size_t keyLength, const dbKeyField& field);

class dbHashTable {
 public:
  static constexpr db_nat4 initialSize = 16383;
  static constexpr db_nat4 bucketsPerPage = dbPageSize / sizeof(oid_t);

  // A new empty table sized for `expectedRows`: 16383 buckets, doubled (plus
  // one) while not above the expected rows. Returns the header id.
  template <dbObjectStore S>
  static oid_t create(S& db, size_t expectedRows);

  // Adds a record under the key in its field. `tableRows` is the row count
  // of the table: when it is above the bucket count the table first grows to
  // 2 * size + 1 buckets.
  template <dbObjectStore S>
  static void insert(S& db, oid_t hashId, oid_t recordId, int type, size_t sizeofType, size_t offs, size_t tableRows);

  // Takes a record out; its key must still be the one it was inserted with.
  // A record that is not in the table is a fatal assertion.
  template <dbObjectStore S>
  static void remove(S& db, oid_t hashId, oid_t recordId, int type, size_t sizeofType, size_t offs);

  // Adds to sc.cursor every record whose key equals sc.firstKey and that
  // passes sc.condition. Returns false when the cursor refused an id.
  template <dbObjectStore S>
  static bool find(S& db, oid_t hashId, dbIndexSearch& sc);

  // Frees every item, leaving an empty table of the same size.
  template <dbObjectStore S>
  static void purge(S& db, oid_t hashId);

  // Frees every item, the bucket pages and the header.
  template <dbObjectStore S>
  static void drop(S& db, oid_t hashId);
};

// ---- implementation -------------------------------------------------------

template <dbObjectStore S>
class dbHashTableOps {
 public:
  explicit dbHashTableOps(S& db) : db(db) {}

  const dbHashTableHeader* header(oid_t hashId) {
    return reinterpret_cast<const dbHashTableHeader*>(db.readObject(hashId));
  }
  dbHashTableHeader* writableHeader(oid_t hashId) {
    return reinterpret_cast<dbHashTableHeader*>(db.writableObject(hashId));
  }
  const dbHashTableItem* item(oid_t itemId) { return reinterpret_cast<const dbHashTableItem*>(db.readObject(itemId)); }
  dbHashTableItem* writableItem(oid_t itemId) { return reinterpret_cast<dbHashTableItem*>(db.writableObject(itemId)); }

  oid_t bucket(oid_t firstPage, db_nat4 b) {
    return reinterpret_cast<const oid_t*>(db.readObject(firstPage + b / dbHashTable::bucketsPerPage))
        [b % dbHashTable::bucketsPerPage];
  }
  void setBucket(oid_t firstPage, db_nat4 b, oid_t itemId) {
    reinterpret_cast<oid_t*>(db.writableObject(firstPage + b / dbHashTable::bucketsPerPage))
        [b % dbHashTable::bucketsPerPage] = itemId;
  }

  static db_nat4 pageCount(db_nat4 size) { return (size + 1) / dbHashTable::bucketsPerPage; }

  // Zeroed bucket pages for `size` buckets, on consecutive ids; returns the first.
  oid_t allocateBuckets(db_nat4 size) {
    db_nat4 pages = pageCount(size);
    oid_t firstPage = db.allocateIds(pages);
    offs_t pos = db.allocateSpace(size_t{pages} * dbPageSize);
    dbIndexAssert((pos & (dbPageSize-1)) == 0, "engine286/src/hashtab");
    for (db_nat4 i = 0; i < pages; i++) {
      db.setPageObject(firstPage + i, pos + i * dbPageSize);
      std::memset(db.writableObject(firstPage + i), 0, dbPageSize);
    }
    return firstPage;
  }

  db_nat4 recordHash(oid_t recordId, const dbKeyField& field) {
    const db_byte* record = db.readRecord(recordId);
    return dbHashCode(dbRecordKey(record, field), dbRecordKeyLength(record, field));
  }

  void insert(oid_t hashId, oid_t recordId, const dbKeyField& field, size_t tableRows) {
    if (tableRows > header(hashId)->size) {
      grow(hashId);
    }
    db_nat4 hash = recordHash(recordId, field);
    oid_t itemId = db.allocateObject(HashTableItemMarker);
    db_nat4 b = hash % header(hashId)->size;
    oid_t firstPage = header(hashId)->page;
    oid_t head = bucket(firstPage, b);
    *writableItem(itemId) = {head, recordId, hash};
    setBucket(firstPage, b, itemId);
    if (head == 0) {
      writableHeader(hashId)->used += 1;
    }
  }

  void remove(oid_t hashId, oid_t recordId, const dbKeyField& field) {
    db_nat4 b = recordHash(recordId, field) % header(hashId)->size;
    oid_t firstPage = header(hashId)->page;
    oid_t prevId = 0;
    oid_t itemId = bucket(firstPage, b);
    while (true) {
      dbIndexAssert(itemId != 0, "engine286/src/hashtab");
      if (item(itemId)->record == recordId) break;
      prevId = itemId;
      itemId = item(itemId)->next;
    }
    oid_t next = item(itemId)->next;
    if (prevId == 0) {
      setBucket(firstPage, b, next);
      if (next == 0) {
        writableHeader(hashId)->used -= 1;
      }
    } else {
      writableItem(prevId)->next = next;
    }
    db.freeInternalObject(itemId);
  }

  bool find(oid_t hashId, dbIndexSearch& sc) {
    const dbKeyField field = sc.field();
    const dbHashTableHeader* h = header(hashId);
    if (h->size == 0) {
      return true;
    }
    size_t keyLength = dbSearchKeyLength(sc.firstKey, field);
    db_nat4 hash = dbHashCode(sc.firstKey, keyLength);
    for (oid_t itemId = bucket(h->page, hash % h->size); itemId != 0;) {
      const dbHashTableItem* it = item(itemId);
      sc.probes += 1;
      oid_t recordId = it->record;
      itemId = it->next;
      if (it->hash == hash && dbRecordKeyEquals(db.readRecord(recordId), sc.firstKey, keyLength, field) &&
          (sc.condition == nullptr || sc.condition->passes(recordId)) && !sc.cursor->add(recordId)) {
        return false;
      }
    }
    return true;
  }

  // Frees every item of every chain; with `clearBuckets` also empties the
  // buckets (only pages that held an item get written).
  void freeItems(oid_t hashId, bool clearBuckets) {
    db_nat4 size = header(hashId)->size;
    oid_t firstPage = header(hashId)->page;
    for (db_nat4 b = 0; b < size; b++) {
      oid_t itemId = bucket(firstPage, b);
      if (itemId != 0 && clearBuckets) {
        setBucket(firstPage, b, 0);
      }
      while (itemId != 0) {
        oid_t next = item(itemId)->next;
        db.freeInternalObject(itemId);
        itemId = next;
      }
    }
  }

  void freeBuckets(oid_t firstPage, db_nat4 size) {
    for (db_nat4 i = 0; i < pageCount(size); i++) {
      db.freeInternalObject(firstPage + i);
    }
  }

 private:
  // Rehashes into 2 * size + 1 buckets by the stored hash codes.
  void grow(oid_t hashId) {
    db_nat4 oldSize = header(hashId)->size;
    oid_t oldPage = header(hashId)->page;
    db_nat4 newSize = oldSize * 2 + 1;
    oid_t newPage = allocateBuckets(newSize);
    db_nat4 used = 0;
    for (db_nat4 b = 0; b < oldSize; b++) {
      for (oid_t itemId = bucket(oldPage, b); itemId != 0;) {
        oid_t next = item(itemId)->next;
        db_nat4 nb = item(itemId)->hash % newSize;
        oid_t head = bucket(newPage, nb);
        used += head == 0;
        writableItem(itemId)->next = head;
        setBucket(newPage, nb, itemId);
        itemId = next;
      }
    }
    freeBuckets(oldPage, oldSize);
    *writableHeader(hashId) = {newSize, used, newPage};
  }

  S& db;
};

template <dbObjectStore S>
oid_t dbHashTable::create(S& db, size_t expectedRows) {
  db_nat4 size = initialSize;
  while (size <= expectedRows) {
    size = size * 2 + 1;
  }
  oid_t hashId = db.allocateObject(HashTableMarker);
  oid_t firstPage = dbHashTableOps<S>(db).allocateBuckets(size);
  *reinterpret_cast<dbHashTableHeader*>(db.writableObject(hashId)) = {size, 0, firstPage};
  return hashId;
}

template <dbObjectStore S>
void dbHashTable::insert(S& db, oid_t hashId, oid_t recordId, int type, size_t sizeofType, size_t offs,
                         size_t tableRows) {
  dbHashTableOps<S>(db).insert(hashId, recordId, {type, sizeofType, offs, nullptr}, tableRows);
}

template <dbObjectStore S>
void dbHashTable::remove(S& db, oid_t hashId, oid_t recordId, int type, size_t sizeofType, size_t offs) {
  dbHashTableOps<S>(db).remove(hashId, recordId, {type, sizeofType, offs, nullptr});
}

template <dbObjectStore S>
bool dbHashTable::find(S& db, oid_t hashId, dbIndexSearch& sc) {
  return dbHashTableOps<S>(db).find(hashId, sc);
}

template <dbObjectStore S>
void dbHashTable::purge(S& db, oid_t hashId) {
  dbHashTableOps<S> ops(db);
  ops.freeItems(hashId, true);
  if (ops.header(hashId)->used != 0) {
    ops.writableHeader(hashId)->used = 0;
  }
}

template <dbObjectStore S>
void dbHashTable::drop(S& db, oid_t hashId) {
  dbHashTableOps<S> ops(db);
  ops.freeItems(hashId, false);
  ops.freeBuckets(ops.header(hashId)->page, ops.header(hashId)->size);
  db.freeInternalObject(hashId);
}
