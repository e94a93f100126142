#include "evaluate.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "database.h"
#include "errors.h"

char* dbInheritedAttribute::allocate(size_t size) {
  if (size <= kBufferSize - bufferPos) {
    char* area = buffer + bufferPos;
    bufferPos += size;
    return area;
  }
  temporaries.push_back(std::make_unique<char[]>(size));
  return temporaries.back().get();
}

namespace {

// Ends the iteration of the EXISTS of one nesting level: its variable ran
// past the end of what it indexes.
struct ExistsEnd {
  int level;
};

[[noreturn]] void raise(dbInheritedAttribute& ctx, int errorClass, const char* message, int argument = 0) {
  ctx.freeTemporaries();
  if (ctx.db != nullptr) {
    ctx.db->handleError(errorClass, message, argument);
  } else {
    dbReportError(errorClass, message, argument);
  }
  throw dbEvaluationError{errorClass};
}

template <class T>
T load(const db_byte* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Wrapping 8-byte arithmetic: the results of overflow are defined.
db_int8 wrap(db_nat8 v) { return static_cast<db_int8>(v); }
db_int8 addInt(db_int8 a, db_int8 b) { return wrap(static_cast<db_nat8>(a) + static_cast<db_nat8>(b)); }
db_int8 subInt(db_int8 a, db_int8 b) { return wrap(static_cast<db_nat8>(a) - static_cast<db_nat8>(b)); }
db_int8 mulInt(db_int8 a, db_int8 b) { return wrap(static_cast<db_nat8>(a) * static_cast<db_nat8>(b)); }
db_int8 negInt(db_int8 a) { return wrap(0 - static_cast<db_nat8>(a)); }

db_int8 divInt(dbInheritedAttribute& ctx, db_int8 a, db_int8 b) {
  if (b == 0) raise(ctx, ErrArithmetic, "Division by zero");
  if (b == -1) return negInt(a);  // the most negative number divided by -1 wraps to itself
  return a / b;
}

db_int8 powInt(dbInheritedAttribute& ctx, db_int8 base, db_int8 exponent) {
  if (base == 2 && exponent >= 0) return exponent < 64 ? wrap(db_nat8{1} << exponent) : 0;
  if (base == 0 && exponent < 0) raise(ctx, ErrArithmetic, "Raise zero to negative power");
  db_nat8 e = static_cast<db_nat8>(exponent);
  if (exponent < 0) {
    base = 1 / base;
    e = 0 - e;
  }
  db_int8 result = 1;
  for (; e != 0; e >>= 1) {
    if (e & 1) result = mulInt(result, base);
    base = mulInt(base, base);
  }
  return result;
}

real8 powRealInt(dbInheritedAttribute& ctx, real8 base, db_int8 exponent) {
  if (base == 0.0 && exponent < 0) raise(ctx, ErrArithmetic, "Raise zero to negative power");
  db_nat8 e = static_cast<db_nat8>(exponent);
  if (exponent < 0) {
    base = 1.0 / base;
    e = 0 - e;
  }
  real8 result = 1.0;
  for (; e != 0; e >>= 1) {
    if (e & 1) result *= base;
    base *= base;
  }
  return result;
}

real8 powReal(dbInheritedAttribute& ctx, real8 base, real8 exponent) {
  if (base < 0) raise(ctx, ErrArithmetic, "Power operator returns complex result");
  if (base == 0.0 && exponent < 0) raise(ctx, ErrArithmetic, "Raise zero to negative power");
  return std::pow(base, exponent);
}

// Truncation toward zero; values beyond the 8-byte range saturate, NaN gives 0.
db_int8 realToInt(real8 v) {
  constexpr real8 kLimit = 9223372036854775808.0;  // 2^63
  if (std::isnan(v)) return 0;
  if (v >= kLimit) return std::numeric_limits<db_int8>::max();
  if (v < -kLimit) return std::numeric_limits<db_int8>::min();
  return static_cast<db_int8>(v);
}

// Reads a stored field of type code `type` at `p` (the field itself) of the
// record or element starting at `base`.
void readField(int type, const db_byte* base, const db_byte* p, dbResultValue& r) {
  switch (type) {
    case dbField::tpBool: r.bvalue = *p != 0; break;  // read as an unsigned byte
    case dbField::tpInt1: r.ivalue = load<db_int1>(p); break;
    case dbField::tpInt2: r.ivalue = load<db_int2>(p); break;
    case dbField::tpInt4: r.ivalue = load<db_int4>(p); break;
    case dbField::tpInt8: r.ivalue = load<db_int8>(p); break;
    case dbField::tpReal4: r.fvalue = load<real4>(p); break;
    case dbField::tpReal8: r.fvalue = load<real8>(p); break;
    case dbField::tpReference: r.oid = load<oid_t>(p); break;
    case dbField::tpString:
    case dbField::tpArray: {
      dbVarying v = load<dbVarying>(p);
      r.array.base = base + v.offs;
      r.array.size = v.size;
      break;
    }
    case dbField::tpRawBinary: r.array.base = p; break;
    default: assert(!"engine286/src/database: field type in a query");
  }
}

// Calls a method field on the record or structure at `base`.
void callMethod(dbInheritedAttribute& ctx, const dbFieldDescriptor* field, const db_byte* base, dbResultValue& r) {
  union {
    bool b;
    db_int1 i1;
    db_int2 i2;
    db_int4 i4;
    db_int8 i8;
    real4 r4;
    real8 r8;
    const char* s;
    oid_t oid;
  } slot{};
  field->method->invoke(base, &slot);
  switch (field->type - dbField::tpMethodBool) {
    case dbField::tpBool: r.bvalue = slot.b; break;
    case dbField::tpInt1: r.ivalue = slot.i1; break;
    case dbField::tpInt2: r.ivalue = slot.i2; break;
    case dbField::tpInt4: r.ivalue = slot.i4; break;
    case dbField::tpInt8: r.ivalue = slot.i8; break;
    case dbField::tpReal4: r.fvalue = slot.r4; break;
    case dbField::tpReal8: r.fvalue = slot.r8; break;
    case dbField::tpReference: r.oid = slot.oid; break;
    case dbField::tpString: {
      const char* s = slot.s != nullptr ? slot.s : "";
      size_t size = std::strlen(s) + 1;
      char* copy = ctx.allocate(size);
      std::memcpy(copy, s, size);
      r.array.base = reinterpret_cast<const db_byte*>(copy);
      r.array.size = size;
      break;
    }
    default: assert(!"engine286/src/database: method type in a query");
  }
}

const char* text(const dbResultValue& r) { return reinterpret_cast<const char*>(r.array.base); }

void setString(dbResultValue& r, const char* chars, size_t size) {
  r.array.base = reinterpret_cast<const db_byte*>(chars);
  r.array.size = size;
}

// Evaluates the operands of a two-operand node.
struct Pair {
  dbResultValue l, r;
  Pair(const dbExprNode* node, dbInheritedAttribute& ctx) {
    dbEvaluate(node->operand[0], ctx, l);
    dbEvaluate(node->operand[1], ctx, r);
  }
};

template <class T>
db_int4 relate(int rel, T a, T b) {
  switch (rel) {
    case 0: return a == b;
    case 1: return a != b;
    case 2: return a > b;
    case 3: return a >= b;
    case 4: return a < b;
    default: return a <= b;
  }
}

// Index into an array or string; out of range ends the EXISTS whose free
// variable it is, and is an error otherwise.
db_nat8 subscript(const dbExprNode* node, dbInheritedAttribute& ctx, db_nat8 limit) {
  const dbExprNode* index = node->operand[1];
  dbResultValue i;
  dbEvaluate(index, ctx, i);
  if (index->cop == FreeVar) ctx.exists[index->offs].indexed = true;
  db_nat8 at = static_cast<db_nat8>(i.ivalue);
  if (at >= limit) {
    if (index->cop == FreeVar) throw ExistsEnd{index->offs};
    raise(ctx, ErrIndexRange, nullptr, static_cast<int>(i.ivalue));
  }
  return at;
}

bool inArray(int cop, const dbResultValue& value, const dbResultValue& array) {
  const db_byte* p = array.array.base;
  size_t n = array.array.size;
  for (size_t i = 0; i < n; i++) {
    bool equal = false;
    switch (cop) {
      case InArrayBool: equal = (p[i] != 0) == (value.bvalue != 0); break;
      case InArrayInt1: equal = load<db_int1>(p + i) == static_cast<db_int1>(value.ivalue); break;
      case InArrayInt2: equal = load<db_int2>(p + i * 2) == static_cast<db_int2>(value.ivalue); break;
      case InArrayInt4: equal = load<db_int4>(p + i * 4) == static_cast<db_int4>(value.ivalue); break;
      case InArrayInt8: equal = load<db_int8>(p + i * 8) == value.ivalue; break;
      case InArrayReal4: equal = load<real4>(p + i * 4) == static_cast<real4>(value.fvalue); break;
      case InArrayReal8: equal = load<real8>(p + i * 8) == value.fvalue; break;
      case InArrayReference: equal = load<oid_t>(p + i * 4) == value.oid; break;
      case InArrayString: {
        const db_byte* element = p + i * sizeof(dbVarying);
        dbVarying v = load<dbVarying>(element);
        equal = std::strcmp(reinterpret_cast<const char*>(element + v.offs), text(value)) == 0;
        break;
      }
    }
    if (equal) return true;
  }
  return false;
}

void evaluateExists(const dbExprNode* node, dbInheritedAttribute& ctx, dbResultValue& result) {
  dbInheritedAttribute::ExistsSlot& slot = ctx.exists[node->offs];
  result.bvalue = 0;
  for (slot.index = 0;; slot.index++) {
    slot.indexed = false;
    dbResultValue body;
    try {
      dbEvaluate(node->operand[0], ctx, body);
    } catch (const ExistsEnd& end) {
      if (end.level != node->offs) throw;
      return;
    }
    if (body.bvalue) {
      result.bvalue = 1;
      return;
    }
    // A round that never used the variable would give the same for every
    // later value: stop instead of counting forever.
    if (!slot.indexed) return;
  }
}

}  // namespace

bool dbMatchLike(const char* s, const char* p, int escape) {
  const char* resumeString = nullptr;
  const char* resumePattern = nullptr;
  while (true) {
    if (*p == '%') {
      resumePattern = ++p;
      resumeString = s;
      continue;
    }
    if (*s == '\0') return *p == '\0';
    if (escape >= 0 && *p == static_cast<char>(escape)) {
      if (p[1] == *s) {
        s++;
        p += 2;
        continue;
      }
    } else if (*s == *p || *p == '_') {
      s++;
      p++;
      continue;
    }
    if (resumePattern == nullptr) return false;
    s = ++resumeString;
    p = resumePattern;
  }
}

bool dbContainsText(const char* haystack, size_t m, const char* needle, size_t n) {
  if (m < n) return false;
  if (n == 0) return true;
  if (m <= 512) {
    for (size_t i = 0; i + n <= m; i++) {
      if (std::memcmp(haystack + i, needle, n) == 0) return true;
    }
    return false;
  }
  size_t shift[256];
  for (size_t& s : shift) s = n;
  for (size_t i = 0; i + 1 < n; i++) shift[static_cast<unsigned char>(needle[i])] = n - 1 - i;
  for (size_t at = 0; at + n <= m; at += shift[static_cast<unsigned char>(haystack[at + n - 1])]) {
    size_t k = n;
    while (k > 0 && haystack[at + k - 1] == needle[k - 1]) k--;
    if (k == 0) return true;
  }
  return false;
}

void dbEvaluate(const dbExprNode* node, dbInheritedAttribute& ctx, dbResultValue& result) {
  const int cop = node->cop;
  if (cop <= SelfFieldRawBinary) {  // field and method loads
    const db_byte* base = ctx.record;
    if (cop < SelfFieldBool) {
      dbResultValue b;
      dbEvaluate(node->ref.base, ctx, b);
      base = b.array.base;
    }
    int code = cop % 20;
    if (code >= dbField::tpMethodBool && code <= dbField::tpMethodReference) {
      callMethod(ctx, node->ref.field, base, result);
    } else {
      readField(code == 19 ? static_cast<int>(dbField::tpRawBinary) : code, base, base + node->offs, result);
    }
    return;
  }
  if (cop >= ParamBool && cop <= ParamRawBinary) {
    const db_byte* p = static_cast<const db_byte*>(node->var) + ctx.paramBase;
    switch (cop) {
      case ParamBool: result.bvalue = *p != 0; break;
      case ParamInt1: result.ivalue = load<db_int1>(p); break;
      case ParamInt2: result.ivalue = load<db_int2>(p); break;
      case ParamInt4: result.ivalue = load<db_int4>(p); break;
      case ParamInt8: result.ivalue = load<db_int8>(p); break;
      case ParamReal4: result.fvalue = load<real4>(p); break;
      case ParamReal8: result.fvalue = load<real8>(p); break;
      case ParamString: {
        const char* s = reinterpret_cast<const char*>(p);
        setString(result, s, std::strlen(s) + 1);
        break;
      }
      case ParamStringPtr: {
        const char* s = load<const char*>(p);
        if (s == nullptr) s = "";
        setString(result, s, std::strlen(s) + 1);
        break;
      }
      case ParamReference: result.oid = load<oid_t>(p); break;
      case ParamRefArray:
      case ParamRefArrayPtr: {
        const dbAnyArray* a = cop == ParamRefArray ? reinterpret_cast<const dbAnyArray*>(p)
                                                   : load<const dbAnyArray*>(p);
        result.array.base = static_cast<const db_byte*>(a->base());
        result.array.size = a->length();
        break;
      }
      default: result.array.base = p; break;  // raw binary
    }
    return;
  }
  switch (cop) {
    case InArrayBool: case InArrayInt1: case InArrayInt2: case InArrayInt4: case InArrayInt8:
    case InArrayReal4: case InArrayReal8: case InArrayString: case InArrayReference: {
      Pair v(node, ctx);
      result.bvalue = inArray(cop, v.l, v.r);
      return;
    }
    case InString: {
      Pair v(node, ctx);
      result.bvalue = dbContainsText(text(v.r), v.r.array.size - 1, text(v.l), v.l.array.size - 1);
      return;
    }
    case ArrayLength:
    case StringLength: {
      dbResultValue v;
      dbEvaluate(node->operand[0], ctx, v);
      result.ivalue = static_cast<db_int8>(cop == ArrayLength ? v.array.size : v.array.size - 1);
      return;
    }
    case ElementAddress: {
      dbResultValue array;
      dbEvaluate(node->operand[0], ctx, array);
      db_nat8 at = subscript(node, ctx, array.array.size);
      result.array.base = array.array.base + at * node->offs;
      return;
    }
    case CharCode: {
      dbResultValue s;
      dbEvaluate(node->operand[0], ctx, s);
      db_nat8 at = subscript(node, ctx, s.array.size - 1);
      result.ivalue = s.array.base[at];
      return;
    }
    case ConstTrue: result.bvalue = 1; return;
    case ConstFalse: result.bvalue = 0; return;
    case CurrentRecord: result.oid = ctx.oid; return;
    case FirstRecord: result.oid = ctx.table != nullptr ? ctx.table->firstRow : 0; return;
    case LastRecord: result.oid = ctx.table != nullptr ? ctx.table->lastRow : 0; return;
    case NullReference: result.oid = 0; return;
    case ConstInteger: result.ivalue = node->ivalue; return;
    case ConstReal: result.fvalue = node->fvalue; return;
    case ConstString: setString(result, node->svalue.chars, node->svalue.len); return;
    case Or:
    case And:
      dbEvaluate(node->operand[0], ctx, result);
      if ((result.bvalue != 0) == (cop == And)) dbEvaluate(node->operand[1], ctx, result);
      return;
    case Not:
    case IsNull: {
      dbResultValue v;
      dbEvaluate(node->operand[0], ctx, v);
      result.bvalue = cop == Not ? v.bvalue == 0 : v.oid == 0;
      return;
    }
    case NegInt:
    case BitNotInt:
    case AbsInt:
    case IntToReal:
    case IntToRef:
    case IntToString: {
      dbResultValue v;
      dbEvaluate(node->operand[0], ctx, v);
      db_int8 i = v.ivalue;
      switch (cop) {
        case NegInt: result.ivalue = negInt(i); break;
        case BitNotInt: result.ivalue = ~i; break;
        case AbsInt: result.ivalue = i < 0 ? negInt(i) : i; break;
        case IntToReal: result.fvalue = static_cast<real8>(i); break;
        case IntToRef: result.oid = static_cast<oid_t>(i); break;
        default: {
          char digits[24];
          int length = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(i));
          char* s = ctx.allocate(length + 1);
          std::memcpy(s, digits, length + 1);
          setString(result, s, length + 1);
        }
      }
      return;
    }
    case AddInt: case SubInt: case MulInt: case DivInt: case BitAndInt: case BitOrInt: case PowInt: {
      Pair v(node, ctx);
      db_int8 a = v.l.ivalue, b = v.r.ivalue;
      switch (cop) {
        case AddInt: result.ivalue = addInt(a, b); break;
        case SubInt: result.ivalue = subInt(a, b); break;
        case MulInt: result.ivalue = mulInt(a, b); break;
        case DivInt: result.ivalue = divInt(ctx, a, b); break;
        case BitAndInt: result.ivalue = a & b; break;
        case BitOrInt: result.ivalue = a | b; break;
        default: result.ivalue = powInt(ctx, a, b); break;
      }
      return;
    }
    case EqInt: case NeInt: case GtInt: case GeInt: case LtInt: case LeInt: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqInt, v.l.ivalue, v.r.ivalue);
      return;
    }
    case NegReal:
    case AbsReal:
    case RealToInt:
    case RealToString: {
      dbResultValue v;
      dbEvaluate(node->operand[0], ctx, v);
      switch (cop) {
        case NegReal: result.fvalue = -v.fvalue; break;
        case AbsReal: result.fvalue = std::fabs(v.fvalue); break;
        case RealToInt: result.ivalue = realToInt(v.fvalue); break;
        default: {
          int length = std::snprintf(nullptr, 0, "%f", v.fvalue);
          char* s = ctx.allocate(length + 1);
          std::snprintf(s, length + 1, "%f", v.fvalue);
          setString(result, s, length + 1);
        }
      }
      return;
    }
    case AddReal: case SubReal: case MulReal: case DivReal: case PowReal: {
      Pair v(node, ctx);
      real8 a = v.l.fvalue, b = v.r.fvalue;
      switch (cop) {
        case AddReal: result.fvalue = a + b; break;
        case SubReal: result.fvalue = a - b; break;
        case MulReal: result.fvalue = a * b; break;
        case DivReal:
          if (b == 0.0) raise(ctx, ErrArithmetic, "Division by zero");
          result.fvalue = a / b;
          break;
        default: result.fvalue = powReal(ctx, a, b); break;
      }
      return;
    }
    case PowRealInt: {
      Pair v(node, ctx);
      result.fvalue = powRealInt(ctx, v.l.fvalue, v.r.ivalue);
      return;
    }
    case EqReal: case NeReal: case GtReal: case GeReal: case LtReal: case LeReal: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqReal, v.l.fvalue, v.r.fvalue);
      return;
    }
    case EqBinary: case NeBinary: case GtBinary: case GeBinary: case LtBinary: case LeBinary: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqBinary, node->comparator(v.l.array.base, v.r.array.base, node->offs), 0);
      return;
    }
    case EqString: case NeString: case GtString: case GeString: case LtString: case LeString: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqString, std::strcmp(text(v.l), text(v.r)), 0);
      return;
    }
    case EqBool:
    case NeBool: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqBool, v.l.bvalue != 0, v.r.bvalue != 0);
      return;
    }
    case EqRef:
    case NeRef: {
      Pair v(node, ctx);
      result.bvalue = relate(cop - EqRef, v.l.oid, v.r.oid);
      return;
    }
    case BetweenInt: case BetweenReal: case BetweenString: case BetweenBinary: {
      dbResultValue value, bound;
      dbEvaluate(node->operand[0], ctx, value);
      auto compare = [&](const dbResultValue& b) {
        switch (cop) {
          case BetweenInt: return value.ivalue < b.ivalue ? -1 : value.ivalue > b.ivalue;
          case BetweenReal: return value.fvalue < b.fvalue ? -1 : value.fvalue > b.fvalue;
          case BetweenString: return std::strcmp(text(value), text(b));
          default: return node->comparator(value.array.base, b.array.base, node->offs);
        }
      };
      dbEvaluate(node->operand[1], ctx, bound);
      result.bvalue = 0;
      if (compare(bound) < 0) return;
      dbEvaluate(node->operand[2], ctx, bound);
      result.bvalue = compare(bound) <= 0;
      return;
    }
    case Like:
    case LikeEscape: {
      Pair v(node, ctx);
      int escape = -1;
      if (cop == LikeEscape) {
        dbResultValue e;
        dbEvaluate(node->operand[2], ctx, e);
        escape = static_cast<unsigned char>(text(e)[0]);
      }
      result.bvalue = dbMatchLike(text(v.l), text(v.r), escape);
      return;
    }
    case Upper:
    case Lower: {
      dbResultValue v;
      dbEvaluate(node->operand[0], ctx, v);
      char* s = ctx.allocate(v.array.size);
      for (size_t i = 0; i < v.array.size; i++) {
        char c = text(v)[i];
        if (cop == Upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (cop == Lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        s[i] = c;
      }
      setString(result, s, v.array.size);
      return;
    }
    case Concat: {
      Pair v(node, ctx);
      size_t left = v.l.array.size - 1;
      char* s = ctx.allocate(left + v.r.array.size);
      std::memcpy(s, v.l.array.base, left);
      std::memcpy(s + left, v.r.array.base, v.r.array.size);
      setString(result, s, left + v.r.array.size);
      return;
    }
    case Deref: {
      dbResultValue ref;
      dbEvaluate(node->operand[0], ctx, ref);
      // An id that names no live record (one deleted since it was stored, or
      // any number a query converted) is treated like a null reference.
      if (ref.oid == 0 || ctx.db == nullptr || !ctx.db->isLiveRecord(ref.oid)) raise(ctx, ErrNullReference, nullptr);
      result.array.base = ctx.db->getRow(ref.oid);
      return;
    }
    case Exists: evaluateExists(node, ctx, result); return;
    case FreeVar: result.ivalue = static_cast<db_int8>(ctx.exists[node->offs].index); return;
    case Void: result.bvalue = 1; return;
    default: assert(!"engine286/src/database: opcode the compiler never produces"); return;
  }
}

