// Power failures at random flushes: the file keeps only what flushes wrote,
// and of the flush the power cut only a random part of its pages, in random
// order. Reopened with the ordinary mapped file, it must pass the integrity
// check and hold the last committed items (or, when the cut fell inside a
// commit, the items of that commit).
#include <gtest/gtest.h>

#include "crash/crash_harness.h"
#include "power_cut_file.h"

REGISTER(CrashItem);

namespace {

// Rounds between fresh files, so that formatting, the first growths of the
// file and of the object index are cut as well.
constexpr int kRoundsPerFile = 150;
// The cut falls on one of the child's first flushes (opening a new file
// flushes twice, each commit twice, the first change after opening once).
constexpr int kLatestCut = 40;

}  // namespace

TEST(PowerLossTest, FileHoldsTheLastCommitOrTheOneUnderWayAfterACut) {
  const uint64_t seed = crashSeed();
  std::printf("power-loss seed %llu (set TAVRO_CRASH_SEED to repeat)\n", static_cast<unsigned long long>(seed));
  const int rounds = kSanitized ? 120 : 600;
  const auto timeLimit = std::chrono::steady_clock::now() + std::chrono::seconds(kSanitized ? 60 : 40);

  CrashFolder folder;
  const std::string path = folder.file("power.fdb");
  const std::string input = folder.file("round-input.fdb");
  std::mt19937_64 rng(seed);
  ItemTable expected;
  bool formatted = false;
  CrashTally tally;

  for (int round = 0; round < rounds && std::chrono::steady_clock::now() < timeLimit; round++) {
    if (round % kRoundsPerFile == 0) {
      std::filesystem::remove(path);
      expected.clear();
      formatted = false;
    }
    std::filesystem::remove(input);
    if (std::filesystem::exists(path)) std::filesystem::copy_file(path, input);
    const uint64_t childSeed = seed + static_cast<uint64_t>(round);
    const int cutAt = std::uniform_int_distribution<int>(1, kLatestCut)(rng);
    ReportReader reader(expected);
    {
      ChildProcess child([&](int fd) {
        childMain(path, expected, childSeed, fd, std::make_unique<dbPowerCutFile>(childSeed, cutAt));
      });
      ASSERT_TRUE(child.started());
      const bool ended = child.awaitExit(reader, std::chrono::seconds(30));
      const int status = child.exitStatus();
      if (reader.result().fault.empty() && !(ended && WIFEXITED(status) && WEXITSTATUS(status) == kPowerCutStatus)) {
        FAIL() << "seed " << seed << " round " << round << " (cut at flush " << cutAt
               << "): the child did not end at the cut, status " << status << "; its input file is kept as "
               << keepForRepeat(input, childSeed);
      }
    }
    const ChildReport& report = reader.result();
    ASSERT_EQ(report.fault, "") << "seed " << seed << " round " << round << " (cut at flush " << cutAt
                                << "); input kept as " << keepForRepeat(input, childSeed);

    std::string fault;
    const Outcome outcome = judgeFile(path, report, !formatted, fault);
    ASSERT_NE(outcome, Outcome::Fault) << "seed " << seed << " round " << round << " (child seed " << childSeed
                                       << ", cut at flush " << cutAt << ", " << report.commits
                                       << " commits): " << fault << "; input kept as "
                                       << keepForRepeat(input, childSeed);
    if (!formatted) formatted = formattedFile(readWholeFile(path));
    tally.count(outcome, report);
    expected = outcome == Outcome::PendingKept ? applied(report.committed, *report.pending) : report.committed;
  }
  tally.print("power loss", seed);
  expectEngineOpensSound(path, expected);
}
