// Expression trees of compiled queries.
//
// The query compiler turns a condition into a tree of dbExprNode; the
// evaluator walks it once per record, dispatching on the opcode. Nodes come
// from one process-wide free list so that the per-request queries of the
// pages allocate almost nothing once the process has warmed up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "class.h"
#include "sync.h"
#include "types.h"

// Opcodes. The numbering is fixed: field loads are "base" + field type code,
// parameters are element kind + 53, and the evaluator's tables are indexed
// by these values.
enum dbOpcode : uint8_t {
  BaseFieldBool = 0, BaseFieldInt1, BaseFieldInt2, BaseFieldInt4, BaseFieldInt8,
  BaseFieldReal4, BaseFieldReal8, BaseFieldString, BaseFieldReference, BaseFieldArray,
  BaseMethodBool = 10, BaseMethodInt1, BaseMethodInt2, BaseMethodInt4, BaseMethodInt8,
  BaseMethodReal4, BaseMethodReal8, BaseMethodString, BaseMethodReference,
  BaseFieldRawBinary = 19,
  SelfFieldBool = 20, SelfFieldInt1, SelfFieldInt2, SelfFieldInt4, SelfFieldInt8,
  SelfFieldReal4, SelfFieldReal8, SelfFieldString, SelfFieldReference, SelfFieldArray,
  SelfMethodBool = 30, SelfMethodInt1, SelfMethodInt2, SelfMethodInt4, SelfMethodInt8,
  SelfMethodReal4, SelfMethodReal8, SelfMethodString, SelfMethodReference,
  SelfFieldRawBinary = 39,
  InArrayBool = 40, InArrayInt1, InArrayInt2, InArrayInt4, InArrayInt8,
  InArrayReal4, InArrayReal8, InArrayString, InArrayReference,
  InString = 49,
  ArrayLength = 50, StringLength, ElementAddress, CharCode,
  ParamBool = 54, ParamInt1, ParamInt2, ParamInt4, ParamInt8, ParamReal4, ParamReal8,
  ParamString, ParamStringPtr, ParamReference, ParamRefArray, ParamRefArrayPtr, ParamRawBinary,
  ParamReserved = 67,
  ConstTrue = 68, ConstFalse, CurrentRecord, FirstRecord, LastRecord, NullReference,
  ConstInteger = 74, ConstReal, ConstString,
  Or = 77, And, Not, IsNull,
  NegInt = 81, AddInt, SubInt, MulInt, DivInt, BitAndInt, BitOrInt, BitNotInt, AbsInt, PowInt,
  EqInt = 91, NeInt, GtInt, GeInt, LtInt, LeInt, BetweenInt,
  NegReal = 98, AddReal, SubReal, MulReal, DivReal, AbsReal, PowReal, PowRealInt,
  EqBinary = 106, NeBinary, GtBinary, GeBinary, LtBinary, LeBinary, BetweenBinary,
  EqReal = 113, NeReal, GtReal, GeReal, LtReal, LeReal, BetweenReal,
  EqBool = 120, NeBool, EqRef, NeRef,
  EqString = 124, NeString, GtString, GeString, LtString, LeString, BetweenString,
  Like = 131, LikeEscape, Upper, Lower,
  IntToRef = 135, IntToReal, RealToInt, IntToString, RealToString,
  Concat = 140, Deref, Exists, FreeVar, List,
  Void = 169,
  dbOpcodeCount = 170
};

// Types of expression results.
enum dbExprType : uint8_t {
  exprInteger = 0, exprBoolean, exprReal, exprString, exprReference,
  exprArray, exprRawBinary, exprFreeVar, exprList, exprVoid
};

// Per-opcode constant tables.
dbExprType dbOpcodeResultType(int cop);   // result type of an opcode
int dbOpcodeOperandCount(int cop);        // operand nodes owned by an opcode
int dbMirrorOpcode(int cop);              // comparison with operands exchanged, or Void

class dbExprNode {
 public:
  uint8_t cop;    // dbOpcode
  uint8_t type;   // dbExprType of the result
  uint16_t offs;  // field offset / element size / raw field size / exists nesting index

  union {
    dbExprNode* operand[3];
    struct {
      dbExprNode* base;          // none for a field of the record being tested
      dbFieldDescriptor* field;  // the loaded field
    } ref;
    db_int8 ivalue;
    real8 fvalue;
    struct {
      char* chars;  // owned by the node
      size_t len;   // counts the terminating NUL
    } svalue;
    void* var;  // address of a bound variable
  };
  dbUDTComparator comparator;  // raw-binary comparisons only

  // Deep copy: operands copied, a string constant's text duplicated.
  dbExprNode* copy() const;

  // Returns the whole tree to the allocator (operands first).
  static void destroy(dbExprNode* tree);
};

// The process-wide free list of expression nodes. Nodes come in blocks of
// 1024 which are released only when the process ends.
class dbExprNodeAllocator {
 public:
  static dbExprNodeAllocator& instance();

  // A zeroed node.
  dbExprNode* allocate();
  // Returns one node (not its operands); frees a string constant's text.
  void release(dbExprNode* node);

  dbMutex& mutex() { return mutex_; }

 private:
  static constexpr size_t kBlockSize = 1024;
  dbMutex mutex_;
  dbExprNode* freeList_ = nullptr;
  std::vector<std::unique_ptr<dbExprNode[]>> blocks_;
};

// Deep copy of a tree with nodes taken from `allocate` (a callable returning
// a zeroed dbExprNode*).
template <class Allocate>
dbExprNode* dbCopyTree(const dbExprNode* node, Allocate&& allocate);

// Duplicates `len` bytes of text for a string constant node.
char* dbDuplicateConstant(const char* chars, size_t len);

template <class Allocate>
dbExprNode* dbCopyTree(const dbExprNode* node, Allocate&& allocate) {
  if (node == nullptr) return nullptr;
  dbExprNode* copy = allocate();
  *copy = *node;
  if (node->cop == ConstString) {
    copy->svalue.chars = dbDuplicateConstant(node->svalue.chars, node->svalue.len);
  }
  int n = dbOpcodeOperandCount(node->cop);
  for (int i = 0; i < n; i++) copy->operand[i] = dbCopyTree(node->operand[i], allocate);
  return copy;
}
