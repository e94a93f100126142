// Storage rates of the engine beside SQLite on the same records, in one run:
// bulk inserts, bulk updates that change record sizes, small transactions of
// one update each (commit cost), reading every record, and bulk removals.
// SQLite runs with journal_mode=WAL and synchronous=FULL, both files in the
// same folder.
//
//   bench_storage [records] [folder]
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "database.h"

namespace {

class BenchItem {
 public:
  db_int4 code = 0;
  db_int4 quantity = 0;
  db_int8 price = 0;
  const char* name = "";
  const char* note = "";

  TYPE_DESCRIPTOR((FIELD(code), FIELD(quantity), FIELD(price), FIELD(name), FIELD(note)));
};

// The records both stores hold: short names, notes of varying length.
struct Values {
  int code;
  int quantity;
  long long price;
  std::string name;
  std::string note;
};

std::vector<Values> makeValues(size_t n, unsigned seed, size_t noteLength) {
  std::mt19937 rng(seed);
  auto text = [&](size_t length) {
    std::string s(length, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
  };
  std::vector<Values> values;
  values.reserve(n);
  for (size_t i = 0; i < n; i++) {
    values.push_back({static_cast<int>(rng() % 1000000), static_cast<int>(rng() % 1000),
                      static_cast<long long>(rng()) * 100, text(8 + rng() % 16), text(noteLength / 2 + rng() % noteLength)});
  }
  return values;
}

BenchItem view(const Values& v) {
  BenchItem item;
  item.code = v.code;
  item.quantity = v.quantity;
  item.price = v.price;
  item.name = v.name.c_str();
  item.note = v.note.c_str();
  return item;
}

double seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bench_storage: %s\n", what);
  std::exit(1);
}

// ---------------------------------------------------------------------------

class EngineStore {
 public:
  explicit EngineStore(const std::string& path) : db(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1) {
    if (!db.open("bench", path.c_str())) die("cannot open the engine's database");
  }
  ~EngineStore() { db.close(); }

  void insertAll(const std::vector<Values>& values) {
    for (const Values& v : values) {
      BenchItem item = view(v);
      ids.push_back(db.insert(item).getOid());
    }
    db.commit();
  }
  void update(size_t i, const Values& v) {
    BenchItem item = view(v);
    db.updateRecord(ids[i], &BenchItem::dbDescriptor, &item);
  }
  void commit() { db.commit(); }
  long long readAll() {
    db.beginTransaction(dbDatabase::dbSharedLock);
    long long sum = 0;
    const auto* table = reinterpret_cast<const dbTable*>(db.getRow(BenchItem::dbDescriptor.tableId));
    for (oid_t id = table->firstRow; id != 0;) {
      const db_byte* row = db.getRow(id);
      BenchItem item;
      BenchItem::dbDescriptor.unpack(&item, row);
      sum += item.code + item.quantity + item.price + static_cast<long long>(std::strlen(item.name) + std::strlen(item.note));
      id = reinterpret_cast<const dbRecord*>(row)->next;
    }
    db.commit();
    return sum;
  }
  void removeAll() {
    for (oid_t id : ids) db.removeRecord(&BenchItem::dbDescriptor, id);
    db.commit();
  }

 private:
  dbDatabase db;
  std::vector<oid_t> ids;
};

class SqliteStore {
 public:
  explicit SqliteStore(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("cannot open the SQLite database");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("CREATE TABLE item(id INTEGER PRIMARY KEY, code INTEGER, quantity INTEGER, price INTEGER, name TEXT, note TEXT)");
    insertStmt = prepare("INSERT INTO item(code, quantity, price, name, note) VALUES(?, ?, ?, ?, ?)");
    updateStmt = prepare("UPDATE item SET code=?, quantity=?, price=?, name=?, note=? WHERE id=?");
    selectStmt = prepare("SELECT code, quantity, price, name, note FROM item");
    deleteStmt = prepare("DELETE FROM item WHERE id=?");
  }
  ~SqliteStore() {
    for (sqlite3_stmt* s : {insertStmt, updateStmt, selectStmt, deleteStmt}) sqlite3_finalize(s);
    sqlite3_close(db);
  }

