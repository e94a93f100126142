// tavro-db: administration of a database file.
//
//   tavro-db create FILE   a new database holding nothing but the Metatable
//   tavro-db info FILE     header, roots, and each table with its fields
//   tavro-db check FILE    integrity of the committed state; exit 1 on faults
//
// info and check map the file read-only and never change it, even a dirty
// one: they read the committed root.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "check.h"
#include "database.h"

namespace {

const char* typeName(int type) {
  static const char* const names[] = {"bool",   "int1",      "int2",      "int4",      "int8",      "real4",
                                      "real8",  "string",    "reference", "array",     "method",    "method",
                                      "method", "method",    "method",    "method",    "method",    "method",
                                      "method", "structure", "rawBinary", "?",         "unknown"};
  return type >= 0 && type <= dbField::tpUnknown ? names[type] : "?";
}

int usage() {
  std::fputs("usage: tavro-db create FILE | info FILE | check FILE\n", stderr);
  return 2;
}

int create(const std::string& path) {
  if (std::filesystem::exists(path)) {
    std::fprintf(stderr, "tavro-db: %s already exists\n", path.c_str());
    return 1;
  }
  dbDatabase db(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
  const std::string name = std::filesystem::path(path).stem().string();
  if (!db.open(name.c_str(), path.c_str())) return 1;
  db.close();
  return 0;
}

// The file mapped read-only, or a message on standard error.
bool mapReadOnly(const std::string& path, dbMappedFile& file) {
  int code = file.open(path, true, 0);
  if (code != 0) {
    std::fprintf(stderr, "tavro-db: %s: %s\n", path.c_str(), dbFile::errorText(code).c_str());
    return false;
  }
  return true;
}

void printFields(const db_byte* record) {
  const auto* table = reinterpret_cast<const dbTable*>(record);
  for (size_t i = 0; i < table->fields.size; i++) {
    const db_byte* entry = record + table->fields.offs + i * sizeof(dbField);
    dbField field;
    std::memcpy(&field, entry, sizeof field);
    const char* refTable = reinterpret_cast<const char*>(entry + field.tableName.offs);
    std::printf("    %-28s %-10s offset %4d size %4d%s%s%s%s\n", reinterpret_cast<const char*>(entry + field.name.offs),
                typeName(field.type), field.offset, field.size, *refTable ? " -> " : "", refTable,
                field.hashTable ? " hashed" : "", field.tTree ? " indexed" : "");
  }
}

int info(const std::string& path) {
  dbMappedFile file;
  if (!mapReadOnly(path, file)) return 1;
  const std::vector<std::string> faults = dbCheckImage(file.getBase(), file.getSize());
  // The description walk below trusts what the check verifies.
  if (!faults.empty()) {
    for (const std::string& fault : faults) std::printf("fault: %s\n", fault.c_str());
    return 1;
  }
  const auto* header = reinterpret_cast<const dbHeader*>(file.getBase());
  std::printf("file %s: %zu bytes, format %d.%d\n", path.c_str(), file.getSize(), header->formatMajor, header->formatMinor);
  std::printf("header: size %u, currentRoot %d, dirty %d, initialized %d\n", header->size, header->currentRoot,
              header->dirty, header->initialized);
  for (int r = 0; r < 2; r++) {
    const dbHeader::dbRoot& root = header->root[r];
    std::printf("root %d%s: index at %u (capacity %u), shadow at %u (capacity %u), %u ids used, free list %u\n", r,
                r == header->currentRoot ? " (committed)" : "", root.indexOffset, root.indexCapacity,
                root.shadowIndexOffset, root.shadowIndexCapacity, root.indexUsed, root.freeList);
  }
  const db_byte* base = file.getBase();
  const auto* index = reinterpret_cast<const offs_t*>(base + header->root[header->currentRoot].indexOffset);
  auto show = [&](oid_t id) {
    const db_byte* record = base + index[id];
    const auto* table = reinterpret_cast<const dbTable*>(record);
    std::printf("table %s (id %u): fixed size %u, %u rows, %u columns, %u fields\n",
                reinterpret_cast<const char*>(record + table->name.offs), id, table->fixedSize, table->nRows,
                table->nColumns, table->fields.size);
    printFields(record);
    return table;
  };
  const dbTable* metatable = show(MetatableId);
  for (oid_t id = metatable->firstRow; id != 0;) {
    const dbTable* table = show(id);
    if (id == metatable->lastRow) break;
    id = table->next;
  }
  return 0;
}

int check(const std::string& path) {
  dbMappedFile file;
  if (!mapReadOnly(path, file)) return 1;
  const std::vector<std::string> faults = dbCheckImage(file.getBase(), file.getSize());
  for (const std::string& fault : faults) std::printf("fault: %s\n", fault.c_str());
  if (faults.empty()) std::printf("%s: ok\n", path.c_str());
  return faults.empty() ? 0 : 1;
}

}  // namespace

// tavro-db query FILE TABLE 'condition' (query_command.cpp).
int tavroDbQuery(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "query") == 0) return tavroDbQuery(argc - 2, argv + 2);
  if (argc != 3) return usage();
  const std::string command = argv[1];
  if (command == "create") return create(argv[2]);
  if (command == "info") return info(argv[2]);
  if (command == "check") return check(argv[2]);
  return usage();
}
