// Schema load at open: tables added, linked, and converted when their class changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "class.h"
#include "datetime.h"
#include "hashtab.h"
#include "storage/storage_support.h"

namespace {

// The messages the database reported, with their classes.
std::vector<std::pair<int, std::string>> reported;
void recordError(int errorClass, const char* message, int) { reported.emplace_back(errorClass, message ? message : ""); }

template <class T>
struct BoundTable : dbTableDescriptor {
  BoundTable(const char* name, dbDatabase* db) : dbTableDescriptor(name, db, sizeof(T), &dbDescribeFieldsOf<T>) {}
};

// One run of the program over the file: a database and the table as this
// run's class describes it.
template <class T>
struct ProgramRun {
  explicit ProgramRun(const std::string& file, bool allowColumnDrop = true,
                      dbDatabase::dbAccessType access = dbDatabase::dbAllAccess)
      : db(new TestDatabase(access, 1048576, 4194304, 65536, 1)), table("Item", db.get()) {
    db->errorHandler = &recordError;
    db->setAllowColumnDrop(allowColumnDrop);
    opened = db->open("schema", file.c_str());
  }
  ~ProgramRun() {
    if (opened) db->close();
  }
  void insert(const T& object) { db->insertRecord(&table, &object); }
  // The rows, unpacked (strings point into the file while the run lasts).
  std::vector<T> rows() {
    db->beginTransaction(dbDatabase::dbSharedLock);
    std::vector<T> out;
    for (oid_t id = reinterpret_cast<const dbTable*>(db->getRow(table.tableId))->firstRow; id != 0;
         id = reinterpret_cast<const dbRecord*>(db->getRow(id))->next) {
      T object{};
      table.unpack(&object, db->getRow(id));
      out.push_back(object);
    }
    return out;
  }

  std::unique_ptr<TestDatabase> db;
  BoundTable<T> table;
  bool opened = false;
};

struct Version1 {
  const char* name;
  db_int4 count;
  const char* note;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(count), FIELD(note)));
};

// count becomes a real, note is dropped, two fields are added.
struct Version2 {
  real8 count;
  const char* name;
  const char* added;
  dbReference<Version2> link;
  dbDateTime when;
  TYPE_DESCRIPTOR((FIELD(count), FIELD(name), FIELD(added), FIELD(link), FIELD(when)));
};
REGISTER_IN(Version2, nullptr);

struct StringCount {
  const char* name;
  const char* count;
  const char* note;
  TYPE_DESCRIPTOR((FIELD(name), FIELD(count), FIELD(note)));
};

struct Keyed {
  const char* name;
  db_int4 count;
  const char* note;
  TYPE_DESCRIPTOR((KEY(name, HASHED), KEY(count, INDEXED), FIELD(note)));
};

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override { reported.clear(); }
  ScratchFolder folder;
  std::string file = folder.file("schema.mem");

  void seed() {
    ProgramRun<Version1> run(file);
    ASSERT_TRUE(run.opened);
    run.insert({"\xB2\xA3\xAB\x7E", 42, "first"});
    run.insert({"second", -7, nullptr});
    run.db->commit();
  }
};

TEST_F(SchemaTest, NewFileAddsTheTableAndReopeningLinksItWithoutChanges) {
  oid_t tableId;
  {
    ProgramRun<Version1> run(file);
    ASSERT_TRUE(run.opened);
    tableId = run.table.tableId;
    EXPECT_NE(tableId, 0u);
    run.db->beginTransaction(dbDatabase::dbSharedLock);
    const auto* stored = reinterpret_cast<const dbTable*>(run.db->getRow(tableId));
    EXPECT_TRUE(run.table.equal(stored));
    EXPECT_EQ(stored->nRows, 0u);
    run.db->commit();
    EXPECT_SOUND(*run.db);
  }
  std::vector<char> before = readFile(file);
  {
    ProgramRun<Version1> run(file);
    ASSERT_TRUE(run.opened);
    EXPECT_EQ(run.table.tableId, tableId);
  }
  EXPECT_EQ(readFile(file), before);  // the schema load found nothing to commit
  EXPECT_TRUE(reported.empty());
}

