#include "consoleface.h"

#include "consolewords.h"

ConsoleFace::ConsoleFace(ConsoleInput& input, ConsoleTimer& timer, std::ostream& out, bool interactive)
    : input_(input), timer_(timer), out_(out), interactive_(interactive) {}

void ConsoleFace::printLine(const std::string& line) { out_ << line << '\n' << std::flush; }

void ConsoleFace::appendLog(const std::string& line) { printLine(line); }

void ConsoleFace::listCommands() {
  printLine("指令: setup (1) 伺服器設定, backup (2) 資料庫備份, help (3) 說明, exit (4) 離開");
}

void ConsoleFace::showMessage(const std::string& text) {
  printLine("[信息] " + text);
  if (interactive_) {
    printLine("(按 Enter 確定)");
    input_.readLine();
  }
}

bool ConsoleFace::askYesNo(const std::string& text) {
  printLine("[信息] " + text);
  for (;;) {
    printLine("(是 F4: 輸入 y / 否 Esc: 輸入 n)");
    const std::optional<std::string> line = input_.readLine();
    if (!line) {
      return false;
    }
    switch (parseAnswer(*line)) {
      case ConsoleAnswer::yes:
        return true;
      case ConsoleAnswer::no:
        return false;
      case ConsoleAnswer::unclear:
        break;
    }
  }
}

void ConsoleFace::printField(const ShellDialogField& field) {
  std::string line = field.label + " " + (field.isSwitch ? (field.checked ? "是" : "否") : field.text);
  if (!field.command.empty()) {
    line += field.isSwitch ? "  (輸入 " + field.command + " on / " + field.command + " off)"
                           : "  (輸入 " + field.command + " 和新的值)";
  }
  printLine(line);
}

void ConsoleFace::printActions(const ShellDialog& dialog) {
  for (const ShellDialogAction& action : dialog.actions) {
    std::string line = "  [" + action.caption + "] 輸入";
    for (size_t i = 0; i < action.words.size(); i++) {
      line += (i == 0 ? " " : " 或 ") + action.words[i];
    }
    if (!action.enabled) {
      line += " (現在不能使用)";
    }
    printLine(line);
  }
}

void ConsoleFace::printDialog(const ShellDialog& dialog) {
  printLine("== " + dialog.caption + " ==");
  for (const std::string& note : dialog.notes) {
    printLine(note);
  }
  for (const ShellDialogField& field : dialog.fields) {
    printField(field);
  }
  printActions(dialog);
}

int ConsoleFace::runDialog(ShellDialog& dialog) {
  printDialog(dialog);
  for (;;) {
    const std::optional<std::string> line = input_.readLine();
    if (!line) {
      return dialog.cancelResult;
    }
    const DialogInput in = parseDialogLine(dialog, *line);
    switch (in.kind) {
      case DialogInput::action:
        return dialog.actions[in.index].result;
      case DialogInput::setField: {
        ShellDialogField& field = dialog.fields[in.index];
        if (field.isSwitch) {
          field.checked = in.value == "on";
        } else {
          field.text = in.value;
        }
        printField(field);
        break;
      }
      case DialogInput::disabled:
        printLine("[" + dialog.actions[in.index].caption + "] 現在不能使用.");
        break;
      case DialogInput::invalid:
      case DialogInput::unknown:
        printDialog(dialog);
        break;
    }
  }
}

void ConsoleFace::open(const std::string& target) { printLine("請用瀏覽器開啟: " + target); }

void ConsoleFace::armTimer(unsigned intervalMs) { timer_.arm(intervalMs); }
