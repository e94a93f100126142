// A socket_t over a byte buffer: reads serve the buffer in chunks of at most
// chunkSize bytes, writes are recorded. Lets the request handling run without
// a network.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "w32sock.h"

class MemorySocket : public socket_t {
 public:
  explicit MemorySocket(std::string input, size_t chunkSize = std::string::npos, std::string* written = nullptr)
      : input_(std::move(input)), chunkSize_(std::max<size_t>(chunkSize, 1)), written_(written) {
    status = ss_open;
  }

  long read(void* buf, size_t min_size, size_t max_size, int /*timeout_ms*/) override {
    if (status != ss_open) return fail(not_opened);
    size_t got = 0;
    while (got < min_size || got == 0) {
      if (offset_ == input_.size()) return fail(broken_pipe);
      size_t n = std::min({max_size - got, chunkSize_, input_.size() - offset_});
      if (n == 0) break;
      std::memcpy(static_cast<char*>(buf) + got, input_.data() + offset_, n);
      offset_ += n;
      got += n;
    }
    error_ = ok;
    return static_cast<long>(got);
  }

  bool write(const void* buf, size_t size, int /*timeout_ms*/) override {
    if (status != ss_open) {
      fail(not_opened);
      return false;
    }
    if (written_ != nullptr) written_->append(static_cast<const char*>(buf), size);
    return true;
  }

  bool good() override { return error_ == ok; }
  void error_text(char* buf, size_t buf_size) override {
    if (buf_size > 0) std::snprintf(buf, buf_size, "memory socket error %d", error_);
  }
  std::unique_ptr<socket_t> accept() override { return nullptr; }
  bool abort_accept() override { return true; }
  bool shutdown() override {
    if (status == ss_open) status = ss_shutdown;
    return true;
  }
  bool close() override {
    status = ss_close;
    return true;
  }
  std::string peer_address() override { return "192.0.2.7"; }

 private:
  long fail(int code) {
    error_ = code;
    return -1;
  }

  std::string input_;
  size_t offset_ = 0;
  size_t chunkSize_;
  std::string* written_;
  int error_ = ok;
};
