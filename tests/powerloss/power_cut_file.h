// A database file layer that simulates a power loss.
//
// All changes stay in private memory; only a flush writes to the real file,
// and it writes just the pages that differ from what the file already holds,
// in a random order. At the chosen flush the power fails: only a random
// part of that flush's pages reaches the file (possibly none, possibly all),
// and the process ends at once with kPowerCutStatus, losing everything else.
// A growth of the file reaches the real file at the next flush, before its
// pages; in memory a growth always moves the image.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "file.h"

inline constexpr int kPowerCutStatus = 42;

class dbPowerCutFile : public dbFile {
 public:
  // The power fails during flush number `cutAtFlush` (counted from 1).
  dbPowerCutFile(uint64_t seed, int cutAtFlush) : rng(seed), cutAt(cutAtFlush) {}
  ~dbPowerCutFile() override;
  dbPowerCutFile(const dbPowerCutFile&) = delete;
  dbPowerCutFile& operator=(const dbPowerCutFile&) = delete;

  int open(const std::string& path, bool readOnly, size_t initialSize) override;
  int setSize(size_t newSize) override;
  int flush() override;
  int close() override;

 private:
  // Pages of the private memory that differ from the real file.
  std::vector<size_t> changedPages() const;
  int writePage(size_t page);

  std::mt19937_64 rng;
  int cutAt;
  int flushes = 0;
  int fd = -1;
  std::vector<db_byte> onDisk;  // what the real file holds
};
