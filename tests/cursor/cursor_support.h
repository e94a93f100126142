// Shared pieces of the cursor and select tests: one row class declared three
// times (no index, hash tables, T-trees), a database on a scratch file that
// records the errors reported to it, and rows filled from a compact table.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/storage_support.h"
#include "tavrocursor.h"

// The same fields under three index declarations; `row` numbers the rows so
// that results of different tables can be compared.
#define TAVRO_TEST_ROW_CLASS(Name, FLAGS)                                                                   \
  struct Name {                                                                                            \
    db_int4 row;                                                                                           \
    db_int4 num;                                                                                           \
    db_int1 tiny;                                                                                          \
    real4 r4;                                                                                              \
    real8 r8;                                                                                              \
    const char* name;                                                                                      \
    dbReference<Name> link;                                                                                \
    TYPE_DESCRIPTOR((FIELD(row), KEY(num, FLAGS), KEY(tiny, FLAGS), KEY(r4, FLAGS), KEY(r8, FLAGS),         \
                     KEY(name, FLAGS), KEY(link, FLAGS)));                                                 \
  }

TAVRO_TEST_ROW_CLASS(ScannedRow, 0);
TAVRO_TEST_ROW_CLASS(HashedRow, HASHED);
TAVRO_TEST_ROW_CLASS(TreeRow, INDEXED);

// Values of one row; `link` is the index (in the same list) of the row it
// refers to, or -1.
struct RowValues {
  int num;
  int tiny;
  float r4;
  double r8;
  std::string name;
  int link;
};

// A database that keeps the errors reported to it instead of writing them.
class CursorTestDatabase : public TestDatabase {
 public:
  CursorTestDatabase() : TestDatabase(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1) {}
  void handleError(int errorClass, const char* message, int argument) override {
    if (dbIsFatalError(errorClass)) dbDatabase::handleError(errorClass, message, argument);
    errors.push_back({errorClass, message != nullptr ? message : ""});
  }
  struct Error {
    int errorClass;
    std::string message;
    bool operator==(const Error&) const = default;
  };
  std::vector<Error> errors;
};

class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.open("cursors", folder.file("cursors.fdb").c_str())); }
  void TearDown() override {
    db.commit();
    EXPECT_SOUND(db);
    db.close();
  }

  // Inserts the rows into table T (row numbers from 0) and commits; returns their ids.
  template <class T>
  std::vector<oid_t> insertRows(const std::vector<RowValues>& rows) {
    std::vector<oid_t> ids;
    for (size_t i = 0; i < rows.size(); i++) {
      T object{};
      object.row = static_cast<db_int4>(i);
      object.num = rows[i].num;
      object.tiny = static_cast<db_int1>(rows[i].tiny);
      object.r4 = rows[i].r4;
      object.r8 = rows[i].r8;
      object.name = rows[i].name.c_str();
      object.link = rows[i].link >= 0 && static_cast<size_t>(rows[i].link) < ids.size() ? ids[rows[i].link] : 0;
      ids.push_back(db.insert(object).getOid());
    }
    db.commit();
    return ids;
  }

  // The row numbers `condition` selects from table T, in selection order.
  template <class T>
  std::vector<int> selectRows(const char* condition) {
    tavroCursor<T> cursor;
    std::vector<int> rows;
    if (cursor.select(condition) == 0) return rows;
    do rows.push_back(cursor.get()->row);
    while (cursor.nextAndFetch() != nullptr);
    return rows;
  }

  ScratchFolder folder;
  CursorTestDatabase db;
};