  void insertAll(const std::vector<Values>& values) {
    exec("BEGIN");
    for (const Values& v : values) {
      bindValues(insertStmt, v);
      step(insertStmt);
      ids.push_back(sqlite3_last_insert_rowid(db));
    }
    exec("COMMIT");
  }
  void begin() { exec("BEGIN"); }
  void update(size_t i, const Values& v) {
    bindValues(updateStmt, v);
    sqlite3_bind_int64(updateStmt, 6, ids[i]);
    step(updateStmt);
  }
  void commit() { exec("COMMIT"); }
  long long readAll() {
    exec("BEGIN");
    long long sum = 0;
    while (sqlite3_step(selectStmt) == SQLITE_ROW) {
      sum += sqlite3_column_int(selectStmt, 0) + sqlite3_column_int(selectStmt, 1) + sqlite3_column_int64(selectStmt, 2);
      sum += static_cast<long long>(std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(selectStmt, 3))));
      sum += static_cast<long long>(std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(selectStmt, 4))));
    }
    sqlite3_reset(selectStmt);
    exec("COMMIT");
    return sum;
  }
  void removeAll() {
    exec("BEGIN");
    for (long long id : ids) {
      sqlite3_bind_int64(deleteStmt, 1, id);
      step(deleteStmt);
    }
    exec("COMMIT");
  }

 private:
  void exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) die(error ? error : sql);
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) die(sqlite3_errmsg(db));
    return stmt;
  }
  void bindValues(sqlite3_stmt* stmt, const Values& v) {
    sqlite3_bind_int(stmt, 1, v.code);
    sqlite3_bind_int(stmt, 2, v.quantity);
    sqlite3_bind_int64(stmt, 3, v.price);
    sqlite3_bind_text(stmt, 4, v.name.c_str(), static_cast<int>(v.name.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 5, v.note.c_str(), static_cast<int>(v.note.size()), SQLITE_STATIC);
  }
  void step(sqlite3_stmt* stmt) {
    if (sqlite3_step(stmt) != SQLITE_DONE) die(sqlite3_errmsg(db));
    sqlite3_reset(stmt);
  }

  sqlite3* db = nullptr;
  sqlite3_stmt* insertStmt = nullptr;
  sqlite3_stmt* updateStmt = nullptr;
  sqlite3_stmt* selectStmt = nullptr;
  sqlite3_stmt* deleteStmt = nullptr;
  std::vector<long long> ids;
};

void printLine(const char* what, double operations, double oursSeconds, double sqliteSeconds) {
  const double ours = operations / oursSeconds;
  const double theirs = operations / sqliteSeconds;
  std::printf("%-48s %14.0f %14.0f %8.2f\n", what, ours, theirs, ours / theirs);
}

}  // namespace

REGISTER(BenchItem);

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  std::filesystem::path parent = argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  std::string pattern = (parent / "tavro-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) die("cannot make a scratch folder");
  const std::filesystem::path folder = pattern;
  const size_t smallTransactions = std::min<size_t>(1000, n);
  const int readPasses = 20;
  constexpr size_t kBlock = 50;

  const std::vector<Values> inserted = makeValues(n, 1, 64);
  const std::vector<Values> updated = makeValues(n, 2, 160);  // longer notes: records move
  const std::vector<Values> single = makeValues(smallTransactions, 3, 64);
  long long checksum = 0;
  {
    EngineStore ours((folder / "bench.fdb").string());
    SqliteStore sqlite((folder / "bench.sqlite").string());

    std::printf("%zu records of 3 numbers and 2 strings, in %s\n", n, folder.c_str());
    std::printf("%-48s %14s %14s %8s\n", "operations per second", "engine", "sqlite", "ratio");

    char line[96];
    std::snprintf(line, sizeof line, "insert, %zu in one transaction", n);
    printLine(line, double(n), seconds([&] { ours.insertAll(inserted); }), seconds([&] { sqlite.insertAll(inserted); }));

    std::snprintf(line, sizeof line, "update (records grow), %zu in one transaction", n);
    double oursUpdate = seconds([&] {
      for (size_t i = 0; i < n; i++) ours.update(i, updated[i]);
      ours.commit();
    });
    double sqliteUpdate = seconds([&] {
      sqlite.begin();
      for (size_t i = 0; i < n; i++) sqlite.update(i, updated[i]);
      sqlite.commit();
    });
    printLine(line, double(n), oursUpdate, sqliteUpdate);

    // Small transactions and reads alternate between the stores in blocks,
    // so that a change in the machine's load or the disk's latency during
    // the run weighs on both sides alike.
    std::snprintf(line, sizeof line, "commit, %zu transactions of one update", smallTransactions);
    double oursCommits = 0;
    double sqliteCommits = 0;
    for (size_t block = 0; block < smallTransactions; block += kBlock) {
      const size_t end = std::min(smallTransactions, block + kBlock);
      oursCommits += seconds([&] {
        for (size_t i = block; i < end; i++) {
          ours.update(i * (n / smallTransactions), single[i]);
          ours.commit();
        }
      });
      sqliteCommits += seconds([&] {
        for (size_t i = block; i < end; i++) {
          sqlite.begin();
          sqlite.update(i * (n / smallTransactions), single[i]);
          sqlite.commit();
        }
      });
    }
    printLine(line, double(smallTransactions), oursCommits, sqliteCommits);

    std::snprintf(line, sizeof line, "read every record (%d passes, records/s)", readPasses);
    double oursRead = 0;
    double sqliteRead = 0;
    for (int pass = 0; pass < readPasses; pass++) {
      oursRead += seconds([&] { checksum += ours.readAll(); });
      sqliteRead += seconds([&] { checksum -= sqlite.readAll(); });
    }
    printLine(line, double(n) * readPasses, oursRead, sqliteRead);

    std::snprintf(line, sizeof line, "remove, %zu in one transaction", n);
    printLine(line, double(n), seconds([&] { ours.removeAll(); }), seconds([&] { sqlite.removeAll(); }));
  }
  std::printf("(ratio: engine rate / sqlite rate)\n");
  if (checksum != 0) std::printf("the two stores read different records!\n");
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
