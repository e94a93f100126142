// The query compiler: turns the text and bound variables of a dbQuery into
// a condition tree, an ORDER BY list and an optional START FROM traversal,
// resolving field names against one table descriptor.
//
// Each thread that uses a database owns one compiler (in its thread
// context), so a compiler is never shared between threads. Compile errors
// are reported through the database's handleError with class ErrQuery, the
// message and a position in the query text; the query then stays
// uncompiled.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "class.h"
#include "expr.h"
#include "query.h"

class dbDatabase;

class dbQueryCompiler {
 public:
  // Errors go to `db->handleError`; with no database, to the default report.
  // The first compiler made in the process enters the keywords into the
  // symbol table.
  explicit dbQueryCompiler(dbDatabase* db = nullptr);
  dbQueryCompiler(const dbQueryCompiler&) = delete;
  dbQueryCompiler& operator=(const dbQueryCompiler&) = delete;

  // Compiles `query` for `table`. True: the query's compiled part is filled
  // (its table set; the caller stores the schema version). False: the error
  // has been reported and the query is left uncompiled.
  bool compile(dbTableDescriptor* table, dbQuery& query);

  // Nesting limit of EXISTS.
  static constexpr int kMaxFreeVars = 3;
  // Longest string constant and name.
  static constexpr size_t kMaxLiteral = 4096;
  // Limits that keep the recursive parser, evaluator and tree walks within
  // a thread's stack whatever text a page pastes into a query: nesting of
  // the grammar's rules, and nodes of one query (which bounds tree depth).
  static constexpr int kMaxNesting = 1000;
  static constexpr size_t kMaxNodes = 4096;

 private:
  struct Abandon {};  // thrown by error() back to compile()

  // Counts one level of the grammar's recursion while it lives.
  class Nesting {
   public:
    explicit Nesting(dbQueryCompiler& compiler);
    ~Nesting() { compiler.nesting--; }

   private:
    dbQueryCompiler& compiler;
  };

  struct Binding {  // the variable of an enclosing EXISTS
    const char* name;
    bool used;
  };

  // Which comparison opcodes apply to a pair of operands.
  enum class Family { Int, Real, String, Ref, Bool, Binary, MixedNonNumeric, None };
  static Family familyOf(const dbExprNode* left, const dbExprNode* right);
  static int firstOpcodeOf(Family family);  // the family's Eq opcode, or Void

  // Lexer.
  void enter(const dbQueryElement* e);
  int scan();
  int next() { return lex = scan(); }
  int scanText();
  int scanNumber();
  int scanString();
  int scanName();
  int position() const { return static_cast<int>(pos - lineStart); }

  // Grammar.
  dbExprNode* disjunction();
  dbExprNode* conjunction();
  dbExprNode* comparison();
  dbExprNode* addition();
  dbExprNode* multiplication();
  dbExprNode* power();
  dbExprNode* term();
  dbExprNode* stringConstant();
  dbExprNode* identifierTerm();
  dbExprNode* listTerm();
  dbExprNode* negation();
  dbExprNode* complement();
  dbExprNode* existsTerm();
  dbExprNode* functionTerm(int function);
  dbExprNode* postfix(dbExprNode* expr, dbFieldDescriptor* field, dbTableDescriptor* refTable);
  dbExprNode* index(dbExprNode* expr, dbFieldDescriptor*& field, dbTableDescriptor*& refTable, int at);
  dbExprNode* member(dbExprNode* expr, dbFieldDescriptor*& field, dbTableDescriptor*& refTable, int at);
  dbExprNode* loadField(dbFieldDescriptor* field, dbExprNode* base);

  // Type rules.
  dbExprNode* logical(int cop, int bitCop, dbExprNode* left, dbExprNode* right, const char* message, int at);
  dbExprNode* arithmetic(int op, dbExprNode* left, dbExprNode* right, int at);
  dbExprNode* relation(int rel, dbExprNode* left, dbExprNode* right, int at);
  dbExprNode* comparisonNode(int cop, Family family, dbExprNode* left, dbExprNode* right);
  dbExprNode* rawBinaryComparison(int cop, dbExprNode* left, dbExprNode* right, dbExprNode* third, int at);
  dbExprNode* between(dbExprNode* value, int at);
  dbExprNode* like(dbExprNode* value, int at);
  dbExprNode* isNull(dbExprNode* value, int at);
  dbExprNode* in(dbExprNode* value, int at);
  dbExprNode* inArray(dbExprNode* value, dbExprNode* array, int at);
  dbExprNode* inList(dbExprNode* value, dbExprNode* list, int at);
  dbExprNode* widen(dbExprNode* expr);

  // Tail clauses.
  void startFrom();
  void followBy();
  dbFieldDescriptor* fieldPath();
  void orderBy();
  std::unique_ptr<dbOrderItem> orderItem(dbExprNode* item, bool ascent, int at);

  // Nodes of the compilation in progress: every node is recorded in `built`,
  // and whatever the result does not hold goes back to the allocator at the
  // end (all of them when the compilation is abandoned).
  dbExprNode* allocate();
  dbExprNode* node(int cop, dbExprNode* a = nullptr, dbExprNode* b = nullptr, dbExprNode* c = nullptr);
  dbExprNode* copy(const dbExprNode* tree);
  void releaseUnused(const dbExprNode* tree, const dbOrderItem* order);

  // Reports at `at` (default: the read position minus one) and abandons.
  [[noreturn]] void error(const char* message, int at = -1);
  [[noreturn]] void report(const char* message, int at);

  dbDatabase* db;

  // Query being compiled.
  dbTableDescriptor* table = nullptr;
  dbQuery* query = nullptr;

  // Lexer state.
  const dbQueryElement* element = nullptr;  // element being read
  const char* text = nullptr;               // its text, for a text piece
  size_t pos = 0;                           // read position in the piece
  size_t lineStart = 0;                     // position after the last line break
  size_t firstPos = 0;                      // end of a leading WHERE
  int lex = 0;                              // look-ahead token
  int tokenPos = 0;                         // where the look-ahead began
  db_int8 ivalue = 0;
  real8 fvalue = 0;
  std::string svalue;                       // string constant or name
  const char* name = nullptr;               // interned identifier
  const dbQueryElement* param = nullptr;    // bound variable token

  Binding freeVars[kMaxFreeVars] = {};
  int nFreeVars = 0;
  int nesting = 0;

  std::vector<dbExprNode*> built;  // every node made by this compilation
};