bool dbEvaluateCondition(const dbExprNode* condition, dbInheritedAttribute& ctx) {
  dbResultValue result;
  dbEvaluate(condition, ctx, result);
  return result.bvalue != 0;
}

bool dbTestRecord(dbDatabase* db, const dbExprNode* condition, oid_t oid, const dbTable* table, size_t paramBase) {
  dbInheritedAttribute ctx(db, table, db->getRow(oid), oid, paramBase);
  return dbEvaluateCondition(condition, ctx);
}

namespace {

template <class T>
int threeWay(T a, T b) {
  return a < b ? -1 : a == b ? 0 : 1;
}

// The expression type a stored field of type code `type` is read as.
int resultTypeOfField(int type) {
  switch (type) {
    case dbField::tpBool: return exprBoolean;
    case dbField::tpInt1: case dbField::tpInt2: case dbField::tpInt4: case dbField::tpInt8: return exprInteger;
    case dbField::tpReal4: case dbField::tpReal8: return exprReal;
    case dbField::tpString: return exprString;
    case dbField::tpReference: return exprReference;
    case dbField::tpArray: return exprArray;
    case dbField::tpRawBinary: return exprRawBinary;
    default: assert(!"engine286/src/cursor: field type in ORDER BY"); return exprVoid;
  }
}

int compareValues(int type, const dbResultValue& a, const dbResultValue& b, const dbFieldDescriptor* field) {
  switch (type) {
    case exprInteger: return threeWay(a.ivalue, b.ivalue);
    case exprReal: return a.fvalue < b.fvalue ? -1 : a.fvalue == b.fvalue ? 0 : 1;
    case exprBoolean: return threeWay(a.bvalue != 0, b.bvalue != 0);
    case exprString: return std::strcmp(text(a), text(b));
    case exprReference: return threeWay(a.oid, b.oid);
    case exprArray: return threeWay(a.array.size, b.array.size);
    case exprRawBinary: return field->comparator(a.array.base, b.array.base, field->dbsSize);
    default: assert(!"engine286/src/cursor: type in ORDER BY"); return 0;
  }
}

}  // namespace

int dbCompareRecords(const dbOrderItem* order, dbDatabase* db, const dbTable* table, const db_byte* a, oid_t aId,
                     const db_byte* b, oid_t bId, size_t paramBase) {
  for (; order != nullptr; order = order->next.get()) {
    dbResultValue x, y;
    int diff;
    if (order->field != nullptr) {
      const dbFieldDescriptor* f = order->field;
      readField(f->type, a, a + f->dbsOffs, x);
      readField(f->type, b, b + f->dbsOffs, y);
      diff = compareValues(resultTypeOfField(f->type), x, y, f);
    } else {
      // Each record gets its own context: sort keys never share a buffer.
      dbInheritedAttribute first(db, table, a, aId, paramBase);
      dbInheritedAttribute second(db, table, b, bId, paramBase);
      dbEvaluate(order->expr, first, x);
      dbEvaluate(order->expr, second, y);
      diff = compareValues(order->expr->type, x, y, nullptr);
    }
    if (diff != 0) return order->ascent ? diff : -diff;
  }
  return 0;
}
