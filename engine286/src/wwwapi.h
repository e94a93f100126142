// The embedded HTTP server: the page table, one connection per request, the
// HTTP framing of page output, and the request queue that serves accepted
// connections with a fixed set of worker threads.
//
// A page is a function that reads the request's parameters from its
// WWWconnection and writes its reply there: its own header lines (pages write
// "Content-type: text/html\r\n\r\n"), then the body. The server adds the
// status line and the Content-Length, sends the reply, closes the connection
// and commits the worker's database transaction.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sync.h"
#include "w32sock.h"

class dbDatabase;
class WWWconnection;

// One row of the page table. Tables are written as {"name", handler}; the
// server keeps its own copy and fills hash and next in it.
struct PageEntry {
  const char* name;
  bool (*handler)(WWWconnection& con);  // the result is not used
  unsigned hash = 0;
  PageEntry* next = nullptr;
};

// The hash of page and parameter names (the ELF string hash).
unsigned wwwHashCode(const char* name);

// One client connection: its socket, the decoded request parameters and the
// reply being built. Used by one thread at a time. Reused from request to
// request: parameter records and the reply buffer keep their memory.
class WWWconnection {
 public:
  // How the next put() writes its text. The mode flips after every put(), so
  // after setMode(raw) the outputs alternate markup, value, markup, ...
  enum OutputMode { raw, escaped };

  WWWconnection();
  ~WWWconnection();
  WWWconnection(const WWWconnection&) = delete;
  WWWconnection& operator=(const WWWconnection&) = delete;

  // --- For pages ---

  // The value of the named parameter (exact, case-sensitive match), the last
  // one when the name occurs more than once; null when absent. Valid until
  // the page returns.
  const char* param(const char* name) const;

  // The mode of the next put(). Pages call setMode(raw) before each run of
  // output.
  void setMode(OutputMode mode) { mode_ = mode; }

  // Appends text according to the mode, then flips the mode. raw copies the
  // text; escaped writes "&lt;", "&gt;", "&amp;", "&quot;" and "&#39;" for
  // < > & " ' and a text of exactly one space as "&nbsp;". A null text
  // (a missing parameter) writes nothing.
  WWWconnection& put(const char* text);
  WWWconnection& put(const char* text, size_t length);

  // put() of the decimal text of value (one put for the mode flip).
  WWWconnection& putNumber(int32_t value);

  // The client's dotted IPv4 address, or null when unknown.
  const char* peerAddress() const { return peer_.empty() ? nullptr : peer_.c_str(); }

  // --- For the server, tests and tools ---

  // Empties the reply, sets raw mode and recycles every parameter record.
  // Keeps the memory of ordinary requests, releases that of huge ones.
  void reset();

  // Decodes "name=value&name=value" in place ('+' is a space, %XY a byte)
  // and adds each pair. The text must be writable at text[length] (a zero
  // byte is stored there). Returns the value of "page", or null.
  const char* parseParams(char* text, size_t length);

  // Adds one pair; name and value must outlive the request.
  void addParam(const char* name, const char* value);

  // Gives the connection a new client socket and starts its request clock.
  void attachSocket(std::unique_ptr<socket_t> socket);
  // Closes and drops the client socket, if any.
  void dropSocket();
  socket_t* socket() const { return socket_.get(); }
  std::chrono::steady_clock::time_point acceptedAt() const { return acceptedAt_; }

  // The reply as built so far (zero-terminated).
  std::string& reply() { return reply_; }
  const std::string& reply() const { return reply_; }

  void setPeerAddress(std::string address) { peer_ = std::move(address); }

  // The link of the request queue's lists.
  WWWconnection* next = nullptr;

 private:
  struct Param {
    const char* name;
    const char* value;
    unsigned hash;
    Param* next;
  };
  static constexpr size_t paramBuckets = 1013;
  static constexpr size_t initialReplyBytes = 4096;
  static constexpr size_t retainedReplyBytes = 1 << 20;
  static constexpr size_t retainedParams = 1024;

  void appendEscaped(const char* text, size_t length);

  std::unique_ptr<socket_t> socket_;
  std::chrono::steady_clock::time_point acceptedAt_{};
  std::string reply_;
  OutputMode mode_ = raw;
  std::array<Param*, paramBuckets> buckets_{};
  std::deque<Param> params_;  // records [0, paramsUsed_) are in use; the rest wait for reuse
  size_t paramsUsed_ = 0;
  std::string peer_;
};

// The server: the listening socket and the page table. process() is the HTTP
// part, supplied by HTTPapi.
class WWWapi {
 public:
  // db may be null: then nothing is committed. The entries are copied.
  WWWapi(dbDatabase* db, int nPages, const PageEntry* pages);
  virtual ~WWWapi();
  WWWapi(const WWWapi&) = delete;
  WWWapi& operator=(const WWWapi&) = delete;

  // Listens on "host:port" (see socket_t::create_listener), replacing any
  // earlier listening socket. On failure writes
  // "WWWapi::open: create socket failed: <error>" to stderr and returns false.
  bool open(const char* address, socket_t::socket_domain kind = socket_t::sock_global_domain,
            int listenQueueSize = 5);

