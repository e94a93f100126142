// The ORDER BY comparison of stored records, checked by sorting a few Items
// with it for each kind of order item.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "evaluate.h"
#include "query_support.h"

namespace {

struct Row {
  const char* name;
  db_int4 count;
  db_int1 small;
  real8 price;
  bool flag;
  oid_t parent;
  size_t tags;
  const char* code;
};

// Four records whose fields order them differently.
const Row kRows[] = {
    {"pear", 3, -1, 2.5, true, 9, 2, "bb"},
    {"apple", 10, 5, -1.0, false, 4, 0, "ab"},
    {"\xA4\xA4", 3, -7, 2.25, true, 0, 3, "ba"},  // a Big5 name sorts after ASCII
    {"fig", -2, 5, 7.0, false, 12, 1, "aa"},
};

class OrderCompareTest : public ::testing::Test {
 protected:
  OrderCompareTest() {
    const db_int4 tags[] = {1, 2, 3};
    for (const Row& row : kRows) {
      Item item{};
      item.id = "";
      item.name = row.name;
      item.count = row.count;
      item.small = row.small;
      item.price = row.price;
      item.flag = row.flag;
      item.parent = row.parent;
      item.tags = dbArray<db_int4>(tags, row.tags);
      std::memcpy(item.code, row.code, 3);
      std::vector<db_byte> record(Item::dbDescriptor.recordSize(&item));
      Item::dbDescriptor.pack(record.data(), &item);
      records.push_back(std::move(record));
    }
  }

  // The names of the rows sorted by the ORDER BY of `text`.
  std::string sorted(const char* text) {
    dbQuery q(text);
    if (!compiler.compile(&Item::dbDescriptor, q)) return "does not compile";
    std::vector<size_t> rows{0, 1, 2, 3};
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
      return dbCompareRecords(q.order.get(), &db, nullptr, records[a].data(), static_cast<oid_t>(a + 1),
                              records[b].data(), static_cast<oid_t>(b + 1)) < 0;
    });
    std::string names;
    for (size_t r : rows) names += std::string(names.empty() ? "" : " ") + (r == 2 ? "BIG5" : kRows[r].name);
    return names;
  }

  std::vector<std::vector<db_byte>> records;
  RecordingDatabase db;
  dbQueryCompiler compiler{&db};
};

TEST_F(OrderCompareTest, FieldItemsCompareByTheirType) {
  EXPECT_EQ(sorted("order by name"), "apple fig pear BIG5");
  EXPECT_EQ(sorted("order by name desc"), "BIG5 pear fig apple");
  EXPECT_EQ(sorted("order by count"), "fig pear BIG5 apple");
  EXPECT_EQ(sorted("order by small, name"), "BIG5 pear apple fig");
  EXPECT_EQ(sorted("order by price"), "apple BIG5 pear fig");
  EXPECT_EQ(sorted("order by flag, name desc"), "fig apple BIG5 pear");
  EXPECT_EQ(sorted("order by parent"), "BIG5 apple pear fig");
  EXPECT_EQ(sorted("order by length(tags)"), "apple fig pear BIG5");
  EXPECT_EQ(sorted("order by code"), "fig apple BIG5 pear");
}

TEST_F(OrderCompareTest, ExpressionItemsCompareByTheirValue) {
  EXPECT_EQ(sorted("order by count * count desc"), "apple pear BIG5 fig");
  EXPECT_EQ(sorted("order by price - count"), "apple BIG5 pear fig");
  EXPECT_EQ(sorted("order by upper(name) desc"), "BIG5 pear fig apple");
  EXPECT_EQ(sorted("order by count = 3 desc, current desc"), "BIG5 pear fig apple");
  EXPECT_EQ(sorted("order by length(name), name"), "BIG5 fig pear apple");
}

}  // namespace
