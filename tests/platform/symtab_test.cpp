#include "symtab.h"

#include <gtest/gtest.h>

#include <string>

TEST(SymbolTable, EqualNamesShareOneAddressAndTheFirstTag) {
  std::string a = "productName", b = "productName";
  const char* pa = a.c_str();
  const char* pb = b.c_str();
  EXPECT_EQ(dbSymbolTable::add(pa, 42), 42);
  EXPECT_EQ(dbSymbolTable::add(pb, 7), 42);  // present: the stored tag wins
  EXPECT_EQ(pa, pb);
  EXPECT_NE(pa, a.c_str());  // copied
  a = "changed";
  EXPECT_STREQ(pb, "productName");
}

TEST(SymbolTable, UncopiedNamesAreInternedInPlace) {
  static const char name[] = "uncopiedTableName";
  const char* p = name;
  EXPECT_EQ(dbSymbolTable::add(p, dbSymbolTable::Identifier, false), dbSymbolTable::Identifier);
  EXPECT_EQ(p, name);
}