TEST_F(SchemaTest, ChangedClassConvertsEveryRow) {
  seed();
  {
    ProgramRun<Version2> run(file);
    ASSERT_TRUE(run.opened);
    std::vector<Version2> rows = run.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_STREQ(rows[0].name, "\xB2\xA3\xAB\x7E");
    EXPECT_EQ(rows[0].count, 42.0);
    EXPECT_STREQ(rows[0].added, "");
    EXPECT_EQ(rows[0].link.getOid(), 0u);
    EXPECT_EQ(rows[0].when.stamp, 0);
    EXPECT_STREQ(rows[1].name, "second");
    EXPECT_EQ(rows[1].count, -7.0);
    run.db->commit();
    EXPECT_SOUND(*run.db);
  }
  // The conversion was committed: the next run finds the new layout.
  ProgramRun<Version2> again(file);
  ASSERT_TRUE(again.opened);
  EXPECT_EQ(again.rows().size(), 2u);
  EXPECT_TRUE(reported.empty());
}

TEST_F(SchemaTest, ChangedClassOfAnEmptyTableOnlyRewritesTheDescription) {
  { ProgramRun<Version1> run(file); }
  ProgramRun<Version2> run(file, false);  // nothing to drop data from
  ASSERT_TRUE(run.opened);
  run.db->beginTransaction(dbDatabase::dbSharedLock);
  EXPECT_TRUE(run.table.equal(reinterpret_cast<const dbTable*>(run.db->getRow(run.table.tableId))));
  run.db->commit();
  EXPECT_SOUND(*run.db);
}

TEST_F(SchemaTest, RefusedChangesLeaveTheFileAsItWas) {
  seed();
  std::vector<char> before = readFile(file);
  {
    ProgramRun<StringCount> run(file);  // an integer cannot become a string
    EXPECT_FALSE(run.opened);
    EXPECT_EQ(run.table.tableId, 0u);
  }
  {
    ProgramRun<Version2> run(file, false);  // dropping `note` loses data
    EXPECT_FALSE(run.opened);
  }
  EXPECT_EQ(readFile(file), before);
  std::vector<std::pair<int, std::string>> expected = {{ErrOpen, "field can be converted to new format"},
                                                       {ErrOpen, "field can be removed only from empty table"}};
  EXPECT_EQ(reported, expected);
  ProgramRun<Version1> run(file);
  ASSERT_TRUE(run.opened);
  EXPECT_EQ(run.rows().size(), 2u);
}

TEST_F(SchemaTest, AnotherUserCannotOpenWithADifferentClass) {
  seed();
  ProgramRun<Version1> owner(file);
  ASSERT_TRUE(owner.opened);
  {
    ProgramRun<Version2> second(file);
    EXPECT_FALSE(second.opened);
  }
  std::vector<std::pair<int, std::string>> expected = {{ErrOpen, "Incompatible class definition in application"}};
  EXPECT_EQ(reported, expected);
  ProgramRun<Version1> same(file);
  EXPECT_TRUE(same.opened);
}

TEST_F(SchemaTest, ReadOnlyOpenRefusesAChangedClass) {
  seed();
  {
    ProgramRun<Version2> run(file, true, dbDatabase::dbReadOnly);
    EXPECT_FALSE(run.opened);
  }
  std::vector<std::pair<int, std::string>> expected = {{ErrOpen, "Incompatible class definition in application"}};
  EXPECT_EQ(reported, expected);
  ProgramRun<Version1> run(file, true, dbDatabase::dbReadOnly);
  ASSERT_TRUE(run.opened);
  EXPECT_EQ(run.rows().size(), 2u);
}

struct Small {
  db_int4 n;
  TYPE_DESCRIPTOR((FIELD(n)));
};

// The names of the stored tables, in Metatable order.
std::vector<std::string> storedTables(dbDatabase& db) {
  db.beginTransaction(dbDatabase::dbSharedLock);
  std::vector<std::string> names;
  for (oid_t id = reinterpret_cast<const dbTable*>(db.getRow(MetatableId))->firstRow; id != 0;
       id = reinterpret_cast<const dbRecord*>(db.getRow(id))->next) {
    const db_byte* row = db.getRow(id);
    names.emplace_back(reinterpret_cast<const char*>(row + reinterpret_cast<const dbTable*>(row)->name.offs));
  }
  db.commit();
  return names;
}

