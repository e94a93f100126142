// dbDateTime: its methods, and the adaptors the query evaluator calls them through.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

#include "class.h"
#include "datetime.h"

namespace {

class DateTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    savedTz = tz != nullptr ? tz : "";
    hadTz = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz) {
      setenv("TZ", savedTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string savedTz;
  bool hadTz = false;
};

struct Parts {
  db_int4 stamp;
  int year, month, day, dayOfYear, dayOfWeek, hour, minute, second;
};

const Parts kDates[] = {
    {0, 1970, 1, 1, 1, 5, 0, 0, 0},
    {951827696, 2000, 2, 29, 60, 3, 12, 34, 56},
    {1483228799, 2016, 12, 31, 366, 7, 23, 59, 59},
    {2147483647, 2038, 1, 19, 19, 3, 3, 14, 7},
};

TEST_F(DateTimeTest, MethodsGiveThePartsOfTheLocalTime) {
  for (const Parts& p : kDates) {
    SCOPED_TRACE(p.stamp);
    dbDateTime d(p.stamp);
    EXPECT_EQ(d.year(), p.year);
    EXPECT_EQ(d.month(), p.month);
    EXPECT_EQ(d.day(), p.day);
    EXPECT_EQ(d.dayOfYear(), p.dayOfYear);
    EXPECT_EQ(d.dayOfWeek(), p.dayOfWeek);
    EXPECT_EQ(d.hour(), p.hour);
    EXPECT_EQ(d.minute(), p.minute);
    EXPECT_EQ(d.second(), p.second);
  }
}

TEST_F(DateTimeTest, MethodsUseTheLocalTimeZone) {
  setenv("TZ", "Asia/Taipei", 1);  // UTC+8, no daylight saving
  tzset();
  dbDateTime d(16 * 3600);  // 1970-01-01 16:00 UTC
  EXPECT_EQ(d.day(), 2);
  EXPECT_EQ(d.hour(), 0);
}

// The date sits where the record maps one to one onto the class...
struct Stamped {
  dbDateTime when;
  const char* note;
  TYPE_DESCRIPTOR((FIELD(when), FIELD(note)));
};

// ...and here it does not: the real is aligned to 8 in the record, after a
// pointer that is wider than its stored form.
struct Late {
  const char* note;
  real8 amount;
  dbDateTime when;
  TYPE_DESCRIPTOR((FIELD(note), FIELD(amount), FIELD(when)));
};

template <class T>
struct Table : dbTableDescriptor {
  explicit Table(const char* name) : dbTableDescriptor(name, nullptr, sizeof(T), &dbDescribeFieldsOf<T>) {}
};

template <class T>
std::vector<db_byte> packed(const dbTableDescriptor& d, const T& object) {
  std::vector<db_byte> record(d.recordSize(&object));
  d.pack(record.data(), &object);
  return record;
}

const char* const kMethods[] = {"year", "month", "day", "dayOfYear", "dayOfWeek", "hour", "minute", "second"};

template <class T>
void expectMethodsOnStoredRecord(const dbTableDescriptor& d, const T& object, bool fast) {
  std::vector<db_byte> record = packed(d, object);
  dbFieldDescriptor* when = d.find("when");
  const Parts& p = kDates[1];
  const int expected[] = {p.year, p.month, p.day, p.dayOfYear, p.dayOfWeek, p.hour, p.minute, p.second};
  for (size_t i = 0; i < 8; i++) {
    SCOPED_TRACE(kMethods[i]);
    dbFieldDescriptor* m = when->components->find(kMethods[i]);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->type, dbField::tpMethodInt4);
    EXPECT_EQ(m->dbsOffs, when->dbsOffs);
    using Fast = dbMethodFastTrampoline<dbDateTime, int>;
    EXPECT_EQ(dynamic_cast<Fast*>(m->method.get()) != nullptr, fast);
    int result = 0;
    m->method->invoke(record.data(), &result);
    EXPECT_EQ(result, expected[i]);
  }
}

TEST_F(DateTimeTest, FastAdaptorReadsTheStoredBytesInPlace) {
  Table<Stamped> d("Stamped");
  expectMethodsOnStoredRecord(d, Stamped{dbDateTime(kDates[1].stamp), "x"}, true);
}

TEST_F(DateTimeTest, GeneralAdaptorUnpacksTheStructureFirst) {
  Table<Late> d("Late");
  EXPECT_EQ(d.find("when")->dbsOffs, 32u);
  expectMethodsOnStoredRecord(d, Late{"x", 1.5, dbDateTime(kDates[1].stamp)}, false);
}

TEST_F(DateTimeTest, MethodsAreNotStoredFields) {
  Table<Stamped> d("Stamped");
  EXPECT_EQ(d.nFields, 3u);  // when, when.stamp, note
  EXPECT_EQ(d.fixedSize, 24u);
  EXPECT_STREQ(d.find("when")->components->find("year")->longName, "when.year");
}

}  // namespace
