#include "pagetable.h"

namespace {

std::string& loginPageText() {
  static std::string text;
  return text;
}

}  // namespace

void setLoginPageText(std::string text) { loginPageText() = std::move(text); }

bool login(WWWconnection& con) {
  const std::string& text = loginPageText();
  con.setMode(WWWconnection::raw);
  con.put("Content-type: text/html\r\n\r\n");
  con.setMode(WWWconnection::raw);
  con.put(text.data(), text.size());
  return true;
}

const PageEntry pageTable[] = {
    {"", login},
    {"login", login},
};

const int pageTableSize = static_cast<int>(sizeof(pageTable) / sizeof(pageTable[0]));
