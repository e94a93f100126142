// The built tavro program, started in a laid-out working folder and driven
// through its console face like a script would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "shell_fakes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int programPort = 8001;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The build folder: TAVRO_BINARY_DIR, or else the one this test program was
// built into (<build>/tests/shell/shell_tests).
fs::path buildFolder() {
  if (const char* dir = std::getenv("TAVRO_BINARY_DIR")) {
    return dir;
  }
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored).parent_path().parent_path().parent_path();
}

std::string tavroPath() { return (buildFolder() / "shell" / "tavro").string(); }

std::string wwwPath() {
  const char* dir = std::getenv("TAVRO_SOURCE_DIR");
  return dir ? std::string(dir) + "/www" : std::string();
}

// True when something on this machine already listens on the port.
bool portTaken(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  close(fd);
  return taken;
}

// One connection to 127.0.0.1:port; -1 when refused. Reads and writes time
// out after five seconds.
int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The body of the reply to a GET of target; empty on any failure.
std::string fetchBody(int port, const std::string& target) {
  const int fd = connectLoopback(port);
  if (fd < 0) {
    return {};
  }
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  std::string reply;
  if (write(fd, request.data(), request.size()) == ssize_t(request.size())) {
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
      reply.append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  const size_t bodyStart = reply.find("\r\n\r\n");
  return bodyStart == std::string::npos ? std::string() : reply.substr(bodyStart + 4);
}

// tavro running in a folder, its standard input a pipe, its output in files.
class TavroProcess {
 public:
  TavroProcess(const std::string& folder) : folder_(folder) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    const std::string program = tavroPath();
    const std::string out = folder + "/stdout.txt";
    const std::string err = folder + "/stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (chdir(folder.c_str()) != 0 || dup2(fds[0], 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) {
        _exit(127);
      }
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    input_ = fds[1];
  }

  ~TavroProcess() {
    closeInput();
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }

  void send(const std::string& text) {
    ASSERT_EQ(write(input_, text.data(), text.size()), ssize_t(text.size()));
  }
  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // Waits up to limit for the process to end; its wait status, or -1.
  int waitForExit(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  bool running() {
    int status = 0;
    if (!exited_ && waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
    }
    return !exited_;
  }

  void terminate() { kill(pid_, SIGTERM); }

  std::string output() const { return readFile(folder_ + "/stdout.txt"); }
  std::string errors() const { return readFile(folder_ + "/stderr.txt"); }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int input_ = -1;
  bool exited_ = false;
};

class TavroProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.path().empty());
    ASSERT_TRUE(fs::exists(tavroPath())) << "tavro not built at " << tavroPath();
  }

  TemporaryFolder folder;
};

TEST_F(TavroProgram, ServesLoginPageAndEndsCleanlyOnSigterm) {
  ASSERT_FALSE(portTaken(programPort)) << "port " << programPort << " is taken by another program; this test needs it";
  fs::copy(wwwPath(), folder.path(), fs::copy_options::recursive);
  const std::string loginPage = readFile(folder.path() + "/login.htm");
  ASSERT_FALSE(loginPage.empty());

  TavroProcess tavro(folder.path());
  ASSERT_TRUE(tavro.started());
  tavro.send("setup\nstart\n");

  int probe = -1;
  for (auto deadline = Clock::now() + std::chrono::seconds(15); probe < 0 && Clock::now() < deadline;) {
    ASSERT_TRUE(tavro.running()) << "tavro ended early:\n" << tavro.output() << tavro.errors();
    probe = connectLoopback(programPort);
    if (probe < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(probe, 0) << "tavro did not listen on port " << programPort << ":\n" << tavro.output() << tavro.errors();
  close(probe);

  EXPECT_EQ(fetchBody(programPort, "/"), loginPage);             // no index.html: the login page
  EXPECT_EQ(fetchBody(programPort, "/?page=login"), loginPage);  // the login page by name

  tavro.terminate();
  const int status = tavro.waitForExit(std::chrono::seconds(15));
  ASSERT_NE(status, -1) << "tavro did not end after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;

  const std::string log = tavro.output();
  EXPECT_NE(log.find("歡迎使用Tavro網上產品目錄系統.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\nTavro網上產品目錄系統伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(":8001\n\n"), std::string::npos) << log;
  EXPECT_EQ(tavro.errors(), "");
}

TEST_F(TavroProgram, EndsWithStatusOneWithoutLoginPage) {
  TavroProcess tavro(folder.path());
  ASSERT_TRUE(tavro.started());
  tavro.closeInput();
  const int status = tavro.waitForExit(std::chrono::seconds(15));
  ASSERT_NE(status, -1) << "tavro did not end";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
  EXPECT_NE(tavro.output().find("找不到 login.htm 檔案."), std::string::npos) << tavro.output();
}

}  // namespace
