// Crash rounds on one database file: a child process runs random
// transactions and tells the parent, through a pipe, each transaction it is
// about to commit and each commit that returned; the child then dies (killed,
// or cut off by a simulated power loss) and the parent checks what the file
// holds against what it was told.
//
// Shared by the crash and the power-loss tests. Each program registers the
// record class once: REGISTER(CrashItem).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "database.h"

// The record the rounds store: a few numbers and two strings of very
// different lengths, so that updates move records and the file grows.
class CrashItem {
 public:
  db_int4 code = 0;
  db_int4 quantity = 0;
  db_int8 price = 0;
  const char* name = "";
  const char* note = "";

  TYPE_DESCRIPTOR((FIELD(code), FIELD(quantity), FIELD(price), FIELD(name), FIELD(note)));
};

// A stored item as plain values.
struct ItemValue {
  int code = 0;
  int quantity = 0;
  long long price = 0;
  std::string name;
  std::string note;

  bool operator==(const ItemValue&) const = default;

  static ItemValue of(const CrashItem& item) {
    return {item.code, item.quantity, item.price, item.name, item.note};
  }
  CrashItem view() const {
    CrashItem item;
    item.code = code;
    item.quantity = quantity;
    item.price = price;
    item.name = name.c_str();
    item.note = note.c_str();
    return item;
  }
};

using ItemTable = std::map<oid_t, ItemValue>;

// The changes of one transaction, in order: a value written to an id, or the
// id removed (no value).
using ItemChanges = std::vector<std::pair<oid_t, std::optional<ItemValue>>>;

inline ItemTable applied(ItemTable table, const ItemChanges& changes) {
  for (const auto& [id, value] : changes) {
    if (value) {
      table[id] = *value;
    } else {
      table.erase(id);
    }
  }
  return table;
}

// A short account of how two tables differ, for failure messages.
inline std::string describeDifference(const ItemTable& found, const ItemTable& expected) {
  std::ostringstream out;
  out << found.size() << " items where " << expected.size() << " were expected";
  for (const auto& [id, value] : expected) {
    auto it = found.find(id);
    if (it == found.end()) {
      out << "; first missing id " << id;
      return out.str();
    }
    if (!(it->second == value)) {
      out << "; id " << id << " holds code " << it->second.code << " name length " << it->second.name.size()
          << " instead of code " << value.code << " name length " << value.name.size();
      return out.str();
    }
  }
  for (const auto& [id, value] : found) {
    if (!expected.count(id)) {
      out << "; unexpected id " << id;
      break;
    }
  }
  return out.str();
}

// ---------------------------------------------------------------------------
// Reading the items.

// The items of the committed state of a file image (which dbCheckImage found
// sound). A file without the item table holds no items.
inline ItemTable committedItems(const db_byte* image, size_t size) {
  const auto* header = reinterpret_cast<const dbHeader*>(image);
  const dbHeader::dbRoot& root = header->root[header->currentRoot];
  const auto* index = reinterpret_cast<const offs_t*>(image + root.indexOffset);
  auto record = [&](oid_t id) -> const db_byte* {
    if (id == 0 || id >= root.indexUsed) return nullptr;
    offs_t entry = index[id];
    if ((entry & (dbFreeHandleMarker | dbInternalObjectMarker)) != 0 || entry + sizeof(dbRecord) > size) return nullptr;
    return image + entry;
  };
  ItemTable items;
  const auto* metatable = reinterpret_cast<const dbTable*>(record(MetatableId));
  oid_t tableId = metatable->firstRow;
  for (size_t n = 0; tableId != 0 && n <= metatable->nRows; n++) {
    const auto* table = reinterpret_cast<const dbTable*>(record(tableId));
    const char* name = reinterpret_cast<const char*>(table) + table->name.offs;
    if (std::strcmp(name, "CrashItem") == 0) break;
    tableId = table->next;
  }
  if (tableId == 0) return items;
  const auto* table = reinterpret_cast<const dbTable*>(record(tableId));
  oid_t id = table->firstRow;
  for (size_t n = 0; id != 0 && n <= table->nRows; n++) {
    const db_byte* row = record(id);
    if (row == nullptr) break;
    CrashItem item;
    CrashItem::dbDescriptor.unpack(&item, row);
    items[id] = ItemValue::of(item);
    id = reinterpret_cast<const dbRecord*>(row)->next;
  }
  return items;
}

