#include "consolewords.h"

#include <algorithm>
#include <initializer_list>

namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

bool isOneOf(std::string_view word, std::initializer_list<std::string_view> choices) {
  return std::any_of(choices.begin(), choices.end(), [&](std::string_view c) { return sameWord(word, c); });
}

DialogInput actionInput(const ShellDialog& dialog, std::string_view word) {
  for (size_t i = 0; i < dialog.actions.size(); i++) {
    const ShellDialogAction& a = dialog.actions[i];
    if (std::any_of(a.words.begin(), a.words.end(), [&](const std::string& w) { return sameWord(word, w); })) {
      return {a.enabled ? DialogInput::action : DialogInput::disabled, i, {}};
    }
  }
  return {};
}

DialogInput fieldInput(const ShellDialog& dialog, std::string_view command, std::string_view value) {
  for (size_t i = 0; i < dialog.fields.size(); i++) {
    const ShellDialogField& f = dialog.fields[i];
    if (f.command.empty() || !sameWord(command, f.command)) {
      continue;
    }
    if (f.isSwitch) {
      if (isOneOf(value, {"on", "off"})) {
        return {DialogInput::setField, i, sameWord(value, "on") ? "on" : "off"};
      }
      return {DialogInput::invalid, i, std::string(value)};
    }
    return {DialogInput::setField, i, std::string(value)};
  }
  return {};
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

ConsoleCommand parseCommand(std::string_view line) {
  const std::string_view word = trimBlanks(line);
  if (isOneOf(word, {"setup", "1"})) return ConsoleCommand::setup;
  if (isOneOf(word, {"backup", "2"})) return ConsoleCommand::backup;
  if (isOneOf(word, {"help", "3"})) return ConsoleCommand::help;
  if (isOneOf(word, {"exit", "4"})) return ConsoleCommand::exit;
  return ConsoleCommand::unknown;
}

ConsoleAnswer parseAnswer(std::string_view line) {
  const std::string_view word = trimBlanks(line);
  if (isOneOf(word, {"y", "yes", "是", "F4"})) return ConsoleAnswer::yes;
  if (isOneOf(word, {"n", "no", "否", "Esc"})) return ConsoleAnswer::no;
  return ConsoleAnswer::unclear;
}

DialogInput parseDialogLine(const ShellDialog& dialog, std::string_view line) {
  const std::string_view text = trimBlanks(line);
  const size_t space = text.find_first_of(" \t");
  if (space == std::string_view::npos) {
    return actionInput(dialog, text);
  }
  return fieldInput(dialog, text.substr(0, space), trimBlanks(text.substr(space)));
}
