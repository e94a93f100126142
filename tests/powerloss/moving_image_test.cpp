// The file layer may move the image whenever the file grows; the power-cut
// layer always does. Growth in the middle of an update must not leave the
// engine writing through an address of the old image.
#include <gtest/gtest.h>

#include "crash/crash_harness.h"
#include "power_cut_file.h"

namespace {

constexpr int kNeverCut = 0;

struct GrowingUpdate {
  const char* what;
  bool committedFirst;  // the record belongs to the committed state when it grows
};

class MovingImageTest : public ::testing::TestWithParam<GrowingUpdate> {};

}  // namespace

TEST_P(MovingImageTest, UpdateThatGrowsTheFileKeepsTheRecord) {
  CrashFolder folder;
  auto db = makeCrashDatabase();
  db->useFile(std::make_unique<dbPowerCutFile>(1, kNeverCut));
  ASSERT_TRUE(db->open("moving", folder.file("moving.fdb").c_str()));
  const ItemValue small{1, 2, 3, "small", "note"};
  CrashItem item = small.view();
  const oid_t id = db->insert(item).getOid();
  if (GetParam().committedFirst) db->commit();

  // Twice the initial file: the space can only come from a growth.
  const ItemValue large{4, 5, 6, "large", std::string(2 * 1048576, 'n')};
  item = large.view();
  db->updateRecord(id, &CrashItem::dbDescriptor, &item);
  db->commit();

  EXPECT_TRUE(visibleItems(*db) == (ItemTable{{id, large}}));
  db->commit();
  EXPECT_EQ(dbCheckDatabase(*db), std::vector<std::string>{});
  db->close();
}

INSTANTIATE_TEST_SUITE_P(Records, MovingImageTest,
                         ::testing::Values(GrowingUpdate{"CommittedRecord", true},
                                           GrowingUpdate{"RecordOfThisTransaction", false}),
                         [](const auto& info) { return std::string(info.param.what); });
