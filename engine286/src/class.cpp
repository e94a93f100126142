#include "class.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "symtab.h"

namespace {

// A mistake in a describe function or an impossible schema state: these are
// programming errors, found when the program starts.
void schemaAssert(bool condition, const char* text) {
  if (!condition) {
    std::fprintf(stderr, "Assertion failed: %s\n", text);
    std::abort();
  }
}

const char* intern(const char* name, bool copy) {
  dbSymbolTable::add(name, dbSymbolTable::Identifier, copy);
  return name;
}

const char* objectString(const db_byte* member) {
  const char* s;
  std::memcpy(&s, member, sizeof s);
  return s == nullptr ? "" : s;
}

// True when no two data members of the level share bytes of the object (a
// member listed twice would otherwise be stored twice).
bool membersDistinct(const dbFieldDescriptor* level) {
  std::vector<std::pair<size_t, size_t>> ranges;
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) { ranges.emplace_back(fd.appOffs, fd.appSize); });
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); i++) {
    if (ranges[i - 1].first + ranges[i - 1].second > ranges[i].first) return false;
  }
  return true;
}

const dbAnyArray* objectArray(const db_byte* member) { return reinterpret_cast<const dbAnyArray*>(member); }

}  // namespace

int dbDefaultRawBinaryComparator(const void* a, const void* b, size_t size) { return std::memcmp(a, b, size); }

// ---------------------------------------------------------------------------
// Field descriptors

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName, size_t appOffset, size_t appBytes, int flags, int fieldType,
                                     size_t storedBytes, size_t align)
    : name(intern(fieldName, false)),
      type(fieldType),
      appType(fieldType),
      indexFlags(flags),
      appOffs(appOffset),
      dbsSize(storedBytes),
      appSize(appBytes),
      alignment(align) {
  if (type == dbField::tpString) {
    List chars;
    chars.push_back(std::make_unique<dbFieldDescriptor>("[]", 0, 1, 0, dbField::tpInt1, 1, 1));
    adoptComponents(std::move(chars));
  }
}

dbFieldDescriptor::~dbFieldDescriptor() = default;

void dbFieldDescriptor::adoptComponents(List list) {
  ownedComponents = std::move(list);
  components = dbLinkFieldList(ownedComponents);
}

dbFieldDescriptor* dbFieldDescriptor::findSymbol(const char* internedName) {
  dbFieldDescriptor* fd = this;
  do {
    if (fd->name == internedName) return fd;
    fd = fd->next;
  } while (fd != this);
  return nullptr;
}

dbFieldDescriptor* dbFieldDescriptor::find(const char* text) { return findSymbol(intern(text, true)); }

dbFieldDescriptor* dbLinkFieldList(dbFieldDescriptor::List& list) {
  if (list.empty()) return nullptr;
  for (size_t i = 0; i < list.size(); i++) {
    list[i]->next = list[(i + 1) % list.size()].get();
    list[i]->prev = list[(i + list.size() - 1) % list.size()].get();
  }
  return list.front().get();
}

std::unique_ptr<dbFieldDescriptor> dbMakeMethodDescriptor(const char* name, int resultType) {
  return std::make_unique<dbFieldDescriptor>(name, 0, 0, 0, resultType + dbField::tpMethodBool, 0, 1);
}

const void* dbStoredStructure(const dbFieldDescriptor* method, const db_byte* record) {
  return record + method->dbsOffs - method->components->appOffs;
}

// ---------------------------------------------------------------------------
// Table descriptors: construction

dbTableDescriptor* dbTableDescriptor::chain = nullptr;

dbTableDescriptor::dbTableDescriptor(const char* tableName, dbDatabase* database, size_t classSize,
                                     DescribeFunc describe, dbTableDescriptor* original)
    : name(intern(tableName, true)),
      db(database),
      fixedDatabase(database != nullptr),
      cloneOf(original),
      describeComponentsFunc(describe) {
  ownedColumns = describe();
  columns = dbLinkFieldList(ownedColumns);
  schemaAssert(columns != nullptr && !columns->isMethod(), "Not empty record");
  size_t fixed = sizeof(dbRecord);
  calculateFieldsAttributes(columns, "", sizeof(dbRecord), HASHED | INDEXED, attr, fixed, false);
  fixedSize = fixed;
  appSize = describedSize(columns);
  if (appSize < classSize || !structuresCovered(columns)) {
    std::fprintf(stderr, "Warning: may be not all fields of the class '%s' were described\n", name);
  }
  if (original == nullptr) {
    next = chain;
    chain = this;
  }
}

dbTableDescriptor::~dbTableDescriptor() {
  for (dbTableDescriptor** link = &chain; *link != nullptr; link = &(*link)->next) {
    if (*link == this) {
      *link = next;
      break;
    }
  }
}

