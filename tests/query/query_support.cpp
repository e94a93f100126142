#include "query_support.h"

#include <cstdio>

REGISTER(Owner);
REGISTER(Item);

namespace {

const char* const kOpcodeNames[dbOpcodeCount] = {
  "BaseFieldBool", "BaseFieldInt1", "BaseFieldInt2", "BaseFieldInt4", "BaseFieldInt8", "BaseFieldReal4",
  "BaseFieldReal8", "BaseFieldString", "BaseFieldReference", "BaseFieldArray", "BaseMethodBool",
  "BaseMethodInt1", "BaseMethodInt2", "BaseMethodInt4", "BaseMethodInt8", "BaseMethodReal4",
  "BaseMethodReal8", "BaseMethodString", "BaseMethodReference", "BaseFieldRawBinary", "SelfFieldBool",
  "SelfFieldInt1", "SelfFieldInt2", "SelfFieldInt4", "SelfFieldInt8", "SelfFieldReal4", "SelfFieldReal8",
  "SelfFieldString", "SelfFieldReference", "SelfFieldArray", "SelfMethodBool", "SelfMethodInt1",
  "SelfMethodInt2", "SelfMethodInt4", "SelfMethodInt8", "SelfMethodReal4", "SelfMethodReal8",
  "SelfMethodString", "SelfMethodReference", "SelfFieldRawBinary", "InArrayBool", "InArrayInt1",
  "InArrayInt2", "InArrayInt4", "InArrayInt8", "InArrayReal4", "InArrayReal8", "InArrayString",
  "InArrayReference", "InString", "ArrayLength", "StringLength", "ElementAddress", "CharCode", "ParamBool",
  "ParamInt1", "ParamInt2", "ParamInt4", "ParamInt8", "ParamReal4", "ParamReal8", "ParamString",
  "ParamStringPtr", "ParamReference", "ParamRefArray", "ParamRefArrayPtr", "ParamRawBinary", "ParamReserved",
  "ConstTrue", "ConstFalse", "CurrentRecord", "FirstRecord", "LastRecord", "NullReference", "ConstInteger",
  "ConstReal", "ConstString", "Or", "And", "Not", "IsNull", "NegInt", "AddInt", "SubInt", "MulInt", "DivInt",
  "BitAndInt", "BitOrInt", "BitNotInt", "AbsInt", "PowInt", "EqInt", "NeInt", "GtInt", "GeInt", "LtInt",
  "LeInt", "BetweenInt", "NegReal", "AddReal", "SubReal", "MulReal", "DivReal", "AbsReal", "PowReal",
  "PowRealInt", "EqBinary", "NeBinary", "GtBinary", "GeBinary", "LtBinary", "LeBinary", "BetweenBinary",
  "EqReal", "NeReal", "GtReal", "GeReal", "LtReal", "LeReal", "BetweenReal", "EqBool", "NeBool", "EqRef",
  "NeRef", "EqString", "NeString", "GtString", "GeString", "LtString", "LeString", "BetweenString", "Like",
  "LikeEscape", "Upper", "Lower", "IntToRef", "IntToReal", "RealToInt", "IntToString", "RealToString",
  "Concat", "Deref", "Exists", "FreeVar", "List", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
  "", "", "", "", "", "", "", "", "", "Void",
};

bool isFieldLoad(int cop) { return cop <= SelfFieldRawBinary; }

std::string detail(const dbExprNode* n) {
  char buffer[64];
  if (isFieldLoad(n->cop)) return n->ref.field != nullptr ? n->ref.field->longName : "?";
  switch (n->cop) {
    case ConstInteger:
      std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(n->ivalue));
      return buffer;
    case ConstReal:
      std::snprintf(buffer, sizeof buffer, "%g", n->fvalue);
      return buffer;
    case ConstString:
      return "'" + std::string(n->svalue.chars, n->svalue.len - 1) + "'";
    case ElementAddress:
    case Exists:
    case FreeVar:
    case EqBinary: case NeBinary: case GtBinary: case GeBinary: case LtBinary: case LeBinary: case BetweenBinary:
      return std::to_string(n->offs);
    default:
      return "";
  }
}

}  // namespace

std::string printTree(const dbExprNode* n) {
  if (n == nullptr) return "null";
  std::string text = kOpcodeNames[n->cop];
  std::string d = detail(n);
  if (!d.empty()) text += ":" + d;
  int count = dbOpcodeOperandCount(n->cop);
  if (isFieldLoad(n->cop) && n->ref.base == nullptr) count = 0;
  if (count > 0) {
    text += "(";
    for (int i = 0; i < count; i++) text += (i > 0 ? ", " : "") + printTree(n->operand[i]);
    text += ")";
  }
  return text;
}

std::string printOrder(const dbOrderItem* order) {
  std::string text;
  for (; order != nullptr; order = order->next.get()) {
    if (!text.empty()) text += ", ";
    text += order->field != nullptr ? std::string("field:") + order->field->longName : "expr:" + printTree(order->expr);
    text += order->ascent ? " asc" : " desc";
  }
  return text;
}
