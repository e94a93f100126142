#include "database.h"

dbDatabase::dbDatabase(dbAccessType, size_t, size_t, size_t, int) {}
dbDatabase::~dbDatabase() = default;

void dbDatabase::handleError(int errorClass, const char* message, int argument) {
  if (errorHandler != nullptr) errorHandler(errorClass, message, argument);
  dbReportError(errorClass, message, argument);
}

void dbDatabase::commit() {}
void dbDatabase::attach() {}
void dbDatabase::detach(int) {}
