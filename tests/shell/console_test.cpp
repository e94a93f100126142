// The console face and its loop, driven through pipes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <sstream>

#include "consoleface.h"
#include "consoleloop.h"
#include "shell_fakes.h"

namespace {

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      readEnd = fds[0];
      writeEnd = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void write(const std::string& bytes) { ASSERT_EQ(::write(writeEnd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  void closeWrite() {
    if (writeEnd >= 0) ::close(writeEnd);
    writeEnd = -1;
  }
  void closeRead() {
    if (readEnd >= 0) ::close(readEnd);
    readEnd = -1;
  }
  int readEnd = -1;
  int writeEnd = -1;
};

// A face over pipes: lines, timer ticks and signals are written by the test.
class ConsoleTest : public ::testing::Test {
 protected:
  Pipe lines, ticks, signals;
  ConsoleInput input{lines.readEnd, ticks.readEnd, signals.readEnd};
  ConsoleTimer timer;
  std::ostringstream out;
  ConsoleFace face{input, timer, out, false};
  const std::string tick = std::string(sizeof(uint64_t), '\1');
};

TEST_F(ConsoleTest, InputGivesLinesThenEndOnceThenSignals) {
  lines.write("setup\r\nlast without line feed");
  lines.closeWrite();
  std::string line;
  EXPECT_EQ(input.next(line), ConsoleInput::Event::line);
  EXPECT_EQ(line, "setup\r");  // the words ignore the CR
  EXPECT_EQ(input.next(line), ConsoleInput::Event::line);
  EXPECT_EQ(line, "last without line feed");
  EXPECT_EQ(input.next(line), ConsoleInput::Event::endOfInput);
  ticks.write(tick);
  EXPECT_EQ(input.next(line), ConsoleInput::Event::timer);
  signals.write("s");
  EXPECT_EQ(input.next(line), ConsoleInput::Event::signal);
  EXPECT_EQ(input.next(line), ConsoleInput::Event::signal);
  EXPECT_FALSE(input.readLine().has_value());
}

TEST_F(ConsoleTest, TickDuringQuestionWaitsForTheLoop) {
  ticks.write(tick);
  lines.write("yes\n");
  EXPECT_TRUE(face.askYesNo("關閉系統?"));
  EXPECT_TRUE(input.takeTimerTick());
  EXPECT_FALSE(input.takeTimerTick());
}

TEST_F(ConsoleTest, QuestionAsksAgainUntilAnswered) {
  lines.write("maybe\n\n否\n");
  EXPECT_FALSE(face.askYesNo("關閉系統?"));
  const std::string shown = out.str();
  EXPECT_EQ(shown.find("關閉系統?"), shown.rfind("關閉系統?"));  // the text once
  size_t prompts = 0;
  for (size_t at = shown.find("(是 F4"); at != std::string::npos; at = shown.find("(是 F4", at + 1)) prompts++;
  EXPECT_EQ(prompts, 3u);

  lines.write("F4\n");
  EXPECT_TRUE(face.askYesNo("關閉系統?"));
}

TEST_F(ConsoleTest, QuestionAtEndOfInputOrSignalIsNo) {
  lines.closeWrite();
  EXPECT_FALSE(face.askYesNo("關閉系統?"));

  ConsoleInput signalledInput(-1, -1, signals.readEnd);
  ConsoleFace signalledFace(signalledInput, timer, out, true);
  signals.write("s");
  EXPECT_FALSE(signalledFace.askYesNo("關閉系統?"));
  signalledFace.showMessage("不會等待");  // a message does not wait after a signal either
}

TEST_F(ConsoleTest, DialogEditsFieldsAndReturnsChosenAction) {
  ShellDialog dialog;
  dialog.caption = "伺服器設定";
  dialog.fields = {{"網上伺服器Port:", "port", false, "8001", false},
                   {"每次執行系統自動開啟伺服器", "auto", true, "", false}};
  dialog.actions = {{"儲存 F4", {"F4", "save"}, 1, false}, {"開啟伺服器 F5", {"F5", "start"}, 2, true},
                    {"取消 F12", {"F12", "cancel"}, 0, true}};
  lines.write("port 8080\nauto on\nsave\nhuh\nstart\n");
  EXPECT_EQ(face.runDialog(dialog), 2);
  EXPECT_EQ(dialog.fields[0].text, "8080");
  EXPECT_TRUE(dialog.fields[1].checked);
  EXPECT_NE(out.str().find("[儲存 F4] 現在不能使用."), std::string::npos);

  lines.closeWrite();
  EXPECT_EQ(face.runDialog(dialog), 0);  // closed with the end of input: cancel
}

TEST_F(ConsoleTest, MessageWaitsForEnterOnlyOnATerminal) {
  lines.write("\nnext\n");
  face.showMessage("備份完成.");  // not a terminal: reads nothing
  ConsoleFace terminalFace(input, timer, out, true);
  terminalFace.showMessage("備份完成.");  // takes the empty line
  std::string line;
  ASSERT_EQ(input.next(line), ConsoleInput::Event::line);
  EXPECT_EQ(line, "next");
  EXPECT_NE(out.str().find("[信息] 備份完成.\n"), std::string::npos);
}

TEST_F(ConsoleTest, FaceNeverLaunchesABrowser) {
  face.open("http://localhost:8001");
  EXPECT_EQ(out.str(), "請用瀏覽器開啟: http://localhost:8001\n");
}

class ConsoleLoopTest : public ConsoleTest {
 protected:
  void SetUp() override { folder.write("login.htm", "<html></html>"); }
  // A test that starts the server waits for its thread before the stand-in goes.

  TemporaryFolder folder;
  RecordingServer server;
  TMainForm form{face, server, nullptr, folder.path(), [] { return std::string("10.0.0.5"); }};
};

TEST_F(ConsoleLoopTest, CommandsDriveTheForm) {
  ASSERT_TRUE(form.FormShow());
  int backups = 0;
  form.exitBackup = [&] { backups++; };
  lines.write("what\nsetup\nstart\n4\nn\nexit\ny\n");
  EXPECT_EQ(runConsole(form, face, input), 0);
  ASSERT_TRUE(server.waitForThread());
  EXPECT_TRUE(form.closed());
  EXPECT_TRUE(form.serverStarted);
  EXPECT_EQ(server.stops, 1);
  EXPECT_EQ(backups, 1);
  const std::string shown = out.str();
  EXPECT_NE(shown.find("指令: setup (1)"), std::string::npos);
  EXPECT_NE(shown.find("http://10.0.0.5\n"), std::string::npos);
}

TEST_F(ConsoleLoopTest, EndOfInputKeepsRunningUntilASignal) {
  ASSERT_TRUE(form.FormShow());
  int backups = 0;
  form.exitBackup = [&] { backups++; };
  lines.write("setup\nstart\n");
  lines.closeWrite();
  auto loop = std::async(std::launch::async, [&] { return runConsole(form, face, input); });
  EXPECT_EQ(loop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  signals.write("s");
  ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(loop.get(), 0);
  ASSERT_TRUE(server.waitForThread());
  EXPECT_TRUE(form.serverStarted);
  EXPECT_EQ(server.stops, 1);
  EXPECT_EQ(backups, 1);
}

TEST_F(ConsoleLoopTest, TimerTickRunsTheDailyBackup) {
  ASSERT_TRUE(form.FormShow());
  int dailyBackups = 0;
  form.dailyBackup = [&] { dailyBackups++; };
  ticks.write(tick);
  lines.write("exit\ny\n");
  EXPECT_EQ(runConsole(form, face, input), 0);
  EXPECT_EQ(dailyBackups, 1);
}

}  // namespace
