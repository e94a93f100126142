// Stream sockets for the HTTP server: an abstract socket_t and its IPv4 TCP
// implementation win_socket over POSIX sockets.
//
// No operation throws. Failures are reported by the result (false, -1 or
// null) plus an error code kept in the object, which good() and error_text()
// describe afterwards.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class socket_t {
 public:
  // Errors of this layer; any other non-zero code is an errno value.
  enum error_code {
    ok = 0,
    not_opened = -1,
    bad_address = -2,
    connection_failed = -3,
    broken_pipe = -4,
  };

  // The kinds of socket connect_to and WWWapi::open accept. Both mean TCP:
  // there is no other transport.
  enum socket_domain { sock_any_domain, sock_global_domain };

  enum socket_status { ss_open, ss_shutdown, ss_close };

  // A read time-out meaning "no limit".
  static constexpr int WAIT_FOREVER = -1;

  socket_t() = default;
  socket_t(const socket_t&) = delete;
  socket_t& operator=(const socket_t&) = delete;
  virtual ~socket_t() = default;

  // Reads at least min_size and at most max_size bytes into buf. timeout_ms
  // (milliseconds, counted from the call; WAIT_FOREVER for none) bounds the
  // whole call: when it expires the bytes read so far are returned, which
  // may be fewer than min_size. Returns -1 on failure, including a peer
  // that closed its side before min_size bytes arrived (broken_pipe).
  virtual long read(void* buf, size_t min_size, size_t max_size, int timeout_ms = WAIT_FOREVER) = 0;

  // Sends every byte of buf. timeout_ms (milliseconds, WAIT_FOREVER for
  // none) bounds the whole call; when it expires the call fails with
  // ETIMEDOUT and the connection is not worth keeping. False on failure.
  virtual bool write(const void* buf, size_t size, int timeout_ms = WAIT_FOREVER) = 0;

  // True when the last operation succeeded.
  virtual bool good() = 0;

  // The text of the last error, cut to at most buf_size - 1 bytes and
  // zero-terminated.
  virtual void error_text(char* buf, size_t buf_size) = 0;

  // On a listening socket: waits for one connection and returns an open
  // socket for it, or null (also after abort_accept).
  virtual std::unique_ptr<socket_t> accept() = 0;

  // On a listening socket, from any thread: makes a blocked or later accept
  // return null for good. The result is whether that succeeded.
  virtual bool abort_accept() = 0;

  // Shuts the connection down in both directions.
  virtual bool shutdown() = 0;

  // Closes the system socket. Closing a closed socket succeeds.
  virtual bool close() = 0;

  // The peer's dotted-decimal IPv4 address; empty on failure.
  virtual std::string peer_address() = 0;

  // Opens a TCP socket listening on "host:port". An empty host or
  // "localhost" (any case) listens on every local interface. Always returns
  // an object; check good().
  static std::unique_ptr<socket_t> create_listener(const char* address, int listen_queue_size);

  // Connects to "host:port", trying every IPv4 address of the host;
  // max_attempts rounds when every address refuses, pausing
  // pause_seconds between rounds. Always returns an object; check good().
  static std::unique_ptr<socket_t> connect_to(const char* address, socket_domain domain = sock_any_domain,
                                              int max_attempts = 1, int pause_seconds = 0);

 protected:
  // Written by the owning thread; read by abort_accept from another thread.
  std::atomic<socket_status> status{ss_close};
};

class win_socket : public socket_t {
 public:
  // A closed socket that will listen on or connect to address.
  explicit win_socket(const char* address);
  ~win_socket() override;

  long read(void* buf, size_t min_size, size_t max_size, int timeout_ms = WAIT_FOREVER) override;
  bool write(const void* buf, size_t size, int timeout_ms = WAIT_FOREVER) override;
  bool good() override { return last_error == ok; }
  void error_text(char* buf, size_t buf_size) override;
  std::unique_ptr<socket_t> accept() override;
  bool abort_accept() override;
  bool shutdown() override;
  bool close() override;
  std::string peer_address() override;

  // Binds and listens; false (and the error kept) on failure.
  bool open(int listen_queue_size);
  // Connects as connect_to describes.
  bool connect(int max_attempts, int pause_seconds);

 private:
  // An accepted connection.
  explicit win_socket(int fd);
  // Makes close() reset the connection at once instead of lingering.
  void abandon();

  int fd = -1;
  int last_error = not_opened;
  std::string address;  // empty for accepted sockets
};
