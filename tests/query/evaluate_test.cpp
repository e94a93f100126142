// Conditions evaluated against one stored Item record: every kind of field,
// the operators, LIKE and IN, EXISTS, and the run-time errors.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "evaluate.h"
#include "query_support.h"

namespace {

const Slot kSlots[] = {{10, "x"}, {20, "yy"}};
const db_int4 kTags[] = {1, 2, 3};
const char* const kWords[] = {"red", "green"};
const real8 kLevels[] = {0.5, 1.5};

class EvaluateTest : public ::testing::Test {
 protected:
  EvaluateTest() {
    item.id = "A01";
    item.name = "Widget";
    item.count = 7;
    item.small = -3;
    item.big = db_int8{1} << 40;
    item.price = 2.5;
    item.weight = 1.25f;
    item.flag = true;
    item.tags = dbArray<db_int4>(kTags, 3);
    item.words = dbArray<const char*>(kWords, 2);
    item.levels = dbArray<real8>(kLevels, 2);
    item.slots = dbArray<Slot>(kSlots, 2);
    item.pos = {3, 4};
    item.made = dbDateTime(1781524800);  // mid-June 2026 in every time zone
    std::memcpy(item.code, "ab\0", 4);
    item.order = 0;
    store();
  }

  void store() {
    record.assign(Item::dbDescriptor.recordSize(&item), 0);
    Item::dbDescriptor.pack(record.data(), &item);
  }

  // Compiles `q` for Item and evaluates it against the record.
  bool test(dbQuery& q) {
    if (!compiler.compile(&Item::dbDescriptor, q)) {
      ADD_FAILURE() << "does not compile: " << db.reports.back().message;
      return false;
    }
    dbInheritedAttribute ctx(&db, nullptr, record.data(), 1);
    return dbEvaluateCondition(q.tree, ctx);
  }

  bool test(const char* text) {
    dbQuery q(text);
    return test(q);
  }

  // The error a condition raises, as "class: message (argument)".
  std::string failure(const char* text) {
    dbQuery q(text);
    db.reports.clear();
    try {
      test(q);
    } catch (const dbEvaluationError& e) {
      EXPECT_EQ(db.reports.size(), 1u);
      if (db.reports.empty()) return "no report";
      EXPECT_EQ(db.reports[0].errorClass, e.errorClass);
      return std::to_string(e.errorClass) + ": " + db.reports[0].message + " (" +
             std::to_string(db.reports[0].position) + ")";
    }
    return "no error";
  }

