// Query texts compiled against the Item table: the tree, the order list and
// the traversal start they give, and the messages of the texts they refuse.

#include <gtest/gtest.h>

#include <string>

#include "query_support.h"

namespace {

class CompilerTest : public ::testing::Test {
 protected:
  // Compiles `text` for Item; the tree as text, or "ERROR: message @pos".
  std::string compile(const char* text) {
    query = text;
    return outcome();
  }

  std::string outcome() {
    db.reports.clear();
    if (!compiler.compile(&Item::dbDescriptor, query)) {
      EXPECT_EQ(db.reports.size(), 1u);
      if (db.reports.empty()) return "FAILED WITHOUT REPORT";
      EXPECT_EQ(db.reports[0].errorClass, ErrQuery);
      EXPECT_FALSE(query.compiled());
      return "ERROR: " + db.reports[0].message + " @" + std::to_string(db.reports[0].position);
    }
    EXPECT_TRUE(db.reports.empty());
    EXPECT_EQ(query.table, &Item::dbDescriptor);
    return printTree(query.tree);
  }

  RecordingDatabase db;
  dbQueryCompiler compiler{&db};
  dbQuery query;
};

struct Case {
  const char* text;
  const char* expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.text; }

class TreeTest : public CompilerTest, public ::testing::WithParamInterface<Case> {};

TEST_P(TreeTest, CompilesToTree) { EXPECT_EQ(compile(GetParam().text), GetParam().expected); }

// Texts the pages build, and the grammar's shapes.
INSTANTIATE_TEST_SUITE_P(
    Grammar, TreeTest,
    ::testing::Values(
        Case{"", "Void"},
        Case{"   -- only a comment", "Void"},
        Case{"count = 5", "EqInt(SelfFieldInt4:count, ConstInteger:5)"},
        Case{"id='A01'", "EqString(SelfFieldString:id, ConstString:'A01')"},
        Case{"where count > 1", "GtInt(SelfFieldInt4:count, ConstInteger:1)"},
        Case{"count = 1 or count = 2 or count = 3",
             "Or(EqInt(SelfFieldInt4:count, ConstInteger:1), Or(EqInt(SelfFieldInt4:count, ConstInteger:2), "
             "EqInt(SelfFieldInt4:count, ConstInteger:3)))"},
        Case{"flag and count = 1 or small = 2",
             "Or(And(SelfFieldBool:flag, EqInt(SelfFieldInt4:count, ConstInteger:1)), "
             "EqInt(SelfFieldInt1:small, ConstInteger:2))"},
        // `AND` is an identifier: the condition ends after `count = 1`.
        Case{"count = 1 AND small = 2", "EqInt(SelfFieldInt4:count, ConstInteger:1)"},
        Case{"not count = 1", "Not(EqInt(SelfFieldInt4:count, ConstInteger:1))"},
        Case{"count + 2 * 3 - 1",
             "ERROR: Conditional expression should have boolean type\n @0"},
        Case{"count + 2 * 3 - 1 = small",
             "EqInt(SubInt(AddInt(SelfFieldInt4:count, MulInt(ConstInteger:2, ConstInteger:3)), ConstInteger:1), "
             "SelfFieldInt1:small)"},
        Case{"count / (small + 1) = 2",
             "EqInt(DivInt(SelfFieldInt4:count, AddInt(SelfFieldInt1:small, ConstInteger:1)), ConstInteger:2)"},
        Case{"2 ^ 3 ^ 2 = count", "EqInt(PowInt(ConstInteger:2, PowInt(ConstInteger:3, ConstInteger:2)), "
                                   "SelfFieldInt4:count)"},
        Case{"5 < count", "LtInt(ConstInteger:5, SelfFieldInt4:count)"},
        Case{"(count and 3) = 1", "EqInt(BitAndInt(SelfFieldInt4:count, ConstInteger:3), ConstInteger:1)"},
        Case{"(count or 4) = 5", "EqInt(BitOrInt(SelfFieldInt4:count, ConstInteger:4), ConstInteger:5)"},
        Case{"name || id = 'ab'", "EqString(Concat(SelfFieldString:name, SelfFieldString:id), ConstString:'ab')"},
        Case{"name + 'x' >= id", "GeString(Concat(SelfFieldString:name, ConstString:'x'), SelfFieldString:id)"},
        Case{"count <> 1 and count != 2 and count <= 3 and count >= 0 and count < 9",
             "And(NeInt(SelfFieldInt4:count, ConstInteger:1), And(NeInt(SelfFieldInt4:count, ConstInteger:2), "
             "And(LeInt(SelfFieldInt4:count, ConstInteger:3), And(GeInt(SelfFieldInt4:count, ConstInteger:0), "
             "LtInt(SelfFieldInt4:count, ConstInteger:9)))))"},
        Case{"flag = true", "EqBool(SelfFieldBool:flag, ConstTrue)"},
        Case{"flag <> false", "NeBool(SelfFieldBool:flag, ConstFalse)"},
        Case{"owner = null", "EqRef(SelfFieldReference:owner, NullReference)"},
        Case{"parent = current", "EqRef(SelfFieldReference:parent, CurrentRecord)"},
        Case{"parent = 7", "EqRef(SelfFieldReference:parent, IntToRef(ConstInteger:7))"},
        Case{"owner is null", "IsNull(SelfFieldReference:owner)"},
        Case{"owner is not null", "Not(IsNull(SelfFieldReference:owner))"},
        Case{"owner.name = 'Lee'",
             "EqString(BaseFieldString:name(Deref(SelfFieldReference:owner)), ConstString:'Lee')"},
        Case{"owner.boss.oid = 3",
             "EqInt(BaseFieldInt4:oid(Deref(BaseFieldReference:boss(Deref(SelfFieldReference:owner)))), "
             "ConstInteger:3)"},
        Case{"first.count = 1", "EqInt(BaseFieldInt4:count(Deref(FirstRecord)), ConstInteger:1)"},
        Case{"last.parent.name = 'a'",
             "EqString(BaseFieldString:name(Deref(BaseFieldReference:parent(Deref(LastRecord)))), ConstString:'a')"},
        Case{"pos.x = 1", "EqInt(SelfFieldInt4:pos.x, ConstInteger:1)"},
        Case{"made.stamp > 0", "GtInt(SelfFieldInt4:made.stamp, ConstInteger:0)"},
        Case{"made.year = 2026", "EqInt(SelfMethodInt4:made.year, ConstInteger:2026)"},
        Case{"parent.made.month = 12",
             "EqInt(BaseMethodInt4:made.month(Deref(SelfFieldReference:parent)), ConstInteger:12)"},
        Case{"tags[0] = 5", "EqInt(BaseFieldInt4:tags[](ElementAddress:4(SelfFieldArray:tags, ConstInteger:0)), "
                            "ConstInteger:5)"},
        Case{"words[count] = 'a'",
             "EqString(BaseFieldString:words[](ElementAddress:8(SelfFieldArray:words, SelfFieldInt4:count)), "
             "ConstString:'a')"},
        Case{"slots[1].width = 2",
             "EqInt(BaseFieldInt4:slots[].width(ElementAddress:12(SelfFieldArray:slots, ConstInteger:1)), "
             "ConstInteger:2)"},
        Case{"children[0].name = 'x'",
             "EqString(BaseFieldString:name(Deref(BaseFieldReference:children[](ElementAddress:4("
             "SelfFieldArray:children, ConstInteger:0)))), ConstString:'x')"},
        Case{"name[0] = 65", "EqInt(CharCode(SelfFieldString:name, ConstInteger:0), ConstInteger:65)"},
        Case{"'abc'[1] = 98", "EqInt(CharCode(ConstString:'abc', ConstInteger:1), ConstInteger:98)"},
        Case{"code = code", "EqBinary:4(SelfFieldRawBinary:code, SelfFieldRawBinary:code)"},
        Case{"code between code and code",
             "BetweenBinary:4(SelfFieldRawBinary:code, SelfFieldRawBinary:code, SelfFieldRawBinary:code)"},
        Case{"count between 1 and 5", "BetweenInt(SelfFieldInt4:count, ConstInteger:1, ConstInteger:5)"},
        Case{"count not between 1 and 5 and flag",
             "And(Not(BetweenInt(SelfFieldInt4:count, ConstInteger:1, ConstInteger:5)), SelfFieldBool:flag)"},
        Case{"name between 'a' and 'b'", "BetweenString(SelfFieldString:name, ConstString:'a', ConstString:'b')"},
        Case{"name like '%abc%'", "Like(SelfFieldString:name, ConstString:'%abc%')"},
        Case{"name not like 'a_'", "Not(Like(SelfFieldString:name, ConstString:'a_'))"},
        Case{"name like 'a\\%%' escape '\\'",
             "LikeEscape(SelfFieldString:name, ConstString:'a\\%%', ConstString:'\\')"},
        Case{"'b' in name", "InString(ConstString:'b', SelfFieldString:name)"},
        Case{"5 in tags", "InArrayInt4(ConstInteger:5, SelfFieldArray:tags)"},
        Case{"'w' not in words", "Not(InArrayString(ConstString:'w', SelfFieldArray:words))"},
        Case{"3 in children", "InArrayReference(IntToRef(ConstInteger:3), SelfFieldArray:children)"},
        Case{"parent in children", "InArrayReference(SelfFieldReference:parent, SelfFieldArray:children)"},
        Case{"price in levels", "InArrayReal8(SelfFieldReal8:price, SelfFieldArray:levels)"},
        Case{"length(tags) > 2", "GtInt(ArrayLength(SelfFieldArray:tags), ConstInteger:2)"},
        Case{"length name = 3", "EqInt(StringLength(SelfFieldString:name), ConstInteger:3)"},
        Case{"lower(name) = 'a'", "EqString(Lower(SelfFieldString:name), ConstString:'a')"},
        Case{"upper(name)[0] = 65", "EqInt(CharCode(Upper(SelfFieldString:name), ConstInteger:0), ConstInteger:65)"},
        Case{"abs(count) = 1 and abs(price) = 1.5",
             "And(EqInt(AbsInt(SelfFieldInt4:count), ConstInteger:1), EqReal(AbsReal(SelfFieldReal8:price), "
             "ConstReal:1.5))"},
        Case{"integer(price) = 2", "EqInt(RealToInt(SelfFieldReal8:price), ConstInteger:2)"},
        Case{"real(count) = price", "EqReal(IntToReal(SelfFieldInt4:count), SelfFieldReal8:price)"},
        Case{"string(count) = '1' and string(price) = '2'",
             "And(EqString(IntToString(SelfFieldInt4:count), ConstString:'1'), "
             "EqString(RealToString(SelfFieldReal8:price), ConstString:'2'))"},
        Case{"exists i: (tags[i] = 5)",
             "Exists:0(EqInt(BaseFieldInt4:tags[](ElementAddress:4(SelfFieldArray:tags, FreeVar:0)), "
             "ConstInteger:5))"},
        Case{"exists i: (exists j: (slots[i].width = tags[j]))",
             "Exists:0(Exists:1(EqInt(BaseFieldInt4:slots[].width(ElementAddress:12(SelfFieldArray:slots, "
             "FreeVar:0)), BaseFieldInt4:tags[](ElementAddress:4(SelfFieldArray:tags, FreeVar:1)))))"},
        // A variable the body never uses leaves the body alone.
        Case{"exists i: (count = 1)", "EqInt(SelfFieldInt4:count, ConstInteger:1)"},
        Case{"count = 1 start from first", "EqInt(SelfFieldInt4:count, ConstInteger:1)"},
        Case{"order by name", "Void"},
        Case{"start from last", "Void"}));

// Integer and real literals, unary operators and the widening of integers.
INSTANTIATE_TEST_SUITE_P(
    Folding, TreeTest,
    ::testing::Values(
        Case{"count = -5", "EqInt(SelfFieldInt4:count, ConstInteger:-5)"},
        Case{"count = not 5", "EqInt(SelfFieldInt4:count, ConstInteger:-6)"},
        Case{"count = - - 5", "EqInt(SelfFieldInt4:count, ConstInteger:5)"},
        Case{"-count = 1", "EqInt(NegInt(SelfFieldInt4:count), ConstInteger:1)"},
        Case{"not count = 1", "Not(EqInt(SelfFieldInt4:count, ConstInteger:1))"},
        Case{"(not count) = 1", "EqInt(BitNotInt(SelfFieldInt4:count), ConstInteger:1)"},
        Case{"price = -2.5", "EqReal(SelfFieldReal8:price, ConstReal:-2.5)"},
        Case{"-price = 1", "EqReal(NegReal(SelfFieldReal8:price), ConstReal:1)"},
        Case{"price > 2", "GtReal(SelfFieldReal8:price, ConstReal:2)"},
        Case{"count > 2.5", "GtReal(IntToReal(SelfFieldInt4:count), ConstReal:2.5)"},
        Case{"weight = 1e3", "EqReal(SelfFieldReal4:weight, ConstReal:1000)"},
        Case{"count + price < 1",
             "LtReal(AddReal(IntToReal(SelfFieldInt4:count), SelfFieldReal8:price), ConstReal:1)"},
        Case{"count between 1 and 2.5",
             "BetweenReal(IntToReal(SelfFieldInt4:count), ConstReal:1, ConstReal:2.5)"},
        Case{"price ^ 2 = 4", "EqReal(PowRealInt(SelfFieldReal8:price, ConstInteger:2), ConstReal:4)"},
        Case{"count ^ 0.5 = 4", "EqReal(PowReal(IntToReal(SelfFieldInt4:count), ConstReal:0.5), ConstReal:4)"},
        Case{"big = 12345678901", "EqInt(SelfFieldInt8:big, ConstInteger:12345678901)"},
        Case{"big = 999999999", "EqInt(SelfFieldInt8:big, ConstInteger:999999999)"},
        Case{"big = 9223372036854775807", "EqInt(SelfFieldInt8:big, ConstInteger:9223372036854775807)"},
        Case{"big = -9223372036854775807 - 1",
             "EqInt(SelfFieldInt8:big, SubInt(ConstInteger:-9223372036854775807, ConstInteger:1))"}));

// IN with a list becomes a chain of equalities joined by OR.
INSTANTIATE_TEST_SUITE_P(
    InList, TreeTest,
    ::testing::Values(
        Case{"count in (1, 2, 3)",
             "Or(EqInt(SelfFieldInt4:count, ConstInteger:1), Or(EqInt(SelfFieldInt4:count, ConstInteger:2), "
             "EqInt(SelfFieldInt4:count, ConstInteger:3)))"},
        Case{"price not in (1, 2.5)",
             "Not(Or(EqReal(SelfFieldReal8:price, ConstReal:1), EqReal(SelfFieldReal8:price, ConstReal:2.5)))"},
        Case{"count in (1.5, small)",
             "Or(EqReal(IntToReal(SelfFieldInt4:count), ConstReal:1.5), EqInt(SelfFieldInt4:count, "
             "SelfFieldInt1:small))"},
        Case{"name in ('a', id)",
             "Or(EqString(SelfFieldString:name, ConstString:'a'), EqString(SelfFieldString:name, SelfFieldString:id))"},
        Case{"owner.boss in (owner, 0)",
             "Or(EqRef(BaseFieldReference:boss(Deref(SelfFieldReference:owner)), SelfFieldReference:owner), "
             "EqRef(BaseFieldReference:boss(Deref(SelfFieldReference:owner)), IntToRef(ConstInteger:0)))"},
        Case{"flag in (true, false)", "Or(EqBool(SelfFieldBool:flag, ConstTrue), EqBool(SelfFieldBool:flag, ConstFalse))"},
        Case{"code in (code, code)",
             "Or(EqBinary:4(SelfFieldRawBinary:code, SelfFieldRawBinary:code), "
             "EqBinary:4(SelfFieldRawBinary:code, SelfFieldRawBinary:code))"}));

// Every refusal reports its message and where it was found.
INSTANTIATE_TEST_SUITE_P(
    Errors, TreeTest,
    ::testing::Values(
        Case{"count | 1", "ERROR: Invalid token '|' @6"},
        Case{"count ! 1", "ERROR: Invalid token '!' @6"},
        Case{"name = 'abc", "ERROR: Unterminated character constant @10"},
        Case{"count = 1 # 2", "ERROR: Invalid symbol @10"},
        Case{"count = 99999999999999999999", "ERROR: Bad integer constant @27"},
        Case{"price = 1e999", "ERROR: Bad floating point constant @8"},
        Case{"nosuch = 1", "ERROR: Field not found @0"},
        Case{"order = 1", "ERROR: BY expected after ORDER @6"},
        Case{"count", "ERROR: Conditional expression should have boolean type\n @0"},
        Case{"flag or count", "ERROR: Bad operands for OR operator @5"},
        Case{"flag and name", "ERROR: Bad operands for AND operator @5"},
        Case{"count not = 1", "ERROR: LIKE, BETWEEN or IN expected @10"},
        Case{"count is 1", "ERROR: [NOT] NULL expected @9"},
        Case{"owner is not 1", "ERROR: NULL expected @13"},
        Case{"count is null", "ERROR: IS [NOT] NULL predicate can be applied only to references @6"},
        Case{"count in (1, 'a')", "ERROR: Expression 2 in right part of IN operator have incompatible type @6"},
        Case{"'a' in tags", "ERROR: Type of selective expression of IN operator doesn't match type of the array @4"},
        Case{"1.5 in tags", "ERROR: Type of selective expression of IN operator doesn't match type of the array @4"},
        Case{"count in 'abc'", "ERROR: Left operand of IN expression hasn't string type @6"},
        Case{"count in 5", "ERROR: List of expressions or array expected @6"},
        Case{"count between 1 or 2", "ERROR: AND expected @17"},
        Case{"count between 'a' and 2.5", "ERROR: operand of BETWEEN operator should be of integer, real or string type @6"},
        Case{"count between 'a' and 'b'", "ERROR: operands of BETWEEN operator should be of integer, real or string type @6"},
        Case{"code between code and 'a'", "ERROR: operands of BETWEEN operator should be of integer, real or string type @5"},
        Case{"count like 'a'", "ERROR: operands of LIKE operator should be of string type @6"},
        Case{"name like 'a' escape name", "ERROR: String literal espected after ESCAPE @24"},
        Case{"name > 1.5", "ERROR: operands of relation operator should be of intger, real or string type @5"},
        Case{"owner > null", "ERROR: References can be checked only for equality @6"},
        Case{"flag < true", "ERROR: Boolean variables can be checked only for equality @5"},
        Case{"name = 1", "ERROR: operands of relation operator should be of integer, real or string type @5"},
        Case{"name + 1.5 = 1", "ERROR: operands of arithmetic operators should be of integer or real type @5"},
        Case{"1.5 + name = 1", "ERROR: operands of arithmetic operator should be of integer or real type @4"},
        Case{"name + 1 = 1", "ERROR: operands of arithmentic operator should be of integer or real type @5"},
        Case{"name * name = 1", "ERROR: operands of arithmentic operator should be of integer or real type @5"},
        Case{"name ^ 2 = 1", "ERROR: operands of arithmentic operator should be of integer or real type @5"},
        Case{"name - id = 'a'", "ERROR: Operation - is not defined for strings @5"},
        Case{"owner. = 1", "ERROR: identifier expected @7"},
        Case{"count.x = 1", "ERROR: Left operand of '.' should be structure or reference @5"},
        Case{"owner.nosuch = 1", "ERROR: Field not found @6"},
        Case{"pos.z = 1", "ERROR: Field not found @4"},
        Case{"pos = 1", "ERROR: '.' expected @4"},
        Case{"count[0] = 1", "ERROR: Index can be applied only to arrays @5"},
        Case{"tags[0 = 1", "ERROR: ']' expected @9"},
        Case{"tags['a'] = 1", "ERROR: Index should have integer type @4"},
        Case{"exists 1: (count = 1)", "ERROR: Free variable name expected @7"},
        Case{"exists i (count = 1)", "ERROR: ':' expected @9"},
        Case{"exists i: count", "ERROR: Expresion in EXISTS clause should be of boolean type @0"},
        Case{"exists a: (exists b: (exists c: (exists d: (tags[a] = 1))))",
             "ERROR: Too many nested EXISTS clauses\n @33"},
        Case{"abs(name) = 1", "ERROR: ABS function can be applied only to integer or real expression @0"},
        Case{"length(count) = 1", "ERROR: LENGTH function is defined only for arrays and strings @0"},
        Case{"integer(count) = 1", "ERROR: INTEGER function can be applied only to expression of real type @0"},
        Case{"real(price) = 1", "ERROR: REAL function can be applied only to expression of integer type @0"},
        Case{"string(name) = 'a'", "ERROR: STRING function can be applied only to integer or real expression @0"},
        Case{"lower(count) = 'a'", "ERROR: LOWER function can be applied only to string argument @0"},
        Case{"upper(count) = 'a'", "ERROR: UPPER function can be applied only to string argument @0"},
        Case{"(count = 1", "ERROR: ')' expected @9"},
        // `not` takes a whole comparison, so its result meets the second `=`.
        Case{"not name = 'a' = 1", "ERROR: operands of relation operator should be of integer, real or string type @15"},
        Case{"not name", "ERROR: NOT operator can be applied only to integer or boolean expressions @0"},
        Case{"count = +1", "ERROR: Using of unary plus operator has no sence @8"},
        Case{"-name = 'a'", "ERROR: Unary minus can be applied only to integer or real expressions @0"},
        Case{"count = )", "ERROR: operand expected @8"},
        Case{"select * from Item", "ERROR: operand expected @0"},
        Case{"start at first", "ERROR: FROM expected after START @7"},
        Case{"start from 5", "ERROR: FIRST, LAST or reference varaible expected @11"},
        Case{"start from first follow parent", "ERROR: BY expected after FOLLOW @29"},
        Case{"start from first follow by 5", "ERROR: Field name expected @27"},
        Case{"start from first follow by nosuch", "ERROR: Field not found @32"},
        Case{"start from first follow by pos", "ERROR: '.' expected @29"},
        Case{"start from first follow by owner",
             "ERROR: Follow field should be of compatibale reference or array of reference type @27"},
        Case{"start from first follow by tags",
             "ERROR: Follow field should be of compatibale reference or array of reference type @27"},
        Case{"order name", "ERROR: BY expected after ORDER @9"},
        Case{"order by name)", "ERROR: Unbalanced parentheses  @13"},
        Case{"order by parent.tags", "ERROR: Expressions in ORDER BY part should have scalar type @9"}));

// Multiline texts count positions from the start of the line.
TEST_F(CompilerTest, PositionsCountFromTheLastLineBreak) {
  EXPECT_EQ(compile("flag and\n  count = 'x'"), "ERROR: operands of relation operator should be of integer, real or string type @8");
  EXPECT_EQ(compile("flag and -- the rest:\n  nosuch = 1"), "ERROR: Field not found @2");
}

TEST_F(CompilerTest, PositionsBeforeALeadingWhereAreRaisedToItsEnd) {
  EXPECT_EQ(compile("where"), "Void");
  EXPECT_EQ(compile("where count"), "ERROR: Conditional expression should have boolean type\n @0");
  EXPECT_EQ(compile("where 1.5 + name = 1"), "ERROR: operands of arithmetic operator should be of integer or real type @10");
}

TEST_F(CompilerTest, StringConstantsUpToTheLimit) {
  std::string text = "name = '" + std::string(dbQueryCompiler::kMaxLiteral, 'x') + "'";
  EXPECT_EQ(compile(text.c_str()), "EqString(SelfFieldString:name, ConstString:'" +
                                       std::string(dbQueryCompiler::kMaxLiteral, 'x') + "')");
  text = "name = '" + std::string(dbQueryCompiler::kMaxLiteral + 1, 'x') + "'";
  EXPECT_EQ(compile(text.c_str()), "ERROR: String constant too long @4104");
  // A doubled quote is one quote, and counts as one character.
  text = "name = '" + std::string(dbQueryCompiler::kMaxLiteral - 1, 'x') + "'''";
  EXPECT_EQ(compile(text.c_str()), "EqString(SelfFieldString:name, ConstString:'" +
                                       std::string(dbQueryCompiler::kMaxLiteral - 1, 'x') + "'')");
}

TEST_F(CompilerTest, NamesUpToTheLimit) {
  std::string text = std::string(dbQueryCompiler::kMaxLiteral, 'n') + " = 1";
  EXPECT_EQ(compile(text.c_str()), "ERROR: Field not found @0");
  text = std::string(dbQueryCompiler::kMaxLiteral + 1, 'n') + " = 1";
  EXPECT_EQ(compile(text.c_str()), "ERROR: Name too long @4096");
}

// A page that pastes a name with a quote into a text changes the condition
// or leaves it open; it is never read past the end of the piece.
TEST_F(CompilerTest, QuotesInPastedInputEitherCloseTheConstantOrLeaveItOpen) {
  EXPECT_EQ(compile("name = 'O''Brien'"), "EqString(SelfFieldString:name, ConstString:'O'Brien')");
  std::string text = std::string("name = '") + "O'Brien" + "'";
  EXPECT_EQ(compile(text.c_str()), "EqString(SelfFieldString:name, ConstString:'O')");
  text = std::string("name = '") + "O'" + "'";
  EXPECT_EQ(compile(text.c_str()), "ERROR: Unterminated character constant @10");
  text = std::string("id='") + "x' or '1'='1" + "'";
  EXPECT_EQ(compile(text.c_str()), "Or(EqString(SelfFieldString:id, ConstString:'x'), EqString(ConstString:'1', ConstString:'1'))");
}

TEST_F(CompilerTest, PageSearchByNameBuildsLikeAndOrder) {
  std::string text = std::string("name like '%") + "abc" + "%'" + " order by id";
  EXPECT_EQ(compile(text.c_str()), "Like(SelfFieldString:name, ConstString:'%abc%')");
  EXPECT_EQ(printOrder(query.order.get()), "field:id asc");
}

struct OrderCase {
  const char* text;
  const char* tree;
  const char* order;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.text; }

class OrderTest : public CompilerTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(OrderTest, CompilesOrderList) {
  EXPECT_EQ(compile(GetParam().text), GetParam().tree);
  EXPECT_EQ(printOrder(query.order.get()), GetParam().order);
}

INSTANTIATE_TEST_SUITE_P(
    OrderBy, OrderTest,
    ::testing::Values(
        OrderCase{"order by id desc", "Void", "field:id desc"},
        OrderCase{"count > 1 order by name, count desc", "GtInt(SelfFieldInt4:count, ConstInteger:1)",
                  "field:name asc, field:count desc"},
        OrderCase{"id = 'a' order by (name desc, id)", "EqString(SelfFieldString:id, ConstString:'a')",
                  "field:name desc, field:id asc"},
        OrderCase{"order by (name asc), (count)", "Void", "field:name asc, field:count asc"},
        OrderCase{"order by tags", "Void", "field:tags asc"},
        OrderCase{"order by slots[0].label", "Void",
                  "expr:BaseFieldString:slots[].label(ElementAddress:12(SelfFieldArray:slots, ConstInteger:0)) asc"},
        OrderCase{"order by pos.y", "Void", "field:pos.y asc"},
        OrderCase{"order by length(tags) desc", "Void", "field:tags desc"},
        OrderCase{"order by code", "Void", "field:code asc"},
        OrderCase{"order by count * -1, owner.name desc", "Void",
                  "expr:MulInt(SelfFieldInt4:count, ConstInteger:-1) asc, "
                  "expr:BaseFieldString:name(Deref(SelfFieldReference:owner)) desc"},
        OrderCase{"order by length(name)", "Void", "expr:StringLength(SelfFieldString:name) asc"},
        OrderCase{"order by made.year", "Void", "expr:SelfMethodInt4:made.year asc"},
        OrderCase{"order by flag desc", "Void", "field:flag desc"},
        // Tokens after the last clause are ignored.
        OrderCase{"order by name desc id", "Void", "field:name desc"}));

TEST_F(CompilerTest, StartFromAndFollowBy) {
  EXPECT_EQ(compile("start from first"), "Void");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartFirst);
  EXPECT_EQ(query.follow, nullptr);

