// Stored table descriptions: their bytes, the equality test at open, and the
// conversion of rows to a changed class.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "class.h"
#include "datetime.h"

namespace {

struct FieldEntry {
  const char* name;
  const char* tableName;
  const char* inverse;
  db_int4 type;
  db_int4 offset;
  db_int4 size;
  dbAnyReference hashTable;
  dbAnyReference tTree;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(tableName), FIELD(inverse), FIELD(type), FIELD(offset), FIELD(size),
                   FIELD(hashTable), FIELD(tTree)));
};

// The Metatable's own records, described as a class.
struct Metatable {
  const char* name;
  dbArray<FieldEntry> fields;
  db_int4 fixedSize;
  db_int4 nRows;
  db_int4 nColumns;
  dbAnyReference firstRow;
  dbAnyReference lastRow;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(fields), FIELD(fixedSize), FIELD(nRows), FIELD(nColumns), FIELD(firstRow),
                   FIELD(lastRow)));
};

template <class T>
struct Table : dbTableDescriptor {
  explicit Table(const char* name) : dbTableDescriptor(name, nullptr, sizeof(T), &dbDescribeFieldsOf<T>) {}
};

// A stored description in a buffer, as the Metatable row would hold it.
std::vector<db_byte> describe(const dbTableDescriptor& d) {
  std::vector<db_byte> record(d.storedDescriptionSize(), 0xEE);
  auto* table = reinterpret_cast<dbTable*>(record.data());
  table->size = static_cast<db_nat4>(record.size());
  table->next = table->prev = 0;
  table->nRows = 0;
  table->firstRow = table->lastRow = 0;
  d.storeInDatabase(table);
  return record;
}

std::vector<db_byte> packed(const dbTableDescriptor& d, const void* object) {
  std::vector<db_byte> record(d.recordSize(object));
  d.pack(record.data(), object);
  return record;
}

TEST(StoredDescription, MetatableDescribesItselfIn985Bytes) {
  Table<Metatable> d("Metatable");
  std::vector<db_byte> bytes = describe(d);
  ASSERT_EQ(bytes.size(), 985u);

  // Unpacking the description with the class that describes descriptions
  // reads back the sixteen entries of the file format.
  Metatable meta{};
  d.unpack(&meta, bytes.data());
  EXPECT_STREQ(meta.name, "Metatable");
  EXPECT_EQ(meta.fixedSize, 48);
  EXPECT_EQ(meta.nColumns, 7);  // the class's own columns; the file's Metatable says 5
  ASSERT_EQ(meta.fields.length(), 16u);
  struct Expected {
    const char* name;
    int type;
    int size;
    int offset;
  };
  const Expected expected[] = {
      {"name", 7, 8, 12},           {"fields", 9, 8, 20},          {"fields[]", 19, 44, 0},
      {"fields[].name", 7, 8, 0},   {"fields[].tableName", 7, 8, 8}, {"fields[].inverse", 7, 8, 16},
      {"fields[].type", 3, 4, 24},  {"fields[].offset", 3, 4, 28}, {"fields[].size", 3, 4, 32},
      {"fields[].hashTable", 8, 4, 36}, {"fields[].tTree", 8, 4, 40}, {"fixedSize", 3, 4, 28},
      {"nRows", 3, 4, 32},          {"nColumns", 3, 4, 36},        {"firstRow", 8, 4, 40},
      {"lastRow", 8, 4, 44},
  };
  for (size_t i = 0; i < 16; i++) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_STREQ(meta.fields[i].name, expected[i].name);
    EXPECT_STREQ(meta.fields[i].tableName, "");
    EXPECT_STREQ(meta.fields[i].inverse, "");
    EXPECT_EQ(meta.fields[i].type, expected[i].type);
    EXPECT_EQ(meta.fields[i].size, expected[i].size);
    EXPECT_EQ(meta.fields[i].offset, expected[i].offset);
  }
  // The names follow the entries: the table name first, then each entry's
  // three names, offsets counted from the entry.
  const char* afterEntries = reinterpret_cast<const char*>(bytes.data() + 48 + 16 * 44);
  EXPECT_STREQ(afterEntries, "Metatable");
  EXPECT_STREQ(afterEntries + 10, "name");
  dbField first;
  std::memcpy(&first, bytes.data() + 48, sizeof first);
  EXPECT_EQ(first.name.offs, 16u * 44 + 10);
  EXPECT_EQ(first.tableName.offs, first.name.offs + 5);
  EXPECT_EQ(first.inverse.offs, first.name.offs + 6);
}

