#include "compiler.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "database.h"
#include "errors.h"
#include "symtab.h"

namespace {

// Tokens. Identifiers share the symbol table's tag 0; keywords carry their
// own codes as tags.
enum Token {
  tknIdent = dbSymbolTable::Identifier,
  tknAll, tknAbs, tknAnd, tknAsc, tknBetween, tknBy, tknCurrent, tknDesc, tknEscape, tknExists,
  tknFirst, tknFalse, tknFollow, tknFrom, tknIn, tknIs, tknInteger, tknInsert, tknInto, tknLast,
  tknLength, tknLike, tknLower, tknNot, tknNull, tknOr, tknOrder, tknReal, tknSelect, tknStart,
  tknString, tknTable, tknTrue, tknUpper, tknWhere,
  tknLpar, tknRpar, tknLbr, tknRbr, tknDot, tknComma, tknPower, tknCol,
  tknAdd, tknSub, tknMul, tknDiv,
  tknEq, tknNe, tknGt, tknGe, tknLt, tknLe,  // in the order of the relation opcodes
  tknIconst, tknFconst, tknSconst, tknParam, tknEof,
  tknPieceEnd  // internal: the text piece is exhausted
};

struct Keyword {
  const char* name;
  Token token;
};

constexpr Keyword kKeywords[] = {
    {"all", tknAll},         {"abs", tknAbs},         {"and", tknAnd},       {"asc", tknAsc},
    {"between", tknBetween}, {"by", tknBy},           {"current", tknCurrent}, {"desc", tknDesc},
    {"escape", tknEscape},   {"exists", tknExists},   {"first", tknFirst},   {"false", tknFalse},
    {"follow", tknFollow},   {"from", tknFrom},       {"in", tknIn},         {"is", tknIs},
    {"integer", tknInteger}, {"insert", tknInsert},   {"into", tknInto},     {"last", tknLast},
    {"length", tknLength},   {"like", tknLike},       {"lower", tknLower},   {"not", tknNot},
    {"null", tknNull},       {"or", tknOr},           {"order", tknOrder},   {"real", tknReal},
    {"select", tknSelect},   {"start", tknStart},     {"string", tknString}, {"table", tknTable},
    {"true", tknTrue},       {"upper", tknUpper},     {"where", tknWhere},
};
static_assert(std::size(kKeywords) == 35);

void enterKeywords() {
  for (const Keyword& k : kKeywords) dbSymbolTable::addKeyword(k.name, k.token);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

bool isInteger(const dbExprNode* n) { return n->type == exprInteger; }
bool isReal(const dbExprNode* n) { return n->type == exprReal; }
bool isNumeric(const dbExprNode* n) { return isInteger(n) || isReal(n); }
bool isString(const dbExprNode* n) { return n->type == exprString; }
bool isParameter(const dbExprNode* n) { return n->cop >= ParamBool && n->cop <= ParamReserved; }
bool isRawField(const dbExprNode* n) { return n->cop == SelfFieldRawBinary || n->cop == BaseFieldRawBinary; }
bool isSelfField(const dbExprNode* n) {
  return (n->cop >= SelfFieldBool && n->cop <= SelfFieldArray) || n->cop == SelfFieldRawBinary;
}

}  // namespace

dbQueryCompiler::dbQueryCompiler(dbDatabase* database) : db(database) {
  static std::once_flag keywordsEntered;
  std::call_once(keywordsEntered, enterKeywords);
}

dbQueryCompiler::Family dbQueryCompiler::familyOf(const dbExprNode* l, const dbExprNode* r) {
  if (isReal(l) || isReal(r)) return isNumeric(l) && isNumeric(r) ? Family::Real : Family::MixedNonNumeric;
  if (isInteger(l) && isInteger(r)) return Family::Int;
  if (isString(l) && isString(r)) return Family::String;
  bool lRef = l->type == exprReference, rRef = r->type == exprReference;
  if ((lRef && (rRef || isInteger(r))) || (rRef && isInteger(l))) return Family::Ref;
  if (l->type == exprBoolean && r->type == exprBoolean) return Family::Bool;
  if (l->type == exprRawBinary && r->type == exprRawBinary) return Family::Binary;
  return Family::None;
}

int dbQueryCompiler::firstOpcodeOf(Family family) {
  switch (family) {
    case Family::Int: return EqInt;
    case Family::Real: return EqReal;
    case Family::String: return EqString;
    case Family::Ref: return EqRef;
    case Family::Bool: return EqBool;
    case Family::Binary: return EqBinary;
    default: return Void;
  }
}

// ---------------------------------------------------------------------------
// Errors and nodes.

void dbQueryCompiler::error(const char* message, int at) {
  int where = at >= 0 ? at : std::max(0, position() - 1);
  report(message, std::max(where, static_cast<int>(firstPos)));
}

void dbQueryCompiler::report(const char* message, int at) {
  dbDatabase* target = db != nullptr ? db : table->db;
  if (target != nullptr) {
    target->handleError(ErrQuery, message, at);
  } else {
    dbReportError(ErrQuery, message, at);
  }
  throw Abandon{};
}

dbQueryCompiler::Nesting::Nesting(dbQueryCompiler& owner) : compiler(owner) {
  if (++compiler.nesting > kMaxNesting) compiler.error("Expression is too complex");
}

dbExprNode* dbQueryCompiler::allocate() {
  if (built.size() == kMaxNodes) error("Expression is too complex");
  built.reserve(built.size() + 1);  // so that the push below cannot lose the node
  dbExprNode* n = dbExprNodeAllocator::instance().allocate();
  built.push_back(n);
  return n;
}

dbExprNode* dbQueryCompiler::node(int cop, dbExprNode* a, dbExprNode* b, dbExprNode* c) {
  dbExprNode* n = allocate();
  n->cop = static_cast<uint8_t>(cop);
  n->type = dbOpcodeResultType(cop);
  n->operand[0] = a;
  n->operand[1] = b;
  n->operand[2] = c;
  return n;
}

dbExprNode* dbQueryCompiler::copy(const dbExprNode* tree) {
  return dbCopyTree(tree, [this] { return allocate(); });
}

namespace {

void collectTree(const dbExprNode* n, std::vector<const dbExprNode*>& into) {
  if (n == nullptr) return;
  into.push_back(n);
  int count = dbOpcodeOperandCount(n->cop);
  for (int i = 0; i < count; i++) collectTree(n->operand[i], into);
}

}  // namespace

void dbQueryCompiler::releaseUnused(const dbExprNode* tree, const dbOrderItem* order) {
  std::vector<const dbExprNode*> live;
  collectTree(tree, live);
  for (; order != nullptr; order = order->next.get()) collectTree(order->expr, live);
  std::sort(live.begin(), live.end());
  dbExprNodeAllocator& allocator = dbExprNodeAllocator::instance();
  dbCriticalSection guard(allocator.mutex());
  for (dbExprNode* n : built) {
    if (!std::binary_search(live.begin(), live.end(), n)) allocator.release(n);
  }
  built.clear();
}

// ---------------------------------------------------------------------------
// Compile.

bool dbQueryCompiler::compile(dbTableDescriptor* forTable, dbQuery& forQuery) {
  forQuery.destroy();
  table = forTable;
  query = &forQuery;
  nFreeVars = 0;
  nesting = 0;
  firstPos = pos = lineStart = 0;
  built.clear();
  enter(forQuery.elements());
  try {
    next();
    if (lex == tknWhere) {
      firstPos = pos;
      next();
    }
    dbExprNode* tree = disjunction();
    if (tree->type != exprBoolean && tree->type != exprVoid) {
      report("Conditional expression should have boolean type\n", 0);
    }
    startFrom();
    orderBy();
    releaseUnused(tree, forQuery.order.get());
    forQuery.tree = tree;
    forQuery.table = forTable;
    return true;
  } catch (const Abandon&) {
    // The order items' expressions are among the nodes built; free them once.
    for (dbOrderItem* item = forQuery.order.get(); item != nullptr; item = item->next.get()) item->expr = nullptr;
    forQuery.destroy();
    releaseUnused(nullptr, nullptr);
    return false;
  }
}

// ---------------------------------------------------------------------------
// Lexer.

void dbQueryCompiler::enter(const dbQueryElement* e) {
  element = e;
  text = e != nullptr && e->kind == dbQueryElement::ElemText ? static_cast<const char*>(e->ptr) : nullptr;
  // A bound variable, or the end, is placed where the text before it ended.
  if (text == nullptr) return;
  pos = 0;
  lineStart = 0;
}

int dbQueryCompiler::scan() {
  while (element != nullptr) {
    if (element->kind != dbQueryElement::ElemText) {
      param = element;
      tokenPos = position();
      enter(element->next);
      return tknParam;
    }
    int token = text != nullptr ? scanText() : tknPieceEnd;
    if (token != tknPieceEnd) return token;
    enter(element->next);
  }
  tokenPos = position();
  return tknEof;
}

int dbQueryCompiler::scanText() {
  while (true) {
    while (isSpace(text[pos])) {
      if (text[pos] == '\n') lineStart = pos + 1;
      pos++;
    }
    tokenPos = position();
    char c = text[pos];
    if (c == '\0') return tknPieceEnd;
    pos++;
    switch (c) {
      case '(': return tknLpar;
      case ')': return tknRpar;
      case '[': return tknLbr;
      case ']': return tknRbr;
      case '.': return tknDot;
      case ',': return tknComma;
      case '^': return tknPower;
      case ':': return tknCol;
      case '+': return tknAdd;
      case '*': return tknMul;
      case '/': return tknDiv;
      case '=': return tknEq;
      case '-':
        if (text[pos] != '-') return tknSub;
        while (text[pos] != '\0' && text[pos] != '\n') pos++;  // a comment
        continue;
      case '|':
        if (text[pos] != '|') error("Invalid token '|'");
        pos++;
        return tknAdd;
      case '!':
        if (text[pos] != '=') error("Invalid token '!'");
        pos++;
        return tknNe;
      case '<':
        if (text[pos] == '>') return pos++, tknNe;
        if (text[pos] == '=') return pos++, tknLe;
        return tknLt;
      case '>':
        if (text[pos] == '=') return pos++, tknGe;
        return tknGt;
      case '\'':
        return scanString();
      default:
        if (isDigit(c)) return scanNumber();
        if (isNameStart(c)) return scanName();
        error("Invalid symbol");
    }
  }
}

int dbQueryCompiler::scanString() {
  svalue.clear();
  while (true) {
    char c = text[pos];
    if (c == '\0') error("Unterminated character constant");
    pos++;
    if (c == '\'') {
      if (text[pos] != '\'') return tknSconst;
      pos++;  // two quotes stand for one
    } else if (c == '\n') {
      lineStart = pos;
    }
    if (svalue.size() == kMaxLiteral) error("String constant too long");
    svalue.push_back(c);
  }
}

int dbQueryCompiler::scanNumber() {
  const char* start = text + pos - 1;
  while (isDigit(text[pos])) pos++;
  char c = text[pos];
  char* end = nullptr;
  errno = 0;
  if (c == '.' || c == 'e' || c == 'E') {
    fvalue = std::strtod(start, &end);
    if (end == start || (errno == ERANGE && std::isinf(fvalue))) error("Bad floating point constant");
    pos = static_cast<size_t>(end - text);
    return tknFconst;
  }
  size_t digits = static_cast<size_t>(text + pos - start);
  if (digits <= 9) {
    ivalue = 0;
    for (const char* p = start; p < text + pos; p++) ivalue = ivalue * 10 + (*p - '0');
  } else {
    ivalue = std::strtoll(start, &end, 10);
    if (errno == ERANGE) error("Bad integer constant");
  }
  return tknIconst;
}

int dbQueryCompiler::scanName() {
  size_t start = pos - 1;
  while (isNameChar(text[pos])) pos++;
  if (pos - start > kMaxLiteral) error("Name too long");
  svalue.assign(text + start, pos - start);
  name = svalue.c_str();
  return dbSymbolTable::add(name, dbSymbolTable::Identifier, true);
}

// ---------------------------------------------------------------------------
// Grammar.

dbExprNode* dbQueryCompiler::disjunction() {
  Nesting level(*this);
  dbExprNode* left = conjunction();
  if (lex != tknOr) return left;
  int at = tokenPos;
  next();
  dbExprNode* right = disjunction();
  return logical(Or, BitOrInt, left, right, "Bad operands for OR operator", at);
}

dbExprNode* dbQueryCompiler::conjunction() {
  Nesting level(*this);
  dbExprNode* left = comparison();
  if (lex != tknAnd) return left;
  int at = tokenPos;
  next();
  dbExprNode* right = conjunction();
  return logical(And, BitAndInt, left, right, "Bad operands for AND operator", at);
}

dbExprNode* dbQueryCompiler::logical(int cop, int bitCop, dbExprNode* left, dbExprNode* right, const char* message,
                                     int at) {
  if (left->type == exprBoolean && right->type == exprBoolean) return node(cop, left, right);
  if (isInteger(left) && isInteger(right)) return node(bitCop, left, right);
  error(message, at);
}

dbExprNode* dbQueryCompiler::comparison() {
  dbExprNode* left = addition();
  int at = tokenPos;
  switch (lex) {
    case tknEq: case tknNe: case tknGt: case tknGe: case tknLt: case tknLe: {
      int rel = lex - tknEq;
      next();
      return relation(rel, left, addition(), at);
    }
    case tknLike:
      next();
      return like(left, at);
    case tknBetween:
      next();
      return between(left, at);
    case tknIn:
      next();
      return in(left, at);
    case tknIs:
      next();
      return isNull(left, at);
    case tknNot:
      next();
      switch (lex) {
        case tknLike: next(); return node(Not, like(left, at));
        case tknBetween: next(); return node(Not, between(left, at));
        case tknIn: next(); return node(Not, in(left, at));
        default: error("LIKE, BETWEEN or IN expected");
      }
    default:
      return left;
  }
}

dbExprNode* dbQueryCompiler::addition() {
  dbExprNode* left = multiplication();
  while (lex == tknAdd || lex == tknSub) {
    int op = lex, at = tokenPos;
    next();
    left = arithmetic(op, left, multiplication(), at);
  }
  return left;
}

dbExprNode* dbQueryCompiler::multiplication() {
  dbExprNode* left = power();
  while (lex == tknMul || lex == tknDiv) {
    int op = lex, at = tokenPos;
    next();
    left = arithmetic(op, left, power(), at);
  }
  return left;
}

dbExprNode* dbQueryCompiler::power() {
  Nesting level(*this);
  dbExprNode* left = term();
  if (lex != tknPower) return left;
  int at = tokenPos;
  next();
  return arithmetic(tknPower, left, power(), at);
}

dbExprNode* dbQueryCompiler::term() {
  Nesting level(*this);
  int at = tokenPos;
  switch (lex) {
    case tknIdent: return identifierTerm();
    case tknLpar: return listTerm();
    case tknIconst: {
      dbExprNode* n = node(ConstInteger);
      n->ivalue = ivalue;
      next();
      return n;
    }
    case tknFconst: {
      dbExprNode* n = node(ConstReal);
      n->fvalue = fvalue;
      next();
      return n;
    }
    case tknSconst: {
      dbExprNode* n = stringConstant();
      next();
      return postfix(n, nullptr, nullptr);
    }
    case tknAdd: error("Using of unary plus operator has no sence", at);
    case tknSub: return negation();
    case tknNot: return complement();
    case tknNull: return next(), node(NullReference);
    case tknTrue: return next(), node(ConstTrue);
    case tknFalse: return next(), node(ConstFalse);
    case tknFirst: return next(), postfix(node(FirstRecord), nullptr, table);
    case tknLast: return next(), postfix(node(LastRecord), nullptr, table);
    case tknCurrent: return next(), postfix(node(CurrentRecord), nullptr, table);
    case tknParam: {
      const dbQueryElement* e = param;
      dbExprNode* n = node(static_cast<int>(e->kind) + (ParamBool - 1));
      n->var = const_cast<void*>(e->ptr);
      next();
      return postfix(n, nullptr, e->ref);
    }
    case tknExists: return existsTerm();
    case tknLength: case tknLower: case tknUpper: case tknAbs: case tknInteger: case tknReal: case tknString:
      return functionTerm(lex);
    case tknStart: case tknOrder: case tknEof: return node(Void);
    default: error("operand expected", at);
  }
}

dbExprNode* dbQueryCompiler::stringConstant() {
  dbExprNode* n = node(ConstString);
  n->svalue.len = svalue.size() + 1;
  n->svalue.chars = dbDuplicateConstant(svalue.c_str(), n->svalue.len);
  return n;
}

dbExprNode* dbQueryCompiler::identifierTerm() {
  const char* id = name;
  int at = tokenPos;
  next();
  for (int i = nFreeVars - 1; i >= 0; i--) {
    if (freeVars[i].name == id) {
      freeVars[i].used = true;
      dbExprNode* n = node(FreeVar);
      n->offs = static_cast<uint16_t>(i);
      return postfix(n, nullptr, nullptr);
    }
  }
  dbFieldDescriptor* field = table->findSymbol(id);
  if (field == nullptr) error("Field not found", at);
  return postfix(loadField(field, nullptr), field, nullptr);
}

dbExprNode* dbQueryCompiler::listTerm() {
  next();
  std::vector<dbExprNode*> items{disjunction()};
  while (lex == tknComma) {
    next();
    items.push_back(disjunction());
  }
  if (lex != tknRpar) error("')' expected");
  next();
  // (a, b, c) is List(a, List(b, c)).
  dbExprNode* list = items.back();
  for (size_t i = items.size() - 1; i-- > 0;) list = node(List, items[i], list);
  return list;
}

dbExprNode* dbQueryCompiler::negation() {
  int at = tokenPos;
  next();
  dbExprNode* operand = term();
  if (operand->cop == ConstInteger) {
    operand->ivalue = static_cast<db_int8>(0 - static_cast<db_nat8>(operand->ivalue));
    return operand;
  }
  if (operand->cop == ConstReal) {
    operand->fvalue = -operand->fvalue;
    return operand;
  }
  if (isInteger(operand)) return node(NegInt, operand);
  if (isReal(operand)) return node(NegReal, operand);
  error("Unary minus can be applied only to integer or real expressions", at);
}

dbExprNode* dbQueryCompiler::complement() {
  int at = tokenPos;
  next();
  dbExprNode* operand = comparison();
  if (operand->cop == ConstInteger) {
    operand->ivalue = ~operand->ivalue;
    return operand;
  }
  if (isInteger(operand)) return node(BitNotInt, operand);
  if (operand->type == exprBoolean) return node(Not, operand);
  error("NOT operator can be applied only to integer or boolean expressions", at);
}

dbExprNode* dbQueryCompiler::existsTerm() {
  int at = tokenPos;
  next();
  if (lex != tknIdent) error("Free variable name expected");
  const char* var = name;
  next();
  if (lex != tknCol) error("':' expected");
  if (nFreeVars == kMaxFreeVars) error("Too many nested EXISTS clauses\n", at);
  int level = nFreeVars++;
  freeVars[level] = {var, false};
  next();
  dbExprNode* body = term();
  assert(nFreeVars == level + 1 && "engine286/src/compiler: exists binding stack");
  bool used = freeVars[level].used;
  nFreeVars = level;
  if (body->type != exprBoolean) error("Expresion in EXISTS clause should be of boolean type", at);
  if (!used) return body;
  dbExprNode* n = node(Exists, body);
  n->offs = static_cast<uint16_t>(level);
  return n;
}

dbExprNode* dbQueryCompiler::functionTerm(int function) {
  int at = tokenPos;
  next();
  dbExprNode* arg = term();
  int cop = Void;
  const char* message = nullptr;
  switch (function) {
    case tknLength:
      cop = arg->type == exprArray ? ArrayLength : isString(arg) ? StringLength : Void;
      message = "LENGTH function is defined only for arrays and strings";
      break;
    case tknLower:
      cop = isString(arg) ? Lower : Void;
      message = "LOWER function can be applied only to string argument";
      break;
    case tknUpper:
      cop = isString(arg) ? Upper : Void;
      message = "UPPER function can be applied only to string argument";
      break;
    case tknAbs:
      cop = isInteger(arg) ? AbsInt : isReal(arg) ? AbsReal : Void;
      message = "ABS function can be applied only to integer or real expression";
      break;
    case tknInteger:
      cop = isReal(arg) ? RealToInt : Void;
      message = "INTEGER function can be applied only to expression of real type";
      break;
    case tknReal:
      cop = isInteger(arg) ? IntToReal : Void;
      message = "REAL function can be applied only to expression of integer type";
      break;
    case tknString:
      cop = isInteger(arg) ? IntToString : isReal(arg) ? RealToString : Void;
      message = "STRING function can be applied only to integer or real expression";
      break;
  }
  if (cop == Void) error(message, at);
  return postfix(node(cop, arg), nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// Fields, indexing and member selection.

dbExprNode* dbQueryCompiler::loadField(dbFieldDescriptor* field, dbExprNode* base) {
  if (field->type == dbField::tpStructure) return base;  // only sets where the next '.' looks
  int self = base == nullptr ? SelfFieldBool : BaseFieldBool;
  int cop = field->type == dbField::tpRawBinary ? self + (SelfFieldRawBinary - SelfFieldBool) : self + field->type;
  assert(field->type <= dbField::tpMethodReference || field->type == dbField::tpRawBinary);
  dbExprNode* n = node(cop, base);
  n->ref.field = field;
  n->offs = static_cast<uint16_t>(field->dbsOffs);
  return n;
}

dbExprNode* dbQueryCompiler::postfix(dbExprNode* expr, dbFieldDescriptor* field, dbTableDescriptor* refTable) {
  if (field != nullptr && field->type == dbField::tpReference) refTable = field->refTable;
  while (true) {
    bool structure = field != nullptr && field->type == dbField::tpStructure;
    int at = tokenPos;
    if (lex == tknDot) {
      expr = member(expr, field, refTable, at);
    } else if (structure) {
      error("'.' expected");
    } else if (lex == tknLbr) {
      expr = index(expr, field, refTable, at);
    } else {
      return expr;
    }
  }
}

dbExprNode* dbQueryCompiler::index(dbExprNode* expr, dbFieldDescriptor*& field, dbTableDescriptor*& refTable,
                                   int at) {
  if (expr->type != exprArray && !isString(expr)) error("Index can be applied only to arrays", at);
  next();
  dbExprNode* subscript = disjunction();
  if (lex != tknRbr) error("']' expected");
  next();
  if (!isInteger(subscript) && subscript->type != exprFreeVar) error("Index should have integer type", at);
  if (isString(expr)) {
    field = nullptr;
    return node(CharCode, expr, subscript);
  }
  dbFieldDescriptor* element = field != nullptr ? field->components : nullptr;
  dbExprNode* address = node(ElementAddress, expr, subscript);
  address->offs = static_cast<uint16_t>(element != nullptr ? element->dbsSize : sizeof(oid_t));
  field = element;
  if (element == nullptr) {
    // An array parameter holds references to the element's table.
    return node(BaseFieldReference, address);
  }
  if (element->type == dbField::tpReference) refTable = element->refTable;
  return loadField(element, address);
}

dbExprNode* dbQueryCompiler::member(dbExprNode* expr, dbFieldDescriptor*& field, dbTableDescriptor*& refTable,
                                    int at) {
  next();
  if (lex != tknIdent) error("identifier expected");
  int nameAt = tokenPos;
  dbFieldDescriptor* found;
  if (field != nullptr && field->type == dbField::tpStructure) {
    found = field->components->findSymbol(name);
    if (found == nullptr) error("Field not found", nameAt);
  } else {
    if (expr == nullptr || expr->type != exprReference) error("Left operand of '.' should be structure or reference", at);
    found = refTable != nullptr ? refTable->findSymbol(name) : nullptr;
    if (found == nullptr) error("Field not found", nameAt);
    expr = node(Deref, expr);
  }
  next();
  field = found;
  refTable = found->type == dbField::tpReference ? found->refTable : nullptr;
  return loadField(found, expr);
}

// ---------------------------------------------------------------------------
// Type rules.

dbExprNode* dbQueryCompiler::widen(dbExprNode* expr) {
  if (!isInteger(expr)) return expr;
  if (expr->cop == ConstInteger) {
    expr->fvalue = static_cast<real8>(expr->ivalue);
    expr->cop = ConstReal;
    expr->type = exprReal;
    return expr;
  }
  return node(IntToReal, expr);
}

dbExprNode* dbQueryCompiler::arithmetic(int op, dbExprNode* left, dbExprNode* right, int at) {
  static const char* const kNeither = "operands of arithmentic operator should be of integer or real type";
  if (op == tknPower) {
    if (isInteger(left) && isInteger(right)) return node(PowInt, left, right);
    if (isReal(left) && isInteger(right)) return node(PowRealInt, left, right);
    if (isNumeric(left) && isReal(right)) return node(PowReal, widen(left), right);
    error(kNeither, at);
  }
  int k = op == tknAdd ? 0 : op == tknSub ? 1 : op == tknMul ? 2 : 3;
  if (isReal(left) || isReal(right)) {
    if (!isNumeric(left)) error("operands of arithmetic operators should be of integer or real type", at);
    if (!isNumeric(right)) error("operands of arithmetic operator should be of integer or real type", at);
    return node(AddReal + k, widen(left), widen(right));
  }
  if (isInteger(left) && isInteger(right)) return node(AddInt + k, left, right);
  if (isString(left) && isString(right)) {
    if (op == tknAdd) return node(Concat, left, right);
    if (op == tknSub) error("Operation - is not defined for strings", at);
  }
  error(kNeither, at);
}

dbExprNode* dbQueryCompiler::comparisonNode(int cop, Family family, dbExprNode* left, dbExprNode* right) {
  if (family == Family::Real) {
    left = widen(left);
    right = widen(right);
  } else if (family == Family::Ref) {
    if (isInteger(left)) left = node(IntToRef, left);
    if (isInteger(right)) right = node(IntToRef, right);
  }
  return node(cop, left, right);
}

dbExprNode* dbQueryCompiler::relation(int rel, dbExprNode* left, dbExprNode* right, int at) {
  Family family = familyOf(left, right);
  dbExprNode* cmp = nullptr;
  switch (family) {
    case Family::MixedNonNumeric:
      error("operands of relation operator should be of intger, real or string type", at);
    case Family::Ref:
      if (rel > 1) error("References can be checked only for equality", at);
      break;
    case Family::Bool:
      if (rel > 1) error("Boolean variables can be checked only for equality", at);
      break;
    case Family::Binary:
      cmp = rawBinaryComparison(EqBinary + rel, left, right, nullptr, at);
      break;
    case Family::None:
      error("operands of relation operator should be of integer, real or string type", at);
    default:
      break;
  }
  if (cmp == nullptr) cmp = comparisonNode(firstOpcodeOf(family) + rel, family, left, right);
  if (isParameter(cmp->operand[0])) {
    // Keep the field on the left, where the index search looks for it.
    std::swap(cmp->operand[0], cmp->operand[1]);
    cmp->cop = static_cast<uint8_t>(dbMirrorOpcode(cmp->cop));
  }
  return cmp;
}

dbExprNode* dbQueryCompiler::rawBinaryComparison(int cop, dbExprNode* left, dbExprNode* right, dbExprNode* third,
                                                 int at) {
  const dbExprNode* fieldSide = isRawField(left) ? left : third == nullptr && isRawField(right) ? right : nullptr;
  if (fieldSide == nullptr) error("Operations with raw binary types should include at least one record field", at);
  dbExprNode* n = node(cop, left, right, third);
  n->offs = static_cast<uint16_t>(fieldSide->ref.field->dbsSize);
  n->comparator = fieldSide->ref.field->comparator;
  return n;
}

dbExprNode* dbQueryCompiler::between(dbExprNode* value, int at) {
  dbExprNode* low = addition();
  if (lex != tknAnd) error("AND expected");
  next();
  dbExprNode* high = addition();
  dbExprNode* all[3] = {value, low, high};
  auto every = [&all](auto predicate) { return std::all_of(all, all + 3, predicate); };
  if (std::any_of(all, all + 3, isReal)) {
    if (!every(isNumeric)) error("operand of BETWEEN operator should be of integer, real or string type", at);
    return node(BetweenReal, widen(value), widen(low), widen(high));
  }
  if (every(isInteger)) return node(BetweenInt, value, low, high);
  if (every(isString)) return node(BetweenString, value, low, high);
  if (every([](const dbExprNode* n) { return n->type == exprRawBinary; })) {
    return rawBinaryComparison(BetweenBinary, value, low, high, at);
  }
  error("operands of BETWEEN operator should be of integer, real or string type", at);
}

dbExprNode* dbQueryCompiler::like(dbExprNode* value, int at) {
  dbExprNode* pattern = addition();
  if (!isString(value) || !isString(pattern)) error("operands of LIKE operator should be of string type", at);
  if (lex != tknEscape) return node(Like, value, pattern);
  next();
  if (lex != tknSconst) error("String literal espected after ESCAPE");
  dbExprNode* escape = stringConstant();
  next();
  return node(LikeEscape, value, pattern, escape);
}

dbExprNode* dbQueryCompiler::isNull(dbExprNode* value, int at) {
  bool negated = false;
  if (lex == tknNot) {
    next();
    if (lex != tknNull) error("NULL expected");
    negated = true;
  } else if (lex != tknNull) {
    error("[NOT] NULL expected");
  }
  next();
  if (value->type != exprReference) error("IS [NOT] NULL predicate can be applied only to references", at);
  dbExprNode* test = node(IsNull, value);
  return negated ? node(Not, test) : test;
}

dbExprNode* dbQueryCompiler::in(dbExprNode* value, int at) {
  dbExprNode* right = addition();
  switch (right->type) {
    case exprString:
      if (!isString(value)) error("Left operand of IN expression hasn't string type", at);
      return node(InString, value, right);
    case exprArray:
      return inArray(value, right, at);
    case exprList:
      return inList(value, right, at);
    default:
      error("List of expressions or array expected", at);
  }
}

dbExprNode* dbQueryCompiler::inArray(dbExprNode* value, dbExprNode* array, int at) {
  bool parameter = isParameter(array);
  int element = parameter ? static_cast<int>(dbField::tpReference) : array->ref.field->components->type;
  bool matches = false;
  switch (element) {
    case dbField::tpBool: matches = value->type == exprBoolean; break;
    case dbField::tpInt1: case dbField::tpInt2: case dbField::tpInt4: case dbField::tpInt8:
      matches = isInteger(value);
      break;
    case dbField::tpReal4: case dbField::tpReal8: matches = isReal(value); break;
    case dbField::tpString: matches = isString(value); break;
    case dbField::tpReference:
      if (isInteger(value)) value = node(IntToRef, value);
      matches = value->type == exprReference;
      break;
    default: break;
  }
  if (!matches) error("Type of selective expression of IN operator doesn't match type of the array", at);
  return node(InArrayBool + element, value, array);
}

dbExprNode* dbQueryCompiler::inList(dbExprNode* value, dbExprNode* list, int at) {
  std::vector<dbExprNode*> items;
  for (; list->cop == List; list = list->operand[1]) items.push_back(list->operand[0]);
  items.push_back(list);
  std::vector<dbExprNode*> tests;
  for (size_t i = 0; i < items.size(); i++) {
    dbExprNode* x = copy(value);
    Family family = familyOf(x, items[i]);
    dbExprNode* test = nullptr;
    if (family == Family::Binary) {
      if (isRawField(x) || isRawField(items[i])) test = rawBinaryComparison(EqBinary, x, items[i], nullptr, at);
    } else if (firstOpcodeOf(family) != Void) {
      test = comparisonNode(firstOpcodeOf(family), family, x, items[i]);
    }
    if (test == nullptr) {
      char message[96];
      std::snprintf(message, sizeof message, "Expression %d in right part of IN operator have incompatible type",
                    static_cast<int>(i + 1));
      error(message, at);
    }
    tests.push_back(test);
  }
  dbExprNode* chain = tests.back();
  for (size_t i = tests.size() - 1; i-- > 0;) chain = node(Or, tests[i], chain);
  return chain;
}

// ---------------------------------------------------------------------------
// START FROM, FOLLOW BY and ORDER BY.

void dbQueryCompiler::startFrom() {
  if (lex != tknStart) return;
  next();
  if (lex != tknFrom) error("FROM expected after START");
  next();
  switch (lex) {
    case tknFirst: query->startFrom = dbCompiledQuery::StartFirst; break;
    case tknLast: query->startFrom = dbCompiledQuery::StartLast; break;
    case tknParam:
      switch (param->kind) {
        case dbQueryElement::ElemReference:
          if (param->ref != table) error("Incompatiable type of reference variable");
          query->startFrom = dbCompiledQuery::StartRef;
          break;
        case dbQueryElement::ElemRefArray:
        case dbQueryElement::ElemRefArrayPtr:
          if (param->ref != table) error("Incompatiable type of array of reference variable");
          query->startFrom = param->kind == dbQueryElement::ElemRefArray ? dbCompiledQuery::StartRefArray
                                                                       : dbCompiledQuery::StartRefArrayPtr;
          break;
        default:
          error("Reference or array of reference variable expected");
      }
      query->root = param->ptr;
      break;
    default:
      error("FIRST, LAST or reference varaible expected");
  }
  next();
  if (lex == tknFollow) followBy();
}

void dbQueryCompiler::followBy() {
  next();
  if (lex != tknBy) error("BY expected after FOLLOW");
  do {
    next();
    int at = tokenPos;
    dbFieldDescriptor* field = fieldPath();
    bool reference = field->type == dbField::tpReference && field->refTable == table;
    bool references = field->type == dbField::tpArray && field->components->type == dbField::tpReference &&
                      field->components->refTable == table;
    if (!reference && !references) error("Follow field should be of compatibale reference or array of reference type", at);
    auto item = std::make_unique<dbFollowItem>();
    item->field = field;
    item->next = std::move(query->follow);
    query->follow = std::move(item);
  } while (lex == tknComma);
}

dbFieldDescriptor* dbQueryCompiler::fieldPath() {
  if (lex != tknIdent) error("Field name expected");
  dbFieldDescriptor* field = table->findSymbol(name);
  while (true) {
    if (field == nullptr) error("Field not found");
    next();
    if (field->type != dbField::tpStructure) return field;
    if (lex != tknDot) error("'.' expected");
    next();
    if (lex != tknIdent) error("Field name expected");
    field = field->components->findSymbol(name);
  }
}

void dbQueryCompiler::orderBy() {
  if (lex != tknOrder) return;
  next();
  if (lex != tknBy) error("BY expected after ORDER");
  int parentheses = 0;
  std::unique_ptr<dbOrderItem>* tail = &query->order;
  do {
    next();
    if (lex == tknLpar) {
      parentheses++;
      next();
    }
    int at = tokenPos;
    dbExprNode* item = disjunction();
    bool ascent = true;
    if (lex == tknAsc) {
      next();
    } else if (lex == tknDesc) {
      ascent = false;
      next();
    }
    if (lex == tknRpar) {
      if (parentheses == 0) error("Unbalanced parentheses ");
      parentheses--;
      next();
    }
    *tail = orderItem(item, ascent, at);
    tail = &(*tail)->next;
  } while (lex == tknComma);
}

std::unique_ptr<dbOrderItem> dbQueryCompiler::orderItem(dbExprNode* item, bool ascent, int at) {
  auto order = std::make_unique<dbOrderItem>();
  order->table = table;
  order->ascent = ascent;
  if (isSelfField(item)) {
    order->field = item->ref.field;  // the node itself is released as unused
  } else if (item->cop == ArrayLength && item->operand[0]->cop == SelfFieldArray) {
    order->field = item->operand[0]->ref.field;  // arrays order by their length
  } else {
    switch (item->type) {
      case exprInteger: case exprBoolean: case exprReal: case exprString: case exprReference: break;
      default: error("Expressions in ORDER BY part should have scalar type", at);
    }
    order->expr = item;
  }
  assert((order->field != nullptr || order->expr != nullptr) && "engine286/src/compiler: order item");
  return order;
}
