#include "power_cut_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "database.h"

dbPowerCutFile::~dbPowerCutFile() { close(); }

int dbPowerCutFile::open(const std::string& path, bool readOnlyFile, size_t initialSize) {
  close();
  readOnly = readOnlyFile;
  fd = ::open(path.c_str(), readOnly ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  onDisk.resize(static_cast<size_t>(st.st_size));
  if (!onDisk.empty() && pread(fd, onDisk.data(), onDisk.size(), 0) != static_cast<ssize_t>(onDisk.size())) {
    return EIO;
  }
  const size_t length = onDisk.empty() && !readOnly ? initialSize : onDisk.size();
  void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return errno;
  base = static_cast<db_byte*>(memory);
  size = length;
  if (!onDisk.empty()) std::memcpy(base, onDisk.data(), onDisk.size());
  return 0;
}

int dbPowerCutFile::setSize(size_t newSize) {
  // Always to a new place: an address kept across a growth is caught.
  void* memory = mmap(nullptr, newSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return errno;
  std::memcpy(memory, base, std::min(size, newSize));
  munmap(base, size);
  base = static_cast<db_byte*>(memory);
  size = newSize;  // the new part of an anonymous mapping reads as zeros
  return 0;
}

std::vector<size_t> dbPowerCutFile::changedPages() const {
  std::vector<size_t> pages;
  for (size_t offs = 0; offs < size; offs += dbPageSize) {
    const size_t length = std::min(dbPageSize, size - offs);
    const bool same = offs + length <= onDisk.size() && std::memcmp(base + offs, onDisk.data() + offs, length) == 0;
    if (!same) pages.push_back(offs / dbPageSize);
  }
  return pages;
}

int dbPowerCutFile::writePage(size_t page) {
  const size_t offs = page * dbPageSize;
  const size_t length = std::min(dbPageSize, size - offs);
  if (pwrite(fd, base + offs, length, static_cast<off_t>(offs)) != static_cast<ssize_t>(length)) return EIO;
  std::memcpy(onDisk.data() + offs, base + offs, length);
  return 0;
}

int dbPowerCutFile::flush() {
  if (readOnly || base == nullptr) return 0;
  flushes++;
  if (onDisk.size() != size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
    onDisk.resize(size);  // the file's new part holds zeros
  }
  std::vector<size_t> pages = changedPages();
  std::shuffle(pages.begin(), pages.end(), rng);
  const bool cut = flushes == cutAt;
  const size_t written = cut ? std::uniform_int_distribution<size_t>(0, pages.size())(rng) : pages.size();
  for (size_t i = 0; i < written; i++) {
    if (int code = writePage(pages[i]); code != 0) return code;
  }
  if (cut) _exit(kPowerCutStatus);
  return 0;
}

int dbPowerCutFile::close() {
  if (base != nullptr) munmap(base, size);
  base = nullptr;
  size = 0;
  if (fd >= 0) ::close(fd);
  fd = -1;
  onDisk.clear();
  return 0;
}