  EXPECT_EQ(compile("count > 0 start from last follow by parent, children order by name"),
            "GtInt(SelfFieldInt4:count, ConstInteger:0)");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartLast);
  ASSERT_NE(query.follow, nullptr);
  // Most recently written first.
  EXPECT_STREQ(query.follow->field->name, "children");
  ASSERT_NE(query.follow->next, nullptr);
  EXPECT_STREQ(query.follow->next->field->name, "parent");
  EXPECT_EQ(query.follow->next->next, nullptr);
  EXPECT_EQ(printOrder(query.order.get()), "field:name asc");
}

TEST_F(CompilerTest, StartFromBoundVariables) {
  dbReference<Item> item;
  dbReference<Owner> owner;
  dbArray<dbReference<Item>> items;
  dbArray<dbReference<Item>>* itemsPtr = &items;
  db_int4 number = 0;

  query = "start from ", item;
  EXPECT_EQ(outcome(), "Void");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartRef);
  EXPECT_EQ(query.root, &item);

  query = "start from ", items, " follow by parent";
  EXPECT_EQ(outcome(), "Void");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartRefArray);
  EXPECT_EQ(query.root, &items);

  query = "start from ", itemsPtr;
  EXPECT_EQ(outcome(), "Void");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartRefArrayPtr);
  EXPECT_EQ(query.root, &itemsPtr);

  query = "start from ", owner;
  EXPECT_EQ(outcome(), "ERROR: Incompatiable type of reference variable @10");
  EXPECT_EQ(query.startFrom, dbCompiledQuery::StartNone);

  dbArray<dbReference<Owner>> owners;
  query = "start from ", owners;
  EXPECT_EQ(outcome(), "ERROR: Incompatiable type of array of reference variable @10");

  query = "start from ", number;
  EXPECT_EQ(outcome(), "ERROR: Reference or array of reference variable expected @10");
}

}  // namespace

namespace {

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; i++) text += piece;
  return text;
}

// Whatever a page pastes into a text, compiling (and later evaluating and
// freeing the tree) must stay within a thread's stack.
TEST_F(CompilerTest, DeepOrLongTextsAreRefusedBeforeTheyExhaustTheStack) {
  std::string nested = repeat("(", 100000) + "count = 1" + repeat(")", 100000);
  EXPECT_EQ(compile(nested.c_str()), "ERROR: Expression is too complex @250");
  std::string chain = "count = 0" + repeat(" + 1", 5000);
  EXPECT_EQ(compile(chain.c_str()), "ERROR: Expression is too complex @8200");
  std::string negations = "count = " + repeat("- ", 100000) + "1";
  EXPECT_EQ(compile(negations.c_str()), "ERROR: Expression is too complex @2002");

  // What real queries need stays well inside the limits.
  std::string moderate = repeat("(", 50) + "count = 0" + repeat(" + 1", 500) + repeat(")", 50) +
                         repeat(" or count = 2", 200);
  EXPECT_EQ(compile(moderate.c_str()).substr(0, 3), "Or(");
}

}  // namespace
