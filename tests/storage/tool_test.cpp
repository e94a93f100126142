#include <sys/wait.h>

#include <cstdlib>
#include <memory>

#include "storage_support.h"

namespace {

// Runs tavro-db with `arguments`; returns its exit status and output.
int runTool(const std::string& arguments, std::string& output) {
  // The build folder: from the environment, else two levels above this
  // program (BUILD/tests/storage/storage_tests).
  const char* binaryDir = std::getenv("TAVRO_BINARY_DIR");
  const std::filesystem::path build =
      binaryDir ? std::filesystem::path(binaryDir)
                : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
  const std::string tool = (build / "tools/tavro-db/tavro-db").string();
  output.clear();
  FILE* pipe = popen((tool + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Tool, CreateMakesAnEmptyProgramDatabaseThatChecksClean) {
  ScratchFolder folder;
  const std::string path = folder.file("made.fdb");
  std::string output;
  ASSERT_EQ(runTool("create " + path, output), 0) << output;
  std::vector<char> file = readFile(path);
  ASSERT_EQ(file.size(), 1048576u);
  EXPECT_EQ(reinterpret_cast<const dbHeader*>(file.data())->dirty, 0);
  EXPECT_EQ(runTool("check " + path, output), 0) << output;
  EXPECT_EQ(runTool("info " + path, output), 0);
  EXPECT_NE(output.find("table Metatable (id 1): fixed size 48, 0 rows, 5 columns, 16 fields"), std::string::npos)
      << output;
  EXPECT_NE(runTool("create " + path, output), 0);  // never over an existing file
}

TEST(Tool, InfoAndCheckReadADirtyFileWithoutChangingIt) {
  ScratchFolder folder;
  const std::string path = folder.file("dirty.fdb");
  std::unique_ptr<TestDatabase> db(makeProgramDatabase());
  ASSERT_TRUE(db->open("dirty", path.c_str()));
  oid_t table = createRawTable(*db, "Raw");
  addRawRow(*db, table, "committed");
  db->commit();
  addRawRow(*db, table, "in progress");
  const std::vector<char> before = readFile(path);
  ASSERT_EQ(reinterpret_cast<const dbHeader*>(before.data())->dirty, 1);

  std::string output;
  EXPECT_EQ(runTool("check " + path, output), 0) << output;
  EXPECT_EQ(runTool("info " + path, output), 0) << output;
  EXPECT_NE(output.find("): fixed size 12, 1 rows"), std::string::npos) << output;
  EXPECT_EQ(readFile(path), before);
  db->rollback();
}

TEST(Tool, CheckNamesTheFaultsAndExitsWithOne) {
  ScratchFolder folder;
  const std::string path = folder.file("broken.fdb");
  std::string output;
  ASSERT_EQ(runTool("create " + path, output), 0) << output;
  std::vector<char> file = readFile(path);
  const dbHeader& header = *reinterpret_cast<const dbHeader*>(file.data());
  auto* index = reinterpret_cast<offs_t*>(file.data() + header.root[header.currentRoot].indexOffset);
  index[8193 - 100] = 0;  // a bitmap id after the last bitmap page
  writeFile(path, file);
  EXPECT_EQ(runTool("check " + path, output), 1);
  EXPECT_NE(output.find("fault: bitmap page id 8093"), std::string::npos) << output;
  writeFile(path, std::vector<char>(100, 'x'));
  EXPECT_EQ(runTool("info " + path, output), 1);
  EXPECT_NE(output.find("fault:"), std::string::npos) << output;
}
