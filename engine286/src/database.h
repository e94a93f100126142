// The database object. (Placeholder interface: the storage work replaces this
// file; the signatures below are the ones the HTTP server and shell rely on.)
#pragma once

#include <cstddef>

#include "types.h"

#include "errors.h"

class dbDatabase {
 public:
  enum dbAccessType { dbReadOnly = 0, dbAllAccess = 1, dbConcurrentRead = 2, dbConcurrentUpdate = 3 };
  enum DetachFlags { COMMIT = 1, DESTROY_CONTEXT = 2 };

  explicit dbDatabase(dbAccessType type = dbAllAccess, size_t initialSize = 0, size_t extensionQuantum = 4 * 1024 * 1024,
                      size_t initialIndexSize = 512 * 1024, int nThreads = 1);
  virtual void handleError(int errorClass, const char* message = nullptr, int argument = 0);
  virtual ~dbDatabase();

  bool isOpen() const { return opened; }
  // Ends the calling thread's transaction, making its changes durable.
  void commit();
  // Gives the calling thread its own transaction context.
  void attach();
  // Drops the calling thread's context (committing first with COMMIT).
  void detach(int flags = COMMIT | DESTROY_CONTEXT);

  dbErrorHandler errorHandler = nullptr;

  // ---- Schema load and table/index maintenance (defined in schema.cpp; this
  // block belongs to the schema code) ----
  // Matches the program's table descriptors against the stored tables at
  // open; `alter` allows adding tables and converting changed ones.
  bool loadScheme(bool alter);
  // ---- end of schema block ----

 protected:
  bool opened = false;
};
