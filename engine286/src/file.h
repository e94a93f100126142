// The database file as one block of memory, and the lock that tells
// processes sharing a database file apart.
//
// The engine reads and writes its file only through memory. `dbFile` is the
// seam: `dbMappedFile` maps the file itself (changes reach the disk at
// flush), and tests may put in a variant that keeps every change in private
// memory and writes only what a flush writes, to simulate a power loss.
#pragma once

#include <cstddef>
#include <string>

#include "types.h"

// The memory image of the database file. Every operation returns 0 or an
// errno code; errorText turns such a code into the system's message.
class dbFile {
 public:
  virtual ~dbFile() = default;

  // Opens (or, unless `readOnly`, creates) `path` and makes its whole length
  // addressable. A writable empty file is first given `initialSize` zero
  // bytes. A file longer than 4 GiB is refused with EFBIG.
  virtual int open(const std::string& path, bool readOnly, size_t initialSize) = 0;
  // Makes the file `newSize` bytes long (writable files) or, for a read-only
  // file, follows a length another process has given it. New bytes are zero.
  // The memory may move: read getBase() again afterwards.
  virtual int setSize(size_t newSize) = 0;
  // Makes every change to the memory durable on disk before returning.
  virtual int flush() = 0;
  // Releases the memory and the file; changes not flushed may be lost.
  virtual int close() = 0;

  db_byte* getBase() const { return base; }
  size_t getSize() const { return size; }
  bool isReadOnly() const { return readOnly; }

  // The system's text for an error code, or "unknown error code %u".
  static std::string errorText(int code);

 protected:
  db_byte* base = nullptr;
  size_t size = 0;
  bool readOnly = false;
};

// The file mapped into memory (MAP_SHARED): flush is a synchronous msync.
class dbMappedFile : public dbFile {
 public:
  dbMappedFile() = default;
  ~dbMappedFile() override;
  dbMappedFile(const dbMappedFile&) = delete;
  dbMappedFile& operator=(const dbMappedFile&) = delete;

  int open(const std::string& path, bool readOnly, size_t initialSize) override;
  int setSize(size_t newSize) override;
  int flush() override;
  int close() override;

 private:
  int fd = -1;
};

// Tells the processes that open the same database file apart, with byte-range
// locks the kernel drops when a process ends (even by SIGKILL), so nothing is
// left behind that could stop or mislead the next start. One lock serialises
// the opens (the first user formats or repairs the file while holding it);
// every open database holds a shared lock on another byte for as long as it
// is open.
class dbProcessLock {
 public:
  dbProcessLock() = default;
  ~dbProcessLock();
  dbProcessLock(const dbProcessLock&) = delete;
  dbProcessLock& operator=(const dbProcessLock&) = delete;

  // Opens `path` for locking (creating it unless `readOnly`) and waits for
  // the initialisation lock (exclusive for writers, shared for read-only
  // users). Returns 0 or an errno code.
  int beginInitialization(const std::string& path, bool readOnly);
  // True when another open database holds the same file.
  bool othersPresent() const;
  // Registers this database as a user of the file and releases the
  // initialisation lock.
  int endInitialization();
  // Drops every lock and the descriptor.
  void release();

 private:
  int setLock(short type, off_t start, bool wait) const;
  int fd = -1;
  bool writer = false;
};

// True when `path` lies on a network file system (NFS, SMB/CIFS and the
// like), where shared mappings and locks cannot be trusted.
bool dbOnNetworkFileSystem(const std::string& path);
