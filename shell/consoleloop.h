// The console face's main loop: the four buttons as command lines, the
// backup timer's ticks, and SIGINT/SIGTERM as a confirmed close.
#pragma once

#include "consoleface.h"
#include "consoleinput.h"
#include "mainform.h"

// Runs the form after a successful FormShow until it closes, and returns the
// exit status (0). The end of input leaves the form running: from then on
// only timer ticks and signals reach it.
int runConsole(TMainForm& form, ConsoleFace& face, ConsoleInput& input);