TEST_F(SchemaTest, TablesAddedDuringTheLoadDoNotHideStoredOnes) {
  // The search goes round the stored tables from where the last one was
  // found; the chain is processed most recently constructed first.
  {
    std::unique_ptr<TestDatabase> db(makeProgramDatabase());
    BoundTable<Small> t3("T3", db.get()), t2("T2", db.get()), t1("T1", db.get());
    ASSERT_TRUE(db->open("schema", file.c_str()));
    db->close();
  }
  std::unique_ptr<TestDatabase> db(makeProgramDatabase());
  BoundTable<Small> t2("T2", db.get()), t3("T3", db.get()), y("Y", db.get()), x("X", db.get()), t1("T1", db.get());
  ASSERT_TRUE(db->open("schema", file.c_str()));
  std::vector<std::string> names = storedTables(*db);
  std::vector<std::string> ours;
  for (const std::string& name : names) {
    if (name.size() == 2 || name == "X" || name == "Y") ours.push_back(name);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"T1", "T2", "T3", "X", "Y"}));
  EXPECT_SOUND(*db);
  db->close();
}

// Collects the ids an index search finds.
struct Found : dbIdReceiver {
  bool add(oid_t id) override {
    ids.push_back(id);
    return true;
  }
  std::vector<oid_t> ids;
};

TEST_F(SchemaTest, NewIndicesAreCreatedAndFilledWithTheExistingRows) {
  seed();
  oid_t hashTable;
  {
    ProgramRun<Keyed> run(file);
    ASSERT_TRUE(run.opened);
    dbFieldDescriptor* name = run.table.find("name");
    dbFieldDescriptor* count = run.table.find("count");
    hashTable = name->hashTable;
    EXPECT_NE(hashTable, 0u);
    EXPECT_NE(count->tTree, 0u);
    EXPECT_EQ(name->tTree, 0u);

    run.db->beginTransaction(dbDatabase::dbSharedLock);
    Found found;
    dbIndexSearch search;
    search.firstKey = search.lastKey = "second";
    search.type = name->type;
    search.sizeofType = name->dbsSize;
    search.offs = name->dbsOffs;
    search.cursor = &found;
    dbHashTable::find(*run.db, hashTable, search);
    ASSERT_EQ(found.ids.size(), 1u);
    Keyed row{};
    run.table.unpack(&row, run.db->getRow(found.ids[0]));
    EXPECT_EQ(row.count, -7);
    run.db->commit();
    EXPECT_SOUND(*run.db);
  }
  ProgramRun<Keyed> again(file);
  ASSERT_TRUE(again.opened);
  EXPECT_EQ(again.table.find("name")->hashTable, hashTable);  // kept, not rebuilt
  EXPECT_TRUE(reported.empty());
}

// Inverse references: A.b and B.a point at each other; C.b names a field of
// B that does not point back, D.b one that does not exist.
struct A;
struct B;
struct B {
  dbReference<A> a;
  dbReference<A> other;
  TYPE_DESCRIPTOR((RELATION(a, b), FIELD(other)));
};
struct A {
  dbReference<B> b;
  TYPE_DESCRIPTOR((RELATION(b, a)));
};
struct C {
  dbReference<B> b;
  TYPE_DESCRIPTOR((RELATION(b, other)));
};
struct D {
  dbReference<B> b;
  TYPE_DESCRIPTOR((RELATION(b, missing)));
};
dbDatabase inverseDb(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
REGISTER_IN(A, &inverseDb);
REGISTER_IN(B, &inverseDb);
REGISTER_IN(C, &inverseDb);
REGISTER_IN(D, &inverseDb);

TEST_F(SchemaTest, InverseReferencesAreLinkedOrReported) {
  inverseDb.errorHandler = &recordError;
  ASSERT_TRUE(inverseDb.open("inverse", file.c_str()));
  EXPECT_EQ(A::dbDescriptor.find("b")->inverseRef, B::dbDescriptor.find("a"));
  EXPECT_EQ(B::dbDescriptor.find("a")->inverseRef, A::dbDescriptor.find("b"));
  EXPECT_EQ(C::dbDescriptor.find("b")->inverseRef, nullptr);
  EXPECT_EQ(D::dbDescriptor.find("b")->inverseRef, nullptr);
  inverseDb.close();
  std::vector<std::pair<int, std::string>> expected = {
      {ErrInverseReference, "Failed to locate inverse reference field B.missing for field D.b"},
      {ErrInverseReference, "Inverse references for field C.b is B.other, but its inverse reference is "},
  };
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(reported, expected);
}

}  // namespace