size_t dbTableDescriptor::describedSize(const dbFieldDescriptor* level) {
  size_t size = 0;
  size_t maxAlign = 1;
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    size = dbAlignUp(size, fd.appAlignment) + fd.appSize;
    maxAlign = std::max(maxAlign, fd.appAlignment);
  });
  return dbAlignUp(size, maxAlign);
}

bool dbTableDescriptor::structuresCovered(const dbFieldDescriptor* level) {
  bool covered = true;
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    if (fd.type == dbField::tpStructure) {
      covered = covered && describedSize(fd.components) >= fd.appSize && structuresCovered(fd.components);
    }
  });
  return covered;
}

size_t dbTableDescriptor::calculateFieldsAttributes(dbFieldDescriptor* first, const char* prefix, size_t base,
                                                    int indexMask, int& parentAttr, size_t& fixed, bool inArray) {
  schemaAssert(membersDistinct(first), "Members should be described once and not overlap");
  size_t maxAlign = 1;
  dbForEachDataMember(first, [&](dbFieldDescriptor& field) {
    dbFieldDescriptor* fd = &field;
    std::string longName = std::string(prefix) + fd->name;
    fd->longName = intern(longName.c_str(), true);
    if (*prefix == '\0') nColumns += 1;
    fd->defTable = this;
    fd->indexFlags &= ~(HASHED | INDEXED) | indexMask;
    fd->attr = (inArray ? ComponentOfArray : 0) | OneToOneMapping;
    if (fd->inverseRefName != nullptr) {
      bool isReference = fd->type == dbField::tpReference ||
                         (fd->type == dbField::tpArray && fd->components->type == dbField::tpReference);
      schemaAssert(isReference && !inArray, "Inverse reference must be a reference or an array of references");
      fd->inverseRefName = intern(fd->inverseRefName, false);
      fd->nextInverseField = inverseFields;
      inverseFields = fd;
    }
    *nextFieldLink = fd;
    nextFieldLink = &fd->nextField;
    fd->fieldNo = static_cast<int>(nFields++);

    switch (fd->type) {
      case dbField::tpString:
        parentAttr = (parentAttr & ~OneToOneMapping) | HasArrayComponents;
        break;
      case dbField::tpArray: {
        schemaAssert(!(fd->indexFlags & (HASHED | INDEXED)), "Array fields can not be indexed");
        parentAttr = (parentAttr & ~OneToOneMapping) | HasArrayComponents;
        size_t elementFixed = 0;
        calculateFieldsAttributes(fd->components, fd->longName, 0, 0, fd->attr, elementFixed, true);
        if (fd->components->dbsSize != fd->components->appSize) fd->attr &= ~OneToOneMapping;
        break;
      }
      case dbField::tpStructure: {
        schemaAssert(fd->components != nullptr, "Not empty record");
        std::string structPrefix = std::string(fd->longName) + ".";
        fd->alignment = calculateFieldsAttributes(fd->components, structPrefix.c_str(), base + fd->appOffs,
                                                  fd->indexFlags, fd->attr, fixed, inArray);
        fd->dbsOffs = fd->components->dbsOffs;
        fd->dbsSize = dbAlignUp(fixed - fd->dbsOffs, fd->alignment);
        if (fd->attr & HasArrayComponents) parentAttr |= HasArrayComponents;
        if (!(fd->attr & OneToOneMapping)) parentAttr &= ~OneToOneMapping;
        break;
      }
      default:
        break;
    }
    maxAlign = std::max(maxAlign, fd->alignment);
    if (fd->type != dbField::tpStructure) {
      fd->dbsOffs = dbAlignUp(fixed, fd->alignment);
      fixed = fd->dbsOffs + fd->dbsSize;
      if (base + fd->appOffs != fd->dbsOffs) parentAttr &= ~OneToOneMapping;
      if (fd->indexFlags & HASHED) {
        fd->nextHashedField = hashedFields;
        hashedFields = fd;
      }
      if (fd->indexFlags & INDEXED) {
        fd->nextIndexedField = indexedFields;
        indexedFields = fd;
      }
    }
  });
  checkMethods(first, prefix, parentAttr);
  return maxAlign;
}

void dbTableDescriptor::checkMethods(dbFieldDescriptor* first, const char* prefix, int levelAttr) {
  bool seenMethod = false;
  dbFieldDescriptor* fd = first;
  do {
    if (fd->isMethod()) {
      seenMethod = true;
      std::string longName = std::string(prefix) + fd->name;
      fd->longName = intern(longName.c_str(), true);
      fd->defTable = this;
      fd->dbsOffs = first->dbsOffs;
      fd->components = first;
      if (levelAttr & OneToOneMapping) fd->method = fd->method->optimize();
    } else {
      schemaAssert(!seenMethod, "Methods should be specified after variables");
    }
    fd = fd->next;
  } while (fd != first);
}

