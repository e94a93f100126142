#include "consoleloop.h"

#include "consolewords.h"

namespace {

void runCommand(TMainForm& form, ConsoleFace& face, ConsoleCommand command) {
  switch (command) {
    case ConsoleCommand::setup:
      form.serverSetupButtonClick();
      break;
    case ConsoleCommand::backup:
      form.backupButtonClick();
      break;
    case ConsoleCommand::help:
      form.helpButtonClick();
      break;
    case ConsoleCommand::exit:
      form.closeButtonClick();
      break;
    case ConsoleCommand::unknown:
      face.listCommands();
      break;
  }
}

}  // namespace

int runConsole(TMainForm& form, ConsoleFace& face, ConsoleInput& input) {
  face.listCommands();
  std::string line;
  while (!form.closed()) {
    switch (input.next(line)) {
      case ConsoleInput::Event::line:
        runCommand(form, face, parseCommand(line));
        break;
      case ConsoleInput::Event::timer:
        form.backupTimerTimer();
        break;
      case ConsoleInput::Event::endOfInput:
      case ConsoleInput::Event::signal:
        break;
    }
    // A tick that came while a question or dialog waited is handled now.
    if (input.takeTimerTick()) {
      form.backupTimerTimer();
    }
    if (input.signalled() && !form.closed()) {
      form.closeConfirmed();
    }
  }
  return 0;
}
