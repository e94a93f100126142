#include <unistd.h>

#include <memory>

#include "storage_support.h"
#include "tavrodb.h"

namespace {

// Runs in the scratch folder for the length of a test (tavroDatabase works
// in the current folder).
class InFolder {
 public:
  explicit InFolder(const std::filesystem::path& folder) : previous(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(previous); }

 private:
  std::filesystem::path previous;
};

const dbHeader& headerOf(const std::vector<char>& file) { return *reinterpret_cast<const dbHeader*>(file.data()); }

offs_t entryOf(const std::vector<char>& file, int root, oid_t id) {
  offs_t entry;
  std::memcpy(&entry, file.data() + headerOf(file).root[root].indexOffset + id * sizeof(offs_t), sizeof entry);
  return entry;
}

}  // namespace

TEST(Format, NewProgramDatabaseHasTheDocumentedLayout) {
  ScratchFolder folder;
  InFolder in(folder.path);
  tavroDatabase db(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
  ASSERT_TRUE(db.open("Brakvellion"));
  EXPECT_EQ(db.homeDirectory, folder.path.string());
  EXPECT_EQ(db.getUsers(), 1);

  std::vector<char> file = readFile("Brakvellion.mem");
  ASSERT_EQ(file.size(), 1048576u);
  const dbHeader& h = headerOf(file);
  EXPECT_EQ(h.size, 1048576u);
  EXPECT_EQ(h.initialized, 1);
  EXPECT_EQ(h.dirty, 1);
  EXPECT_EQ(h.formatMajor, 2);
  EXPECT_EQ(h.formatMinor, 86);
  for (int r = 0; r < 2; r++) {
    EXPECT_EQ(h.root[r].indexOffset, r == 0 ? 4096u : 266240u);
    EXPECT_EQ(h.root[r].shadowIndexOffset, r == 0 ? 266240u : 4096u);
    EXPECT_EQ(h.root[r].indexCapacity, 65536u);
    EXPECT_EQ(h.root[r].shadowIndexCapacity, 65536u);
    EXPECT_EQ(h.root[r].indexUsed, 8194u);
    EXPECT_EQ(h.root[r].freeList, 0u);
    EXPECT_EQ(entryOf(file, r, 0), dbFreeHandleMarker);
    EXPECT_EQ(entryOf(file, r, 2), 528384u | PageObjectMarker);
    EXPECT_EQ(entryOf(file, r, 3), 532480u | PageObjectMarker);
    EXPECT_EQ(entryOf(file, r, 4), dbFreeHandleMarker);
    EXPECT_EQ(entryOf(file, r, 8193), dbFreeHandleMarker);
  }
  const offs_t meta = entryOf(file, h.currentRoot, MetatableId);
  const auto* metatable = reinterpret_cast<const dbTable*>(file.data() + meta);
  EXPECT_EQ(metatable->size, 985u);
  EXPECT_STREQ(file.data() + meta + metatable->name.offs, "Metatable");
  EXPECT_EQ(metatable->fixedSize, 48u);
  EXPECT_EQ(metatable->nColumns, 5u);
  EXPECT_EQ(metatable->fields.size, 16u);
  EXPECT_EQ(metatable->nRows, 0u);
  const auto* lastField = reinterpret_cast<const dbField*>(file.data() + meta + 48 + 15 * sizeof(dbField));
  EXPECT_STREQ(reinterpret_cast<const char*>(lastField) + lastField->name.offs, "lastRow");
  EXPECT_EQ(lastField->type, dbField::tpReference);
  EXPECT_EQ(lastField->offset, 44);
  EXPECT_FILE_SOUND("Brakvellion.mem");

  db.close();
  EXPECT_EQ(headerOf(readFile("Brakvellion.mem")).dirty, 0);
  EXPECT_FILE_SOUND("Brakvellion.mem");
}

TEST(Format, RowsSurviveACleanCloseAndReopen) {
  ScratchFolder folder;
  const std::string path = folder.file("rows.fdb");
  oid_t table;
  {
    std::unique_ptr<TestDatabase> db(makeProgramDatabase());
    ASSERT_TRUE(db->open("rows", path.c_str()));
    table = createRawTable(*db, "Raw");
    addRawRow(*db, table, "first");
    addRawRow(*db, table, "second");
    db->commit();
    EXPECT_SOUND(*db);
  }
  std::unique_ptr<TestDatabase> db(makeProgramDatabase());
  ASSERT_TRUE(db->open("rows", path.c_str()));
  EXPECT_EQ(rawRows(*db, table), (std::vector<std::string>{"first", "second"}));
  db->commit();
  EXPECT_SOUND(*db);
}

TEST(Format, LongFolderAndFileNamesWork) {
  ScratchFolder folder;
  std::filesystem::path deep = folder.path;
  for (int i = 0; i < 4; i++) deep /= std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  InFolder in(deep);
  tavroDatabase db(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);
  const std::string longName(120, 'n');
  ASSERT_TRUE(db.open(longName.c_str()));
  EXPECT_EQ(db.homeDirectory, deep.string());
  EXPECT_GT(db.homeDirectory.size(), 81u);
  db.close();
  EXPECT_FILE_SOUND((deep / (longName + ".mem")).string());
}

TEST(Format, SecondOpenOfTheSameFileCountsAsAnotherUser) {
  ScratchFolder folder;
  const std::string path = folder.file("shared.fdb");
  std::unique_ptr<TestDatabase> first(makeProgramDatabase());
  ASSERT_TRUE(first->open("shared", path.c_str()));
  EXPECT_EQ(first->getUsers(), 1);
  {
    std::unique_ptr<TestDatabase> second(makeProgramDatabase());
    ASSERT_TRUE(second->open("shared", path.c_str()));
    EXPECT_EQ(second->getUsers(), 2);
    EXPECT_EQ(first->getUsers(), 2);
    second->close();
  }
  EXPECT_EQ(first->getUsers(), 1);
}
