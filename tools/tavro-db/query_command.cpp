// tavro-db query FILE TABLE 'condition'
//
// Selects the records of TABLE that match the condition and prints them one
// a line (fields as name=value, strings as stored), then their count. The
// table descriptors are built from the stored table descriptions, so any
// table of any database file can be queried, the Metatable included,
// without the program's classes. The file is opened for reading its
// committed state only and never changed.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cursor.h"
#include "database.h"

namespace {

// A stored table description and the descriptor built from it.
class StoredTable {
 public:
  StoredTable(const dbTable* stored, oid_t id) : stored(stored), id(id) {}

  const char* name() const { return text(stored->name); }
  size_t fieldCount() const { return stored->fields.size; }
  dbField entry(size_t i) const {
    dbField e;
    std::memcpy(&e, entryAddress(i), sizeof e);
    return e;
  }
  const char* entryText(size_t i, const dbVarying& v) const {
    return reinterpret_cast<const char*>(entryAddress(i)) + v.offs;
  }

  const dbTable* stored;
  oid_t id;
  std::unique_ptr<dbTableDescriptor> descriptor;

 private:
  const char* text(const dbVarying& v) const { return reinterpret_cast<const char*>(stored) + v.offs; }
  const db_byte* entryAddress(size_t i) const {
    return reinterpret_cast<const db_byte*>(stored) + stored->fields.offs + i * sizeof(dbField);
  }
};

// Descriptors of every stored table of an open database.
class StoredSchema {
 public:
  explicit StoredSchema(dbDatabase& db);
  dbTableDescriptor* find(const char* name);

 private:
  // The describe function of the table being built (descriptors take a
  // plain function): the fields of `building`.
  static dbFieldDescriptor::List describeBuilding();
  // The descriptors of the entries from `i` on whose long names are
  // `prefix` + one more name; `i` ends after the level.
  static dbFieldDescriptor::List describeLevel(const StoredTable& table, size_t& i, const std::string& prefix);
  static std::unique_ptr<dbFieldDescriptor> describeEntry(const StoredTable& table, size_t& i, const char* name);
  // Takes over what the stored entries say of the layout and the indices.
  void adoptStoredLayout(StoredTable& table);

