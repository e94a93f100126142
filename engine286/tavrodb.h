// The program's database: a dbDatabase that lives in the current folder,
// keeps the folder's path for the files that lie beside it, and refuses to
// run from a network file system.
#pragma once

#include <string>

#include "database.h"

class tavroDatabase : public dbDatabase {
 public:
  explicit tavroDatabase(dbAccessType type = dbAllAccess, size_t initialSize = 0,
                         size_t extensionQuantum = 4 * 1024 * 1024, size_t initialIndexSize = 512 * 1024,
                         int nThreads = 1)
      : dbDatabase(type, initialSize, extensionQuantum, initialIndexSize, nThreads) {}
  ~tavroDatabase() override = default;

  // Opens `name` in `fileName` ("%s.mem" of the name when null, relative to
  // the current folder). The first open records the current folder in
  // homeDirectory; when that folder is on a network file system (where
  // mappings and locks are unreliable) it returns false without a message.
  bool open(const char* name, const char* fileName = nullptr, unsigned lockTimeout = dbWaitForever,
            unsigned commitDelay = 0);

  // Absolute path of the database's folder, without a trailing slash (just
  // "/" at the root); empty until the first open.
  std::string homeDirectory;
  // The name given to open.
  std::string name;
};