inline std::vector<db_byte> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The items the calling thread sees in its own transaction (shared lock
// taken if it holds none).
inline ItemTable visibleItems(dbDatabase& db) {
  db.beginTransaction(dbDatabase::dbSharedLock);
  ItemTable items;
  const auto* table = reinterpret_cast<const dbTable*>(db.getRow(CrashItem::dbDescriptor.tableId));
  for (oid_t id = table->firstRow; id != 0; id = reinterpret_cast<const dbRecord*>(db.getRow(id))->next) {
    CrashItem item;
    CrashItem::dbDescriptor.unpack(&item, db.getRow(id));
    items[id] = ItemValue::of(item);
  }
  return items;
}

// Database parameters of the rounds: a small first index (9216 entries) and
// a small extension step, so that the object index and the file grow within
// a few hundred transactions.
inline std::unique_ptr<dbDatabase> makeCrashDatabase() {
  return std::make_unique<dbDatabase>(dbDatabase::dbAllAccess, 0, 65536, 0, 1);
}

// ---------------------------------------------------------------------------
// The channel from child to parent: text lines.
//   O                      the database is open and showed the expected items
//   T / U id fields / D id / E   a transaction about to be committed
//   C                      that commit returned
//   X text                 the child found a fault and stops

inline void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(5);
    done += static_cast<size_t>(n);
  }
}

inline std::string encodeChanges(const ItemChanges& changes) {
  std::string text = "T\n";
  for (const auto& [id, value] : changes) {
    if (value) {
      text += "U " + std::to_string(id) + ' ' + std::to_string(value->code) + ' ' + std::to_string(value->quantity) +
              ' ' + std::to_string(value->price) + ' ' + value->name + ' ' + value->note + '\n';
    } else {
      text += "D " + std::to_string(id) + '\n';
    }
  }
  return text + "E\n";
}

// What the parent learnt from one child.
struct ChildReport {
  ItemTable committed;                 // after the last commit the child saw return
  std::optional<ItemChanges> pending;  // a commit that began and was not reported
  bool opened = false;
  int commits = 0;
  std::string fault;  // the child's X line
};

// Builds a ChildReport from the channel's bytes as they arrive; a line cut
// off by the child's death is ignored.
class ReportReader {
 public:
  explicit ReportReader(ItemTable start) { report.committed = std::move(start); }

  void feed(const char* data, size_t n) {
    buffer.append(data, n);
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      line(buffer.substr(0, end));
      buffer.erase(0, end + 1);
    }
  }
  const ChildReport& result() const { return report; }

 private:
  void line(const std::string& text) {
    std::istringstream in(text);
    char kind = 0;
    in >> kind;
    switch (kind) {
      case 'O':
        report.opened = true;
        break;
      case 'T':
        building.clear();
        report.pending.reset();
        break;
      case 'U': {
        oid_t id;
        ItemValue value;
        in >> id >> value.code >> value.quantity >> value.price >> value.name >> value.note;
        building.emplace_back(id, value);
        break;
      }
      case 'D': {
        oid_t id;
        in >> id;
        building.emplace_back(id, std::nullopt);
        break;
      }
      case 'E':
        report.pending = building;
        break;
      case 'C':
        if (report.pending) report.committed = applied(report.committed, *report.pending);
        report.pending.reset();
        report.commits++;
        break;
      case 'X':
        report.fault = text.substr(text.size() > 2 ? 2 : text.size());
        break;
    }
  }

  ChildReport report;
  ItemChanges building;
  std::string buffer;
};

// ---------------------------------------------------------------------------
// The child.

// Random transactions over the item table, mirrored in `items`.
class RandomTransactions {
 public:
  RandomTransactions(dbDatabase& database, ItemTable start, uint64_t seed, int channel)
      : db(database), items(std::move(start)), rng(seed), fd(channel) {}

