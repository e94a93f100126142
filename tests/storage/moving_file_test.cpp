// Every growth of the file moves its memory image elsewhere (the old image is
// unmapped), so an address kept across an allocation faults at once instead
// of only when the system happens to move the mapping.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>

#include "storage_support.h"

namespace {

class MovingFile : public dbFile {
 public:
  ~MovingFile() override { close(); }

  int open(const std::string& path, bool readOnlyFile, size_t initialSize) override {
    readOnly = readOnlyFile;
    fd = ::open(path.c_str(), readOnly ? O_RDONLY : O_RDWR | O_CREAT, 0666);
    if (fd < 0) return errno;
    off_t length = lseek(fd, 0, SEEK_END);
    if (length == 0 && !readOnly) {
      if (ftruncate(fd, static_cast<off_t>(initialSize)) != 0) return errno;
      length = static_cast<off_t>(initialSize);
    }
    return load(static_cast<size_t>(length));
  }

  int setSize(size_t newSize) override {
    if (!readOnly && ftruncate(fd, static_cast<off_t>(newSize)) != 0) return errno;
    db_byte* old = base;
    size_t oldSize = size;
    void* p = mmap(nullptr, newSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return errno;
    std::memcpy(p, old, std::min(oldSize, newSize));
    munmap(old, oldSize);
    base = static_cast<db_byte*>(p);
    size = newSize;
    return 0;
  }

  int flush() override {
    if (readOnly) return 0;
    if (pwrite(fd, base, size, 0) != static_cast<ssize_t>(size)) return errno;
    return fdatasync(fd) == 0 ? 0 : errno;
  }

  int close() override {
    if (base != nullptr) munmap(base, size);
    base = nullptr;
    size = 0;
    if (fd >= 0) ::close(fd);
    fd = -1;
    return 0;
  }

 private:
  int load(size_t length) {
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return errno;
    base = static_cast<db_byte*>(p);
    size = length;
    return pread(fd, base, length, 0) == static_cast<ssize_t>(length) ? 0 : EIO;
  }

  int fd = -1;
};

}  // namespace

TEST(MovingFile, GrowthThatMovesTheImageKeepsEveryObject) {
  ScratchFolder folder;
  const std::string path = folder.file("moving.fdb");
  // A small first file and a small quantum: the file grows, and moves, often.
  auto db = std::make_unique<TestDatabase>(dbDatabase::dbAllAccess, 524288, 65536, 8192, 1);
  db->useFile(std::make_unique<MovingFile>());
  ASSERT_TRUE(db->open("moving", path.c_str()));
  oid_t table = createRawTable(*db, "Raw");
  std::vector<oid_t> rows;
  for (int i = 0; i < 3000; i++) rows.push_back(addRawRow(*db, table, std::to_string(i)));
  db->commit();
  // Committed records resized larger (each resize allocates, the file grows).
  for (size_t i = 0; i < rows.size(); i += 10) {
    db->lock();
    std::string payload(2000 + i, static_cast<char>('a' + i % 26));
    db_byte* record = db->resizeRecord(rows[i], sizeof(dbRecord) + payload.size());
    std::memcpy(record + sizeof(dbRecord), payload.data(), payload.size());
  }
  db->commit();
  EXPECT_GE(db->getMappedSize(), 2097152u);  // grew (and moved) twice or more
  std::vector<std::string> stored = rawRows(*db, table);
  ASSERT_EQ(stored.size(), rows.size());
  EXPECT_EQ(stored[10], std::string(2010, 'k'));
  EXPECT_EQ(stored[11], "11");
  db->commit();
  EXPECT_SOUND(*db);
  db->close();
  EXPECT_FILE_SOUND(path);
}
