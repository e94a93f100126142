#include "file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "errors.h"

std::string dbFile::errorText(int code) { return dbSystemErrorText(code); }

dbMappedFile::~dbMappedFile() { close(); }

int dbMappedFile::open(const std::string& path, bool readOnlyFile, size_t initialSize) {
  close();
  readOnly = readOnlyFile;
  fd = readOnly ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int code = errno;
    close();
    return code;
  }
  size_t length = static_cast<size_t>(st.st_size);
  if (length > UINT32_MAX) {
    close();
    return EFBIG;
  }
  if (length == 0 && !readOnly) {
    if (ftruncate(fd, static_cast<off_t>(initialSize)) != 0) {
      int code = errno;
      close();
      return code;
    }
    length = initialSize;
  }
  if (length != 0) {
    void* p = mmap(nullptr, length, readOnly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      int code = errno;
      close();
      return code;
    }
    base = static_cast<db_byte*>(p);
  }
  size = length;
  return 0;
}

int dbMappedFile::setSize(size_t newSize) {
  if (fd < 0) return EBADF;
  if (newSize > UINT32_MAX) return EFBIG;
  if (readOnly) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (static_cast<size_t>(st.st_size) < newSize) return EINVAL;
  } else if (ftruncate(fd, static_cast<off_t>(newSize)) != 0) {
    return errno;
  }
  void* p = base == nullptr
                ? mmap(nullptr, newSize, readOnly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                : mremap(base, size, newSize, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return errno;
  base = static_cast<db_byte*>(p);
  size = newSize;
  return 0;
}

int dbMappedFile::flush() {
  if (base == nullptr || readOnly) return 0;
  // On Linux a synchronous msync of a shared file mapping is itself a data
  // sync of that range (size changes included), so no fdatasync follows.
  if (msync(base, size, MS_SYNC) != 0) return errno;
  return 0;
}

int dbMappedFile::close() {
  int code = 0;
  if (base != nullptr && munmap(base, size) != 0) code = errno;
  base = nullptr;
  size = 0;
  if (fd >= 0 && ::close(fd) != 0 && code == 0) code = errno;
  fd = -1;
  return code;
}

// ---------------------------------------------------------------------------

namespace {

// Lock bytes far beyond any database length: the locks are advisory and do
// not touch the data.
constexpr off_t kInitializationByte = off_t(1) << 40;
constexpr off_t kUsersByte = kInitializationByte + 1;

}  // namespace

dbProcessLock::~dbProcessLock() { release(); }

int dbProcessLock::setLock(short type, off_t start, bool wait) const {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = 1;
  int rc;
  do {
    rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

int dbProcessLock::beginInitialization(const std::string& path, bool readOnly) {
  release();
  writer = !readOnly;
  fd = readOnly ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int code = setLock(writer ? F_WRLCK : F_RDLCK, kInitializationByte, true);
  if (code != 0) release();
  return code;
}

bool dbProcessLock::othersPresent() const {
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kUsersByte;
  probe.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

int dbProcessLock::endInitialization() {
  int code = setLock(F_RDLCK, kUsersByte, true);
  int unlock = setLock(F_UNLCK, kInitializationByte, false);
  return code != 0 ? code : unlock;
}

void dbProcessLock::release() {
  if (fd >= 0) ::close(fd);  // closing the descriptor drops its locks
  fd = -1;
}

bool dbOnNetworkFileSystem(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969u:      // NFS
    case 0x517Bu:      // SMB
    case 0xFF534D42u:  // CIFS
    case 0xFE534D42u:  // SMB2
    case 0x564Cu:      // NCP
    case 0x73757245u:  // Coda
    case 0x5346414Fu:  // AFS
    case 0x6B414653u:  // kAFS
    case 0x01021997u:  // 9P
    case 0x00C36400u:  // Ceph
      return true;
    default:
      return false;
  }
}
