// The pieces of the shell that are plain functions of their input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backuptimer.h"
#include "consolewords.h"
#include "localaddresses.h"

namespace {

std::tm localTime(int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 11;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(BackupTimer, FirstIntervalEndsOneSecondAfterNextMidnight) {
  struct Case {
    int hour, minute, second;
    unsigned expectedMs;
  };
  const Case cases[] = {
      {23, 59, 59, 2000},       // just before midnight
      {0, 0, 0, 86401000},      // at midnight: a whole day and a second
      {12, 0, 0, 43201000},     // mid-day
      {23, 59, 60, 1000},       // a leap second does not wrap to a day
  };
  for (const Case& c : cases) {
    EXPECT_EQ(firstBackupTimerInterval(localTime(c.hour, c.minute, c.second)), c.expectedMs)
        << c.hour << ":" << c.minute << ":" << c.second;
  }
}

TEST(LocalAddresses, JoinsWithOrBetweenAddresses) {
  EXPECT_EQ(joinAddresses({}), "");
  EXPECT_EQ(joinAddresses({"10.0.0.5"}), "10.0.0.5");
  EXPECT_EQ(joinAddresses({"10.0.0.5", "192.168.1.7"}), "10.0.0.5 或 192.168.1.7");
}

TEST(LocalAddresses, LeavesLoopbackOut) {
  for (const std::string& address : interfaceAddresses()) {
    EXPECT_NE(address.rfind("127.", 0), 0u) << address;
  }
}

TEST(ConsoleWords, CommandWords) {
  const std::pair<const char*, ConsoleCommand> cases[] = {
      {"setup", ConsoleCommand::setup},   {"1", ConsoleCommand::setup},     {"  Setup \r", ConsoleCommand::setup},
      {"backup", ConsoleCommand::backup}, {"2", ConsoleCommand::backup},    {"help", ConsoleCommand::help},
      {"3", ConsoleCommand::help},        {"exit", ConsoleCommand::exit},   {"EXIT", ConsoleCommand::exit},
      {"4", ConsoleCommand::exit},        {"", ConsoleCommand::unknown},    {"quit", ConsoleCommand::unknown},
      {"5", ConsoleCommand::unknown},     {"setup now", ConsoleCommand::unknown},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(parseCommand(line), expected) << "'" << line << "'";
  }
}

TEST(ConsoleWords, AnswerWords) {
  const std::pair<const char*, ConsoleAnswer> cases[] = {
      {"y", ConsoleAnswer::yes},       {"yes", ConsoleAnswer::yes},     {"是", ConsoleAnswer::yes},
      {"F4", ConsoleAnswer::yes},      {"f4", ConsoleAnswer::yes},      {" YES\r\n", ConsoleAnswer::yes},
      {"n", ConsoleAnswer::no},        {"no", ConsoleAnswer::no},       {"否", ConsoleAnswer::no},
      {"Esc", ConsoleAnswer::no},      {"ESC", ConsoleAnswer::no},      {"", ConsoleAnswer::unclear},
      {"yess", ConsoleAnswer::unclear}, {"是的", ConsoleAnswer::unclear}, {"F5", ConsoleAnswer::unclear},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(parseAnswer(line), expected) << "'" << line << "'";
  }
}

TEST(ConsoleWords, DialogLines) {
  ShellDialog dialog;
  dialog.fields = {{"網上伺服器Port:", "port", false, "8001", false},
                   {"每次執行系統自動開啟伺服器", "auto", true, "", false},
                   {"唯讀", "", false, "x", false}};
  dialog.actions = {{"儲存 F4", {"F4", "save"}, 1, false},
                    {"開啟伺服器 F5", {"F5", "start"}, 2, true},
                    {"取消 F12", {"F12", "cancel"}, 0, true}};
  struct Case {
    const char* line;
    DialogInput::Kind kind;
    size_t index;
    const char* value;
  };
  const Case cases[] = {
      {"start", DialogInput::action, 1, ""},      {"f5", DialogInput::action, 1, ""},
      {"F12", DialogInput::action, 2, ""},        {"save", DialogInput::disabled, 0, ""},
      {"port 8080", DialogInput::setField, 0, "8080"}, {"PORT   abc ", DialogInput::setField, 0, "abc"},
      {"auto on", DialogInput::setField, 1, "on"}, {"auto OFF", DialogInput::setField, 1, "off"},
      {"auto maybe", DialogInput::invalid, 1, "maybe"}, {"唯讀 y", DialogInput::unknown, 0, ""},
      {"port", DialogInput::unknown, 0, ""},      {"bogus", DialogInput::unknown, 0, ""},
  };
  for (const Case& c : cases) {
    const DialogInput in = parseDialogLine(dialog, c.line);
    EXPECT_EQ(in.kind, c.kind) << c.line;
    if (in.kind != DialogInput::unknown) {
      EXPECT_EQ(in.index, c.index) << c.line;
    }
    if (in.kind == DialogInput::setField || in.kind == DialogInput::invalid) {
      EXPECT_EQ(in.value, c.value) << c.line;
    }
  }
}

}  // namespace
