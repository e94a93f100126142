// Mistakes in describe functions are caught when the program starts (or,
// for the macros, when it is compiled).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "class.h"
#include "datetime.h"

namespace {

struct Plain {
  db_int4 a;
  db_int4 b;
  int twice() const { return 2 * a; }
};

dbFieldDescriptor::List emptyList() { return {}; }

dbFieldDescriptor::List methodFirst() {
  Plain p{};
  dbFieldDescriptor::List list;
  list.push_back(dbDescribeMethod("twice", &Plain::twice));
  list.push_back(dbDescribeField("a", &p, &Plain::a, 0));
  return list;
}

dbFieldDescriptor::List dataAfterMethod() {
  Plain p{};
  dbFieldDescriptor::List list;
  list.push_back(dbDescribeField("a", &p, &Plain::a, 0));
  list.push_back(dbDescribeMethod("twice", &Plain::twice));
  list.push_back(dbDescribeField("b", &p, &Plain::b, 0));
  return list;
}

dbFieldDescriptor::List sameMemberTwice() {
  Plain p{};
  dbFieldDescriptor::List list;
  list.push_back(dbDescribeField("a", &p, &Plain::a, 0));
  list.push_back(dbDescribeField("again", &p, &Plain::a, 0));
  return list;
}

struct WithArray {
  dbArray<db_int4> values;
  db_int4 other;
};

dbFieldDescriptor::List indexedArray() {
  WithArray w;
  dbFieldDescriptor::List list;
  list.push_back(dbDescribeField("values", &w, &WithArray::values, HASHED));
  return list;
}

dbFieldDescriptor::List inverseOnNumber() {
  WithArray w;
  dbFieldDescriptor::List list;
  list.push_back(dbDescribeField("other", &w, &WithArray::other, 0, "back"));
  return list;
}

using DescriptorDeathTest = ::testing::Test;

TEST(DescriptorDeathTest, MistakesInHandWrittenListsStopTheProgram) {
  struct Case {
    dbTableDescriptor::DescribeFunc describe;
    const char* message;
  };
  const Case cases[] = {
      {&emptyList, "Assertion failed: Not empty record"},
      {&methodFirst, "Assertion failed: Not empty record"},
      {&dataAfterMethod, "Assertion failed: Methods should be specified after variables"},
      {&indexedArray, "Assertion failed: Array fields can not be indexed"},
      {&inverseOnNumber, "Assertion failed: Inverse reference must be a reference or an array of references"},
      {&sameMemberTwice, "Assertion failed: Members should be described once and not overlap"},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(dbTableDescriptor("Bad", nullptr, sizeof(Plain), c.describe), c.message);
  }
}

struct Partial {
  db_int4 described;
  db_int4 forgotten;
  TYPE_DESCRIPTOR((FIELD(described)));
};

struct Inner {
  db_int4 x;
  db_int4 y;
  TYPE_DESCRIPTOR((FIELD(x)));
};
struct PartialInside {
  Inner inner;
  TYPE_DESCRIPTOR((FIELD(inner)));
};

struct Complete {
  db_int1 small;
  const char* text;  // padding before it is not a missing field
  db_int1 tail;
  TYPE_DESCRIPTOR((FIELD(small), FIELD(text), FIELD(tail)));
};

template <class T>
std::string constructionOutput(const char* name) {
  testing::internal::CaptureStderr();
  dbTableDescriptor d(name, nullptr, sizeof(T), &dbDescribeFieldsOf<T>);
  return testing::internal::GetCapturedStderr();
}

TEST(DescribeWarning, NamesTheClassWhoseMembersAreNotAllDescribed) {
  EXPECT_EQ(constructionOutput<Partial>("Partial"),
            "Warning: may be not all fields of the class 'Partial' were described\n");
  EXPECT_EQ(constructionOutput<PartialInside>("PartialInside"),
            "Warning: may be not all fields of the class 'PartialInside' were described\n");
  EXPECT_EQ(constructionOutput<Complete>("Complete"), "");
}

// The macros refuse mistakes at compile time. Each snippet is compiled on
// its own; the first must compile, the others must not.
std::string compileSnippet(const std::string& body) {
  std::string source = std::string(TAVRO_SOURCE_DIR_FOR_TESTS) + "/engine286/src";
  std::string dir = testing::TempDir();
  std::string file = dir + "/describe_snippet.cpp";
  std::ofstream(file) << "#include \"class.h\"\n" << body << "\n";
  std::string command = std::string(TAVRO_CXX_FOR_TESTS) + " -std=c++20 -fsyntax-only -I" + source + " " + file +
                        " > " + dir + "/describe_snippet.log 2>&1";
  int status = std::system(command.c_str());
  std::ifstream log(dir + "/describe_snippet.log");
  std::string output((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  return status == 0 ? "" : output.empty() ? "failed" : output;
}

TEST(DescribeMacros, MistakesDoNotCompile) {
  EXPECT_EQ(compileSnippet("struct A { int x; int m() const { return x; }\n"
                           "  TYPE_DESCRIPTOR((FIELD(x), METHOD(m))); };"),
            "");
  struct Case {
    const char* body;
    const char* message;
  };
  const Case cases[] = {
      {"struct A { int x; int m() const { return x; } TYPE_DESCRIPTOR((METHOD(m), FIELD(x))); };", "Not empty record"},
      {"struct A { int x; int y; int m() const { return x; }\n"
       "  TYPE_DESCRIPTOR((FIELD(x), METHOD(m), FIELD(y))); };",
       "Methods should be specified after variables"},
      {"struct A { int x; int m() const { return x; } TYPE_DESCRIPTOR((FIELD(x), FIELD(m))); };", ""},
      {"#include <string>\nstruct A { std::string s; TYPE_DESCRIPTOR((FIELD(s))); };",
       "this member type cannot be stored in a table"},
      {"struct A { int x; TYPE_DESCRIPTOR((FIELD(y))); };", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::string output = compileSnippet(c.body);
    EXPECT_NE(output, "");
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
  }
}

}  // namespace
