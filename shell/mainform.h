// The main window's logic: start-up, server start, the four buttons, the
// backup timer and the close. What it shows goes through a ShellFace, so the
// same logic runs behind the console face and a windowed one.
#pragma once

#include <functional>
#include <string>

#include "localaddresses.h"
#include "servercontrol.h"
#include "shellface.h"
#include "sync.h"

class dbDatabase;

class TMainForm {
 public:
  enum TCloseAction { caNone, caFree };
  using AddressLister = std::function<std::string()>;

  // The form results of the server setup dialog.
  enum ServerSetupResult { setupCancel = 0, setupSave = 1, setupStart = 2 };

  // face, server and db must outlive the form; server also outlives the
  // server thread (it lives for the whole run). db may be null (nothing is
  // committed then). homeDirectory is the folder of "login.htm" and of the
  // help pages. addresses gives the text of the start-up log's address line.
  TMainForm(ShellFace& face, ServerControl& server, dbDatabase* db, std::string homeDirectory,
            AddressLister addresses = listLocalAddresses);
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // The start-up sequence. False when the program must end (the reason has
  // been shown); the form then closes without a question.
  bool FormShow();

  // Asks "關閉系統?"; on no sets action to caNone and the form stays. On
  // yes stops the request queue (if the server was started), commits and
  // runs the backup on exit; the form is then closed.
  void FormClose(TCloseAction& action);

  // The close as confirmed, without the question (the program was told to
  // end from outside).
  void closeConfirmed();

  // Starts the server thread on serverPort and logs where browsers reach
  // it. Does nothing when the server was started before in this run.
  void startServer();

  // The server thread: opens the listening socket and serves until stopped.
  // Writes "Failed to open WWW session\n" to stderr when the open fails.
  static void serverThreadMain(ServerControl& server, const std::string& address);

  void serverSetupButtonClick();
  void backupButtonClick();
  // Opens <homeDirectory>/help/index.htm when it exists.
  void helpButtonClick();
  // Closes the form, which runs FormClose.
  void closeButtonClick();
  // The backup timer's tick: from now on it fires once a day.
  void backupTimerTimer();

  bool closed() const { return closed_; }
  const std::string& homeDirectory() const { return homeDirectory_; }

  int serverPort = 8001;       // the port the next startServer listens on
  bool serverStarted = false;  // set by startServer, never cleared in a run
  std::string startPageProducer;  // the text of "login.htm" as loaded at start

  // The backups that run on close and at the timer's tick; empty until the
  // backup dialog provides them.
  std::function<void()> exitBackup;
  std::function<void()> dailyBackup;

 private:
  bool loadStartPage();
  void shutDown();
  void commit();

  ShellFace& face_;
  ServerControl& server_;
  dbDatabase* db_;
  std::string homeDirectory_;
  AddressLister addresses_;
  dbThread serverThread_;
  bool databaseOpen_ = false;
  bool closed_ = false;
};
