#include "expr.h"

#include <array>
#include <cstring>

namespace {

struct OpcodeInfo {
  dbExprType type = exprVoid;
  uint8_t operands = 0;
  uint8_t mirror = Void;
};

void describeRange(std::array<OpcodeInfo, dbOpcodeCount>& t, int from, int to, dbExprType type, int operands) {
  for (int cop = from; cop <= to; cop++) {
    t[cop].type = type;
    t[cop].operands = static_cast<uint8_t>(operands);
  }
}

// The six relations of one family, in the order eq, ne, gt, ge, lt, le.
void describeRelations(std::array<OpcodeInfo, dbOpcodeCount>& t, int eq) {
  describeRange(t, eq, eq + 5, exprBoolean, 2);
  static constexpr int kMirror[6] = {0, 1, 4, 5, 2, 3};  // gt<->lt, ge<->le
  for (int i = 0; i < 6; i++) t[eq + i].mirror = static_cast<uint8_t>(eq + kMirror[i]);
}

// Result type of a load of a field of the given type code (0..9).
constexpr dbExprType kFieldResult[10] = {exprBoolean, exprInteger, exprInteger, exprInteger, exprInteger,
                                         exprReal,    exprReal,    exprString,  exprReference, exprArray};

std::array<OpcodeInfo, dbOpcodeCount> buildTable() {
  std::array<OpcodeInfo, dbOpcodeCount> t{};
  for (int i = 0; i < 10; i++) {
    t[BaseFieldBool + i] = {kFieldResult[i], 1, Void};
    t[SelfFieldBool + i] = {kFieldResult[i], 0, Void};
    if (i < 9) {
      t[BaseMethodBool + i] = {kFieldResult[i], 1, Void};
      t[SelfMethodBool + i] = {kFieldResult[i], 0, Void};
    }
  }
  t[BaseFieldRawBinary] = {exprRawBinary, 1, Void};
  t[SelfFieldRawBinary] = {exprRawBinary, 0, Void};
  describeRange(t, InArrayBool, InString, exprBoolean, 2);
  describeRange(t, ArrayLength, StringLength, exprInteger, 1);
  describeRange(t, ElementAddress, CharCode, exprInteger, 2);
  static constexpr dbExprType kParam[14] = {exprBoolean, exprInteger, exprInteger, exprInteger, exprInteger,
                                            exprReal,    exprReal,    exprString,  exprString,  exprReference,
                                            exprArray,   exprArray,   exprRawBinary, exprString};
  for (int i = 0; i < 14; i++) t[ParamBool + i].type = kParam[i];
  describeRange(t, ConstTrue, ConstFalse, exprBoolean, 0);
  describeRange(t, CurrentRecord, NullReference, exprReference, 0);
  t[ConstInteger].type = exprInteger;
  t[ConstReal].type = exprReal;
  t[ConstString].type = exprString;
  describeRange(t, Or, And, exprBoolean, 2);
  describeRange(t, Not, IsNull, exprBoolean, 1);
  t[NegInt] = {exprInteger, 1, Void};
  describeRange(t, AddInt, BitOrInt, exprInteger, 2);
  describeRange(t, BitNotInt, AbsInt, exprInteger, 1);
  t[PowInt] = {exprInteger, 2, Void};
  describeRelations(t, EqInt);
  t[BetweenInt] = {exprBoolean, 3, Void};
  t[NegReal] = {exprReal, 1, Void};
  describeRange(t, AddReal, DivReal, exprReal, 2);
  t[AbsReal] = {exprReal, 1, Void};
  describeRange(t, PowReal, PowRealInt, exprReal, 2);
  describeRelations(t, EqBinary);
  t[BetweenBinary] = {exprBoolean, 3, Void};
  describeRelations(t, EqReal);
  t[BetweenReal] = {exprBoolean, 3, Void};
  for (int cop : {EqBool, NeBool, EqRef, NeRef}) t[cop] = {exprBoolean, 2, static_cast<uint8_t>(cop)};
  describeRelations(t, EqString);
  t[BetweenString] = {exprBoolean, 3, Void};
  t[Like] = {exprBoolean, 2, Void};
  t[LikeEscape] = {exprBoolean, 3, Void};
  describeRange(t, Upper, Lower, exprString, 1);
  t[IntToRef] = {exprReference, 1, Void};
  t[IntToReal] = {exprReal, 1, Void};
  t[RealToInt] = {exprInteger, 1, Void};
  describeRange(t, IntToString, RealToString, exprString, 1);
  t[Concat] = {exprString, 2, Void};
  t[Deref] = {exprReference, 1, Void};
  t[Exists] = {exprBoolean, 1, Void};
  t[FreeVar] = {exprFreeVar, 0, Void};
  t[List] = {exprList, 2, Void};
  t[Void] = {exprVoid, 0, Void};
  // The commutative operators map to themselves.
  for (int cop : {Or, And, AddInt, MulInt, BitAndInt, BitOrInt, AddReal, MulReal}) {
    t[cop].mirror = static_cast<uint8_t>(cop);
  }
  return t;
}

const std::array<OpcodeInfo, dbOpcodeCount>& opcodeTable() {
  static const std::array<OpcodeInfo, dbOpcodeCount> table = buildTable();
  return table;
}

const OpcodeInfo& info(int cop) {
  static const OpcodeInfo unknown{};
  return cop >= 0 && cop < dbOpcodeCount ? opcodeTable()[cop] : unknown;
}

void destroyLocked(dbExprNodeAllocator& allocator, dbExprNode* node) {
  if (node == nullptr) return;
  int n = dbOpcodeOperandCount(node->cop);
  for (int i = 0; i < n; i++) destroyLocked(allocator, node->operand[i]);
  allocator.release(node);
}

}  // namespace

dbExprType dbOpcodeResultType(int cop) { return info(cop).type; }
int dbOpcodeOperandCount(int cop) { return info(cop).operands; }
int dbMirrorOpcode(int cop) { return info(cop).mirror; }

char* dbDuplicateConstant(const char* chars, size_t len) {
  char* copy = new char[len];
  std::memcpy(copy, chars, len);
  return copy;
}

dbExprNodeAllocator& dbExprNodeAllocator::instance() {
  static dbExprNodeAllocator allocator;
  return allocator;
}

dbExprNode* dbExprNodeAllocator::allocate() {
  dbCriticalSection guard(mutex_);
  if (freeList_ == nullptr) {
    blocks_.push_back(std::make_unique<dbExprNode[]>(kBlockSize));
    dbExprNode* block = blocks_.back().get();
    for (size_t i = 0; i < kBlockSize; i++) {
      block[i].operand[0] = freeList_;
      freeList_ = &block[i];
    }
  }
  dbExprNode* node = freeList_;
  freeList_ = node->operand[0];
  std::memset(static_cast<void*>(node), 0, sizeof *node);
  return node;
}

void dbExprNodeAllocator::release(dbExprNode* node) {
  dbCriticalSection guard(mutex_);
  if (node->cop == ConstString) delete[] node->svalue.chars;
  node->cop = Void;
  node->operand[0] = freeList_;
  freeList_ = node;
}

dbExprNode* dbExprNode::copy() const {
  dbExprNodeAllocator& allocator = dbExprNodeAllocator::instance();
  return dbCopyTree(this, [&allocator] { return allocator.allocate(); });
}

void dbExprNode::destroy(dbExprNode* tree) {
  dbExprNodeAllocator& allocator = dbExprNodeAllocator::instance();
  dbCriticalSection guard(allocator.mutex());
  destroyLocked(allocator, tree);
}
