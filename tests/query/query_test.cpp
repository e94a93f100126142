// Query objects: pieces and bound variables, parameters moved to the right,
// lazy compilation and recompilation, and the node and element free lists.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "query_support.h"
#include "symtab.h"

namespace {

bool contains(const dbExprNode* tree, const dbExprNode* node) {
  if (tree == nullptr) return false;
  if (tree == node) return true;
  for (int i = 0; i < dbOpcodeOperandCount(tree->cop); i++) {
    if (contains(tree->operand[i], node)) return true;
  }
  return false;
}

class QueryTest : public ::testing::Test {
 protected:
  std::string compile(dbQuery& q, dbTableDescriptor* table = &Item::dbDescriptor) {
    db.reports.clear();
    if (!compiler.compile(table, q)) return "ERROR: " + (db.reports.empty() ? "" : db.reports[0].message);
    return printTree(q.tree);
  }

  RecordingDatabase db;
  dbQueryCompiler compiler{&db};
};

TEST_F(QueryTest, BoundVariablesBecomeParameterNodesOfTheirKind) {
  bool b = false;
  db_int1 i1 = 0;
  db_int2 i2 = 0;
  db_int4 i4 = 0;
  db_int8 i8 = 0;
  real4 r4 = 0;
  real8 r8 = 0;
  char chars[8] = "abc";
  const char* text = "abc";
  dbReference<Owner> owner;
  dbArray<dbReference<Item>> items;
  struct Case {
    dbQuery query;
    const char* tree;
    const void* variable;
  } cases[] = {
      {{}, "EqBool(SelfFieldBool:flag, ParamBool)", &b},
      {{}, "EqInt(SelfFieldInt4:count, ParamInt1)", &i1},
      {{}, "EqInt(SelfFieldInt4:count, ParamInt2)", &i2},
      {{}, "EqInt(SelfFieldInt4:count, ParamInt4)", &i4},
      {{}, "EqInt(SelfFieldInt8:big, ParamInt8)", &i8},
      {{}, "EqReal(SelfFieldReal8:price, ParamReal4)", &r4},
      {{}, "EqReal(IntToReal(SelfFieldInt4:count), ParamReal8)", &r8},
      {{}, "EqString(SelfFieldString:name, ParamString)", chars},
      {{}, "EqString(SelfFieldString:name, ParamStringPtr)", &text},
      {{}, "EqRef(SelfFieldReference:owner, ParamReference)", &owner},
      {{}, "InArrayReference(SelfFieldReference:parent, ParamRefArray)", &items},
  };
  cases[0].query = "flag = ", b;
  cases[1].query = "count = ", i1;
  cases[2].query = "count = ", i2;
  cases[3].query = "count = ", i4;
  cases[4].query = "big = ", i8;
  cases[5].query = "price = ", r4;
  cases[6].query = "count = ", r8;
  cases[7].query = "name = ", chars;
  cases[8].query = "name = ", text;
  cases[9].query = "owner = ", owner;
  cases[10].query = "parent in ", items;
  for (Case& c : cases) {
    EXPECT_EQ(compile(c.query), c.tree);
    const dbExprNode* param = c.query.tree->operand[1];
    if (param->cop == IntToReal) param = param->operand[0];
    EXPECT_EQ(param->var, c.variable) << c.tree;
  }
}

TEST_F(QueryTest, ParametersOnTheLeftAreMovedRightThroughTheMirror) {
  db_int4 n = 5;
  const char* text = "x";
  dbReference<Owner> owner;
  struct Case {
    dbQuery query;
    const char* tree;
  } cases[] = {
      {{}, "GtInt(SelfFieldInt4:count, ParamInt4)"},
      {{}, "LeInt(SelfFieldInt4:count, ParamInt4)"},
      {{}, "EqInt(SelfFieldInt4:count, ParamInt4)"},
      {{}, "NeInt(SelfFieldInt4:count, ParamInt4)"},
      {{}, "LtString(SelfFieldString:name, ParamStringPtr)"},
      {{}, "EqRef(SelfFieldReference:owner, ParamReference)"},
      // Literals stay where they were written.
      {{}, "LtInt(ConstInteger:5, SelfFieldInt4:count)"},
      // Only relations move; the widening keeps the parameter out of place.
      {{}, "LtReal(IntToReal(ParamInt4), SelfFieldReal8:price)"},
  };
  cases[0].query = "", n, " < count";
  cases[1].query = "", n, " >= count";
  cases[2].query = "", n, " = count";
  cases[3].query = "", n, " <> count";
  cases[4].query = "", text, " > name";
  cases[5].query = "", owner, " = owner";
  cases[6].query = "5 < count";
  cases[7].query = "", n, " < price";
  for (Case& c : cases) EXPECT_EQ(compile(c.query), c.tree);
}

TEST_F(QueryTest, PageConditionOverAReferenceAndABoundInteger) {
  db_int4 oid = 0;
  dbQuery q;
  // The pages' "category!=null and category.oid=" on the test schema.
  q = "owner!=null and owner.oid=", oid;
  EXPECT_EQ(compile(q),
            "And(NeRef(SelfFieldReference:owner, NullReference), "
            "EqInt(BaseFieldInt4:oid(Deref(SelfFieldReference:owner)), ParamInt4))");
}

TEST_F(QueryTest, ReferenceParametersLeadToTheirTable) {
  dbReference<Owner> owner;
  dbArray<dbReference<Item>> items;
  dbQuery q;
  q = "", owner, ".name = name";
  EXPECT_EQ(compile(q), "EqString(BaseFieldString:name(Deref(ParamReference)), SelfFieldString:name)");
  q = "", items, "[0].count = 1";
  EXPECT_EQ(compile(q),
            "EqInt(BaseFieldInt4:count(Deref(BaseFieldReference:?(ElementAddress:4(ParamRefArray, ConstInteger:0)))), "
            "ConstInteger:1)");
  q = "", owner, ".count = 1";
  EXPECT_EQ(compile(q), "ERROR: Field not found");
}

TEST_F(QueryTest, VariablesAreReadAtEvaluationSoOneCompileServesNewValues) {
  db_int4 n = 1;
  dbQuery q;
  q = "count = ", n;
  ASSERT_TRUE(q.prepare(compiler, &Item::dbDescriptor, 0));
  const dbExprNode* tree = q.tree;
  n = 2;
  ASSERT_TRUE(q.prepare(compiler, &Item::dbDescriptor, 0));
  EXPECT_EQ(q.tree, tree);  // not compiled again
  EXPECT_EQ(*static_cast<const db_int4*>(q.tree->operand[1]->var), 2);
}

TEST_F(QueryTest, RecompiledWhenTheTableOrTheSchemaVersionChanges) {
  dbQuery q("oid = 1");
  EXPECT_EQ(compile(q), "ERROR: Field not found");
  EXPECT_FALSE(q.compiled());

  db.reports.clear();
  ASSERT_TRUE(q.prepare(compiler, &Owner::dbDescriptor, 0));
  EXPECT_EQ(printTree(q.tree), "EqInt(SelfFieldInt4:oid, ConstInteger:1)");
  EXPECT_EQ(q.table, &Owner::dbDescriptor);
  EXPECT_EQ(q.schemaVersion, 0);

  ASSERT_TRUE(q.prepare(compiler, &Owner::dbDescriptor, 7));
  EXPECT_EQ(q.schemaVersion, 7);

  // Compiled for Item now: Item has no `oid`, so it fails and stays uncompiled.
  EXPECT_FALSE(q.prepare(compiler, &Item::dbDescriptor, 7));
  EXPECT_FALSE(q.compiled());
  EXPECT_EQ(db.reports.size(), 1u);
  // The next use tries again.
  EXPECT_FALSE(q.prepare(compiler, &Item::dbDescriptor, 7));
  EXPECT_EQ(db.reports.size(), 2u);
}

TEST_F(QueryTest, AssigningTextResetsTheQuery) {
  dbQuery q("count = 1 start from first order by name");
  ASSERT_TRUE(q.prepare(compiler, &Item::dbDescriptor, 0));
  EXPECT_NE(q.order, nullptr);
  q = "flag";
  EXPECT_FALSE(q.compiled());
  EXPECT_EQ(q.order, nullptr);
  EXPECT_EQ(q.startFrom, dbCompiledQuery::StartNone);
  ASSERT_TRUE(q.prepare(compiler, &Item::dbDescriptor, 0));
  EXPECT_EQ(printTree(q.tree), "SelfFieldBool:flag");
  EXPECT_EQ(q.order, nullptr);
}

TEST_F(QueryTest, TextSpreadOverPiecesLexesAsOneText) {
  dbQuery q;
  q.append("cou").append("nt = 1");  // a token does not continue into the next piece
  EXPECT_EQ(compile(q), "ERROR: Field not found");
  q = "count";
  q.append(" = 1").append("").append(" or flag");
  EXPECT_EQ(compile(q), "Or(EqInt(SelfFieldInt4:count, ConstInteger:1), SelfFieldBool:flag)");
}

TEST_F(QueryTest, CopiesAreDeepAndDestroyReturnsEveryNode) {
  dbQuery q("name in ('a', 'b') and -price < 1");
  ASSERT_TRUE(q.prepare(compiler, &Item::dbDescriptor, 0));
  dbExprNode* copy = q.tree->copy();
  EXPECT_EQ(printTree(copy), printTree(q.tree));
  // String constants are duplicated, not shared.
  const dbExprNode* original = q.tree->operand[0]->operand[0]->operand[1];
  const dbExprNode* copied = copy->operand[0]->operand[0]->operand[1];
  ASSERT_EQ(copied->cop, ConstString);
  EXPECT_NE(copied->svalue.chars, original->svalue.chars);
  q.reset();
  EXPECT_EQ(printTree(copy),
            "And(Or(EqString(SelfFieldString:name, ConstString:'a'), EqString(SelfFieldString:name, ConstString:'b')), "
            "LtReal(NegReal(SelfFieldReal8:price), ConstReal:1))");
  dbExprNode::destroy(copy);
}

TEST_F(QueryTest, FreedNodesAreReused) {
  dbExprNodeAllocator& allocator = dbExprNodeAllocator::instance();
  dbExprNode* a = allocator.allocate();
  allocator.release(a);
  dbExprNode* b = allocator.allocate();
  EXPECT_EQ(a, b);
  allocator.release(b);

  // A failed compile gives back what it built: the next compile reuses it.
  dbQuery failing("count = 1 and count = 2 and nosuch = 3");
  EXPECT_FALSE(compiler.compile(&Item::dbDescriptor, failing));
  dbExprNode* next = allocator.allocate();
  dbQuery q("count = 1 and count = 2");
  allocator.release(next);
  ASSERT_TRUE(compiler.compile(&Item::dbDescriptor, q));
  EXPECT_TRUE(contains(q.tree, next));
}

TEST_F(QueryTest, ElementsAreReturnedAtResetAndReused) {
  dbQueryElementAllocator& allocator = dbQueryElementAllocator::instance();
  const dbQueryElement* first;
  {
    dbQuery q;
    db_int4 n = 0;
    q = "a = ", n, " and b";
    first = q.elements();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, dbQueryElement::ElemText);
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->kind, dbQueryElement::ElemInt4);
    EXPECT_EQ(first->next->ptr, &n);
    ASSERT_NE(first->next->next, nullptr);
    EXPECT_EQ(first->next->next->next, nullptr);
  }
  std::vector<dbQueryElement*> taken;
  for (int i = 0; i < 3; i++) taken.push_back(allocator.allocate(dbQueryElement::ElemText, "", nullptr));
  bool reused = false;
  for (dbQueryElement* e : taken) reused |= e == first;
  EXPECT_TRUE(reused);
  for (dbQueryElement* e : taken) allocator.release(e, e);
}

TEST_F(QueryTest, KeywordsWinOverFieldsOfTheSameName) {
  // Item declares a field `order`, entered before the keywords were.
  EXPECT_NE(Item::dbDescriptor.find("order"), nullptr);
  const char* name = "order";
  EXPECT_NE(dbSymbolTable::add(name, dbSymbolTable::Identifier), dbSymbolTable::Identifier);
  name = "count";
  EXPECT_EQ(dbSymbolTable::add(name, dbSymbolTable::Identifier), dbSymbolTable::Identifier);
}

TEST_F(QueryTest, ThreadsCompileTheirOwnQueriesConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  dbQuery shared("count in (1, 2, 3) order by name");
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &failures, &shared] {
      RecordingDatabase local;
      dbQueryCompiler own(&local);
      for (int i = 0; i < kRounds; i++) {
        dbQuery q("name like '%x%' and exists k: (tags[k] = 3) order by id desc");
        if (!own.compile(&Item::dbDescriptor, q)) failures[t]++;
        if (!shared.prepare(own, &Item::dbDescriptor, i % 2)) failures[t]++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(printOrder(shared.order.get()), "field:name asc");
}

}  // namespace
