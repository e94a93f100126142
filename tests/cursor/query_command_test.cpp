// tavro-db query: the records of any stored table that match a condition,
// read through the stored table descriptions, without changing the file.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "cursor_support.h"

namespace {

struct Point2 {
  db_int4 x;
  db_int4 y;
  TYPE_DESCRIPTOR((FIELD(x), FIELD(y)));
};

struct Gadget {
  const char* label;
  db_int4 count;
  real8 price;
  bool spare;
  dbReference<Gadget> next;
  dbArray<db_int2> sizes;
  Point2 corner;
  char code[2];
  TYPE_DESCRIPTOR((KEY(label, HASHED | INDEXED), FIELD(count), FIELD(price), FIELD(spare), FIELD(next), FIELD(sizes),
                   FIELD(corner), FIELD(code)));
};

int runTool(const std::string& arguments, std::string& output) {
  const char* binaryDir = std::getenv("TAVRO_BINARY_DIR");
  const std::filesystem::path build =
      binaryDir ? std::filesystem::path(binaryDir)
                : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
  output.clear();
  FILE* pipe = popen(((build / "tools/tavro-db/tavro-db").string() + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class QueryCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = folder.file("gadgets.fdb");
    CursorTestDatabase db;
    ASSERT_TRUE(db.open("gadgets", path.c_str()));
    const db_int2 sizes[] = {3, -4};
    Gadget first{};
    first.label = "\xA4\xA4\xA4\xE5 lamp";  // Big5, printed as stored
    first.count = 7;
    first.price = 2.5;
    first.spare = true;
    first.sizes = dbArray<db_int2>(sizes, 2);
    first.corner = {1, -2};
    first.code[0] = 'A';
    first.code[1] = 'z';
    oid_t firstId = db.insert(first).getOid();
    Gadget second{};
    second.label = "bolt";
    second.count = -1;
    second.price = 0.1;
    second.next = firstId;
    char text[32];
    std::snprintf(text, sizeof text, "#%u", firstId);
    firstReference = text;
    db.insert(second);
    db.close();
  }
  ScratchFolder folder;
  std::string path;
  std::string firstReference;
};

TEST_F(QueryCommandTest, PrintsMatchingRecordsAndTheirCount) {
  const struct {
    std::string condition;
    std::string output;
  } cases[] = {
      {"count > 0", "label=\xA4\xA4\xA4\xE5 lamp count=7 price=2.5 spare=true next=#0 sizes=[3,-4] corner={x=1,y=-2} "
                    "code=417a\n1 records\n"},
      {"label = 'bolt'", "label=bolt count=-1 price=0.10000000000000001 spare=false next=" + firstReference +
                             " sizes=[] corner={x=0,y=0} code=0000\n1 records\n"},
      {"label like 'b%' and next.count = 7", "label=bolt count=-1 price=0.10000000000000001 spare=false next=" +
                                                 firstReference + " sizes=[] corner={x=0,y=0} code=0000\n1 records\n"},
      {"count > 100", "0 records\n"},
  };
  std::vector<char> before = readFile(path);
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(runTool("query " + path + " Gadget \"" + c.condition + "\"", output), 0) << c.condition;
    EXPECT_EQ(output, c.output) << c.condition;
  }
  EXPECT_EQ(readFile(path), before);
}

TEST_F(QueryCommandTest, AnswersOnTheMetatable) {
  std::string output;
  ASSERT_EQ(runTool("query " + path + " Metatable \"name = 'Gadget'\"", output), 0) << output;
  EXPECT_EQ(output.rfind("name=Gadget fields=[{name=label,", 0), 0u) << output;
  EXPECT_NE(output.find("\n1 records\n"), std::string::npos) << output;
}

TEST_F(QueryCommandTest, RefusesUnknownTablesAndBadConditions) {
  std::string output;
  EXPECT_EQ(runTool("query " + path + " Nothing 'count > 0'", output), 1);
  EXPECT_NE(output.find("no table Nothing"), std::string::npos) << output;
  EXPECT_EQ(runTool("query " + path + " Gadget 'nosuch > 0'", output), 1);
  EXPECT_NE(output.find("0 records"), std::string::npos) << output;
  EXPECT_EQ(runTool("query " + path + " Gadget", output), 2);
}

}  // namespace

REGISTER(Gadget);