  // Resets con, then waits for a client and gives con its socket. False when
  // accept fails (silently after interrupt()).
  bool connect(WWWconnection& con);

  // From any thread: makes a blocked connect() return false, for good.
  void interrupt();

  // Answers the request on con and drops its socket. True tells the request
  // queue to go on serving.
  virtual bool process(WWWconnection& con) = 0;

  // Runs the named page on con, swallowing any exception it throws, then
  // commits the calling thread's transaction. False when there is no such
  // page (nothing is written then).
  bool invoke(WWWconnection& con, const char* pageName);

  int pageCount() const { return static_cast<int>(pages_.size()); }
  const PageEntry* pageTable() const { return pages_.data(); }

 protected:
  dbDatabase* db_;

 private:
  static constexpr size_t pageBuckets = 113;

  std::vector<PageEntry> pages_;
  std::array<PageEntry*, pageBuckets> buckets_{};
  std::unique_ptr<socket_t> listener_;
  std::atomic<bool> canceled_{false};
};

// HTTP/1.1 over WWWapi: one request per connection, "Connection: close".
class HTTPapi : public WWWapi {
 public:
  static constexpr int defaultRequestTimeLimitMs = 10000;
  static constexpr int defaultReplyTimeLimitMs = 60000;
  // The request line, headers and body together must fit in this many bytes.
  static constexpr size_t maxRequestSize = 65535;

  // requestTimeLimitMs: a whole request must arrive within this time of the
  // accept, else the connection is closed without a reply. replyTimeLimitMs:
  // the client must take the whole reply within this time, else the
  // connection is reset. Either way no client holds a worker for longer.
  HTTPapi(dbDatabase* db, int nPages, const PageEntry* pages,
          int requestTimeLimitMs = defaultRequestTimeLimitMs, int replyTimeLimitMs = defaultReplyTimeLimitMs);

  // Works on any socket_t the connection holds; always returns true.
  bool process(WWWconnection& con) override;

  // Decodes the path of a GET for a plain file ('+' is a space, %XY a byte)
  // into decoded. False when the path may not be served: empty, absolute,
  // with a backslash, a zero byte, "..", a component starting with ".", or
  // ending in ".mem" or ".mbf" (the database and its backups).
  static bool decodeFilePath(const char* path, size_t length, std::string& decoded);

  // The Content-Type of a served file, by its extension.
  static const char* contentType(const std::string& path);

 private:
  bool readRequest(WWWconnection& con, char* buf, size_t& used, size_t& headerEnd);
  void handleGet(WWWconnection& con, char* buf, size_t headerEnd);
  void handlePost(WWWconnection& con, char* buf, size_t used, size_t headerEnd);
  void serveFile(WWWconnection& con, const std::string& path);
  // Runs the page a parameter text names and sends its framed reply. The
  // text must be writable at params[length].
  void answer(WWWconnection& con, char* params, size_t length);
  // Answers as the page with the empty name (the login page).
  void answerLoginPage(WWWconnection& con);
  // Sends one of the fixed error replies; the caller closes the connection.
  void sendError(WWWconnection& con, const char* status);
  // Sends the connection's reply, within the reply time limit.
  void sendReply(WWWconnection& con);
  // Milliseconds left of the request's time limit (at least 0).
  int timeLeftMs(const WWWconnection& con) const;

  int requestTimeLimitMs_;
  int replyTimeLimitMs_;
};

// Serves the connections a WWWapi accepts: one accepting thread (the caller
// of acceptLoop) and nThreads workers, over a fixed pool of
// connectionQueueLen connections. Accepted connections wait in arrival order
// and are answered in that order.
class QueueManager {
 public:
  // Starts the workers, which attach to db (unless null) for their life.
  // Both counts must be at least 1.
  QueueManager(WWWapi& server, dbDatabase* db, int nThreads = 8, int connectionQueueLen = 1000);
  // Stops the server if it still runs, then waits for every worker to end
  // (a worker inside a page finishes that request first). acceptLoop must
  // have returned.
  ~QueueManager();
  QueueManager(const QueueManager&) = delete;
  QueueManager& operator=(const QueueManager&) = delete;

  // Accepts clients until stopServer() or a failed accept; runs on the
  // caller's thread.
  void acceptLoop();

  // From any thread: stops accepting, ends acceptLoop and the idle workers.
  // A worker answering a request sends its reply first. Connections still
  // waiting are closed unanswered. Calls after the first do nothing.
  void stopServer();

 private:
  static void workerMain(void* self);
  void workerLoop();

  dbMutex mutex_;  // guards the three lists and server_
  dbSemaphore requestReady_{0, 1000000};
  dbEvent slotFreed_{dbEvent::Reset::Manual};
  std::unique_ptr<WWWconnection[]> pool_;
  WWWconnection* freeList_ = nullptr;
  WWWconnection* readyHead_ = nullptr;
  WWWconnection* readyTail_ = nullptr;
  WWWapi* server_;
  dbDatabase* db_;
  int nThreads_;
  std::vector<std::unique_ptr<dbThread>> workers_;
};
