// The main window's logic over a recording face and server.
#include <gtest/gtest.h>

#include "backuptimer.h"
#include "mainform.h"
#include "pagetable.h"
#include "shell_fakes.h"

namespace {

const char* const announcement = "Tavro網上產品目錄系統伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:";

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override { folder.write("login.htm", loginPage); }
  TMainForm makeForm(std::string addresses = "10.0.0.5") {
    return TMainForm(face, server, nullptr, folder.path(), [addresses] { return addresses; });
  }

  const std::string loginPage = "<html>\xb5\x6e\xa4\x4a</html>";  // Big5 bytes, kept as they are
  TemporaryFolder folder;
  RecordingFace face;
  RecordingServer server;
};

TEST_F(MainFormTest, StartUpLoadsLoginPageWelcomesAndArmsTimer) {
  TMainForm form = makeForm();
  ASSERT_TRUE(form.FormShow());
  EXPECT_EQ(form.startPageProducer, loginPage);
  EXPECT_EQ(face.log, std::vector<std::string>{"歡迎使用Tavro網上產品目錄系統."});
  EXPECT_EQ(form.serverPort, 8001);
  EXPECT_FALSE(form.serverStarted);
  ASSERT_EQ(face.timerIntervals.size(), 1u);
  EXPECT_GE(face.timerIntervals[0], 1000u);
  EXPECT_LE(face.timerIntervals[0], 86401000u);

  // The login page answers with the loaded bytes after its header line.
  WWWconnection con;
  login(con);
  EXPECT_EQ(con.reply(), "Content-type: text/html\r\n\r\n" + loginPage);
}

TEST_F(MainFormTest, StartUpWithoutLoginPageFailsAndClosesWithoutQuestion) {
  std::filesystem::remove(folder.path() + "/login.htm");
  TMainForm form = makeForm();
  EXPECT_FALSE(form.FormShow());
  EXPECT_EQ(face.messages, std::vector<std::string>{"找不到 login.htm 檔案."});
  EXPECT_TRUE(face.log.empty());
  EXPECT_TRUE(face.timerIntervals.empty());

  bool backedUp = false;
  form.exitBackup = [&] { backedUp = true; };
  form.closeButtonClick();
  EXPECT_TRUE(form.closed());
  EXPECT_TRUE(face.questions.empty());
  EXPECT_FALSE(backedUp);
}

TEST_F(MainFormTest, StartServerLogsWhereBrowsersReachIt) {
  struct Case {
    int port;
    std::string addresses;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {8001, "10.0.0.5", {"", announcement, "http://10.0.0.5", "請在IP後面加上 Port, 例如 http://192.168.1.20:8001", ""}},
      {80, "10.0.0.5 或 192.168.1.7", {"", announcement, "http://10.0.0.5 或 192.168.1.7", ""}},
      {8080, "", {"", announcement, "http://", "請在IP後面加上 Port, 例如 http://192.168.1.20:8080", ""}},
  };
  for (const Case& c : cases) {
    RecordingFace caseFace;
    RecordingServer caseServer;
    TMainForm form(caseFace, caseServer, nullptr, folder.path(), [&] { return c.addresses; });
    form.serverPort = c.port;
    form.startServer();
    EXPECT_EQ(caseFace.log, c.lines) << "port " << c.port;
    EXPECT_EQ(caseFace.opened, std::vector<std::string>{"http://localhost:" + std::to_string(c.port)});
    ASSERT_TRUE(caseServer.waitForThread());
    EXPECT_EQ(caseServer.openedAddress, "localhost:" + std::to_string(c.port));
  }
}

TEST_F(MainFormTest, SecondStartServerDoesNothing) {
  TMainForm form = makeForm();
  form.startServer();
  const size_t linesAfterFirst = face.log.size();
  form.startServer();
  ASSERT_TRUE(server.waitForThread());
  EXPECT_TRUE(form.serverStarted);
  EXPECT_EQ(face.log.size(), linesAfterFirst);
  EXPECT_EQ(face.opened.size(), 1u);
  EXPECT_EQ(server.opens, 1);
  EXPECT_EQ(server.serves, 1);
}

