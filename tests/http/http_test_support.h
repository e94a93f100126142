// Helpers of the HTTP server tests: free loopback ports, a raw client, a
// running server with its request queue, and a scratch working folder.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "wwwapi.h"

// A loopback port that nothing listens on right now.
int freePort();

// "127.0.0.1:<port>"
std::string loopback(int port);

// A connected client socket (a plain descriptor), or -1. Reads on it give up
// after 10 seconds.
int connectClient(int port);

// Sends request on a new connection and returns everything the server sends
// until it closes the connection (bounded by 10 seconds of silence).
std::string exchange(int port, std::string_view request);

// Sends all of data on fd.
void sendAll(int fd, std::string_view data);

// Reads from fd until the peer closes it or 10 seconds pass in silence.
std::string readAll(int fd);

// The body of an HTTP reply (after the first empty line).
std::string bodyOf(const std::string& reply);

// An HTTPapi with a QueueManager answering on a free loopback port, its
// accept loop on a thread of its own. Stopped and joined on destruction.
class RunningServer {
 public:
  RunningServer(const PageEntry* pages, int nPages, int nThreads = 8, int slots = 1000,
                int requestTimeLimitMs = HTTPapi::defaultRequestTimeLimitMs,
                int replyTimeLimitMs = HTTPapi::defaultReplyTimeLimitMs);
  ~RunningServer();

  int port() const { return port_; }
  std::string get(std::string_view request) { return exchange(port_, request); }
  // Stops the queue and waits for the accept loop to return.
  void stop();
  bool acceptLoopEnded() const { return acceptEnded_; }

 private:
  std::unique_ptr<HTTPapi> api_;
  std::unique_ptr<QueueManager> queue_;
  std::thread acceptThread_;
  std::atomic<bool> acceptEnded_{false};
  int port_ = 0;
};

// Makes a fresh temporary folder the working folder for the object's life.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::filesystem::path& path() const { return path_; }
  // Writes a file relative to the folder, creating its parent folders.
  void write(const std::string& name, std::string_view content) const;

 private:
  std::filesystem::path previous_;
  std::filesystem::path root_;  // holds path_ and files outside it
  std::filesystem::path path_;
};