dbFieldDescriptor* dbTableDescriptor::findSymbol(const char* internedName) const {
  return columns->findSymbol(internedName);
}

dbFieldDescriptor* dbTableDescriptor::find(const char* text) const { return columns->find(text); }

// ---------------------------------------------------------------------------
// Record size, pack and unpack. Offsets of a level's members in the object
// are relative to the level's object; stored varying offsets are relative to
// `elementBase`, the start of the record or of the array element.

namespace {

size_t variableSize(const dbFieldDescriptor* level, const db_byte* object, size_t v);

size_t arrayVariableSize(const dbFieldDescriptor& array, const dbAnyArray& a, size_t v) {
  const dbFieldDescriptor* elem = array.components;
  v = dbAlignUp(v, elem->alignment) + a.length() * elem->dbsSize;
  if (elem->attr & HasArrayComponents || elem->type == dbField::tpString || elem->type == dbField::tpArray) {
    const db_byte* elems = static_cast<const db_byte*>(a.base());
    for (size_t i = 0; i < a.length(); i++) v = variableSize(elem, elems + i * elem->appSize, v);
  }
  return v;
}

size_t variableSize(const dbFieldDescriptor* level, const db_byte* object, size_t v) {
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    const db_byte* member = object + fd.appOffs;
    switch (fd.type) {
      case dbField::tpString:
        v += std::strlen(objectString(member)) + 1;
        break;
      case dbField::tpArray:
        v = arrayVariableSize(fd, *objectArray(member), v);
        break;
      case dbField::tpStructure:
        v = variableSize(fd.components, member, v);
        break;
      default:
        break;
    }
  });
  return v;
}

size_t packLevel(const dbFieldDescriptor* level, db_byte* record, size_t elementBase, size_t v,
                 const db_byte* object);

size_t packArray(const dbFieldDescriptor& array, db_byte* record, size_t elementBase, size_t v,
                 const dbAnyArray& a) {
  const dbFieldDescriptor* elem = array.components;
  size_t start = dbAlignUp(v, elem->alignment);
  std::memset(record + v, 0, start - v);
  dbWriteVarying(record + elementBase + array.dbsOffs, a.length(), start - elementBase);
  size_t n = a.length();
  v = start + n * elem->dbsSize;
  const db_byte* elems = static_cast<const db_byte*>(a.base());
  if (array.attr & OneToOneMapping) {
    if (n != 0) std::memcpy(record + start, elems, n * elem->dbsSize);
    return v;
  }
  std::memset(record + start, 0, n * elem->dbsSize);
  for (size_t i = 0; i < n; i++) v = packLevel(elem, record, start + i * elem->dbsSize, v, elems + i * elem->appSize);
  return v;
}

size_t packLevel(const dbFieldDescriptor* level, db_byte* record, size_t elementBase, size_t v,
                 const db_byte* object) {
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    const db_byte* member = object + fd.appOffs;
    db_byte* stored = record + elementBase + fd.dbsOffs;
    switch (fd.type) {
      case dbField::tpString: {
        const char* s = objectString(member);
        size_t length = std::strlen(s) + 1;
        dbWriteVarying(stored, length, v - elementBase);
        std::memcpy(record + v, s, length);
        v += length;
        break;
      }
      case dbField::tpArray:
        v = packArray(fd, record, elementBase, v, *objectArray(member));
        break;
      case dbField::tpStructure:
        v = packLevel(fd.components, record, elementBase, v, member);
        break;
      default:
        std::memcpy(stored, member, fd.dbsSize);
        break;
    }
  });
  return v;
}

void unpackLevel(const dbFieldDescriptor* level, db_byte* object, const db_byte* record, size_t elementBase) {
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    db_byte* member = object + fd.appOffs;
    const db_byte* stored = record + elementBase + fd.dbsOffs;
    switch (fd.type) {
      case dbField::tpString: {
        const char* s = reinterpret_cast<const char*>(record + elementBase + dbReadVarying(stored).offs);
        std::memcpy(member, &s, sizeof s);
        break;
      }
      case dbField::tpArray: {
        dbVarying v = dbReadVarying(stored);
        auto* a = reinterpret_cast<dbAnyArray*>(member);
        const dbFieldDescriptor* elem = fd.components;
        size_t start = elementBase + v.offs;
        if (fd.attr & OneToOneMapping) {
          fd.arrayAllocator(a, const_cast<db_byte*>(record + start), v.size);
          break;
        }
        fd.arrayAllocator(a, nullptr, v.size);
        auto* elems = static_cast<db_byte*>(const_cast<void*>(a->base()));
        for (size_t i = 0; i < v.size; i++) {
          unpackLevel(elem, elems + i * elem->appSize, record, start + i * elem->dbsSize);
        }
        break;
      }
      case dbField::tpStructure:
        unpackLevel(fd.components, member, record, elementBase);
        break;
      default:
        std::memcpy(member, stored, fd.dbsSize);
        break;
    }
  });
}

}  // namespace