struct Target {
  db_int4 n;
  TYPE_DESCRIPTOR((FIELD(n)));
};
REGISTER(Target);

struct Referring {
  const char* label;
  dbReference<Target> target;
  dbArray<dbReference<Target>> targets;
  TYPE_DESCRIPTOR((FIELD(label), RELATION(target, back), FIELD(targets)));
};

TEST(StoredDescription, ReferencesNameTheirTableAndInverseField) {
  Table<Referring> d("Referring");
  std::vector<db_byte> bytes = describe(d);
  auto* table = reinterpret_cast<dbTable*>(bytes.data());
  ASSERT_EQ(table->fields.size, 4u);
  auto text = [&](size_t entry, const dbVarying& v) {
    return std::string(reinterpret_cast<const char*>(bytes.data() + 48 + entry * 44 + v.offs));
  };
  dbField target, element;
  std::memcpy(&target, bytes.data() + 48 + 1 * 44, sizeof target);
  std::memcpy(&element, bytes.data() + 48 + 3 * 44, sizeof element);
  EXPECT_EQ(text(1, target.name), "target");
  EXPECT_EQ(text(1, target.tableName), "Target");
  EXPECT_EQ(text(1, target.inverse), "back");
  EXPECT_EQ(text(3, element.name), "targets[]");
  EXPECT_EQ(text(3, element.tableName), "Target");
}

struct Version1 {
  const char* name;
  db_int4 count;
  db_int1 small;
  const char* dropped;
  dbArray<db_int2> values;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(count), FIELD(small), FIELD(dropped), FIELD(values)));
};

// count becomes a real, small widens, dropped is gone, two fields are new,
// and the array's elements widen.
struct Version2 {
  real8 count;
  const char* name;
  db_int8 small;
  dbArray<db_int4> values;
  const char* added;
  db_int4 addedNumber;
  dbDateTime when;
  TYPE_DESCRIPTOR((FIELD(count), FIELD(name), FIELD(small), FIELD(values), FIELD(added), FIELD(addedNumber),
                   FIELD(when)));
};

TEST(StoredDescription, EqualOnlyForTheSameLayout) {
  Table<Version1> v1("T");
  Table<Version2> v2("T");
  std::vector<db_byte> stored = describe(v1);
  auto* table = reinterpret_cast<dbTable*>(stored.data());
  v1.firstField->hashTable = 0;
  dbField entry;
  std::memcpy(&entry, stored.data() + 48, sizeof entry);
  entry.hashTable = 9000;
  std::memcpy(stored.data() + 48, &entry, sizeof entry);

  EXPECT_TRUE(v1.equal(table));
  EXPECT_EQ(v1.firstField->hashTable, 9000u);  // taken from the stored entry
  EXPECT_FALSE(v2.equal(table));
}

TEST(StoredDescription, ConvertsRowsToTheNewLayout) {
  Table<Version1> v1("T");
  Table<Version2> v2("T");
  std::vector<db_byte> stored = describe(v1);
  bool formatChanged = false;
  ASSERT_EQ(v2.match(reinterpret_cast<dbTable*>(stored.data()), true, formatChanged), nullptr);
  EXPECT_TRUE(formatChanged);

  db_int2 values[] = {-1, 300};
  Version1 old{"\xA4\xA4\xA4\xE5", -7, -3, "gone", dbArray<db_int2>(values, 2)};
  std::vector<db_byte> oldRecord = packed(v1, &old);
  size_t size = v2.convertedRecordSize(oldRecord.data());
  std::vector<db_byte> converted(size, 0xEE);
  v2.convertRecord(converted.data(), oldRecord.data());

  Version2 now{};
  v2.unpack(&now, converted.data());
  EXPECT_STREQ(now.name, "\xA4\xA4\xA4\xE5");
  EXPECT_EQ(now.count, -7.0);
  EXPECT_EQ(now.small, -3);
  ASSERT_EQ(now.values.length(), 2u);
  EXPECT_EQ(now.values[0], -1);
  EXPECT_EQ(now.values[1], 300);
  ASSERT_NE(now.added, nullptr);
  EXPECT_STREQ(now.added, "");
  EXPECT_EQ(now.addedNumber, 0);
  EXPECT_EQ(now.when.stamp, 0);
  // The converted record is exactly as long as packing the converted object.
  EXPECT_EQ(size, v2.recordSize(&now));
}

