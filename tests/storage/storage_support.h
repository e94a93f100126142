// Shared helpers of the storage tests: a scratch folder, a database that
// shows its internals, raw tables of raw rows, and the integrity check.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check.h"
#include "database.h"

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-storage-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::filesystem::path path;
};

// A database whose internals the tests may read.
class TestDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::monitor;
  using dbDatabase::pageFreeHint;
  const offs_t* committedIndex() const { return index[header->currentRoot]; }
  const offs_t* workingIndex() const { return currIndex; }
};

// The program's parameters.
inline TestDatabase* makeProgramDatabase() {
  return new TestDatabase(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
}

inline std::vector<char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The faults of the committed state of a file on disk.
inline std::vector<std::string> checkFile(const std::string& path) {
  std::vector<char> bytes = readFile(path);
  return dbCheckImage(reinterpret_cast<const db_byte*>(bytes.data()), bytes.size());
}

#define EXPECT_SOUND(db) EXPECT_EQ(dbCheckDatabase(db), std::vector<std::string>{})
#define EXPECT_FILE_SOUND(path) EXPECT_EQ(checkFile(path), std::vector<std::string>{})

// A table described by hand (no fields) and rows of raw bytes, for tests of
// the storage below the table descriptors. Runs in the caller's transaction.
inline oid_t createRawTable(dbDatabase& db, const char* name) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  const size_t nameSize = std::strlen(name) + 1;
  const size_t size = sizeof(dbTable) + nameSize;
  oid_t id = db.createRow(MetatableId, size);
  auto* table = reinterpret_cast<dbTable*>(db.writableRecord(id));
  table->name = {static_cast<db_nat4>(nameSize), static_cast<db_nat4>(sizeof(dbTable))};
  table->fields = {0, static_cast<db_nat4>(sizeof(dbTable))};
  table->fixedSize = sizeof(dbRecord);
  table->nRows = table->nColumns = 0;
  table->firstRow = table->lastRow = 0;
  std::memcpy(reinterpret_cast<db_byte*>(table) + sizeof(dbTable), name, nameSize);
  return id;
}

// Appends a row holding `payload` (after the record header).
inline oid_t addRawRow(dbDatabase& db, oid_t table, const std::string& payload) {
  db.beginTransaction(dbDatabase::dbExclusiveLock);
  oid_t id = db.createRow(table, sizeof(dbRecord) + payload.size());
  std::memcpy(db.getRow(id) + sizeof(dbRecord), payload.data(), payload.size());
  return id;
}

inline std::string rawPayload(const dbDatabase& db, oid_t id) {
  const db_byte* record = db.getRow(id);
  size_t size = reinterpret_cast<const dbRecord*>(record)->size;
  return std::string(reinterpret_cast<const char*>(record) + sizeof(dbRecord), size - sizeof(dbRecord));
}

// The payloads of a raw table's rows, in list order.
inline std::vector<std::string> rawRows(dbDatabase& db, oid_t table) {
  db.beginTransaction(dbDatabase::dbSharedLock);
  std::vector<std::string> rows;
  for (oid_t id = reinterpret_cast<const dbTable*>(db.getRow(table))->firstRow; id != 0;
       id = reinterpret_cast<const dbRecord*>(db.getRow(id))->next) {
    rows.push_back(rawPayload(db, id));
  }
  return rows;
}

// Messages reported through the error handler since the last clear.
inline std::vector<std::string>& reportedErrors() {
  static std::vector<std::string> errors;
  return errors;
}

inline void recordError(int, const char* message, int) { reportedErrors().push_back(message ? message : ""); }
