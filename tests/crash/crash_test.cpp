// A writer killed with SIGKILL at random moments, many times over the same
// file: every memory write it made reaches the file, so what this shows is
// that the working state never spoils the committed one and that opening a
// file left dirty repairs it (the next child opens it before the parent
// looks again, and may itself be killed while repairing).
#include <gtest/gtest.h>

#include <thread>

#include "crash/crash_harness.h"
#include "powerloss/power_cut_file.h"

REGISTER(CrashItem);

namespace {

// Rounds between fresh files: each file grows its object index and its
// length again from the start.
constexpr int kRoundsPerFile = 250;

// Changes in a commit long enough for a kill to land inside it.
constexpr size_t kBigCommit = 20;

// When the parent kills the child: while it opens (and perhaps repairs) the
// file, at a random moment of its work, or just after it announced a commit
// (to land inside commit, between or during its flushes, as often as the
// machine's timing allows).
struct KillPlan {
  enum When { WhileOpening, AnyTime, InCommit } when;
  int commitsFirst;  // InCommit: commits to let through before
  std::chrono::microseconds delay;
};

KillPlan randomKill(std::mt19937_64& rng) {
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  int roll = uniform(0, 99);
  if (roll < 10) return {KillPlan::WhileOpening, 0, std::chrono::microseconds(uniform(0, 3000))};
  if (roll < 55) return {KillPlan::AnyTime, 0, std::chrono::microseconds(uniform(0, 60000))};
  return {KillPlan::InCommit, uniform(0, 5), std::chrono::microseconds(uniform(0, 200))};
}

}  // namespace

TEST(CrashTest, KilledWriterLeavesTheLastCommitOrTheOneUnderWay) {
  const uint64_t seed = crashSeed();
  std::printf("crash seed %llu (set TAVRO_CRASH_SEED to repeat)\n", static_cast<unsigned long long>(seed));
  const int rounds = kSanitized ? 80 : 500;
  const auto timeLimit = std::chrono::steady_clock::now() + std::chrono::seconds(kSanitized ? 60 : 40);

  CrashFolder folder;
  const std::string path = folder.file("crash.fdb");
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
    // The file as this round's child finds it, kept to repeat a failure.
    const std::string input = folder.file("round-input.fdb");
    std::filesystem::remove(input);
    if (std::filesystem::exists(path)) std::filesystem::copy_file(path, input);
    const uint64_t childSeed = seed + static_cast<uint64_t>(round);
    const KillPlan kill = randomKill(rng);
    ReportReader reader(expected);
    {
      ChildProcess child([&](int fd) { childMain(path, expected, childSeed, fd, nullptr); });
      ASSERT_TRUE(child.started());
      const ChildReport& seen = reader.result();
      const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      if (kill.when == KillPlan::AnyTime) {
        ASSERT_TRUE(child.readUntil(reader, patience, [&] { return seen.opened || !seen.fault.empty(); }))
            << "seed " << seed << " round " << round << ": the child did not open the database";
        child.readUntil(reader, std::chrono::steady_clock::now() + kill.delay, [] { return false; });
      } else {
        if (kill.when == KillPlan::InCommit) {
          // A slow machine may not get there in time: the kill then falls
          // wherever the child is.
          child.readUntil(reader, std::chrono::steady_clock::now() + std::chrono::seconds(5), [&] {
            return (seen.pending && seen.pending->size() >= kBigCommit && seen.commits >= kill.commitsFirst) ||
                   !seen.fault.empty();
          });
        }
        std::this_thread::sleep_for(kill.delay);
      }
      child.finish(reader);
      const int status = child.exitStatus();
      if (reader.result().fault.empty() && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
        FAIL() << "seed " << seed << " round " << round << ": the child ended by itself, status " << status
               << "; its input file is kept as " << keepForRepeat(input, childSeed);
      }
    }
    const ChildReport& report = reader.result();
    ASSERT_EQ(report.fault, "") << "seed " << seed << " round " << round;

    std::string fault;
    const Outcome outcome = judgeFile(path, report, !formatted, fault);
    ASSERT_NE(outcome, Outcome::Fault) << "seed " << seed << " round " << round << " (child seed " << childSeed
                                       << ", " << report.commits << " commits): " << fault;
    if (!formatted) formatted = formattedFile(readWholeFile(path));
    tally.count(outcome, report);
    expected = outcome == Outcome::PendingKept ? applied(report.committed, *report.pending) : report.committed;
  }
  tally.print("crash", seed);

  expectEngineOpensSound(path, expected);
}
