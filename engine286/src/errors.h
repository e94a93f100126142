// Engine error classes and their default report.
//
// Every engine failure goes through dbDatabase::handleError(class, message,
// argument). The default report writes the class's fixed text to standard
// error; for the fatal classes it then ends the process with status 3, with
// no commit and no clean close (the next open repairs the file).
#pragma once

#include <string>

enum dbErrorClass {
  NoError = 0,
  ErrQuery = 1,             // query compilation: "%s in position %d"
  ErrArithmetic = 2,        // evaluation: division by zero and the like
  ErrIndexRange = 3,        // evaluation: array index out of range
  ErrOpen = 4,              // open and schema errors
  ErrFile = 5,              // file operation failed (fatal)
  ErrNoMemory = 6,          // allocation failed (fatal)
  ErrDeadlock = 7,          // two readers upgrading (fatal)
  ErrNullReference = 8,     // evaluation: null reference followed
  ErrLockRevoked = 9,       // lock taken over by time-out recovery (fatal)
  ErrFileLimit = 10,        // never raised by the program
  ErrInverseReference = 11, // inconsistent inverse references
  ErrReadOnly = 12,         // change attempted in a read-only database (fatal)
};

// Called before the default report, when a database has one installed.
using dbErrorHandler = void (*)(int errorClass, const char* message, int argument);

// The text the default report writes for an error (may be empty).
std::string dbErrorText(int errorClass, const char* message, int argument);

// True for the classes after which the process ends.
bool dbIsFatalError(int errorClass);

// True for the evaluation errors (2, 3, 8) that page input can cause: the
// message is written and the select that raised it ends with an empty
// selection; the process goes on.
bool dbIsEvaluationError(int errorClass);

// Writes dbErrorText to standard error; for a fatal class, then ends the
// process with "Abnormal program termination" and exit status 3.
void dbReportError(int errorClass, const char* message, int argument);

// The system's message text for an errno value, or "unknown error code %u".
std::string dbSystemErrorText(int code);
