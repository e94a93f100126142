#include "hashtab.h"

size_t dbSearchKeyLength(const void* key, const dbKeyField& field) {
  return field.type == dbField::tpString ? std::strlen(static_cast<const char*>(key)) : field.size;
}

bool dbRecordKeyEquals(const db_byte* record, const void* key, size_t keyLength, const dbKeyField& field) {
  if (field.type == dbField::tpString) {
    return dbRecordKeyLength(record, field) == keyLength &&
           std::memcmp(dbRecordKey(record, field), key, keyLength) == 0;
  }
  return dbCompareKeys(dbRecordKey(record, field), key, field) == 0;
}

// The engine's indices live in the database object itself.
static_assert(dbObjectStore<dbDatabase>);
