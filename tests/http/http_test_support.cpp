#include "http_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port = ntohs(sa.sin_port);
  }
  close(fd);
  return port;
}

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

int connectClient(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

std::string readAll(int fd) {
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  return reply;
}

std::string exchange(int port, std::string_view request) {
  int fd = connectClient(port);
  if (fd < 0) return "connect failed";
  sendAll(fd, request);
  std::string reply = readAll(fd);
  close(fd);
  return reply;
}

std::string bodyOf(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

RunningServer::RunningServer(const PageEntry* pages, int nPages, int nThreads, int slots, int requestTimeLimitMs,
                             int replyTimeLimitMs)
    : api_(std::make_unique<HTTPapi>(nullptr, nPages, pages, requestTimeLimitMs, replyTimeLimitMs)) {
  // Another process may take a port between the probe and the bind: retry.
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    int candidate = freePort();
    if (api_->open(loopback(candidate).c_str())) port_ = candidate;
  }
  EXPECT_NE(port_, 0);
  queue_ = std::make_unique<QueueManager>(*api_, nullptr, nThreads, slots);
  acceptThread_ = std::thread([this] {
    queue_->acceptLoop();
    acceptEnded_ = true;
  });
}

RunningServer::~RunningServer() {
  stop();
  queue_.reset();
}

void RunningServer::stop() {
  queue_->stopServer();
  if (acceptThread_.joinable()) acceptThread_.join();
}

ScratchFolder::ScratchFolder() : previous_(std::filesystem::current_path()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavro-http-XXXXXX").string();
  root_ = mkdtemp(pattern.data());
  path_ = root_ / "served";
  std::filesystem::create_directory(path_);
  std::filesystem::current_path(path_);
}

ScratchFolder::~ScratchFolder() {
  std::filesystem::current_path(previous_);
  std::filesystem::remove_all(root_);
}

void ScratchFolder::write(const std::string& name, std::string_view content) const {
  std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}