  static StoredTable* building;
  static std::deque<std::string> names;  // interned without copying: live for the process
  std::vector<std::unique_ptr<StoredTable>> tables;
};

StoredTable* StoredSchema::building = nullptr;
std::deque<std::string> StoredSchema::names;

StoredSchema::StoredSchema(dbDatabase& db) {
  db.beginTransaction(dbDatabase::dbSharedLock);
  auto describe = [&](oid_t id) {
    tables.push_back(std::make_unique<StoredTable>(reinterpret_cast<const dbTable*>(db.getRow(id)), id));
  };
  describe(MetatableId);
  for (oid_t id = tables[0]->stored->firstRow; id != 0; id = reinterpret_cast<const dbRecord*>(db.getRow(id))->next) {
    describe(id);
  }
  for (auto& table : tables) {
    building = table.get();
    table->descriptor = std::make_unique<dbTableDescriptor>(table->name(), &db, 0, &describeBuilding);
  }
  building = nullptr;
  for (auto& table : tables) {
    adoptStoredLayout(*table);
    db.linkTable(table->descriptor.get(), table->id);
  }
}

dbTableDescriptor* StoredSchema::find(const char* name) {
  for (auto& table : tables) {
    if (std::strcmp(table->name(), name) == 0) return table->descriptor.get();
  }
  return nullptr;
}

dbFieldDescriptor::List StoredSchema::describeBuilding() {
  size_t i = 0;
  return describeLevel(*building, i, "");
}

dbFieldDescriptor::List StoredSchema::describeLevel(const StoredTable& table, size_t& i, const std::string& prefix) {
  dbFieldDescriptor::List level;
  while (i < table.fieldCount()) {
    const char* longName = table.entryText(i, table.entry(i).name);
    if (std::strncmp(longName, prefix.c_str(), prefix.size()) != 0) break;
    level.push_back(describeEntry(table, i, longName + prefix.size()));
  }
  return level;
}

std::unique_ptr<dbFieldDescriptor> StoredSchema::describeEntry(const StoredTable& table, size_t& i, const char* name) {
  const dbField e = table.entry(i);
  const char* longName = table.entryText(i, e.name);
  names.emplace_back(name);
  const size_t size = static_cast<size_t>(e.size);
  // The stored offset doubles as the member's place in a class that does
  // not exist: members of one level then never overlap.
  auto fd = std::make_unique<dbFieldDescriptor>(names.back().c_str(), static_cast<size_t>(e.offset),
                                                e.type == dbField::tpStructure ? 0 : size, 0, e.type, size, 1);
  i += 1;
  if (e.type == dbField::tpStructure) {
    fd->adoptComponents(describeLevel(table, i, std::string(longName) + "."));
  } else if (e.type == dbField::tpArray) {
    dbFieldDescriptor::List element;
    element.push_back(describeEntry(table, i, "[]"));
    fd->adoptComponents(std::move(element));
  }
  return fd;
}

void StoredSchema::adoptStoredLayout(StoredTable& table) {
  dbTableDescriptor* descriptor = table.descriptor.get();
  size_t i = 0;
  for (dbFieldDescriptor* fd = descriptor->firstField; fd != nullptr; fd = fd->nextField, i++) {
    const dbField e = table.entry(i);
    fd->dbsOffs = static_cast<size_t>(e.offset);
    fd->dbsSize = static_cast<size_t>(e.size);
    fd->hashTable = e.hashTable;
    fd->tTree = e.tTree;
    const char* refTable = table.entryText(i, e.tableName);
    if (*refTable != '\0') fd->refTable = find(refTable);
  }
  descriptor->fixedSize = table.stored->fixedSize;
}

// ---------------------------------------------------------------------------
// Printing a stored record.

void printValue(std::string& out, const dbFieldDescriptor* fd, const db_byte* base, const db_byte* at);

void printLevel(std::string& out, const dbFieldDescriptor* first, const db_byte* base, const char* separator) {
  bool firstItem = true;
  dbForEachDataMember(first, [&](const dbFieldDescriptor& fd) {
    if (!firstItem) out += separator;
    firstItem = false;
    out += fd.name;
    out += '=';
    printValue(out, &fd, base, base + fd.dbsOffs);
  });
}

template <class T>
T load(const db_byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void printValue(std::string& out, const dbFieldDescriptor* fd, const db_byte* base, const db_byte* at) {
  char buf[64];
  buf[0] = '\0';
  switch (fd->type) {
    case dbField::tpBool: out += *at ? "true" : "false"; return;
    case dbField::tpInt1: std::snprintf(buf, sizeof buf, "%d", load<db_int1>(at)); break;
    case dbField::tpInt2: std::snprintf(buf, sizeof buf, "%d", load<db_int2>(at)); break;
    case dbField::tpInt4: std::snprintf(buf, sizeof buf, "%d", load<db_int4>(at)); break;
    case dbField::tpInt8: std::snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(load<db_int8>(at))); break;
    case dbField::tpReal4: std::snprintf(buf, sizeof buf, "%.9g", load<real4>(at)); break;
    case dbField::tpReal8: std::snprintf(buf, sizeof buf, "%.17g", load<real8>(at)); break;
    case dbField::tpReference: std::snprintf(buf, sizeof buf, "#%u", load<oid_t>(at)); break;
    case dbField::tpString: {
      dbVarying v = dbReadVarying(at);
      if (v.size != 0) out.append(reinterpret_cast<const char*>(base + v.offs), v.size - 1);
      return;
    }
    case dbField::tpRawBinary:
      for (size_t i = 0; i < fd->dbsSize; i++) {
        std::snprintf(buf, sizeof buf, "%02x", at[i]);
        out += buf;
      }
      return;
    case dbField::tpStructure:
      out += '{';
      printLevel(out, fd->components, base, ",");
      out += '}';
      return;
    case dbField::tpArray: {
      dbVarying v = dbReadVarying(at);
      const dbFieldDescriptor* element = fd->components;
      out += '[';
      for (size_t k = 0; k < v.size; k++) {
        if (k != 0) out += ',';
        const db_byte* elementAt = base + v.offs + k * element->dbsSize;
        // Inside an element, offsets count from the element itself.
        printValue(out, element, elementAt, elementAt);
      }
      out += ']';
      return;
    }
    default: out += '?'; return;
  }
  out += buf;
}

bool errorReported = false;
void noteError(int, const char*, int) { errorReported = true; }

}  // namespace

int tavroDbQuery(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: tavro-db query FILE TABLE 'condition'\n", stderr);
    return 2;
  }
  const std::string path = argv[0];
  if (!std::filesystem::exists(path)) {
    std::fprintf(stderr, "tavro-db: %s does not exist\n", path.c_str());
    return 1;
  }
  dbDatabase db(dbDatabase::dbConcurrentRead, 1048576, 4194304, 65536, 1);
  db.errorHandler = &noteError;
  const std::string name = std::filesystem::path(path).stem().string();
  if (!db.open(name.c_str(), path.c_str())) return 1;
  StoredSchema schema(db);  // outlives the database's use of its descriptors
  int status = 1;
  if (dbTableDescriptor* table = schema.find(argv[1]); table == nullptr) {
    std::fprintf(stderr, "tavro-db: no table %s in %s\n", argv[1], path.c_str());
  } else {
    dbAnyCursor cursor(*table, dbCursorForRead, nullptr);
    const size_t n = cursor.select(argv[2], dbCursorForRead);
    for (bool more = n != 0; more; more = cursor.gotoNext()) {
      std::string line;
      printLevel(line, table->columns, db.getRow(cursor.currentId()), " ");
      std::printf("%s\n", line.c_str());
    }
    std::printf("%zu records\n", n);
    status = errorReported ? 1 : 0;
  }
  db.close();
  return status;
}
