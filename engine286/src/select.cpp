// The select procedure: fills a cursor's selection with the records of its
// table that match a compiled query, in the requested order.
//
// It answers from an index (hash table or T-tree) what an index can answer,
// walks a T-tree when one delivers the requested order, follows START FROM
// references, and otherwise scans the table's row list and sorts.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compiler.h"
#include "cursor.h"
#include "evaluate.h"
#include "hashtab.h"
#include "select.h"
#include "ttree.h"

namespace {

bool isFieldLoad(const dbExprNode* node) { return node->cop <= SelfFieldRawBinary; }
bool isSelfField(const dbExprNode* node) {
  return (node->cop >= SelfFieldBool && node->cop <= SelfFieldArray) || node->cop == SelfFieldRawBinary;
}
bool isLiteralOrParameter(const dbExprNode* node) {
  return (node->cop >= ParamBool && node->cop <= ParamReference) || node->cop == ParamRawBinary ||
         node->cop == ConstTrue || node->cop == ConstFalse ||
         (node->cop >= ConstInteger && node->cop <= ConstString);
}

// The comparisons an index may answer, as an offset from the family's Eq.
enum Relation { RelEq = 0, RelNe, RelGt, RelGe, RelLt, RelLe, RelBetween, RelLike, RelNone };

Relation relationOf(int cop) {
  for (int eq : {EqInt, EqBinary, EqReal, EqString}) {
    if (cop >= eq && cop <= eq + RelBetween) return static_cast<Relation>(cop - eq);
  }
  if (cop == EqRef) return RelEq;
  if (cop == Like || cop == LikeEscape) return RelLike;
  return RelNone;
}

// Whether `condition` passes on a record; a set of disjuncts passes when
// any one does (none: every record passes).
class ConditionFilter final : public dbIndexFilter {
 public:
  ConditionFilter(dbDatabase* db, const dbTable* table, size_t paramBase) : db(db), table(table), paramBase(paramBase) {}
  void add(const dbExprNode* condition) {
    if (condition != nullptr && condition->cop != Void) conditions.push_back(condition);
  }
  bool empty() const { return conditions.empty(); }
  // The filter to hand to a search: none when every record passes.
  dbIndexFilter* orNone() { return empty() ? nullptr : this; }
  bool passes(oid_t oid) override {
    if (conditions.empty()) return true;
    dbInheritedAttribute ctx(db, table, db->getRow(oid), oid, paramBase);
    for (const dbExprNode* condition : conditions) {
      if (dbEvaluateCondition(condition, ctx)) return true;
    }
    return false;
  }

