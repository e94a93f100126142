// The console face: the log on an output stream (UTF-8, one line each,
// flushed), questions, messages and dialogs answered by input lines. It
// never launches a browser; it says what to open instead.
#pragma once

#include <ostream>
#include <string>

#include "consoleinput.h"
#include "consoletimer.h"
#include "shellface.h"

class ConsoleFace : public ShellFace {
 public:
  // interactive: the input is a terminal, so a message waits for Enter.
  ConsoleFace(ConsoleInput& input, ConsoleTimer& timer, std::ostream& out, bool interactive);

  void appendLog(const std::string& line) override;
  void showMessage(const std::string& text) override;
  // The end of input or a signal counts as no.
  bool askYesNo(const std::string& text) override;
  // The end of input or a signal closes the dialog with its cancelResult.
  int runDialog(ShellDialog& dialog) override;
  void open(const std::string& target) override;
  void armTimer(unsigned intervalMs) override;

  // The line that lists the commands of the main window.
  void listCommands();

 private:
  void printLine(const std::string& line);
  void printDialog(const ShellDialog& dialog);
  void printField(const ShellDialogField& field);
  void printActions(const ShellDialog& dialog);

  ConsoleInput& input_;
  ConsoleTimer& timer_;
  std::ostream& out_;
  bool interactive_;
};
