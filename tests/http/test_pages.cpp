#include "test_pages.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* htmlHeader = "Content-type: text/html\r\n\r\n";

bool loginPage(WWWconnection& con) {
  con.put(htmlHeader).put("").put("login");
  return true;
}

bool echoPage(WWWconnection& con) {
  const char* a = con.param("a");
  std::string text = std::string(htmlHeader) + "a=" + (a != nullptr ? a : "(none)");
  con.put(text.c_str());
  return true;
}

bool sizedPage(WWWconnection& con) {
  std::string text = std::string(htmlHeader) + std::string(std::strtoul(con.param("n"), nullptr, 10), 'x');
  con.put(text.c_str());
  return true;
}

bool headerlessPage(WWWconnection& con) {
  con.put("Content-type: text/html\r\nno empty line");
  return true;
}

bool throwingPage(WWWconnection& con) {
  con.put(htmlHeader).put("").put("partial");
  throw std::runtime_error("page failed");
}

bool peerPage(WWWconnection& con) {
  const char* peer = con.peerAddress();
  con.put(htmlHeader).put("").put(peer != nullptr ? peer : "(none)");
  return true;
}

}  // namespace

const PageEntry testPages[] = {
    {"", loginPage},           {"echo", echoPage},         {"sized", sizedPage},
    {"headerless", headerlessPage}, {"throwing", throwingPage}, {"peer", peerPage},
};
const int testPageCount = sizeof testPages / sizeof testPages[0];

std::string fixedReply(const std::string& status) {
  return "HTTP/1.1 " + status +
         "\r\nConnection: close\r\n\r\n<HTML><HEAD><TITLE>Invalid request to the database</TITLE>\r\n"
         "</HEAD><BODY>\n\r<H1>" +
         status + "</H1>\n\r</BODY></HTML>\r\n\r\n";
}
