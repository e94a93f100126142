#include "tavrodb.h"

#include <filesystem>
#include <system_error>

bool tavroDatabase::open(const char* dbName, const char* fileName, unsigned lockTimeout, unsigned commitDelay) {
  if (homeDirectory.empty()) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::current_path(error);
    if (error || dbOnNetworkFileSystem(folder.string())) return false;
    homeDirectory = folder.string();
  }
  name = dbName;
  const std::string defaultFile = name + ".mem";
  return dbDatabase::open(dbName, fileName != nullptr ? fileName : defaultFile.c_str(), lockTimeout, commitDelay);
}
