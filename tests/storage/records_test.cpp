#include "storage_support.h"

namespace {

class Pair {
 public:
  const char* first;
  const char* second;
  db_int4 count;
  TYPE_DESCRIPTOR((FIELD(first), FIELD(second), FIELD(count)));
};

class Node {
 public:
  const char* label;
  dbReference<Node> parent;
  dbArray<dbReference<Node>> children;
  TYPE_DESCRIPTOR((FIELD(label), RELATION(parent, children), RELATION(children, parent)));
};

// A cursor stand-in that records what the engine tells it.
class RecordingCursor : public dbOpenCursor {
 public:
  void onTransactionEnd() override { ends++; }
  void onRecordUpdated(oid_t id) override { updated.push_back(id); }
  void onRecordRemoved(oid_t id) override { removed.push_back(id); }
  void adjustReferences(const db_byte* base, size_t size, ptrdiff_t by) override {
    oldBase = base;
    oldSize = size;
    shift = by;
  }
  int ends = 0;
  std::vector<oid_t> updated, removed;
  const db_byte* oldBase = nullptr;
  size_t oldSize = 0;
  ptrdiff_t shift = 0;
};

// The tables of these tests belong to this database only, so that the
// other tests' files hold no tables but their own.
TestDatabase recordsDatabase(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);

class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db->open("records", folder.file("records.fdb").c_str()));
    ASSERT_NE(dbTableOf<Pair>()->tableId, 0u);
  }
  void TearDown() override { db->close(); }
  template <class T>
  T fetch(oid_t id) {
    T object{};
    dbTableOf<T>()->unpack(&object, db->getRow(id));
    return object;
  }
  ScratchFolder folder;
  TestDatabase* db = &recordsDatabase;
};

}  // namespace

REGISTER_IN(Pair, &recordsDatabase);
REGISTER_IN(Node, &recordsDatabase);

TEST_F(RecordsTest, SameLengthUpdateStaysInPlaceEvenWhenTheNewStringsPointIntoTheRecord) {
  oid_t id = db->insert(Pair{"abc", "xyz", 1}).getOid();
  const offs_t pos = db->getPos(id);
  Pair swapped = fetch<Pair>(id);  // both strings point into the stored record
  std::swap(swapped.first, swapped.second);
  swapped.count = 2;
  db->updateRecord(id, dbTableOf<Pair>(), &swapped);
  EXPECT_EQ(db->getPos(id), pos);
  Pair stored = fetch<Pair>(id);
  EXPECT_STREQ(stored.first, "xyz");
  EXPECT_STREQ(stored.second, "abc");
  EXPECT_EQ(stored.count, 2);
  db->commit();
  EXPECT_SOUND(*db);
}

TEST_F(RecordsTest, InsertUpdateAndRemoveKeepTheTableAndTheSpaceConsistent) {
  oid_t a = db->insert(Pair{"a", nullptr, 1}).getOid();
  oid_t b = db->insert(Pair{"b", "bb", 2}).getOid();
  db->commit();
  EXPECT_STREQ(fetch<Pair>(a).second, "");  // a null string is stored empty

  Pair longer = fetch<Pair>(b);
  longer.second = "a much longer second string";
  db->updateRecord(b, dbTableOf<Pair>(), &longer);
  EXPECT_STREQ(fetch<Pair>(b).second, "a much longer second string");
  db->removeRecord(dbTableOf<Pair>(), a);
  db->commit();
  const auto* table = reinterpret_cast<const dbTable*>(db->getRow(dbTableOf<Pair>()->tableId));
  EXPECT_EQ(table->nRows, 1u);
  EXPECT_EQ(table->firstRow, b);
  EXPECT_SOUND(*db);

  for (int i = 0; i < 5; i++) db->insert(Pair{"many", "rows", i});
  db->commit();
  db->removeAllRecords(dbTableOf<Pair>());
  db->commit();
  table = reinterpret_cast<const dbTable*>(db->getRow(dbTableOf<Pair>()->tableId));
  EXPECT_EQ(table->nRows, 0u);
  EXPECT_EQ(table->firstRow, 0u);
  EXPECT_SOUND(*db);
}

TEST_F(RecordsTest, TheThreadsCursorsHearOfUpdatesRemovalsAndTheEndOfTheTransaction) {
  oid_t id = db->insert(Pair{"x", "y", 1}).getOid();
  RecordingCursor cursor;
  db->getThreadContext()->cursors.link(&cursor);
  Pair changed{"x", "z", 2};
  db->updateRecord(id, dbTableOf<Pair>(), &changed);
  EXPECT_EQ(cursor.updated, std::vector<oid_t>{id});
  db->removeRecord(dbTableOf<Pair>(), id);
  EXPECT_EQ(cursor.removed, std::vector<oid_t>{id});
  db->commit();
  EXPECT_EQ(cursor.ends, 1);
  EXPECT_TRUE(db->getThreadContext()->cursors.isEmpty());
}

TEST_F(RecordsTest, GrowingTheFileMovesTheCursorsPointersWhenTheMappingMoves) {
  RecordingCursor cursor;
  db->lock();
  db->getThreadContext()->cursors.link(&cursor);
  const db_byte* before = db->getBase();
  const size_t size = db->getMappedSize();
  db->insert(Pair{std::string(3 * size, 'g').c_str(), "", 0});
  EXPECT_GT(db->getMappedSize(), size);
  if (db->getBase() != before) {
    EXPECT_EQ(cursor.oldBase, before);
    EXPECT_EQ(cursor.oldSize, size);
    EXPECT_EQ(cursor.shift, db->getBase() - before);
  } else {
    EXPECT_EQ(cursor.oldBase, nullptr);
  }
  db->commit();
  EXPECT_SOUND(*db);
}

TEST_F(RecordsTest, InverseReferencesFollowInsertUpdateAndRemove) {
  oid_t parent = db->insert(Node{"parent", 0, {}}).getOid();
  oid_t child1 = db->insert(Node{"child1", parent, {}}).getOid();
  oid_t child2 = db->insert(Node{"child2", parent, {}}).getOid();
  auto childrenOf = [&](oid_t id) {
    Node node = fetch<Node>(id);
    std::vector<oid_t> ids;
    for (size_t i = 0; i < node.children.length(); i++) ids.push_back(node.children[i].getOid());
    return ids;
  };
  EXPECT_EQ(childrenOf(parent), (std::vector<oid_t>{child1, child2}));

  Node orphan = fetch<Node>(child1);
  orphan.parent = 0;
  db->updateRecord(child1, dbTableOf<Node>(), &orphan);
  EXPECT_EQ(childrenOf(parent), std::vector<oid_t>{child2});

  db->removeRecord(dbTableOf<Node>(), child2);
  EXPECT_EQ(childrenOf(parent), std::vector<oid_t>{});
  db->removeRecord(dbTableOf<Node>(), parent);
  db->commit();
  EXPECT_SOUND(*db);
}