 private:
  dbDatabase* db;
  const dbTable* table;
  size_t paramBase;
  std::vector<const dbExprNode*> conditions;
};

// Gathers the ids an index search finds, in the order found.
class IdCollector final : public dbIdReceiver {
 public:
  bool add(oid_t id) override {
    ids.push_back(id);
    return true;
  }
  std::vector<oid_t> ids;
};

// One bound of a key range, in the field's own representation.
struct KeyBound {
  bool present = false;
  bool inclusive = true;
  std::string bytes;  // a string key keeps its NUL
  const void* key() const { return present ? bytes.data() : nullptr; }
};

// A key range of one field. `empty` when no key can lie in it.
struct KeyRange {
  KeyBound low, high;
  bool empty = false;
  bool isPoint() const {
    return low.present && high.present && low.inclusive && high.inclusive && low.bytes == high.bytes;
  }
};

template <class T>
std::string bytesOf(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// Sets `bound` from an integer for a field `width` bytes wide. A value the
// field cannot hold never equals a stored key: below the field's range it
// is no lower bound and leaves nothing under an upper bound, above it the
// reverse (a truncated key would find unrelated records).
void setIntegerBound(KeyRange& range, bool isLow, db_int8 value, int fieldType, bool inclusive) {
  db_int8 min = 0, max = 0;
  switch (fieldType) {
    case dbField::tpInt1: min = INT8_MIN; max = INT8_MAX; break;
    case dbField::tpInt2: min = INT16_MIN; max = INT16_MAX; break;
    case dbField::tpInt4: min = INT32_MIN; max = INT32_MAX; break;
    default: min = INT64_MIN; max = INT64_MAX; break;
  }
  KeyBound& bound = isLow ? range.low : range.high;
  if (value < min || value > max) {
    if ((value > max) == isLow) range.empty = true;
    return;  // otherwise no bound on this side
  }
  bound.present = true;
  bound.inclusive = inclusive;
  switch (fieldType) {
    case dbField::tpInt1: bound.bytes = bytesOf(static_cast<db_int1>(value)); break;
    case dbField::tpInt2: bound.bytes = bytesOf(static_cast<db_int2>(value)); break;
    case dbField::tpInt4: bound.bytes = bytesOf(static_cast<db_int4>(value)); break;
    default: bound.bytes = bytesOf(value); break;
  }
}

// Sets `bound` from a real. For a float field the bound moves to the
// nearest float with its inclusion adjusted, so that the range holds
// exactly the floats the comparison with the double accepts.
void setRealBound(KeyRange& range, bool isLow, real8 value, int fieldType, bool inclusive) {
  KeyBound& bound = isLow ? range.low : range.high;
  bound.present = true;
  bound.inclusive = inclusive;
  if (fieldType == dbField::tpReal8) {
    bound.bytes = bytesOf(value);
    return;
  }
  real4 narrowed = static_cast<real4>(value);
  if (narrowed != value) bound.inclusive = isLow ? narrowed > value : narrowed < value;
  bound.bytes = bytesOf(narrowed);
}

// The range of keys after `prefix` that start with it: up to the prefix
// with its last byte below 0xFF raised by one (what follows dropped), or
// unbounded when every byte is 0xFF.
void setPrefixRange(KeyRange& range, const std::string& prefix) {
  range.low = {true, true, prefix + '\0'};
  std::string successor = prefix;
  while (!successor.empty() && static_cast<unsigned char>(successor.back()) == 0xFF) successor.pop_back();
  if (successor.empty()) return;
  successor.back() = static_cast<char>(static_cast<unsigned char>(successor.back()) + 1);
  range.high = {true, false, successor + '\0'};
}

// Whether a real key is zero: its two encodings hash apart while they
// compare equal, so a hash search could miss one of them.
bool isRealZero(int fieldType, const std::string& key) {
  real8 value = 1;
  if (fieldType == dbField::tpReal4) {
    real4 f;
    std::memcpy(&f, key.data(), sizeof f);
    value = f;
  } else if (fieldType == dbField::tpReal8) {
    std::memcpy(&value, key.data(), sizeof value);
  }
  return value == 0;
}

// Whether a search of `range` over `fd` goes through its hash table.
bool usesHash(const dbFieldDescriptor* fd, const KeyRange& range) {
  return fd->hashTable != 0 && range.isPoint() && !isRealZero(fd->type, range.low.bytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// One run of the select procedure for a cursor.

class dbSelectRun {
 public:
  dbSelectRun(dbAnyCursor& cursor, dbQuery& query)
      : cursor(cursor),
        query(query),
        db(cursor.db),
        table(cursor.table),
        stored(reinterpret_cast<const dbTable*>(db->getRow(table->tableId))) {}

  void run();

 private:
  // What an index answer used, for deciding whether it needs a sort.
  struct Answer {
    bool answered = false;
    const dbFieldDescriptor* field = nullptr;
    bool ownTable = false;
  };

  // Answers a condition (an And through its left operand) by an index,
  // adding what it finds; not answered: nothing was added.
  Answer answerCondition(const dbExprNode* condition);
  Answer answerComparison(const dbExprNode* comparison, const dbExprNode* enclosingAnd);
  // The range a comparison of `relation` asks of field `fd`; false when the
  // operands cannot form one.
  bool keyRange(const dbExprNode* comparison, Relation relation, const dbFieldDescriptor* fd, KeyRange& range);
  // LIKE: the range and whether candidates still need the LIKE as filter.
  // False when not answerable by `fd`'s indices.
  bool likeRange(const dbExprNode* like, const dbFieldDescriptor* fd, KeyRange& range, bool& exact, bool& walkAll);
  // Searches the indices of `fd` for `range`; false when they cannot.
  bool search(const dbFieldDescriptor* fd, const KeyRange& range, dbIndexFilter* filter, dbIdReceiver& receiver);
  bool canSearch(const dbFieldDescriptor* fd, const KeyRange& range) const;
  // Field `fd` of the table a reference field of this table points to.
  Answer answerThroughReference(const dbFieldDescriptor* reference, const dbFieldDescriptor* fd,
                                const KeyRange& range, bool walkAll, dbIndexFilter* filter);

  dbResultValue evaluateOperand(const dbExprNode* node);
  void startFrom();
  bool orderedWalk(ConditionFilter& remaining);
  void scan(ConditionFilter& remaining);
  void sort();

  dbAnyCursor& cursor;
  dbQuery& query;
  dbDatabase* db;
  dbTableDescriptor* table;
  const dbTable* stored;
};

void dbSelectRun::run() {
  const dbExprNode* condition = query.tree;
  const dbOrderItem* order = query.order.get();
  if (query.startFrom != dbCompiledQuery::StartNone) {
    startFrom();
    return;
  }
  if (condition->cop == Void && order == nullptr) {
    cursor.selectAllRecords();
    return;
  }
  if (condition->cop == EqRef) {
    const dbExprNode* left = condition->operand[0];
    const dbExprNode* right = condition->operand[1];
    if (left->cop == ParamReference && right->cop == CurrentRecord) std::swap(left, right);
    if (left->cop == CurrentRecord && right->cop == ParamReference) {
      oid_t id = evaluateOperand(right).oid;
      if (db->isLiveRecord(id)) cursor.add(id);
      return;
    }
  }

  bool splitOnOr = false;
  ConditionFilter remaining(db, stored, cursor.paramBase);
  Answer answer;
  if (condition->cop == Or) {
    cursor.checkForDuplicates();
    splitOnOr = true;
    while (condition->cop == Or && !cursor.isFull() && answerCondition(condition->operand[0]).answered) {
      condition = condition->operand[1];
    }
  }
  if (!cursor.isFull()) answer = answerCondition(condition);
  if (answer.answered || cursor.isFull()) {
    if (order == nullptr) return;
    if (answer.ownTable && !splitOnOr && order->next == nullptr && order->field == answer.field) {
      if (!order->ascent) cursor.selection.reverse();
    } else {
      sort();
    }
    return;
  }
  remaining.add(condition);
  if (orderedWalk(remaining)) {
    // What the index answers of an OR added before the walk is out of order.
    if (splitOnOr) sort();
    return;
  }
  scan(remaining);
  if (order != nullptr) sort();
}

dbSelectRun::Answer dbSelectRun::answerCondition(const dbExprNode* condition) {
  if (condition->cop == And) return answerComparison(condition->operand[0], condition);
  return answerComparison(condition, nullptr);
}

dbResultValue dbSelectRun::evaluateOperand(const dbExprNode* node) {
  dbInheritedAttribute ctx(db, stored, nullptr, 0, cursor.paramBase);
  dbResultValue value;
  dbEvaluate(node, ctx, value);  // literals and variables: strings live outside the context
  return value;
}

bool dbSelectRun::keyRange(const dbExprNode* comparison, Relation relation, const dbFieldDescriptor* fd,
                           KeyRange& range) {
  const int operands = relation == RelBetween ? 3 : 2;
  for (int i = 1; i < operands; i++) {
    if (!isLiteralOrParameter(comparison->operand[i])) return false;
  }
  // Bounds by relation: [low, high] with inclusion.
  struct Side {
    bool isLow;
    int operand;
    bool inclusive;
  };
  std::vector<Side> sides;
  switch (relation) {
    case RelEq: sides = {{true, 1, true}, {false, 1, true}}; break;
    case RelGt: sides = {{true, 1, false}}; break;
    case RelGe: sides = {{true, 1, true}}; break;
    case RelLt: sides = {{false, 1, false}}; break;
    case RelLe: sides = {{false, 1, true}}; break;
    case RelBetween: sides = {{true, 1, true}, {false, 2, true}}; break;
    default: return false;
  }
  for (const Side& side : sides) {
    const dbExprNode* operand = comparison->operand[side.operand];
    dbResultValue value = evaluateOperand(operand);
    KeyBound& bound = side.isLow ? range.low : range.high;
    switch (fd->type) {
      case dbField::tpInt1: case dbField::tpInt2: case dbField::tpInt4: case dbField::tpInt8:
        if (operand->type != exprInteger) return false;
        setIntegerBound(range, side.isLow, value.ivalue, fd->type, side.inclusive);
        break;
      case dbField::tpReal4: case dbField::tpReal8:
        if (operand->type != exprReal || std::isnan(value.fvalue)) return false;
        setRealBound(range, side.isLow, value.fvalue, fd->type, side.inclusive);
        break;
      case dbField::tpString:
        if (operand->type != exprString) return false;
        bound = {true, side.inclusive, std::string(reinterpret_cast<const char*>(value.array.base))};
        bound.bytes.push_back('\0');
        break;
      case dbField::tpReference:
        if (operand->type != exprReference) return false;
        bound = {true, side.inclusive, bytesOf(value.oid)};
        break;
      case dbField::tpRawBinary:
        if (operand->type != exprRawBinary) return false;
        bound = {true, side.inclusive, std::string(reinterpret_cast<const char*>(value.array.base), fd->dbsSize)};
        break;
      default: return false;
    }
  }
  return true;
}

bool dbSelectRun::likeRange(const dbExprNode* like, const dbFieldDescriptor* fd, KeyRange& range, bool& exact,
                            bool& walkAll) {
  const int operands = like->cop == LikeEscape ? 3 : 2;
  for (int i = 1; i < operands; i++) {
    if (!isLiteralOrParameter(like->operand[i])) return false;
  }
  if (fd->type != dbField::tpString) return false;
  const std::string pattern(reinterpret_cast<const char*>(evaluateOperand(like->operand[1]).array.base));
  std::string special = "%_";
  if (like->cop == LikeEscape) {
    const char* escape = reinterpret_cast<const char*>(evaluateOperand(like->operand[2]).array.base);
    special.push_back(escape[0]);
  }
  const size_t wildcard = pattern.find_first_of(special);
  exact = true;
  walkAll = false;
  if (wildcard == std::string::npos) {
    range.low = range.high = {true, true, pattern + '\0'};
    return true;
  }
  if (fd->tTree == 0) return false;
  if (wildcard == 0) {
    walkAll = pattern == "%";
    return walkAll;
  }
  setPrefixRange(range, pattern.substr(0, wildcard));
  exact = wildcard + 1 == pattern.size() && pattern[wildcard] == '%';
  return true;
}

bool dbSelectRun::canSearch(const dbFieldDescriptor* fd, const KeyRange& range) const {
  return range.empty || usesHash(fd, range) || fd->tTree != 0;
}

bool dbSelectRun::search(const dbFieldDescriptor* fd, const KeyRange& range, dbIndexFilter* filter,
                         dbIdReceiver& receiver) {
  if (range.empty) return true;
  dbIndexSearch sc;
  sc.firstKey = range.low.key();
  sc.firstKeyInclusion = range.low.inclusive;
  sc.lastKey = range.high.key();
  sc.lastKeyInclusion = range.high.inclusive;
  sc.type = fd->type;
  sc.sizeofType = fd->dbsSize;
  sc.offs = fd->dbsOffs;
  sc.comparator = fd->comparator;
  sc.condition = filter;
  sc.cursor = &receiver;
  if (usesHash(fd, range)) {
    dbHashTable::find(*db, fd->hashTable, sc);
    return true;
  }
  if (fd->tTree == 0) return false;
  dbTtree::find(*db, fd->tTree, sc);
  return true;
}

dbSelectRun::Answer dbSelectRun::answerComparison(const dbExprNode* comparison, const dbExprNode* enclosingAnd) {
  const Relation relation = relationOf(comparison->cop);
  if (relation == RelNone || relation == RelNe || !isFieldLoad(comparison->operand[0])) return {};
  const dbExprNode* load = comparison->operand[0];
  const dbFieldDescriptor* fd = load->ref.field;
  if (fd == nullptr || fd->isMethod() || (fd->hashTable == 0 && fd->tTree == 0)) return {};

  KeyRange range;
  bool exact = true;
  bool walkAll = false;
  if (relation == RelLike ? !likeRange(comparison, fd, range, exact, walkAll)
                          : !keyRange(comparison, relation, fd, range)) {
    return {};
  }
  if (!walkAll && !canSearch(fd, range)) return {};

  // Candidates must also pass the rest of an AND, and the LIKE itself when
  // the key range only narrows the search to the pattern's prefix.
  ConditionFilter filter(db, stored, cursor.paramBase);
  if (exact) {
    if (enclosingAnd != nullptr) filter.add(enclosingAnd->operand[1]);
  } else {
    filter.add(enclosingAnd != nullptr ? enclosingAnd : comparison);
  }

  if (isSelfField(load)) {
    if (walkAll) {
      dbTtree::walkAscending(*db, fd->tTree, cursor, filter.orNone());
    } else {
      search(fd, range, filter.orNone(), cursor);
    }
    return {true, fd, true};
  }
  const dbExprNode* base = load->ref.base;
  if (base->cop != Deref || base->operand[0]->cop != SelfFieldReference) return {};
  return answerThroughReference(base->operand[0]->ref.field, fd, range, walkAll, filter.orNone());
}

dbSelectRun::Answer dbSelectRun::answerThroughReference(const dbFieldDescriptor* reference,
                                                        const dbFieldDescriptor* fd, const KeyRange& range,
                                                        bool walkAll, dbIndexFilter* filter) {
  const dbFieldDescriptor* inverse = reference->inverseRef;
  if (inverse == nullptr && reference->hashTable == 0 && reference->tTree == 0) return {};
  IdCollector targets;
  if (walkAll) {
    dbTtree::walkAscending(*db, fd->tTree, targets);
  } else {
    search(fd, range, nullptr, targets);
  }
  if (inverse != nullptr) {
    cursor.checkForDuplicates();
    for (oid_t target : targets.ids) {
      const db_byte* row = db->getRow(target);
      std::vector<oid_t> sources;
      if (inverse->type == dbField::tpArray) {
        dbVarying v = dbReadVarying(row + inverse->dbsOffs);
        sources.resize(v.size);
        if (v.size != 0) std::memcpy(sources.data(), row + v.offs, v.size * sizeof(oid_t));
      } else {
        sources.resize(1);
        std::memcpy(sources.data(), row + inverse->dbsOffs, sizeof(oid_t));
      }
      for (oid_t source : sources) {
        if (source == 0 || (filter != nullptr && !filter->passes(source))) continue;
        if (!cursor.add(source)) return {true, fd, false};
      }
    }
    return {true, fd, false};
  }
  for (oid_t target : targets.ids) {
    KeyRange point;
    point.low = point.high = {true, true, bytesOf(target)};
    search(reference, point, filter, cursor);
    if (cursor.isFull()) break;
  }
  return {true, fd, false};
}

void dbSelectRun::startFrom() {
  cursor.checkForDuplicates();
  std::vector<oid_t> stack;
  stack.reserve(1024);
  const db_byte* root = static_cast<const db_byte*>(query.root) + cursor.paramBase;
  auto pushArray = [&](const dbAnyArray* array) {
    const auto* refs = static_cast<const dbAnyReference*>(array->base());
    for (size_t i = array->length(); i-- > 0;) {
      if (refs[i].getOid() != 0) stack.push_back(refs[i].getOid());
    }
  };
  switch (query.startFrom) {
    case dbCompiledQuery::StartFirst: if (stored->firstRow != 0) stack.push_back(stored->firstRow); break;
    case dbCompiledQuery::StartLast: if (stored->lastRow != 0) stack.push_back(stored->lastRow); break;
    case dbCompiledQuery::StartRef: {
      oid_t id;
      std::memcpy(&id, root, sizeof id);
      if (id != 0) stack.push_back(id);
      break;
    }
    case dbCompiledQuery::StartRefArray: pushArray(reinterpret_cast<const dbAnyArray*>(root)); break;
    case dbCompiledQuery::StartRefArrayPtr: {
      const dbAnyArray* array;
      std::memcpy(&array, root, sizeof array);
      pushArray(array);
      break;
    }
    default: break;
  }
  ConditionFilter condition(db, stored, cursor.paramBase);
  condition.add(query.tree);
  while (!stack.empty()) {
    oid_t id = stack.back();
    stack.pop_back();
    if (!db->isLiveRecord(id)) continue;
    if (condition.passes(id)) {
      if (!cursor.add(id)) break;
    } else {
      cursor.mark(id);
    }
    const db_byte* row = db->getRow(id);
    for (const dbFollowItem* follow = query.follow.get(); follow != nullptr; follow = follow->next.get()) {
      const dbFieldDescriptor* fd = follow->field;
      std::vector<oid_t> ids;
      if (fd->type == dbField::tpArray) {
        dbVarying v = dbReadVarying(row + fd->dbsOffs);
        ids.resize(v.size);
        if (v.size != 0) std::memcpy(ids.data(), row + v.offs, v.size * sizeof(oid_t));
      } else {
        ids.resize(1);
        std::memcpy(ids.data(), row + fd->dbsOffs, sizeof(oid_t));
      }
      for (size_t i = ids.size(); i-- > 0;) {
        if (ids[i] != 0 && !cursor.isMarked(ids[i])) stack.push_back(ids[i]);
      }
    }
  }
  if (query.order != nullptr) sort();
}

bool dbSelectRun::orderedWalk(ConditionFilter& remaining) {
  const dbOrderItem* order = query.order.get();
  if (order == nullptr || order->next != nullptr || order->field == nullptr) return false;
  const dbFieldDescriptor* fd = order->field;
  if (fd->tTree == 0 || fd->defTable != table) return false;
  if (order->ascent) {
    dbTtree::walkAscending(*db, fd->tTree, cursor, remaining.orNone());
  } else {
    dbTtree::walkDescending(*db, fd->tTree, cursor, remaining.orNone());
  }
  return true;
}

void dbSelectRun::scan(ConditionFilter& remaining) {
  if (cursor.isFull()) return;
  for (oid_t id = stored->firstRow; id != 0;) {
    if (remaining.passes(id) && !cursor.add(id)) return;
    id = reinterpret_cast<const dbRecord*>(db->getRow(id))->next;
  }
}

void dbSelectRun::sort() {
  const std::vector<oid_t> ids = cursor.selection.toVector();
  // Positions are sorted, each with its record looked up once.
  std::vector<const db_byte*> rows(ids.size());
  std::vector<oid_t> positions(ids.size());
  for (size_t i = 0; i < ids.size(); i++) {
    rows[i] = db->getRow(ids[i]);
    positions[i] = static_cast<oid_t>(i);
  }
  const dbOrderItem* order = query.order.get();
  const size_t paramBase = cursor.paramBase;
  dbSortIds(positions.data(), positions.size(), [&](oid_t a, oid_t b) {
    return dbCompareRecords(order, db, stored, rows[a], ids[a], rows[b], ids[b], paramBase);
  });
  std::vector<oid_t> sorted(ids.size());
  for (size_t i = 0; i < ids.size(); i++) sorted[i] = ids[positions[i]];
  cursor.selection.assign(sorted);
}

// ---------------------------------------------------------------------------

size_t dbAnyCursor::select(dbQuery& query, dbCursorType cursorType, size_t base) {
  type = cursorType;
  reset();
  dbDatabaseThreadContext* ctx = db->getThreadContext();
  dbAssert(db->isOpen() && ctx != nullptr);
  if (ctx->compiler == nullptr) ctx->compiler = std::make_shared<dbQueryCompiler>(db);
  if (!query.prepare(*ctx->compiler, table, 0)) return 0;
  paramBase = base;
  beginSelect();
  try {
    dbSelectRun(*this, query).run();
  } catch (const dbEvaluationError&) {
    // Reported already; the select ends with nothing selected.
    selection.clear();
    allRecords = false;
  }
  paramBase = 0;
  gotoFirst();
  prefetchCurrent();
  return nRows();
}
