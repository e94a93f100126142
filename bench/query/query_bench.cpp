// Query benchmark: the engine's selects against SQLite's on the same rows,
// measured side by side in one run, without and with the fitting index.
//
//   query_bench [rows...]      (default: 10000 100000)
//
// Queries: equality on a string field (hash table), a LIKE '%x%' scan, a
// range on an integer field (T-tree), ORDER BY a string field descending
// (T-tree). Each query walks its whole result in both systems. Rates are
// queries per second; the ratio is the engine's rate over SQLite's.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cursor.h"

namespace {

#define QUERY_BENCH_ROW(Name, NAME_FLAGS, NUM_FLAGS)                                      \
  struct Name {                                                                          \
    const char* name;                                                                    \
    db_int4 num;                                                                         \
    TYPE_DESCRIPTOR((KEY(name, NAME_FLAGS), KEY(num, NUM_FLAGS)));                       \
  }

QUERY_BENCH_ROW(PlainRow, 0, 0);
QUERY_BENCH_ROW(IndexedRow, HASHED | INDEXED, INDEXED);

dbDatabase engine(dbDatabase::dbAllAccess, 16 * 1048576, 16 * 1048576, 1 << 20, 1);

}  // namespace

REGISTER_IN(PlainRow, &engine);
REGISTER_IN(IndexedRow, &engine);

namespace {

using Clock = std::chrono::steady_clock;

// Runs `query` `times` times; returns queries per second.
double rate(int times, const std::function<void(int)>& query) {
  auto start = Clock::now();
  for (int i = 0; i < times; i++) query(i);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return times / seconds;
}

std::string nameOf(uint32_t k) {
  static const char* const syllables[] = {"ka", "lo", "mi", "xu", "te", "\xA4\xA4", "ra", "po"};
  std::string s;
  for (int i = 0; i < 6; i++, k /= 8) s += syllables[k % 8];
  return s;
}

template <class T>
size_t engineCount(const char* condition) {
  dbAnyCursor cursor(*dbTableOf<T>(), dbCursorForRead, nullptr);
  size_t n = 0;
  for (bool more = cursor.select(condition, dbCursorForRead) != 0; more; more = cursor.gotoNext()) n++;
  engine.commit();
  return n;
}

size_t sqliteCount(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  size_t n = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    sqlite3_column_int(stmt, 0);
    n++;
  }
  sqlite3_finalize(stmt);
  return n;
}

void exec(sqlite3* db, const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

void load(size_t rows, sqlite3* lite) {
  dbCursor<PlainRow> plain(dbCursorForUpdate);
  dbCursor<IndexedRow> indexed(dbCursorForUpdate);
  for (dbAnyCursor* cursor : {static_cast<dbAnyCursor*>(&plain), static_cast<dbAnyCursor*>(&indexed)}) {
    cursor->select();
    cursor->removeAllSelected();
  }
  exec(lite, "DELETE FROM plain; DELETE FROM indexed; BEGIN");
  sqlite3_stmt* insertPlain = nullptr;
  sqlite3_stmt* insertIndexed = nullptr;
  sqlite3_prepare_v2(lite, "INSERT INTO plain VALUES (?, ?)", -1, &insertPlain, nullptr);
  sqlite3_prepare_v2(lite, "INSERT INTO indexed VALUES (?, ?)", -1, &insertIndexed, nullptr);
  std::mt19937 random(1);
  for (size_t i = 0; i < rows; i++) {
    std::string name = nameOf(random());
    int num = static_cast<int>(random() % 1000000);
    engine.insert(PlainRow{name.c_str(), num});
    engine.insert(IndexedRow{name.c_str(), num});
    for (sqlite3_stmt* insert : {insertPlain, insertIndexed}) {
      sqlite3_bind_blob(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 2, num);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
  }
  sqlite3_finalize(insertPlain);
  sqlite3_finalize(insertIndexed);
  exec(lite, "COMMIT");
  engine.commit();
}

std::string hexOf(const std::string& bytes) {
  std::string hex;
  char buf[3];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    hex += buf;
  }
  return hex;
}

void report(const char* query, size_t rows, const char* index, double ours, double theirs) {
  std::printf("%-26s %7zu rows  %-9s engine %10.1f/s  sqlite %10.1f/s  ratio %6.2f\n", query, rows, index, ours,
              theirs, ours / theirs);
}

void benchmark(size_t rows, sqlite3* lite) {
  load(rows, lite);
  std::mt19937 random(2);
  std::vector<std::string> keys;
  for (int i = 0; i < 1000; i++) keys.push_back(nameOf(random()));
  const int scans = rows >= 100000 ? 5 : 30;

  auto equality = [&](auto table, const char* sqlTable, int times, const char* index) {
    using T = decltype(table);
    double ours = rate(times, [&](int i) {
      std::string condition = "name = '" + keys[i % keys.size()] + "'";
      engineCount<T>(condition.c_str());
    });
    double theirs = rate(times, [&](int i) {
      sqliteCount(lite, std::string("SELECT num FROM ") + sqlTable + " WHERE name = X'" + hexOf(keys[i % keys.size()]) + "'");
    });
    report("name = 'k'", rows, index, ours, theirs);
  };
  equality(PlainRow{}, "plain", scans, "no index");
  equality(IndexedRow{}, "indexed", 5000, "hash");

  double ours = rate(scans, [&](int) { engineCount<PlainRow>("name like '%xu%'"); });
  double theirs = rate(scans, [&](int) {
    sqliteCount(lite, "SELECT num FROM plain WHERE CAST(name AS TEXT) LIKE '%xu%'");
  });
  report("name like '%xu%'", rows, "no index", ours, theirs);

  auto range = [&](auto table, const char* sqlTable, int times, const char* index) {
    using T = decltype(table);
    double ours = rate(times, [&](int i) {
      std::string condition = "num between " + std::to_string(i * 977 % 990000) + " and " +
                              std::to_string(i * 977 % 990000 + 10000);
      engineCount<T>(condition.c_str());
    });
    double theirs = rate(times, [&](int i) {
      sqliteCount(lite, std::string("SELECT num FROM ") + sqlTable + " WHERE num BETWEEN " +
                            std::to_string(i * 977 % 990000) + " AND " + std::to_string(i * 977 % 990000 + 10000));
    });
    report("num between (1%)", rows, index, ours, theirs);
  };
  range(PlainRow{}, "plain", scans, "no index");
  range(IndexedRow{}, "indexed", 500, "t-tree");

  auto order = [&](auto table, const char* sqlTable, const char* index) {
    using T = decltype(table);
    double ours = rate(scans, [&](int) { engineCount<T>("order by name desc"); });
    double theirs = rate(scans, [&](int) {
      sqliteCount(lite, std::string("SELECT num FROM ") + sqlTable + " ORDER BY name DESC");
    });
    report("order by name desc", rows, index, ours, theirs);
  };
  order(PlainRow{}, "plain", "no index");
  order(IndexedRow{}, "indexed", "t-tree");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; i++) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {10000, 100000};
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "tavro-query-bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  if (!engine.open("querybench", (folder / "querybench.fdb").c_str())) return 1;
  sqlite3* lite = nullptr;
  sqlite3_open(":memory:", &lite);
  exec(lite, "CREATE TABLE plain (name BLOB, num INTEGER); CREATE TABLE indexed (name BLOB, num INTEGER);"
             "CREATE INDEX indexed_name ON indexed(name); CREATE INDEX indexed_num ON indexed(num)");
  for (size_t rows : sizes) benchmark(rows, lite);
  sqlite3_close(lite);
  engine.close();
  std::filesystem::remove_all(folder);
  return 0;
}
