// Pack, unpack and record sizes over plain byte buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "class.h"
#include "datetime.h"

namespace {

struct Point {
  db_int2 x;
  db_int2 y;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(y)));
};

struct Labelled {
  const char* label;
  db_int4 weight;
  TYPE_DESCRIPTOR((FIELD(label), FIELD(weight)));
};

struct Everything {
  bool flag;
  db_int1 i1;
  db_int2 i2;
  db_int4 i4;
  db_int8 i8;
  real4 r4;
  real8 r8;
  const char* text;
  dbAnyReference ref;
  db_byte raw[6];
  Point point;
  dbArray<db_int4> numbers;
  dbArray<const char*> words;
  dbArray<Labelled> labels;
  dbDateTime when;
  TYPE_DESCRIPTOR((FIELD(flag), FIELD(i1), FIELD(i2), FIELD(i4), FIELD(i8), FIELD(r4), FIELD(r8), FIELD(text),
                   FIELD(ref), FIELD(raw), FIELD(point), FIELD(numbers), FIELD(words), FIELD(labels), FIELD(when)));
};

struct Table : dbTableDescriptor {
  Table() : dbTableDescriptor("Everything", nullptr, sizeof(Everything), &dbDescribeFieldsOf<Everything>) {}
};

// Packs into a fresh buffer the way the store does: record header first.
std::vector<db_byte> packed(const dbTableDescriptor& d, const void* object) {
  size_t size = d.recordSize(object);
  std::vector<db_byte> record(size, 0xEE);
  dbRecord header{static_cast<db_nat4>(size), 0, 0};
  std::memcpy(record.data(), &header, sizeof header);
  EXPECT_EQ(d.pack(record.data(), object), size);
  return record;
}

Everything sample() {
  Everything e{};
  e.flag = true;
  e.i1 = -5;
  e.i2 = -300;
  e.i4 = 123456789;
  e.i8 = -1234567890123LL;
  e.r4 = 2.5f;
  e.r8 = -0.125;
  e.text = "\xB2\xA3\xAB\x7E";  // Big5 bytes, one of them a backslash-like trail byte
  e.ref = 8200;
  std::memcpy(e.raw, "\x00\x01\x02\x03\x04\x05", 6);
  e.point = {7, -8};
  db_int4 numbers[] = {1, -2, 3};
  e.numbers = dbArray<db_int4>(numbers, 3);
  const char* words[] = {"alpha", "", "\xA4\xA4\xA4\xE5"};
  e.words = dbArray<const char*>(words, 3);
  Labelled labels[] = {{"one", 1}, {"two", 2}};
  e.labels = dbArray<Labelled>(labels, 2);
  e.when = dbDateTime(86400 * 365);
  return e;
}

TEST(Pack, RoundTripKeepsEveryKindOfField) {
  Table d;
  Everything in = sample();
  std::vector<db_byte> record = packed(d, &in);
  Everything out{};
  d.unpack(&out, record.data());

  EXPECT_EQ(out.flag, in.flag);
  EXPECT_EQ(out.i1, in.i1);
  EXPECT_EQ(out.i2, in.i2);
  EXPECT_EQ(out.i4, in.i4);
  EXPECT_EQ(out.i8, in.i8);
  EXPECT_EQ(out.r4, in.r4);
  EXPECT_EQ(out.r8, in.r8);
  EXPECT_STREQ(out.text, in.text);
  EXPECT_EQ(out.ref.getOid(), 8200u);
  EXPECT_EQ(std::memcmp(out.raw, in.raw, 6), 0);
  EXPECT_EQ(out.point.x, 7);
  EXPECT_EQ(out.point.y, -8);
  ASSERT_EQ(out.numbers.length(), 3u);
  EXPECT_EQ(out.numbers[1], -2);
  ASSERT_EQ(out.words.length(), 3u);
  EXPECT_STREQ(out.words[0], "alpha");
  EXPECT_STREQ(out.words[1], "");
  EXPECT_STREQ(out.words[2], "\xA4\xA4\xA4\xE5");
  ASSERT_EQ(out.labels.length(), 2u);
  EXPECT_STREQ(out.labels[1].label, "two");
  EXPECT_EQ(out.labels[1].weight, 2);
  EXPECT_EQ(out.when, in.when);
}

TEST(Pack, StringsPointIntoTheRecordAndArraysOfScalarsAreNotCopied) {
  Table d;
  Everything in = sample();
  std::vector<db_byte> record = packed(d, &in);
  Everything out{};
  d.unpack(&out, record.data());
  const db_byte* begin = record.data();
  const db_byte* end = begin + record.size();
  auto inside = [&](const void* p) { return p >= static_cast<const void*>(begin) && p < static_cast<const void*>(end); };
  EXPECT_TRUE(inside(out.text));
  EXPECT_TRUE(inside(out.words[0]));
  EXPECT_TRUE(inside(out.numbers.get()));      // stored exactly as held
  EXPECT_FALSE(inside(out.labels.get()));      // holds pointers: unpacked into the array's own elements
  EXPECT_TRUE(inside(out.labels[0].label));
}

TEST(Pack, NullStringIsStoredAsEmptyString) {
  Table d;
  Everything in{};
  std::vector<db_byte> record = packed(d, &in);
  // The NUL of the one string, then the empty arrays' alignment.
  EXPECT_EQ(record.size(), (d.fixedSize + 1 + 3) / 4 * 4);
  dbVarying v;
  std::memcpy(&v, record.data() + d.find("text")->dbsOffs, sizeof v);
  EXPECT_EQ(v.size, 1u);
  EXPECT_EQ(v.offs, d.fixedSize);
  Everything out{};
  out.text = "stale";
  d.unpack(&out, record.data());
  ASSERT_NE(out.text, nullptr);
  EXPECT_STREQ(out.text, "");
  EXPECT_EQ(out.numbers.length(), 0u);
}