void dbUnpackComponents(const dbFieldDescriptor* level, void* object, const db_byte* record) {
  unpackLevel(level, static_cast<db_byte*>(object), record, 0);
}

size_t dbTableDescriptor::recordSize(const void* object) const {
  return variableSize(columns, static_cast<const db_byte*>(object), fixedSize);
}

size_t dbTableDescriptor::pack(db_byte* record, const void* object) const {
  std::memset(record + sizeof(dbRecord), 0, fixedSize - sizeof(dbRecord));
  return packLevel(columns, record, 0, fixedSize, static_cast<const db_byte*>(object));
}

void dbTableDescriptor::unpack(void* object, const db_byte* record) const {
  unpackLevel(columns, static_cast<db_byte*>(object), record, 0);
}

// ---------------------------------------------------------------------------
// Updated marks and pointer moves

namespace {

bool storedValueDiffers(const dbFieldDescriptor& fd, const db_byte* record, const db_byte* member) {
  const db_byte* stored = record + fd.dbsOffs;
  switch (fd.type) {
    case dbField::tpString:
      return std::strcmp(reinterpret_cast<const char*>(record + dbReadVarying(stored).offs), objectString(member)) != 0;
    case dbField::tpRawBinary:
      return fd.comparator(stored, member, fd.dbsSize) != 0;
    default:
      return std::memcmp(stored, member, fd.dbsSize) != 0;
  }
}

bool markLevel(dbFieldDescriptor* level, const db_byte* record, const db_byte* object) {
  bool any = false;
  dbForEachDataMember(level, [&](dbFieldDescriptor& field) {
    dbFieldDescriptor* fd = &field;
    const db_byte* member = object + fd->appOffs;
    if (fd->type == dbField::tpStructure) {
      any |= markLevel(fd->components, record, member);
    } else if ((fd->indexFlags & (HASHED | INDEXED)) && fd->type != dbField::tpArray &&
               storedValueDiffers(*fd, record, member)) {
      fd->attr |= Updated;
      any = true;
    }
  });
  return any;
}

bool inRange(const void* p, const db_byte* base, size_t size) {
  auto* b = static_cast<const db_byte*>(p);
  return b >= base && b < base + size;
}

void adjustLevel(const dbFieldDescriptor* level, db_byte* object, const db_byte* base, size_t size, ptrdiff_t shift);

void adjustArray(const dbFieldDescriptor& array, dbAnyArray* a, const db_byte* base, size_t size, ptrdiff_t shift) {
  void* data = const_cast<void*>(a->base());
  if (inRange(data, base, size)) {
    void* moved = static_cast<db_byte*>(data) + shift;
    array.arrayAllocator(a, moved, a->length());
    return;
  }
  const dbFieldDescriptor* elem = array.components;
  for (size_t i = 0; i < a->length(); i++) {
    adjustLevel(elem, static_cast<db_byte*>(data) + i * elem->appSize, base, size, shift);
  }
}

void adjustLevel(const dbFieldDescriptor* level, db_byte* object, const db_byte* base, size_t size, ptrdiff_t shift) {
  dbForEachDataMember(level, [&](const dbFieldDescriptor& fd) {
    db_byte* member = object + fd.appOffs;
    switch (fd.type) {
      case dbField::tpString: {
        const char* s;
        std::memcpy(&s, member, sizeof s);
        if (s != nullptr && inRange(s, base, size)) {
          s += shift;
          std::memcpy(member, &s, sizeof s);
        }
        break;
      }
      case dbField::tpArray:
        adjustArray(fd, reinterpret_cast<dbAnyArray*>(member), base, size, shift);
        break;
      case dbField::tpStructure:
        adjustLevel(fd.components, member, base, size, shift);
        break;
      default:
        break;
    }
  });
}

}  // namespace

bool dbTableDescriptor::markUpdatedFields(const db_byte* record, const void* object) const {
  return markLevel(columns, record, static_cast<const db_byte*>(object));
}

void dbTableDescriptor::clearUpdatedFields() {
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) fd->attr &= ~Updated;
}

void dbTableDescriptor::adjustReferences(void* object, const db_byte* base, size_t size, ptrdiff_t shift) const {
  adjustLevel(columns, static_cast<db_byte*>(object), base, size, shift);
}
