#include "mainform.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "backuptimer.h"
#include "database.h"
#include "pagetable.h"
#include "startlines.h"

namespace {

constexpr int newDatabasePort = 8001;

struct ServerThreadArgument {
  ServerControl& server;
  std::string address;
};

void runServerThread(void* raw) {
  std::unique_ptr<ServerThreadArgument> argument(static_cast<ServerThreadArgument*>(raw));
  TMainForm::serverThreadMain(argument->server, argument->address);
}

bool isFile(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(path, ignored);
}

}  // namespace

TMainForm::TMainForm(ShellFace& face, ServerControl& server, dbDatabase* db, std::string homeDirectory,
                     AddressLister addresses)
    : face_(face), server_(server), db_(db), homeDirectory_(std::move(homeDirectory)), addresses_(std::move(addresses)) {}

bool TMainForm::loadStartPage() {
  const std::string path = homeDirectory_ + "/login.htm";
  if (!isFile(path)) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  startPageProducer.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool TMainForm::FormShow() {
  if (!loadStartPage()) {
    face_.showMessage("找不到 login.htm 檔案.");
    return false;
  }
  setLoginPageText(startPageProducer);
  // No stored server setup yet: the server waits for the setup dialog.
  serverStarted = false;
  serverPort = newDatabasePort;
  databaseOpen_ = true;
  face_.appendLog("歡迎使用Tavro網上產品目錄系統.");
  commit();
  face_.armTimer(firstBackupTimerIntervalNow());
  return true;
}

void TMainForm::startServer() {
  if (serverStarted) {
    return;
  }
  serverStarted = true;
  char address[32];
  std::snprintf(address, sizeof address, "localhost:%d", serverPort);
  auto argument = std::make_unique<ServerThreadArgument>(ServerThreadArgument{server_, address});
  if (serverThread_.create(runServerThread, argument.get())) {
    argument.release();  // the thread owns it now
  } else {
    std::fputs("Failed to open WWW session\n", stderr);
  }
  face_.open(std::string("http://") + address);
  for (const std::string& line : serverStartLogLines(serverPort, addresses_())) {
    face_.appendLog(line);
  }
}

void TMainForm::serverThreadMain(ServerControl& server, const std::string& address) {
  if (!server.open(address)) {
    std::fputs("Failed to open WWW session\n", stderr);
    return;
  }
  server.serve();
}

void TMainForm::FormClose(TCloseAction& action) {
  if (databaseOpen_ && !face_.askYesNo("關閉系統?")) {
    action = caNone;
    return;
  }
  shutDown();
  action = caFree;
}

void TMainForm::closeConfirmed() { shutDown(); }

void TMainForm::shutDown() {
  if (databaseOpen_) {
    if (serverStarted) {
      server_.stop();
    }
    commit();
    if (exitBackup) {
      exitBackup();
    }
  }
  closed_ = true;
}

void TMainForm::closeButtonClick() {
  TCloseAction action = caFree;
  FormClose(action);
}

void TMainForm::serverSetupButtonClick() {
  // Until the setup is stored in the database the dialog offers the start
  // alone: there is nothing to save the port and the automatic start into.
  ShellDialog dialog;
  dialog.caption = "伺服器設定";
  dialog.notes = {"註: 如更改 Port 值, 需要重新執行系統."};
  dialog.fields = {{"網上伺服器Port:", "", false, std::to_string(serverPort), false}};
  dialog.actions = {{"開啟伺服器 F5", {"F5", "start"}, setupStart, !serverStarted},
                    {"取消 F12", {"F12", "cancel"}, setupCancel, true}};
  dialog.cancelResult = setupCancel;
  if (face_.runDialog(dialog) == setupStart) {
    startServer();
  }
}

void TMainForm::backupButtonClick() {
  face_.showMessage("資料庫備份功能尚未提供.");
  commit();
}

void TMainForm::helpButtonClick() {
  const std::string path = homeDirectory_ + "/help/index.htm";
  if (isFile(path)) {
    face_.open(path);
  }
}

void TMainForm::backupTimerTimer() {
  face_.armTimer(backupTimerDayInterval);
  if (dailyBackup) {
    dailyBackup();
  }
}

void TMainForm::commit() {
  if (db_ != nullptr) {
    db_->commit();
  }
}