  [[noreturn]] void runForever() {
    for (;;) runOne();
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

  std::string randomText() {
    size_t length;
    int kind = static_cast<int>(pick(100));
    if (kind < 70) {
      length = 1 + pick(40);
    } else if (kind < 95) {
      length = 40 + pick(400);
    } else {
      length = 400 + pick(6000);
    }
    std::string text(length, 'a');
    for (char& c : text) c = static_cast<char>('a' + pick(26));
    return text;
  }

  ItemValue randomValue() {
    return {static_cast<int>(pick(1000000)), static_cast<int>(pick(1000)), static_cast<long long>(pick(1u << 30)) << 8,
            randomText(), randomText()};
  }

  oid_t randomId(const ItemTable& table) { return std::next(table.begin(), static_cast<long>(pick(table.size())))->first; }

  // One change: inserts dominate while the table is small, removals once it
  // is large, so the table keeps a few hundred to two thousand rows. `undo`
  // receives what the id held before.
  void change(ItemChanges& changes, ItemChanges& undo) {
    int insertShare = items.size() < 300 ? 80 : items.size() > 2000 ? 20 : 45;
    int roll = static_cast<int>(pick(100));
    if (items.empty() || roll < insertShare) {
      ItemValue value = randomValue();
      CrashItem item = value.view();
      oid_t id = db.insert(item).getOid();
      undo.emplace_back(id, std::nullopt);
      items[id] = value;
      changes.emplace_back(id, value);
    } else if (roll < insertShare + (100 - insertShare) / 2) {
      oid_t id = randomId(items);
      ItemValue value = randomValue();
      CrashItem item = value.view();
      db.updateRecord(id, &CrashItem::dbDescriptor, &item);
      undo.emplace_back(id, items[id]);
      items[id] = value;
      changes.emplace_back(id, value);
    } else {
      oid_t id = randomId(items);
      db.removeRecord(&CrashItem::dbDescriptor, id);
      undo.emplace_back(id, items[id]);
      items.erase(id);
      changes.emplace_back(id, std::nullopt);
    }
  }

  void runOne() {
    ItemChanges changes;
    ItemChanges undo;
    const size_t count = chance(10) ? 50 + pick(250) : 1 + pick(12);
    for (size_t i = 0; i < count; i++) change(changes, undo);
    if (chance(10)) {
      db.rollback();
      std::reverse(undo.begin(), undo.end());
      items = applied(std::move(items), undo);
      ItemTable seen = visibleItems(db);
      db.commit();
      if (seen != items) fail("rollback left " + describeDifference(seen, items));
      return;
    }
    writeAll(fd, encodeChanges(changes));
    db.commit();
    writeAll(fd, "C\n");
  }

  [[noreturn]] void fail(const std::string& text) {
    writeAll(fd, "X " + text + "\n");
    _exit(3);
  }

  dbDatabase& db;
  ItemTable items;
  std::mt19937_64 rng;
  int fd;
};

inline int& childChannel() {
  static int fd = -1;
  return fd;
}

// Engine errors in the child go to the parent before the engine ends it.
inline void reportEngineError(int errorClass, const char* message, int argument) {
  writeAll(childChannel(), "X engine error " + std::to_string(errorClass) + ": " + (message ? message : "") + " (" +
                               std::to_string(argument) + ")\n");
}

// The child's whole life: open `path` (through `file` when given), check that
// it shows `expected`, then run transactions until it dies.
[[noreturn]] inline void childMain(const std::string& path, const ItemTable& expected, uint64_t seed, int fd,
                                   std::unique_ptr<dbFile> file) {
  childChannel() = fd;
  auto db = makeCrashDatabase();
  db->errorHandler = reportEngineError;
  if (file) db->useFile(std::move(file));
  if (!db->open("crash", path.c_str())) {
    writeAll(fd, "X open failed\n");
    _exit(3);
  }
  ItemTable seen = visibleItems(*db);
  db->commit();
  if (seen != expected) {
    writeAll(fd, "X after open: " + describeDifference(seen, expected) + "\n");
    _exit(3);
  }
  writeAll(fd, "O\n");
  RandomTransactions(*db, expected, seed, fd).runForever();
}

// ---------------------------------------------------------------------------
// The parent.

// A running child and the read end of its channel.
class ChildProcess {
 public:
  // Forks a child that runs `body` with the write end of the channel.
  explicit ChildProcess(const std::function<void(int)>& body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid < 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return;
    }
    if (pid == 0) {
      ::close(fds[0]);
      body(fds[1]);
      _exit(0);
    }
    ::close(fds[1]);
    fd = fds[0];
  }
  ~ChildProcess() {
    if (pid > 0 && status < 0) {
      kill(pid, SIGKILL);
      waitFor();
    }
    if (fd >= 0) ::close(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid > 0 && fd >= 0; }

  // Reads the channel into `reader` until `until` says stop (checked after
  // every read), the channel ends, or `limit` passes. False on the limit.
  template <class Stop>
  bool readUntil(ReportReader& reader, std::chrono::steady_clock::time_point limit, Stop until) {
    char chunk[65536];
    while (!until()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 5)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) continue;
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return true;
      reader.feed(chunk, static_cast<size_t>(n));
    }
    return true;
  }

  // Kills the child (if still running), waits for it and reads what is left.
  void finish(ReportReader& reader) {
    if (status < 0) kill(pid, SIGKILL);
    waitFor();
    readUntil(reader, std::chrono::steady_clock::now() + std::chrono::seconds(10), [] { return false; });
  }

  // Waits for the child to end by itself, for at most `limit`; then kills it.
  bool awaitExit(ReportReader& reader, std::chrono::steady_clock::duration limit) {
    bool ended = readUntil(reader, std::chrono::steady_clock::now() + limit, [] { return false; });
    finish(reader);
    return ended;
  }

  // The wait status, -1 while unknown.
  int exitStatus() const { return status; }

 private:
  void waitFor() {
    while (status < 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  pid_t pid = -1;
  int fd = -1;
  int status = -1;
};

// How the file matched what the child had said.
enum class Outcome { Committed, PendingLost, PendingKept, Fault };

// True once the file's formatting reached it (it may be missing, empty or
// half written while the first open is under way).
inline bool formattedFile(const std::vector<db_byte>& image) {
  return image.size() >= dbPageSize && reinterpret_cast<const dbHeader*>(image.data())->initialized == 1;
}

// Checks the committed state of the file at `path` (integrity, then the
// items) against the child's report; `fault` receives the reason when it
// fails. An unformatted file passes only while `mayBeUnformatted` (nothing
// was ever committed to it).
inline Outcome judgeFile(const std::string& path, const ChildReport& report, bool mayBeUnformatted,
                         std::string& fault) {
  std::vector<db_byte> image = readWholeFile(path);
  if (!formattedFile(image) && mayBeUnformatted && report.commits == 0) return Outcome::Committed;
  std::vector<std::string> faults = dbCheckImage(image.data(), image.size());
  if (!faults.empty()) {
    fault = "integrity check: " + faults.front() + (faults.size() > 1 ? " (and more)" : "");
    return Outcome::Fault;
  }
  ItemTable found = committedItems(image.data(), image.size());
  if (found == report.committed) return report.pending ? Outcome::PendingLost : Outcome::Committed;
  if (report.pending && found == applied(report.committed, *report.pending)) return Outcome::PendingKept;
  fault = "content: " + describeDifference(found, report.committed);
  return Outcome::Fault;
}

// Counts of the rounds' outcomes, printed at the end of a run.
struct CrashTally {
  int rounds = 0;
  int commits = 0;
  int beforeOpenDone = 0;  // the child died while opening (or repairing)
  int committed = 0;       // no commit under way (deaths while opening included)
  int pendingLost = 0;     // died inside a commit, before the root switch reached the file
  int pendingKept = 0;     // died inside a commit, after it

  void count(Outcome outcome, const ChildReport& report) {
    rounds++;
    commits += report.commits;
    if (!report.opened) beforeOpenDone++;
    if (outcome == Outcome::Committed) committed++;
    if (outcome == Outcome::PendingLost) pendingLost++;
    if (outcome == Outcome::PendingKept) pendingKept++;
  }
  void print(const char* what, uint64_t seed) const {
    std::printf(
        "%s: seed %llu, %d rounds, %d commits reported; deaths while opening %d, between commits %d, "
        "inside a commit %d (old state kept %d, new state kept %d)\n",
        what, static_cast<unsigned long long>(seed), rounds, commits, beforeOpenDone, committed - beforeOpenDone,
        pendingLost + pendingKept, pendingLost, pendingKept);
  }
};

// The seed of a run: TAVRO_CRASH_SEED when set (to repeat a failure), else
// fresh.
inline uint64_t crashSeed() {
  if (const char* text = std::getenv("TAVRO_CRASH_SEED")) return std::strtoull(text, nullptr, 10);
  return std::random_device{}() ^ (static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) << 1);
}