  Item item{};
  std::vector<db_byte> record;
  RecordingDatabase db;
  dbQueryCompiler compiler{&db};
};

struct Truth {
  const char* text;
  bool expected;
};

void PrintTo(const Truth& t, std::ostream* os) { *os << t.text; }

class ConditionTest : public EvaluateTest, public ::testing::WithParamInterface<Truth> {};

TEST_P(ConditionTest, EvaluatesOverTheRecord) { EXPECT_EQ(test(GetParam().text), GetParam().expected) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Fields, ConditionTest,
    ::testing::Values(
        Truth{"", true}, Truth{"order by name", true},
        Truth{"id = 'A01'", true}, Truth{"id = 'A02'", false},
        Truth{"count = 7 and small = -3", true}, Truth{"big = 1099511627776", true},
        Truth{"price = 2.5 and weight = 1.25", true}, Truth{"flag", true}, Truth{"flag = false", false},
        Truth{"owner = null and owner is null", true}, Truth{"parent is not null", false},
        Truth{"pos.x = 3 and pos.y = 4", true},
        Truth{"made.year = 2026 and made.month = 6", true},
        Truth{"tags[0] = 1 and tags[2] = 3", true}, Truth{"length(tags) = 3 and length(children) = 0", true},
        Truth{"words[1] = 'green'", true}, Truth{"levels[1] = 1.5", true},
        Truth{"slots[1].width = 20 and slots[1].label = 'yy'", true},
        Truth{"length(name) = 6 and name[0] = 87", true},
        Truth{"code = code", true}, Truth{"code > code", false}));

INSTANTIATE_TEST_SUITE_P(
    Operators, ConditionTest,
    ::testing::Values(
        Truth{"count + small * 2 = 1", true}, Truth{"count / 2 = 3 and -count / 2 = -3", true},
        Truth{"count ^ 2 = 49 and 2 ^ 10 = 1024", true}, Truth{"3 ^ -1 = 0 and 1 ^ -5 = 1", true},
        Truth{"(count and 3) = 3 and (count or 8) = 15 and (not count) = -8", true},
        Truth{"abs(small) = 3 and abs(-price) = 2.5", true},
        Truth{"count > 6.5 and real(count) / 2 = 3.5 and integer(-price) = -2", true},
        Truth{"price ^ 2 = 6.25 and 4 ^ 0.5 = 2.0 and price ^ -1 = 0.4", true},
        Truth{"string(count) = '7' and string(price) = '2.500000'", true},
        Truth{"name || '-' + id = 'Widget-A01'", true},
        Truth{"upper(name) = 'WIDGET' and lower(id) = 'a01'", true},
        Truth{"name > 'Apple' and name < 'Zebra' and name >= 'Widget' and name <= 'Widget'", true},
        Truth{"count between 7 and 8 and count between 1 and 7 and not count between 8 and 9", true},
        Truth{"price between 2 and 3 and name between 'W' and 'X'", true},
        Truth{"count in (1, 7) and count not in (1, 2)", true},
        Truth{"'dg' in name and not 'x' in name and '' in name", true},
        Truth{"2 in tags and not 5 in tags and 'red' in words and 1.5 in levels", true},
        Truth{"flag or 1 / 0 = 1", true},        // OR stops at a true left side
        Truth{"not flag and 1 / 0 = 1", false},  // AND stops at a false left side
        Truth{"current = 1 and current <> 2", true}));

INSTANTIATE_TEST_SUITE_P(
    Exists, ConditionTest,
    ::testing::Values(
        Truth{"exists i: (tags[i] = 3)", true}, Truth{"exists i: (tags[i] = 4)", false},
        Truth{"exists i: (children[i] = 1)", false},  // an empty array, no index error
        Truth{"exists i: (slots[i].label = 'yy' and slots[i].width = 20)", true},
        Truth{"exists i: (exists j: (tags[i] + tags[j] = 6))", true},
        Truth{"exists i: (exists j: (tags[i] * tags[j] = 9))", true},
        Truth{"exists i: (exists j: (tags[i] * tags[j] = 5))", false},
        Truth{"exists i: (name[i] = 100)", true},
        // A round that never reads its variable ends the search at once.
        Truth{"exists i: (not flag and tags[i] = 1)", false}));

TEST_F(EvaluateTest, BoundVariablesAreReadAtEachEvaluation) {
  db_int4 n = 7;
  const char* pattern = "Wid%";
  char chars[8] = "A01";
  dbQuery q;
  q = "count = ", n, " and name like ", pattern, " and id = ", chars;
  EXPECT_TRUE(test(q));
  n = 8;
  dbInheritedAttribute ctx(&db, nullptr, record.data(), 1);
  EXPECT_FALSE(dbEvaluateCondition(q.tree, ctx));
  n = 7;
  pattern = "%x";
  EXPECT_FALSE(dbEvaluateCondition(q.tree, ctx));
  // A string variable holding no string reads as the empty string.
  pattern = nullptr;
  EXPECT_FALSE(dbEvaluateCondition(q.tree, ctx));
  dbQuery empty;
  empty = "name like '%' and ", pattern, " = ''";
  EXPECT_TRUE(test(empty));
}

TEST_F(EvaluateTest, ArraysOfReferencesBoundAsVariables) {
  dbReference<Item> refs[] = {5, 1, 9};
  dbArray<dbReference<Item>> items(refs, 3);
  dbArray<dbReference<Item>>* pointer = &items;
  dbQuery q;
  q = "current in ", items;
  EXPECT_TRUE(test(q));
  q = "current in ", pointer;
  EXPECT_TRUE(test(q));
  items = dbArray<dbReference<Item>>(refs, 1);
  EXPECT_FALSE(test(q));
}

TEST_F(EvaluateTest, IntegerPowersAndDivisionWrapLikeTheMachine) {
  EXPECT_TRUE(test("2 ^ 63 = -9223372036854775807 - 1"));
  EXPECT_TRUE(test("2 ^ 64 = 0 and 2 ^ 100 = 0"));
  EXPECT_TRUE(test("2 ^ -1 = 0 and (-2) ^ 3 = -8 and (-1) ^ -3 = -1"));
  EXPECT_TRUE(test("3 ^ 40 = 3 ^ 20 * 3 ^ 20"));
  // The most negative number divided by -1 wraps instead of trapping.
  EXPECT_TRUE(test("(-9223372036854775807 - 1) / -1 = -9223372036854775807 - 1"));
  EXPECT_TRUE(test("abs(-9223372036854775807 - 1) < 0"));
  // Reals beyond the integer range saturate when converted.
  EXPECT_TRUE(test("integer(1e300) = 9223372036854775807 and integer(-1e300) = -9223372036854775807 - 1"));
}

TEST_F(EvaluateTest, RunTimeErrorsAreReportedAndEndTheEvaluation) {
  EXPECT_EQ(failure("count / 0 = 1"), "2: Division by zero (0)");
  EXPECT_EQ(failure("price / 0 = 1"), "2: Division by zero (0)");
  EXPECT_EQ(failure("0 ^ -1 = 1"), "2: Raise zero to negative power (0)");
  EXPECT_EQ(failure("0.0 ^ -1 = 1"), "2: Raise zero to negative power (0)");
  EXPECT_EQ(failure("0.0 ^ -0.5 = 1"), "2: Raise zero to negative power (0)");
  EXPECT_EQ(failure("-price ^ 0.5 = 1"), "2: Power operator returns complex result (0)");
  EXPECT_EQ(failure("tags[3] = 1"), "3:  (3)");
  EXPECT_EQ(failure("tags[-1] = 1"), "3:  (-1)");
  EXPECT_EQ(failure("name[6] = 0"), "3:  (6)");
  EXPECT_EQ(failure("owner.name = 'x'"), "8:  (0)");
}

TEST_F(EvaluateTest, LongStringsLeaveTheBufferForTheHeap) {
  std::string longName(6000, 'w');
  item.name = longName.c_str();
  store();
  // Two 6000-byte results do not both fit in the 8192-byte buffer.
  EXPECT_TRUE(test("upper(name) + lower(name) = upper(name) || name"));
  EXPECT_TRUE(test("length(upper(name) + upper(name)) = 12000"));
}

TEST_F(EvaluateTest, TheLargestQueriesEvaluateWithinTheStack) {
  std::string chain = "count = 0";
  for (int i = 0; i < 2000; i++) chain += " + 1";  // about 4000 nodes, as deep as the limit allows
  chain.replace(chain.find("count = 0"), 9, "count + 1993 = 0");
  EXPECT_TRUE(test(chain.c_str()));
}

struct LikeCase {
  const char* string;
  const char* pattern;
  int escape;
  bool expected;
};

void PrintTo(const LikeCase& c, std::ostream* os) { *os << c.string << " like " << c.pattern; }

class LikeTest : public ::testing::TestWithParam<LikeCase> {};

TEST_P(LikeTest, Matches) {
  const LikeCase& c = GetParam();
  EXPECT_EQ(dbMatchLike(c.string, c.pattern, c.escape), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, LikeTest,
    ::testing::Values(
        LikeCase{"", "", -1, true}, LikeCase{"", "%", -1, true}, LikeCase{"a", "", -1, false},
        LikeCase{"abc", "abc", -1, true}, LikeCase{"abc", "ab", -1, false}, LikeCase{"ab", "abc", -1, false},
        LikeCase{"abc", "a_c", -1, true}, LikeCase{"ac", "a_c", -1, false},
        LikeCase{"abc", "%c", -1, true}, LikeCase{"abc", "a%", -1, true}, LikeCase{"abc", "%b%", -1, true},
        LikeCase{"abc", "%d%", -1, false}, LikeCase{"aXbXc", "%X%c", -1, true},
        LikeCase{"abab", "%ab", -1, true}, LikeCase{"aaab", "%aab", -1, true}, LikeCase{"ABC", "abc", -1, false},
        LikeCase{"a%c", "a\\%c", '\\', true}, LikeCase{"abc", "a\\%c", '\\', false},
        LikeCase{"a_c", "a\\_c", '\\', true}, LikeCase{"abc", "a\\_c", '\\', false},
        LikeCase{"100%", "%0\\%", '\\', true},
        // Big5: a two-byte character is two bytes to `_`.
        LikeCase{"\xA4\xA4\xA4\xE5", "\xA4\xA4%", -1, true}, LikeCase{"\xA4\xA4\xA4\xE5", "__\xA4\xE5", -1, true},
        LikeCase{"\xA4\xA4\xA4\xE5", "_\xA4\xE5", -1, false}));

TEST(ContainsText, AgreesWithAPlainSearchOnBothSidesOf512Bytes) {
  std::mt19937 random(20261211);
  for (int round = 0; round < 400; round++) {
    size_t length = random() % 1200;
    std::string haystack;
    for (size_t i = 0; i < length; i++) haystack.push_back(static_cast<char>('a' + random() % 3));
    size_t needleLength = 1 + random() % 8;
    std::string needle;
    if (length > needleLength && random() % 2) {
      needle = haystack.substr(random() % (length - needleLength), needleLength);
    } else {
      for (size_t i = 0; i < needleLength; i++) needle.push_back(static_cast<char>('a' + random() % 3));
    }
    EXPECT_EQ(dbContainsText(haystack.c_str(), haystack.size(), needle.c_str(), needle.size()),
              haystack.find(needle) != std::string::npos)
        << needle << " in " << haystack.size() << " bytes";
  }
}

}  // namespace