struct Numbers {
  bool b;
  db_int1 i1;
  db_int2 i2;
  db_int4 i4;
  db_int8 i8;
  real4 r4;
  real8 r8;
  TYPE_DESCRIPTOR((FIELD(b), FIELD(i1), FIELD(i2), FIELD(i4), FIELD(i8), FIELD(r4), FIELD(r8)));
};

// Every numeric field of Numbers stored as a real8.
struct AllReals {
  real8 b, i1, i2, i4, i8, r4, r8;
  TYPE_DESCRIPTOR((FIELD(b), FIELD(i1), FIELD(i2), FIELD(i4), FIELD(i8), FIELD(r4), FIELD(r8)));
};

// Converts `from` stored as class From into class To.
template <class From, class To>
To convert(const From& from) {
  Table<From> oldTable("N");
  Table<To> newTable("N");
  std::vector<db_byte> stored = describe(oldTable);
  bool changed = false;
  EXPECT_EQ(newTable.match(reinterpret_cast<dbTable*>(stored.data()), true, changed), nullptr);
  std::vector<db_byte> old = packed(oldTable, &from);
  std::vector<db_byte> converted(newTable.convertedRecordSize(old.data()));
  newTable.convertRecord(converted.data(), old.data());
  To to{};
  newTable.unpack(&to, converted.data());
  return to;
}

struct Narrow {
  db_int1 b, i1, i2, i4, i8;
  db_int4 r4, r8;
  TYPE_DESCRIPTOR((FIELD(b), FIELD(i1), FIELD(i2), FIELD(i4), FIELD(i8), FIELD(r4), FIELD(r8)));
};

TEST(StoredDescription, NumericConversions) {
  // Integers to narrower integers are truncated to the new width; reals to
  // integers truncated toward zero, clamped to the new type's range.
  struct Case {
    AllReals from;
    Numbers expected;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0}, {false, 0, 0, 0, 0, 0, 0}},
      {{0.5, -1.9, 2.9, -3.5, 1e10, 1.25, -2.5}, {true, -1, 2, -3, 10000000000LL, 1.25f, -2.5}},
      {{-0.0, 1e9, -1e9, 1e30, -1e30, 0, 0},
       {false, 127, -32768, 2147483647, std::numeric_limits<db_int8>::min(), 0, 0}},
      {{NAN, NAN, 0, 0, 0, 0, 0}, {true, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Numbers n = convert<AllReals, Numbers>(c.from);
    EXPECT_EQ(n.b, c.expected.b);
    EXPECT_EQ(n.i1, c.expected.i1);
    EXPECT_EQ(n.i2, c.expected.i2);
    EXPECT_EQ(n.i4, c.expected.i4);
    EXPECT_EQ(n.i8, c.expected.i8);
    EXPECT_EQ(n.r4, c.expected.r4);
    EXPECT_EQ(n.r8, c.expected.r8);
  }

  Numbers wide{true, -2, 1000, 70000, (1LL << 40) + 5, 0.5f, 0.25};
  Narrow n = convert<Numbers, Narrow>(wide);
  EXPECT_EQ(n.b, 1);
  EXPECT_EQ(n.i1, -2);
  EXPECT_EQ(n.i2, static_cast<db_int1>(1000));
  EXPECT_EQ(n.i4, static_cast<db_int1>(70000));
  EXPECT_EQ(n.i8, 5);
  EXPECT_EQ(n.r4, 0);
}

struct WithString {
  const char* x;
  TYPE_DESCRIPTOR((FIELD(x)));
};
struct WithNumber {
  db_int4 x;
  TYPE_DESCRIPTOR((FIELD(x)));
};
struct Other {
  db_int4 y;
  TYPE_DESCRIPTOR((FIELD(y)));
};

TEST(StoredDescription, UnconvertibleChangesAreRefused) {
  Table<WithString> s("C");
  Table<WithNumber> n("C");
  Table<Other> o("C");
  std::vector<db_byte> stored = describe(s);
  auto* table = reinterpret_cast<dbTable*>(stored.data());
  bool changed = false;
  EXPECT_STREQ(n.match(table, true, changed), "field can be converted to new format");
  EXPECT_STREQ(o.match(table, false, changed), "field can be removed only from empty table");
  EXPECT_EQ(o.match(table, true, changed), nullptr);
}

}  // namespace
