// The words the console face understands: the four buttons, the answers to
// a question, and the lines of a dialog. Surrounding blanks are ignored and
// ASCII letters match in either case.
#pragma once

#include <string>
#include <string_view>

#include "shellface.h"

enum class ConsoleCommand { setup, backup, help, exit, unknown };

// "setup"/"1", "backup"/"2", "help"/"3", "exit"/"4"; anything else unknown.
ConsoleCommand parseCommand(std::string_view line);

enum class ConsoleAnswer { yes, no, unclear };

// "y", "yes", "是", "F4" are yes; "n", "no", "否", "Esc" are no.
ConsoleAnswer parseAnswer(std::string_view line);

// What a line typed into a dialog asks for.
struct DialogInput {
  enum Kind {
    action,    // choose actions[index]
    setField,  // fields[index] gets value (for a switch: "on" or "off")
    disabled,  // names an action that is disabled now
    invalid,   // names a field with a value it cannot take
    unknown,
  };
  Kind kind = unknown;
  size_t index = 0;
  std::string value;
};

// Reads an action word ("F5", "start") or "<command> <value>" for an
// editable field ("port 8080", "auto on").
DialogInput parseDialogLine(const ShellDialog& dialog, std::string_view line);

// The line without surrounding blanks (spaces, tabs, CR, LF).
std::string_view trimBlanks(std::string_view text);
