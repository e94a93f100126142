// Storage benchmark: the engine against SQLite on the same work, measured
// side by side in one run. Every commit is durable in both (the engine
// flushes its mapping; SQLite runs with synchronous=FULL).
//
//   storage_bench [rows] [batch]
//
// Phases: insert `rows` records in transactions of `batch`; read every
// record; update `batch` random records per transaction, rows/batch times.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "database.h"

namespace {

class BenchItem {
 public:
  const char* name;
  db_int4 quantity;
  real8 price;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(quantity), FIELD(price)));
};

dbDatabase engine(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);

}  // namespace

REGISTER_IN(BenchItem, &engine);

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
  double insert, scan, update;
};

std::string nameOf(int i) { return "product-" + std::to_string(i); }

Figures runEngine(const std::string& path, int rows, int batch) {
  Figures f{};
  if (!engine.open("bench", path.c_str())) std::exit(1);
  std::vector<oid_t> ids;
  auto start = Clock::now();
  for (int i = 0; i < rows; i++) {
    std::string name = nameOf(i);
    ids.push_back(engine.insert(BenchItem{name.c_str(), i, i * 1.5}).getOid());
    if ((i + 1) % batch == 0) engine.commit();
  }
  engine.commit();
  f.insert = secondsSince(start);

  start = Clock::now();
  engine.beginTransaction(dbDatabase::dbSharedLock);
  long long sum = 0;
  const dbTableDescriptor* table = dbTableOf<BenchItem>();
  for (oid_t id = reinterpret_cast<const dbTable*>(engine.getRow(table->tableId))->firstRow; id != 0;) {
    BenchItem item;
    const db_byte* record = engine.getRow(id);
    table->unpack(&item, record);
    sum += item.quantity;
    id = reinterpret_cast<const dbRecord*>(record)->next;
  }
  engine.commit();
  f.scan = secondsSince(start);
  if (sum != static_cast<long long>(rows) * (rows - 1) / 2) std::fprintf(stderr, "engine scan sum is wrong\n");

  std::mt19937 random(7);
  start = Clock::now();
  for (int t = 0; t < rows / batch; t++) {
    for (int k = 0; k < batch; k++) {
      oid_t id = ids[random() % ids.size()];
      BenchItem item;
      table->unpack(&item, engine.getRow(id));
      item.quantity += 1;
      engine.updateRecord(id, dbTableOf<BenchItem>(), &item);
    }
    engine.commit();
  }
  f.update = secondsSince(start);
  engine.close();
  return f;
}

void exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    std::exit(1);
  }
}

Figures runSqlite(const std::string& path, int rows, int batch) {
  Figures f{};
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  exec(db, "PRAGMA synchronous=FULL");
  exec(db, "CREATE TABLE item(name TEXT, quantity INTEGER, price REAL)");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO item VALUES(?,?,?)", -1, &insert, nullptr);
  auto start = Clock::now();
  exec(db, "BEGIN");
  for (int i = 0; i < rows; i++) {
    std::string name = nameOf(i);
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, i);
    sqlite3_bind_double(insert, 3, i * 1.5);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if ((i + 1) % batch == 0) exec(db, "COMMIT; BEGIN");
  }
  exec(db, "COMMIT");
  f.insert = secondsSince(start);

  sqlite3_stmt* scan = nullptr;
  sqlite3_prepare_v2(db, "SELECT name, quantity, price FROM item", -1, &scan, nullptr);
  start = Clock::now();
  long long sum = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) sum += sqlite3_column_int(scan, 1);
  f.scan = secondsSince(start);
  if (sum != static_cast<long long>(rows) * (rows - 1) / 2) std::fprintf(stderr, "sqlite scan sum is wrong\n");

  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, "UPDATE item SET quantity = quantity + 1 WHERE rowid = ?", -1, &update, nullptr);
  std::mt19937 random(7);
  start = Clock::now();
  for (int t = 0; t < rows / batch; t++) {
    exec(db, "BEGIN");
    for (int k = 0; k < batch; k++) {
      sqlite3_bind_int64(update, 1, static_cast<sqlite3_int64>(random() % rows) + 1);
      sqlite3_step(update);
      sqlite3_reset(update);
    }
    exec(db, "COMMIT");
  }
  f.update = secondsSince(start);
  sqlite3_finalize(insert);
  sqlite3_finalize(scan);
  sqlite3_finalize(update);
  sqlite3_close(db);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int batch = argc > 2 ? std::atoi(argv[2]) : 100;
  std::string pattern = (std::filesystem::temp_directory_path() / "tavro-bench-XXXXXX").string();
  const std::filesystem::path folder = mkdtemp(pattern.data());
  const Figures e = runEngine((folder / "bench.fdb").string(), rows, batch);
  const Figures s = runSqlite((folder / "bench.sqlite").string(), rows, batch);
  std::filesystem::remove_all(folder);

  std::printf("%d rows, %d per transaction (durable commits)\n", rows, batch);
  std::printf("%-8s %14s %14s %10s\n", "phase", "engine rows/s", "sqlite rows/s", "ratio");
  auto line = [&](const char* phase, double engineSeconds, double sqliteSeconds) {
    std::printf("%-8s %14.0f %14.0f %9.2fx\n", phase, rows / engineSeconds, rows / sqliteSeconds,
                sqliteSeconds / engineSeconds);
  };
  line("insert", e.insert, s.insert);
  line("scan", e.scan, s.scan);
  line("update", e.update, s.update);
  return 0;
}
