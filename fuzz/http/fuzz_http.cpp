// Arbitrary bytes as an HTTP request (delivered in chunks whose size the
// first byte picks) and as the path of a plain file. A 200 reply must carry
// the true length of its body.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "memory_socket.h"
#include "wwwapi.h"

namespace {

bool echoPage(WWWconnection& con) {
  con.setMode(WWWconnection::raw);
  con.put("Content-type: text/html\r\n\r\n<p>");
  for (const char* name : {"a", "b", "page", ""}) {
    const char* value = con.param(name);
    con.put(value != nullptr ? value : " ").put("</p><p>");
  }
  return true;
}

bool loginPage(WWWconnection& con) {
  con.put("Content-type: text/html\r\n\r\nlogin");
  return true;
}

bool headerlessPage(WWWconnection& con) {
  con.put("no empty line\n");
  return true;
}

const PageEntry pages[] = {{"", loginPage}, {"echo", echoPage}, {"x", headerlessPage}};

void checkLength(const std::string& reply) {
  if (reply.rfind("HTTP/1.1 200 OK\r\nContent-Length: ", 0) != 0) return;
  size_t headerEnd = reply.find("\r\n\r\n");
  if (headerEnd == std::string::npos) std::abort();
  unsigned long declared = std::strtoul(reply.c_str() + 33, nullptr, 10);
  if (declared != reply.size() - headerEnd - 4) std::abort();
}

}  // namespace

// Files are served from a folder of our own, with a few files to find; the
// fuzzer's own working folder (where it keeps its corpus) is restored after
// each input.
constexpr const char* databaseContent = "database-bytes-never-served";

class ServedFolder {
 public:
  ServedFolder() : dir_(std::filesystem::temp_directory_path() / ("tavro-fuzz-http-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_ / "sub");
    std::ofstream(dir_ / "index.html") << "<p>index</p>";
    std::ofstream(dir_ / "sub" / "style.css") << "p{}";
    std::ofstream(dir_ / "db.mem") << databaseContent;
  }
  ~ServedFolder() { std::filesystem::remove_all(dir_); }
  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

class WorkingFolder {
 public:
  explicit WorkingFolder(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingFolder() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static HTTPapi api(nullptr, sizeof pages / sizeof pages[0], pages);
  static WWWconnection con;  // reused from input to input, as the pool does
  size_t chunk = data[0] % 17 == 0 ? std::string::npos : data[0] % 17;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

  static ServedFolder served;
  WorkingFolder inServed(served.path());
  std::string written;
  con.attachSocket(std::make_unique<MemorySocket>(input, chunk, &written));
  api.process(con);
  checkLength(written);
  if (written.find(databaseContent) != std::string::npos && input.find(databaseContent) == std::string::npos) {
    std::abort();
  }

  std::string decoded;
  if (HTTPapi::decodeFilePath(input.data(), input.size(), decoded) &&
      (decoded.find("..") != std::string::npos || decoded[0] == '/' || decoded.find('\0') != std::string::npos)) {
    std::abort();
  }
  return 0;
}
