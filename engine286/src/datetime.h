// A date and time stored in records: seconds since 1 January 1970 UTC in a
// 4-byte integer. The read-only methods give the parts of the local time of
// that moment and can be used in queries (for example `date.year`).
#pragma once

#include <ctime>

#include "class.h"

class dbDateTime {
 public:
  db_int4 stamp = 0;

  dbDateTime() = default;
  explicit dbDateTime(time_t t) : stamp(static_cast<db_int4>(t)) {}

  static dbDateTime current() { return dbDateTime(time(nullptr)); }
  time_t asTime_t() const { return stamp; }

  int year() const { return local().tm_year + 1900; }
  int month() const { return local().tm_mon + 1; }    // 1..12
  int day() const { return local().tm_mday; }         // 1..31
  int dayOfYear() const { return local().tm_yday + 1; }  // 1..366
  int dayOfWeek() const { return local().tm_wday + 1; }  // 1..7, 1 = Sunday
  int hour() const { return local().tm_hour; }
  int minute() const { return local().tm_min; }
  int second() const { return local().tm_sec; }

  friend bool operator==(dbDateTime a, dbDateTime b) { return a.stamp == b.stamp; }

  TYPE_DESCRIPTOR((KEY(stamp, HASHED | INDEXED), METHOD(year), METHOD(month), METHOD(day), METHOD(dayOfYear),
                   METHOD(dayOfWeek), METHOD(hour), METHOD(minute), METHOD(second)));

 private:
  struct tm local() const {
    time_t t = stamp;
    struct tm parts {};
    localtime_r(&t, &parts);
    return parts;
  }
};