TEST_F(MainFormTest, FailedOpenIsReportedOnStderrOnly) {
  server.openSucceeds = false;
  testing::internal::CaptureStderr();
  TMainForm::serverThreadMain(server, "localhost:8001");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open WWW session\n");
  EXPECT_EQ(server.serves, 0);
}

TEST_F(MainFormTest, CloseAnsweredNoKeepsServerRunning) {
  TMainForm form = makeForm();
  ASSERT_TRUE(form.FormShow());
  form.startServer();
  ASSERT_TRUE(server.waitForThread());
  int backups = 0;
  form.exitBackup = [&] { backups++; };

  face.answers = {false};
  TMainForm::TCloseAction action = TMainForm::caFree;
  form.FormClose(action);
  EXPECT_EQ(action, TMainForm::caNone);
  EXPECT_FALSE(form.closed());
  EXPECT_EQ(server.stops, 0);
  EXPECT_EQ(backups, 0);

  face.answers = {true};
  form.closeButtonClick();
  EXPECT_TRUE(form.closed());
  EXPECT_EQ(face.questions, (std::vector<std::string>{"關閉系統?", "關閉系統?"}));
  EXPECT_EQ(server.stops, 1);
  EXPECT_EQ(backups, 1);
}

TEST_F(MainFormTest, CloseBeforeServerStartedStopsNothingButBacksUp) {
  TMainForm form = makeForm();
  ASSERT_TRUE(form.FormShow());
  int backups = 0;
  form.exitBackup = [&] { backups++; };
  face.answers = {true};
  form.closeButtonClick();
  EXPECT_TRUE(form.closed());
  EXPECT_EQ(server.stops, 0);
  EXPECT_EQ(backups, 1);
}

TEST_F(MainFormTest, ConfirmedCloseAsksNothing) {
  TMainForm form = makeForm();
  ASSERT_TRUE(form.FormShow());
  form.startServer();
  ASSERT_TRUE(server.waitForThread());
  int backups = 0;
  form.exitBackup = [&] { backups++; };
  form.closeConfirmed();
  EXPECT_TRUE(form.closed());
  EXPECT_TRUE(face.questions.empty());
  EXPECT_EQ(server.stops, 1);
  EXPECT_EQ(backups, 1);
}

TEST_F(MainFormTest, ServerSetupOffersStartOnlyWhileServerIsStopped) {
  TMainForm form = makeForm();
  ASSERT_TRUE(form.FormShow());

  face.dialogResult = TMainForm::setupCancel;
  form.serverSetupButtonClick();
  EXPECT_FALSE(form.serverStarted);

  face.dialogResult = TMainForm::setupStart;
  form.serverSetupButtonClick();
  EXPECT_TRUE(form.serverStarted);
  ASSERT_TRUE(server.waitForThread());

  form.serverSetupButtonClick();
  ASSERT_EQ(face.dialogs.size(), 3u);
  const auto startEnabled = [](const ShellDialog& d) {
    for (const ShellDialogAction& a : d.actions) {
      if (a.result == TMainForm::setupStart) return a.enabled;
    }
    return false;
  };
  EXPECT_TRUE(startEnabled(face.dialogs[0]));
  EXPECT_TRUE(startEnabled(face.dialogs[1]));
  EXPECT_FALSE(startEnabled(face.dialogs[2]));
  EXPECT_EQ(face.dialogs[0].caption, "伺服器設定");
  EXPECT_EQ(server.opens, 1);
}

TEST_F(MainFormTest, HelpOpensIndexOnlyWhenPresent) {
  TMainForm form = makeForm();
  form.helpButtonClick();
  EXPECT_TRUE(face.opened.empty());
  folder.write("help/index.htm", "<html></html>");
  form.helpButtonClick();
  EXPECT_EQ(face.opened, std::vector<std::string>{folder.path() + "/help/index.htm"});
}

TEST_F(MainFormTest, TimerTickRearmsForADayAndRunsDailyBackup) {
  TMainForm form = makeForm();
  int backups = 0;
  form.dailyBackup = [&] { backups++; };
  form.backupTimerTimer();
  EXPECT_EQ(face.timerIntervals, std::vector<unsigned>{backupTimerDayInterval});
  EXPECT_EQ(backups, 1);
}

}  // namespace
