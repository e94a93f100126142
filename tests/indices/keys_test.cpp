#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "keys.h"

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

template <class T>
int compareAs(int type, T a, T b) {
  dbKeyField field{type, sizeof(T), 0, nullptr};
  return sign(dbCompareKeys(&a, &b, field));
}

TEST(KeyComparison, OrdersEachNumericTypeByItsOwnRepresentation) {
  // Signed types must not compare as unsigned bytes, and the reverse.
  EXPECT_EQ(compareAs<db_nat1>(dbField::tpBool, 1, 0), 1);
  EXPECT_EQ(compareAs<db_int1>(dbField::tpInt1, -1, 1), -1);
  EXPECT_EQ(compareAs<db_int1>(dbField::tpInt1, -128, 127), -1);
  EXPECT_EQ(compareAs<db_int2>(dbField::tpInt2, -32768, 32767), -1);
  EXPECT_EQ(compareAs<db_int4>(dbField::tpInt4, std::numeric_limits<db_int4>::min(), 1), -1);
  EXPECT_EQ(compareAs<db_int4>(dbField::tpInt4, 7, 7), 0);
  EXPECT_EQ(compareAs<db_int8>(dbField::tpInt8, std::numeric_limits<db_int8>::max(), -1), 1);
  EXPECT_EQ(compareAs<db_int8>(dbField::tpInt8, 1LL << 40, 1LL << 41), -1);
  EXPECT_EQ(compareAs<real4>(dbField::tpReal4, -0.5f, 0.25f), -1);
  EXPECT_EQ(compareAs<real8>(dbField::tpReal8, 2.5, 2.5), 0);
  EXPECT_EQ(compareAs<real8>(dbField::tpReal8, 1e300, -1e300), 1);
  EXPECT_EQ(compareAs<oid_t>(dbField::tpReference, 0x80000000u, 1u), 1);
}

TEST(KeyComparison, ComparesTextsWithBytesAsUnsigned) {
  dbKeyField field{dbField::tpString, 8, 0, nullptr};
  // A Big5 lead byte sorts after every ASCII letter.
  EXPECT_GT(dbCompareKeys("\xa4\xa4", "zz", field), 0);
  EXPECT_LT(dbCompareKeys("ab", "abc", field), 0);
  EXPECT_EQ(dbCompareKeys("", "", field), 0);
}

TEST(KeyComparison, UsesTheFieldComparatorForRawBinary) {
  dbKeyField field{dbField::tpRawBinary, 3, 0, [](const void*, const void*, size_t size) {
                     return static_cast<int>(size) * 10;
                   }};
  EXPECT_EQ(dbCompareKeys("abc", "abc", field), 30);
}

TEST(KeyComparisonDeathTest, UnknownTypeStopsTheProcess) {
  dbKeyField field{9, 8, 0, nullptr};
  EXPECT_DEATH(dbCompareKeys("a", "b", field), "Assertion failed: .*engine286/src/ttree");
}

TEST(KeyHash, MultipliesByThirtyOneOverUnsignedBytes) {
  EXPECT_EQ(dbHashCode("", 0), 0u);
  EXPECT_EQ(dbHashCode("a", 1), 97u);
  EXPECT_EQ(dbHashCode("ab", 2), 97u * 31 + 98);
  EXPECT_EQ(dbHashCode("\xff", 1), 255u);
  // Long keys wrap in 32 bits rather than growing.
  const char* text = "abcdefghijklmnop";
  db_nat4 expected = 0;
  for (const char* p = text; *p != 0; p++) expected = expected * 31 + static_cast<db_byte>(*p);
  EXPECT_EQ(dbHashCode(text, std::strlen(text)), expected);
}

}  // namespace