TEST(Pack, VariablePartFollowsFixedPartWithElementAlignment) {
  Table d;
  Everything in{};
  in.text = "abc";  // 4 bytes
  db_int4 numbers[] = {10, 20};
  in.numbers = dbArray<db_int4>(numbers, 2);
  std::vector<db_byte> record = packed(d, &in);
  dbVarying text, nums;
  std::memcpy(&text, record.data() + d.find("text")->dbsOffs, sizeof text);
  std::memcpy(&nums, record.data() + d.find("numbers")->dbsOffs, sizeof nums);
  EXPECT_EQ(text.offs, d.fixedSize);
  EXPECT_EQ(nums.offs % 4, 0u);
  EXPECT_GE(nums.offs, d.fixedSize + 4);
  EXPECT_LT(nums.offs, d.fixedSize + 8);
  EXPECT_EQ(nums.size, 2u);
  db_int4 second;
  std::memcpy(&second, record.data() + nums.offs + 4, 4);
  EXPECT_EQ(second, 20);
}

TEST(Pack, StringsInArrayElementsAreRelativeToTheElement) {
  Table d;
  Everything in{};
  Labelled labels[] = {{"x", 1}, {"yy", 2}};
  in.labels = dbArray<Labelled>(labels, 2);
  std::vector<db_byte> record = packed(d, &in);
  dbVarying array;
  std::memcpy(&array, record.data() + d.find("labels")->dbsOffs, sizeof array);
  size_t elementSize = d.find("labels")->components->dbsSize;
  ASSERT_EQ(elementSize, 12u);
  dbVarying second;
  std::memcpy(&second, record.data() + array.offs + elementSize, sizeof second);
  EXPECT_STREQ(reinterpret_cast<const char*>(record.data() + array.offs + elementSize + second.offs), "yy");
}

TEST(Pack, DoesNotWriteTheRecordHeader) {
  Table d;
  Everything in = sample();
  std::vector<db_byte> record = packed(d, &in);
  dbRecord header;
  std::memcpy(&header, record.data(), sizeof header);
  EXPECT_EQ(header.size, record.size());
  EXPECT_EQ(header.next, 0u);
}

TEST(Pack, AdjustReferencesMovesPointersIntoTheOldMapping) {
  Table d;
  Everything in = sample();
  std::vector<db_byte> record = packed(d, &in);
  std::vector<db_byte> moved = record;
  Everything out{};
  d.unpack(&out, record.data());
  ptrdiff_t shift = moved.data() - record.data();
  d.adjustReferences(&out, record.data(), record.size(), shift);
  record.assign(record.size(), 0);  // the old mapping is gone
  EXPECT_STREQ(out.text, in.text);
  EXPECT_STREQ(out.words[2], "\xA4\xA4\xA4\xE5");
  EXPECT_EQ(out.numbers[2], 3);
  EXPECT_STREQ(out.labels[0].label, "one");
}

struct Keyed {
  const char* name;
  db_int4 code;
  db_int4 plain;
  TYPE_DESCRIPTOR((KEY(name, HASHED), KEY(code, INDEXED), FIELD(plain)));
};

TEST(Pack, MarkUpdatedFieldsFlagsOnlyChangedIndexedFields) {
  dbTableDescriptor d("Keyed", nullptr, sizeof(Keyed), &dbDescribeFieldsOf<Keyed>);
  Keyed stored{"same", 1, 1};
  std::vector<db_byte> record = packed(d, &stored);

  struct Case {
    Keyed object;
    bool nameUpdated;
    bool codeUpdated;
  };
  Case cases[] = {
      {{"same", 1, 2}, false, false},
      {{"other", 1, 1}, true, false},
      {{"same", 2, 1}, false, true},
      {{nullptr, 1, 1}, true, false},
  };
  for (const Case& c : cases) {
    d.clearUpdatedFields();
    EXPECT_EQ(d.markUpdatedFields(record.data(), &c.object), c.nameUpdated || c.codeUpdated);
    EXPECT_EQ((d.find("name")->attr & Updated) != 0, c.nameUpdated);
    EXPECT_EQ((d.find("code")->attr & Updated) != 0, c.codeUpdated);
    EXPECT_EQ(d.find("plain")->attr & Updated, 0);
  }
}

}  // namespace

namespace {

struct Flags {
  dbArray<bool> flags;
  TYPE_DESCRIPTOR((FIELD(flags)));
};

TEST(Pack, ChangingAFetchedArrayLeavesTheRecordAlone) {
  dbTableDescriptor d("Flags", nullptr, sizeof(Flags), &dbDescribeFieldsOf<Flags>);
  Flags in;
  in.flags.append(true);
  in.flags.append(false);
  in.flags.append(true);
  std::vector<db_byte> record = packed(d, &in);
  std::vector<db_byte> before = record;

  Flags out;
  d.unpack(&out, record.data());
  ASSERT_EQ(out.flags.length(), 3u);
  Flags copy = out;  // still refers to the record
  out.flags.putat(0, false);
  out.flags.append(true);
  copy.flags.resize(5);
  EXPECT_EQ(record, before);
  EXPECT_FALSE(out.flags[0]);
  EXPECT_TRUE(out.flags[3]);
  EXPECT_EQ(out.flags.length(), 4u);
  EXPECT_TRUE(copy.flags[2]);
  EXPECT_FALSE(copy.flags[4]);

  std::vector<db_byte> again = packed(d, &out);
  Flags back;
  d.unpack(&back, again.data());
  ASSERT_EQ(back.flags.length(), 4u);
  EXPECT_FALSE(back.flags[0]);
  EXPECT_TRUE(back.flags[3]);
}

}  // namespace
