#include "errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string format(const char* fmt, const char* text, int number) {
  char buf[1024];
  if (text != nullptr) {
    std::snprintf(buf, sizeof buf, fmt, text, number);
  } else {
    std::snprintf(buf, sizeof buf, fmt, number);
  }
  return buf;
}

}  // namespace

std::string dbSystemErrorText(int code) {
  char buf[256];
  // The GNU strerror_r returns its text; unknown codes come back as "Unknown error N".
  const char* text = strerror_r(code, buf, sizeof buf);
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
    std::snprintf(buf, sizeof buf, "unknown error code %u", static_cast<unsigned>(code));
    return buf;
  }
  return text;
}

std::string dbErrorText(int errorClass, const char* message, int argument) {
  const char* msg = message != nullptr ? message : "";
  switch (errorClass) {
    case ErrQuery:
      return format("%s in position %d\n", msg, argument);
    case ErrArithmetic:
    case ErrOpen:
    case ErrInverseReference:
      return std::string(msg) + "\n";
    case ErrIndexRange:
      return format("Index %d is out of range\n", nullptr, argument);
    case ErrFile:
      return std::string(msg) + ": " + dbSystemErrorText(argument).substr(0, 255) + "\n";
    case ErrNoMemory:
      return format("Not enough memory: failed to allocate %d bytes\n", nullptr, argument);
    case ErrDeadlock:
      return "Deadlock is caused by upgrading shared locks to exclusive";
    case ErrNullReference:
      return "Null object reference is accessed\n";
    case ErrLockRevoked:
      return "Lock is revoked by some other client";
    case ErrReadOnly:
      return "Attempt to modify readonly database";
    default:
      return "";
  }
}

bool dbIsFatalError(int errorClass) {
  switch (errorClass) {
    case ErrFile:
    case ErrNoMemory:
    case ErrDeadlock:
    case ErrLockRevoked:
    case ErrReadOnly:
      return true;
    default:
      return false;
  }
}

bool dbIsEvaluationError(int errorClass) {
  return errorClass == ErrArithmetic || errorClass == ErrIndexRange || errorClass == ErrNullReference;
}

void dbReportError(int errorClass, const char* message, int argument) {
  std::string text = dbErrorText(errorClass, message, argument);
  std::fputs(text.c_str(), stderr);
  if (dbIsFatalError(errorClass)) {
    std::fputs("\nAbnormal program termination\n", stderr);
    std::fflush(stderr);
    std::_Exit(3);
  }
}