inline constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

// A fresh folder, removed afterwards: in shared memory when the system has
// it (a process's death leaves a file there just as on a disk, and the
// flushes cost far less, so a run gets through many more commits), else in
// the temporary folder.
class CrashFolder {
 public:
  CrashFolder() {
    std::error_code ignored;
    std::filesystem::path parent =
        std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (parent / "tavro-crash-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~CrashFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::filesystem::path path;
};

// The engine itself opens the file, finds it sound with the `expected`
// items, and leaves it clean and sound when it closes.
inline void expectEngineOpensSound(const std::string& path, const ItemTable& expected) {
  auto db = makeCrashDatabase();
  ASSERT_TRUE(db->open("crash", path.c_str()));
  EXPECT_EQ(dbCheckDatabase(*db), std::vector<std::string>{});
  EXPECT_EQ(describeDifference(visibleItems(*db), expected), describeDifference(expected, expected));
  db->commit();
  db->close();
  std::vector<db_byte> image = readWholeFile(path);
  EXPECT_EQ(dbCheckImage(image.data(), image.size()), std::vector<std::string>{});
  EXPECT_EQ(reinterpret_cast<const dbHeader*>(image.data())->dirty, 0);
}

// Copies a round's input file where it outlives the test, to repeat a
// failure; returns its path.
inline std::string keepForRepeat(const std::string& input, uint64_t childSeed) {
  std::string kept =
      (std::filesystem::temp_directory_path() / ("tavro-crash-input-" + std::to_string(childSeed) + ".fdb")).string();
  std::error_code ignored;
  std::filesystem::copy_file(input, kept, std::filesystem::copy_options::overwrite_existing, ignored);
  return kept;
}

