// What the main window's logic asks of the face that shows it: a log, the
// message and question boxes, modal dialogs, the "open" verb and the backup
// timer. The console face is one implementation; a windowed face is another.
// Every call comes from the GUI thread.
#pragma once

#include <string>
#include <vector>

// One field of a dialog. A field with a command word can be edited; one
// without is shown only.
struct ShellDialogField {
  std::string label;    // as shown, for example "網上伺服器Port:"
  std::string command;  // the word that edits it ("port"); empty: read-only
  bool isSwitch = false;  // a check box (checked) rather than a text (text)
  std::string text;
  bool checked = false;
};

// One button of a dialog: its caption with the key ("開啟伺服器 F5"), the
// words that choose it ("F5", "start"), and the result it closes with.
struct ShellDialogAction {
  std::string caption;
  std::vector<std::string> words;
  int result = 0;
  bool enabled = true;
};

// A modal dialog. The face shows it, lets the user edit the fields in place
// and returns the result of the chosen action, or cancelResult when the
// dialog is closed otherwise.
struct ShellDialog {
  std::string caption;
  std::vector<std::string> notes;
  std::vector<ShellDialogField> fields;
  std::vector<ShellDialogAction> actions;
  int cancelResult = 0;
};

class ShellFace {
 public:
  virtual ~ShellFace() = default;

  // Appends one whole line at the end of the log.
  virtual void appendLog(const std::string& line) = 0;

  // Shows text with one button ("確定") and waits until it is closed.
  virtual void showMessage(const std::string& text) = 0;

  // Asks text with a yes button ("是 F4") and a no button ("否 Esc"). True
  // exactly when the user chose yes.
  virtual bool askYesNo(const std::string& text) = 0;

  // Shows the dialog modally; see ShellDialog.
  virtual int runDialog(ShellDialog& dialog) = 0;

  // Opens a URL or a file with the desktop's "open" verb, maximised, without
  // waiting for it. A face without a desktop says where to go instead.
  virtual void open(const std::string& target) = 0;

  // Arms the backup timer to fire once after intervalMs milliseconds; its
  // tick reaches TMainForm::backupTimerTimer on the GUI thread.
  virtual void armTimer(unsigned intervalMs) = 0;
};
