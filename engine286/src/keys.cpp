#include "keys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Keys inside records are aligned, search keys need not be.
template <class T>
T load(const void* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
int threeWay(T a, T b) {
  return a < b ? -1 : a == b ? 0 : 1;
}

struct VaryingRef {
  db_nat4 size;  // characters including the NUL
  db_nat4 offs;  // from the start of the record
};

VaryingRef varyingRef(const db_byte* record, const dbKeyField& field) {
  return load<VaryingRef>(record + field.offs);
}

}  // namespace

const void* dbRecordKey(const db_byte* record, const dbKeyField& field) {
  if (field.type == dbField::tpString) {
    return record + varyingRef(record, field).offs;
  }
  return record + field.offs;
}

size_t dbRecordKeyLength(const db_byte* record, const dbKeyField& field) {
  if (field.type == dbField::tpString) {
    db_nat4 size = varyingRef(record, field).size;
    return size == 0 ? 0 : size - 1;
  }
  return field.size;
}

std::string dbCopyRecordKey(const db_byte* record, const dbKeyField& field) {
  const char* key = static_cast<const char*>(dbRecordKey(record, field));
  size_t length = dbRecordKeyLength(record, field);
  // A std::string keeps a NUL after its bytes, so a copied text stays terminated.
  return std::string(key, length);
}

int dbCompareKeys(const void* a, const void* b, const dbKeyField& field) {
  switch (field.type) {
    case dbField::tpBool:
      return load<db_nat1>(a) - load<db_nat1>(b);
    case dbField::tpInt1:
      return load<db_int1>(a) - load<db_int1>(b);
    case dbField::tpInt2:
      return load<db_int2>(a) - load<db_int2>(b);
    case dbField::tpInt4:
      return threeWay(load<db_int4>(a), load<db_int4>(b));
    case dbField::tpInt8:
      return threeWay(load<db_int8>(a), load<db_int8>(b));
    case dbField::tpReal4:
      return threeWay(load<real4>(a), load<real4>(b));
    case dbField::tpReal8:
      return threeWay(load<real8>(a), load<real8>(b));
    case dbField::tpReference:
      return threeWay(load<oid_t>(a), load<oid_t>(b));
    case dbField::tpString:
      // strcmp compares the bytes as unsigned characters.
      return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    case dbField::tpRawBinary:
      return field.comparator(a, b, field.size);
    default:
      dbIndexAssertionFailed("unknown key type", "engine286/src/ttree", __LINE__);
  }
}

db_nat4 dbHashCode(const void* key, size_t length) {
  const db_byte* bytes = static_cast<const db_byte*>(key);
  db_nat4 h = 0;
  for (size_t i = 0; i < length; i++) {
    h = h * 31 + bytes[i];
  }
  return h;
}

void dbIndexAssertionFailed(const char* text, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, file, line);
  std::abort();
}
