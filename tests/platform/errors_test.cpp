#include "errors.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(ErrorText, EachClassHasItsFixedText) {
  struct Case {
    int cls;
    const char* message;
    int argument;
    const char* text;
  };
  const Case cases[] = {
      {ErrQuery, "Field not found", 12, "Field not found in position 12\n"},
      {ErrArithmetic, "Division by zero", 0, "Division by zero\n"},
      {ErrIndexRange, nullptr, 5, "Index 5 is out of range\n"},
      {ErrOpen, "Failed to create database file", 0, "Failed to create database file\n"},
      {ErrNoMemory, nullptr, 4096, "Not enough memory: failed to allocate 4096 bytes\n"},
      {ErrDeadlock, nullptr, 0, "Deadlock is caused by upgrading shared locks to exclusive"},
      {ErrNullReference, nullptr, 0, "Null object reference is accessed\n"},
      {ErrLockRevoked, nullptr, 0, "Lock is revoked by some other client"},
      {ErrFileLimit, "ignored", 0, ""},
      {ErrInverseReference, "Inconsistent inverse reference", 0, "Inconsistent inverse reference\n"},
      {ErrReadOnly, nullptr, 0, "Attempt to modify readonly database"},
      {99, "ignored", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(dbErrorText(c.cls, c.message, c.argument), c.text) << c.cls;
  EXPECT_EQ(dbErrorText(ErrFile, "Failed to extend file", ENOSPC), "Failed to extend file: No space left on device\n");
}

TEST(ErrorText, UnknownSystemCodeIsNamed) { EXPECT_EQ(dbSystemErrorText(987654), "unknown error code 987654"); }

TEST(ErrorReport, ReturningClassesGoOn) {
  for (int cls : {ErrQuery, ErrArithmetic, ErrIndexRange, ErrOpen, ErrNullReference, ErrFileLimit, ErrInverseReference}) {
    EXPECT_FALSE(dbIsFatalError(cls)) << cls;
  }
  EXPECT_TRUE(dbIsEvaluationError(ErrArithmetic));
  EXPECT_TRUE(dbIsEvaluationError(ErrIndexRange));
  EXPECT_TRUE(dbIsEvaluationError(ErrNullReference));
  EXPECT_FALSE(dbIsEvaluationError(ErrQuery));
}

TEST(ErrorReportDeathTest, FatalClassesEndTheProcessWithStatus3) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int cls : {ErrFile, ErrNoMemory, ErrDeadlock, ErrLockRevoked, ErrReadOnly}) {
    EXPECT_EXIT(dbReportError(cls, "Failed to extend file", 28), testing::ExitedWithCode(3),
                "Abnormal program termination")
        << cls;
  }
}
