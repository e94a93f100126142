// bench_http_server PORT FOLDER: the HTTP server as the program runs it
// (8 workers, 1000 connection slots) on 127.0.0.1:PORT, serving the plain
// files of FOLDER and a login page of about 2 KB built through the page
// output calls. Runs until SIGINT or SIGTERM. Driven by run.sh.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "wwwapi.h"

namespace {

// A login form like the catalogue's: markup pieces and escaped values.
bool loginPage(WWWconnection& con) {
  con.setMode(WWWconnection::raw);
  con.put("Content-type: text/html\r\n\r\n"
          "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=big5\">"
          "<title>")
      .put("Tavro <login>")
      .put("</title><link rel=\"stylesheet\" href=\"style.css\"></head><body>");
  for (int row = 0; row < 12; ++row) {
    con.setMode(WWWconnection::raw);
    con.put("<tr><td class=\"caption\">field ")
        .putNumber(row)
        .put("</td><td><input type=\"text\" name=\"f")
        .putNumber(row)
        .put("\" value=\"")
        .put("O'Brien & \"Sons\"")
        .put("\" size=\"20\" maxlength=\"40\"></td></tr>\n");
  }
  con.setMode(WWWconnection::raw);
  con.put("<form method=\"post\" action=\"/\"><input type=\"hidden\" name=\"page\" value=\"login\">"
          "<p>id <input type=\"text\" name=\"id\"> password <input type=\"password\" name=\"password\">"
          "<input type=\"submit\" value=\"login\"></p></form></body></html>\n");
  return true;
}

const PageEntry pages[] = {{"", loginPage}, {"login", loginPage}};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT FOLDER\n", argv[0]);
    return 2;
  }
  if (chdir(argv[2]) != 0) {
    std::perror(argv[2]);
    return 2;
  }
  // The workers must not take the stop signals; the main thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  HTTPapi api(nullptr, sizeof pages / sizeof pages[0], pages);
  std::string address = std::string("127.0.0.1:") + argv[1];
  if (!api.open(address.c_str())) return 1;
  QueueManager queue(api, nullptr, 8, 1000);
  std::thread acceptor([&queue] { queue.acceptLoop(); });
  int signal = 0;
  sigwait(&stopSignals, &signal);
  queue.stopServer();
  acceptor.join();
  return 0;
}
