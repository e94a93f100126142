// tavro: the catalogue's server program, here with its console face.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "consoleface.h"
#include "consoleinput.h"
#include "consoleloop.h"
#include "consoletimer.h"
#include "httpservercontrol.h"
#include "mainform.h"
#include "pagetable.h"
#include "terminationsignals.h"

namespace {

std::string currentDirectory() {
  std::error_code ignored;
  return std::filesystem::current_path(ignored).string();
}

// The server thread and the workers are not waited for: the database is
// committed by now, and a request still being answered ends with the process.
[[noreturn]] void endProcess(int status) {
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

int main() {
  TerminationSignals signals;  // before any thread starts
  // A browser that goes away mid-reply must not end the program.
  signal(SIGPIPE, SIG_IGN);

  ConsoleTimer timer;
  ConsoleInput input(STDIN_FILENO, timer.fd(), signals.fd());
  ConsoleFace face(input, timer, std::cout, isatty(STDIN_FILENO) != 0);
  HttpServerControl server(nullptr, pageTableSize, pageTable);
  TMainForm form(face, server, nullptr, currentDirectory());

  face.appendLog("網上產品目錄系統");
  endProcess(form.FormShow() ? runConsole(form, face, input) : 1);
}
