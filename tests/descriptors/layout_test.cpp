// Stored layouts computed from describe functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "class.h"
#include "datetime.h"

namespace {

struct TwoStringsAndInts {
  const char* a;
  const char* b;
  db_int4 n;
  db_int1 small;
  TYPE_DESCRIPTOR((FIELD(a), FIELD(b), FIELD(n), FIELD(small)));
};

struct BackupLike {
  dbDateTime lastBackupDate;
  bool everytime;
  bool everyday;
  db_int1 lastBackup;
  db_int1 totalBackup;
  const char* path;
  TYPE_DESCRIPTOR((FIELD(lastBackupDate), FIELD(everytime), FIELD(everyday), FIELD(lastBackup), FIELD(totalBackup),
                   FIELD(path)));
};

struct ChequeSetupLike;
struct ChequeLike {
  const char* chequeNo;
  const char* description;
  real8 amount;
  dbReference<ChequeSetupLike> setup;
  dbDateTime transDate;
  const char* customerName;
  TYPE_DESCRIPTOR((FIELD(chequeNo), FIELD(description), FIELD(amount), FIELD(setup), FIELD(transDate),
                   FIELD(customerName)));
};
struct ChequeSetupLike {
  db_int4 x;
  TYPE_DESCRIPTOR((FIELD(x)));
};
dbTableDescriptor ChequeSetupLike::dbDescriptor("ChequeSetupLike", nullptr, sizeof(ChequeSetupLike),
                                                &dbDescribeFieldsOf<ChequeSetupLike>);

// The stored table description, described as a record: its layout is fixed
// by the file format.
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
struct TableEntry {
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

// Reals aligned to 8 between narrower fields, and byte arrays.
struct BarcodeLike {
  const char* barcode;
  db_int4 barcodeColor;
  dbArray<db_int1> barcodeFont;
  db_int2 height;
  db_int1 code;
  bool display;
  real8 horizontal, vertical, string1H, string1V;
  db_int4 string1Color;
  dbArray<db_int1> string1Font;
  real8 string2H, string2V;
  db_int4 string2Color;
  dbArray<db_int1> string2Font;
  real8 string3H, string3V;
  db_int4 string3Color;
  dbArray<db_int1> string3Font;
  db_int1 pageSize;
  real8 pageHeight, pageWidth;
  db_int2 pageNo;
  real8 top, left, right, bottom, cellHeight, cellWidth;
  db_int2 col, row;
  bool printBarcode, printString;
  db_int1 printer;
  TYPE_DESCRIPTOR((FIELD(barcode), FIELD(barcodeColor), FIELD(barcodeFont), FIELD(height), FIELD(code),
                   FIELD(display), FIELD(horizontal), FIELD(vertical), FIELD(string1H), FIELD(string1V),
                   FIELD(string1Color), FIELD(string1Font), FIELD(string2H), FIELD(string2V), FIELD(string2Color),
                   FIELD(string2Font), FIELD(string3H), FIELD(string3V), FIELD(string3Color), FIELD(string3Font),
                   FIELD(pageSize), FIELD(pageHeight), FIELD(pageWidth), FIELD(pageNo), FIELD(top), FIELD(left),
                   FIELD(right), FIELD(bottom), FIELD(cellHeight), FIELD(cellWidth), FIELD(col), FIELD(row),
                   FIELD(printBarcode), FIELD(printString), FIELD(printer)));
};

struct Layout {
  std::string longName;
  int type;
  size_t offset;
  size_t size;
};

template <class T>
std::vector<Layout> layoutOf(const dbTableDescriptor& d) {
  std::vector<Layout> out;
  for (dbFieldDescriptor* fd = d.firstField; fd != nullptr; fd = fd->nextField) {
    out.push_back({fd->longName, fd->type, fd->dbsOffs, fd->dbsSize});
  }
  return out;
}

bool operator==(const Layout& a, const Layout& b) {
  return a.longName == b.longName && a.type == b.type && a.offset == b.offset && a.size == b.size;
}

void PrintTo(const Layout& l, std::ostream* os) {
  *os << l.longName << " type " << l.type << " @" << l.offset << " size " << l.size;
}

template <class T>
struct Table : dbTableDescriptor {
  explicit Table(const char* name) : dbTableDescriptor(name, nullptr, sizeof(T), &dbDescribeFieldsOf<T>) {}
};

TEST(Layout, StringsThenIntegersFollowTheRecordHeader) {
  Table<TwoStringsAndInts> d("TwoStringsAndInts");
  std::vector<Layout> expected = {{"a", dbField::tpString, 12, 8},
                                  {"b", dbField::tpString, 20, 8},
                                  {"n", dbField::tpInt4, 28, 4},
                                  {"small", dbField::tpInt1, 32, 1}};
  EXPECT_EQ(layoutOf<TwoStringsAndInts>(d), expected);
  EXPECT_EQ(d.fixedSize, 33u);
  EXPECT_EQ(d.nColumns, 4u);
  EXPECT_EQ(d.nFields, 4u);
}

TEST(Layout, StructureComponentsAreStoredInPlace) {
  Table<BackupLike> d("BackupLike");
  std::vector<Layout> expected = {{"lastBackupDate", dbField::tpStructure, 12, 4},
                                  {"lastBackupDate.stamp", dbField::tpInt4, 12, 4},
                                  {"everytime", dbField::tpBool, 16, 1},
                                  {"everyday", dbField::tpBool, 17, 1},
                                  {"lastBackup", dbField::tpInt1, 18, 1},
                                  {"totalBackup", dbField::tpInt1, 19, 1},
                                  {"path", dbField::tpString, 20, 8}};
  EXPECT_EQ(layoutOf<BackupLike>(d), expected);
  EXPECT_EQ(d.fixedSize, 28u);
  EXPECT_EQ(d.nColumns, 6u);
  EXPECT_EQ(d.nFields, 7u);
  // The structure's own index flags mask its member's: no index inside a record.
  EXPECT_EQ(d.hashedFields, nullptr);
  EXPECT_EQ(d.indexedFields, nullptr);
}

TEST(Layout, EightByteRealsAreAlignedToEight) {
  Table<ChequeLike> d("ChequeLike");
  std::vector<Layout> expected = {{"chequeNo", dbField::tpString, 12, 8},
                                  {"description", dbField::tpString, 20, 8},
                                  {"amount", dbField::tpReal8, 32, 8},
                                  {"setup", dbField::tpReference, 40, 4},
                                  {"transDate", dbField::tpStructure, 44, 4},
                                  {"transDate.stamp", dbField::tpInt4, 44, 4},
                                  {"customerName", dbField::tpString, 48, 8}};
  EXPECT_EQ(layoutOf<ChequeLike>(d), expected);
  EXPECT_EQ(d.fixedSize, 56u);
  EXPECT_EQ(d.find("setup")->refTable, &ChequeSetupLike::dbDescriptor);
}

TEST(Layout, ManyRealsAndByteArrays) {
  testing::internal::CaptureStderr();
  Table<BarcodeLike> d("BarcodeLike");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // every member described
  EXPECT_EQ(d.fixedSize, 231u);
  EXPECT_EQ(d.nColumns, 35u);
  EXPECT_EQ(d.find("horizontal")->dbsOffs, 40u);
  EXPECT_EQ(d.find("string2H")->dbsOffs, 88u);
  EXPECT_EQ(d.find("pageHeight")->dbsOffs, 152u);
  EXPECT_EQ(d.find("col")->dbsOffs, 224u);
  EXPECT_EQ(d.find("barcodeFont")->components->type, dbField::tpInt1);
  EXPECT_TRUE(d.find("barcodeFont")->attr & OneToOneMapping);  // bytes are copied as one block
}

TEST(Layout, ArrayElementsHaveTheirOwnLayout) {
  Table<TableEntry> d("Metatable");
  std::vector<Layout> expected = {{"name", dbField::tpString, 12, 8},
                                  {"fields", dbField::tpArray, 20, 8},
                                  {"fields[]", dbField::tpStructure, 0, 44},
                                  {"fields[].name", dbField::tpString, 0, 8},
                                  {"fields[].tableName", dbField::tpString, 8, 8},
                                  {"fields[].inverse", dbField::tpString, 16, 8},
                                  {"fields[].type", dbField::tpInt4, 24, 4},
                                  {"fields[].offset", dbField::tpInt4, 28, 4},
                                  {"fields[].size", dbField::tpInt4, 32, 4},
                                  {"fields[].hashTable", dbField::tpReference, 36, 4},
                                  {"fields[].tTree", dbField::tpReference, 40, 4},
                                  {"fixedSize", dbField::tpInt4, 28, 4},
                                  {"nRows", dbField::tpInt4, 32, 4},
                                  {"nColumns", dbField::tpInt4, 36, 4},
                                  {"firstRow", dbField::tpReference, 40, 4},
                                  {"lastRow", dbField::tpReference, 44, 4}};
  EXPECT_EQ(layoutOf<TableEntry>(d), expected);
  EXPECT_EQ(d.fixedSize, 48u);
  EXPECT_EQ(d.nColumns, 7u);
  EXPECT_EQ(d.nFields, 16u);
  dbFieldDescriptor* element = d.find("fields")->components;
  EXPECT_TRUE(element->attr & ComponentOfArray);
  EXPECT_TRUE(element->components->attr & ComponentOfArray);
}

}  // namespace
