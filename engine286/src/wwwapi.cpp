#include "wwwapi.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "database.h"

namespace {

constexpr size_t errorTextSize = 64;

// The status line and the Content-Length field of a page reply. The six
// spaces after "Content-Length: " are patched with the body length.
constexpr std::string_view pageReplyHead = "HTTP/1.1 200 OK\r\nContent-Length:       \r\nConnection: close\r\n";
constexpr size_t lengthPosition = std::string_view("HTTP/1.1 200 OK\r\nContent-Length: ").size();
constexpr size_t lengthWidth = 6;

// Page links carry the session number, so no Referer may leak it; and no
// browser may guess a type other than the one sent.
constexpr std::string_view safetyHeaders = "Referrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n";

constexpr const char* badRequest = "400 Bad Request";
constexpr const char* methodNotAllowed = "405 Method not allowed";
constexpr const char* entityTooLarge = "413 Request Entity Too Large";
constexpr const char* internalError = "500 Internal server error";
constexpr const char* notFound = "404 Not found";
constexpr const char* notAcceptable = "Not acceptable";

// The value of one hex digit as the decoder has always read it: letters from
// 'a' and from 'A' count from 10, anything else from '0'.
unsigned hexValue(char c) {
  if (c >= 'a') return static_cast<unsigned>(c - 87) & 0xF;
  if (c >= 'A') return static_cast<unsigned>(c - 55) & 0xF;
  return static_cast<unsigned>(c - 48) & 0xF;
}

// Decodes the byte at *src ('+' is a space, "%XY" one byte) and advances src
// past what it used. A '%' without two characters after it stays itself.
char decodeOne(const char*& src, const char* end) {
  char c = *src++;
  if (c == '+') return ' ';
  if (c == '%' && end - src >= 2) {
    char byte = static_cast<char>((hexValue(src[0]) << 4) | hexValue(src[1]));
    src += 2;
    return byte;
  }
  return c;
}

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

bool endsWithNoCase(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         strncasecmp(text.c_str() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// The position of needle in [begin, end), compared without regard to case,
// or end.
const char* findNoCase(const char* begin, const char* end, std::string_view needle) {
  for (const char* p = begin; p + needle.size() <= end; ++p) {
    if (strncasecmp(p, needle.data(), needle.size()) == 0) return p;
  }
  return end;
}

// The Content-Length of the header block [begin, end): the digits after
// "content-length: " (spaces skipped). Without the field, or without digits,
// the length is unlimited.
size_t contentLength(const char* begin, const char* end) {
  constexpr std::string_view field = "content-length: ";
  const char* p = findNoCase(begin, end, field);
  if (p == end) return std::numeric_limits<size_t>::max();
  p += field.size();
  while (p < end && *p == ' ') ++p;
  if (p == end || *p < '0' || *p > '9') return std::numeric_limits<size_t>::max();
  size_t length = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    length = std::min(length * 10 + static_cast<size_t>(*p - '0'), HTTPapi::maxRequestSize + 1);
  }
  return length;
}

bool isInsideWorkingFolder(const std::string& path) {
  char* cwd = getcwd(nullptr, 0);
  char* real = realpath(path.c_str(), nullptr);
  bool inside = false;
  if (cwd != nullptr && real != nullptr) {
    size_t n = std::strlen(cwd);
    inside = std::strncmp(real, cwd, n) == 0 && (real[n] == '/' || (n == 1 && cwd[0] == '/'));
  }
  std::free(cwd);
  std::free(real);
  return inside;
}

}  // namespace

unsigned wwwHashCode(const char* name) {
  unsigned h = 0;
  for (const signed char* p = reinterpret_cast<const signed char*>(name); *p != 0; ++p) {
    h = (h << 4) + static_cast<unsigned>(static_cast<int>(*p));
    unsigned g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

// ---------------------------------------------------------------------------
// WWWconnection

WWWconnection::WWWconnection() { reply_.reserve(initialReplyBytes); }

WWWconnection::~WWWconnection() = default;

const char* WWWconnection::param(const char* name) const {
  unsigned h = wwwHashCode(name);
  for (const Param* p = buckets_[h % paramBuckets]; p != nullptr; p = p->next) {
    if (p->hash == h && std::strcmp(p->name, name) == 0) return p->value;
  }
  return nullptr;
}

// A missing parameter value passed straight on writes nothing (but still
// counts as one output for the mode flip).
WWWconnection& WWWconnection::put(const char* text) { return put(text, text != nullptr ? std::strlen(text) : 0); }

WWWconnection& WWWconnection::put(const char* text, size_t length) {
  if (mode_ == raw) {
    if (length != 0) reply_.append(text, length);
    mode_ = escaped;
  } else {
    appendEscaped(text, length);
    mode_ = raw;
  }
  return *this;
}

void WWWconnection::appendEscaped(const char* text, size_t length) {
  if (length == 1 && text[0] == ' ') {
    reply_.append("&nbsp;");
    return;
  }
  for (size_t i = 0; i < length; ++i) {
    switch (text[i]) {
      case '<': reply_.append("&lt;"); break;
      case '>': reply_.append("&gt;"); break;
      case '&': reply_.append("&amp;"); break;
      case '"': reply_.append("&quot;"); break;
      case '\'': reply_.append("&#39;"); break;
      default: reply_.push_back(text[i]); break;
    }
  }
}

WWWconnection& WWWconnection::putNumber(int32_t value) {
  char digits[16];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  return put(digits, static_cast<size_t>(result.ptr - digits));
}

void WWWconnection::reset() {
  for (size_t i = 0; i < paramsUsed_; ++i) buckets_[params_[i].hash % paramBuckets] = nullptr;
  paramsUsed_ = 0;
  reply_.clear();
  mode_ = raw;
  // Memory is kept for the next request, but not what one odd request
  // needed: each of the pool's many connections would keep it for good.
  if (params_.size() > retainedParams) params_ = {};
  if (reply_.capacity() > retainedReplyBytes) {
    std::string().swap(reply_);
    reply_.reserve(initialReplyBytes);
  }
}

void WWWconnection::addParam(const char* name, const char* value) {
  if (paramsUsed_ == params_.size()) params_.emplace_back();
  Param& p = params_[paramsUsed_++];
  p.name = name;
  p.value = value;
  p.hash = wwwHashCode(name);
  Param*& bucket = buckets_[p.hash % paramBuckets];
  p.next = bucket;
  bucket = &p;
}

const char* WWWconnection::parseParams(char* text, size_t length) {
  const char* src = text;
  const char* end = text + length;
  text[length] = '\0';
  while (src < end) {
    char* name = const_cast<char*>(src);
    char* dst = name;
    while (src < end && *src != '=') *dst++ = decodeOne(src, end);
    *dst = '\0';
    if (src < end) ++src;  // the '='
    char* value = const_cast<char*>(src);
    dst = value;
    while (src < end && *src != '&') *dst++ = decodeOne(src, end);
    *dst = '\0';
    if (src < end) ++src;  // the '&'
    addParam(name, value);
  }
  return param("page");
}

void WWWconnection::attachSocket(std::unique_ptr<socket_t> socket) {
  socket_ = std::move(socket);
  acceptedAt_ = std::chrono::steady_clock::now();
}

void WWWconnection::dropSocket() { socket_.reset(); }

// ---------------------------------------------------------------------------
// WWWapi

WWWapi::WWWapi(dbDatabase* db, int nPages, const PageEntry* pages) : db_(db), pages_(pages, pages + nPages) {
  for (PageEntry& page : pages_) {
    page.hash = wwwHashCode(page.name);
    PageEntry*& bucket = buckets_[page.hash % pageBuckets];
    page.next = bucket;
    bucket = &page;
  }
}

WWWapi::~WWWapi() = default;

bool WWWapi::open(const char* address, socket_t::socket_domain /*every kind is TCP*/, int listenQueueSize) {
  listener_.reset();
  listener_ = socket_t::create_listener(address, listenQueueSize);
  canceled_ = false;
  if (!listener_->good()) {
    char text[errorTextSize];
    listener_->error_text(text, sizeof text);
    std::fprintf(stderr, "WWWapi::open: create socket failed: %s\n", text);
    return false;
  }
  return true;
}

bool WWWapi::connect(WWWconnection& con) {
  con.reset();
  con.dropSocket();
  if (listener_ == nullptr) return false;
  std::unique_ptr<socket_t> client = listener_->accept();
  if (client == nullptr) {
    if (!canceled_) {
      char text[errorTextSize];
      listener_->error_text(text, sizeof text);
      std::fprintf(stderr, "WWWapi::connect: accept failed: %s\n", text);
    }
    return false;
  }
  con.attachSocket(std::move(client));
  return true;
}

void WWWapi::interrupt() {
  canceled_ = true;
  if (listener_ != nullptr) listener_->abort_accept();
}

bool WWWapi::invoke(WWWconnection& con, const char* pageName) {
  unsigned h = wwwHashCode(pageName);
  const PageEntry* page = buckets_[h % pageBuckets];
  while (page != nullptr && (page->hash != h || std::strcmp(page->name, pageName) != 0)) page = page->next;
  if (page == nullptr) return false;
  try {
    page->handler(con);
  } catch (...) {
    // A failing page still gets what it wrote so far sent, and its
    // transaction committed: the server goes on serving.
  }
  if (db_ != nullptr) db_->commit();
  return true;
}

// ---------------------------------------------------------------------------
// HTTPapi

HTTPapi::HTTPapi(dbDatabase* db, int nPages, const PageEntry* pages, int requestTimeLimitMs, int replyTimeLimitMs)
    : WWWapi(db, nPages, pages), requestTimeLimitMs_(requestTimeLimitMs), replyTimeLimitMs_(replyTimeLimitMs) {}

void HTTPapi::sendReply(WWWconnection& con) {
  con.socket()->write(con.reply().data(), con.reply().size(), replyTimeLimitMs_);
}

int HTTPapi::timeLeftMs(const WWWconnection& con) const {
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       con.acceptedAt());
  return static_cast<int>(std::max<long long>(0, requestTimeLimitMs_ - elapsed.count()));
}

void HTTPapi::sendError(WWWconnection& con, const char* status) {
  std::string& reply = con.reply();
  reply.assign("HTTP/1.1 ");
  reply.append(status);
  reply.append("\r\nConnection: close\r\n\r\n<HTML><HEAD><TITLE>Invalid request to the database</TITLE>\r\n"
               "</HEAD><BODY>\n\r<H1>");
  reply.append(status);
  reply.append("</H1>\n\r</BODY></HTML>\r\n\r\n");
  sendReply(con);
}

// Reads until the header block's end (a line feed, carriage return, line
// feed) has arrived. Returns the request size and where the body starts
// through used and headerEnd. On false the connection gets no reply, except
// a malformed header block, which is answered here.
bool HTTPapi::readRequest(WWWconnection& con, char* buf, size_t& used, size_t& headerEnd) {
  used = 0;
  size_t scan = 0;
  char prev = '\0';
  for (;;) {
    for (; scan < used; prev = buf[scan++]) {
      char c = buf[scan];
      if (c == '\0') {
        sendError(con, badRequest);
        return false;
      }
      if (c == '\r' && prev == '\n') {
        if (scan + 1 == used) break;  // the line feed may still be on its way
        if (buf[scan + 1] != '\n') {
          sendError(con, badRequest);
          return false;
        }
        headerEnd = scan + 2;
        return true;
      }
    }
    if (used == maxRequestSize) return false;
    long n = con.socket()->read(buf + used, 1, maxRequestSize - used, timeLeftMs(con));
    if (n <= 0) return false;  // failed, or the time limit ran out
    used += static_cast<size_t>(n);
    buf[used] = '\0';
  }
}

bool HTTPapi::process(WWWconnection& con) {
  if (con.socket() == nullptr) return true;
  con.setPeerAddress(con.socket()->peer_address());
  con.reset();
  char buf[maxRequestSize + 1];
  size_t used = 0;
  size_t headerEnd = 0;
  if (readRequest(con, buf, used, headerEnd)) {
    if (std::strncmp(buf, "GET ", 4) == 0) {
      handleGet(con, buf, headerEnd);
    } else if (std::strncmp(buf, "POST ", 5) == 0) {
      handlePost(con, buf, used, headerEnd);
    } else {
      sendError(con, methodNotAllowed);
    }
  }
  con.socket()->shutdown();
  con.dropSocket();
  return true;
}

void HTTPapi::handleGet(WWWconnection& con, char* buf, size_t headerEnd) {
  // Everything is looked for inside the request line.
  char* lineEnd = std::find_if(buf, buf + headerEnd, isLineEnd);
  char* slash = std::find(buf + 4, lineEnd, '/');
  if (slash == lineEnd) return sendError(con, badRequest);
  char* path = slash + 1;
  if (path < lineEnd && *path == '/') {
    // An absolute target: "scheme://host/path".
    char* targetEnd = std::find(path, lineEnd, ' ');
    char* hostEnd = std::find(path + 1, targetEnd, '/');
    if (hostEnd == targetEnd) return sendError(con, badRequest);
    path = hostEnd + 1;
  }
  char* pathEnd = std::find(path, lineEnd, ' ');
  if (pathEnd == lineEnd) return sendError(con, badRequest);
  if (pathEnd == path) return serveFile(con, "index.html");

  char* query = std::find(path, pathEnd, '?');
  if (query != pathEnd) return answer(con, query + 1, static_cast<size_t>(pathEnd - query - 1));
  std::string decoded;
  if (decodeFilePath(path, static_cast<size_t>(pathEnd - path), decoded)) return serveFile(con, decoded);
  answerLoginPage(con);
}

void HTTPapi::answerLoginPage(WWWconnection& con) {
  char emptyPage[] = "page=";
  answer(con, emptyPage, sizeof emptyPage - 1);
}

void HTTPapi::handlePost(WWWconnection& con, char* buf, size_t used, size_t headerEnd) {
  size_t declared = contentLength(buf, buf + headerEnd);
  bool cannotFit = declared != std::numeric_limits<size_t>::max() && headerEnd + declared > maxRequestSize;
  size_t bodyEnd;
  for (;;) {
    size_t limit = std::min(used, headerEnd + std::min(declared, maxRequestSize));
    bodyEnd = static_cast<size_t>(std::find_if(buf + headerEnd, buf + limit, isLineEnd) - buf);
    if (bodyEnd < limit || used - headerEnd >= declared) break;
    // A body that cannot fit is refused without waiting for it.
    if (used == maxRequestSize || cannotFit) return sendError(con, entityTooLarge);
    long n = con.socket()->read(buf + used, 1, maxRequestSize - used, timeLeftMs(con));
    if (n <= 0) return;
    used += static_cast<size_t>(n);
  }
  answer(con, buf + headerEnd, bodyEnd - headerEnd);
}

bool HTTPapi::decodeFilePath(const char* path, size_t length, std::string& decoded) {
  decoded.clear();
  const char* end = path + length;
  while (path < end) decoded.push_back(decodeOne(path, end));
  if (decoded.empty() || decoded.front() == '/' || decoded.find('\\') != std::string::npos ||
      decoded.find('\0') != std::string::npos || decoded.find("..") != std::string::npos ||
      decoded.find("/.") != std::string::npos || decoded.front() == '.' || endsWithNoCase(decoded, ".mem") ||
      endsWithNoCase(decoded, ".mbf")) {
    return false;
  }
  return true;
}

const char* HTTPapi::contentType(const std::string& path) {
  static constexpr std::pair<std::string_view, const char*> types[] = {
      {".html", "text/html"},      {".htm", "text/html"},  {".css", "text/css"},
      {".js", "application/javascript"}, {".png", "image/png"}, {".gif", "image/gif"},
      {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"}, {".svg", "image/svg+xml"},
      {".txt", "text/plain"},
  };
  for (const auto& [extension, type] : types) {
    if (endsWithNoCase(path, extension)) return type;
  }
  return "application/octet-stream";
}

void HTTPapi::serveFile(WWWconnection& con, const std::string& path) {
  int fd = -1;
  struct stat st{};
  if (isInsideWorkingFolder(path)) {
    // Non-blocking, so that a named pipe cannot hold the worker.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) return answerLoginPage(con);
  size_t size = static_cast<size_t>(st.st_size);
  std::string& reply = con.reply();
  char head[256];
  std::snprintf(head, sizeof head, "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\nContent-Type: %s\r\nConnection: close\r\n",
                size, contentType(path));
  reply.assign(head);
  reply.append(safetyHeaders);
  reply.append("\r\n");
  size_t bodyStart = reply.size();
  reply.resize(bodyStart + size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, reply.data() + bodyStart + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got < size) return sendError(con, internalError);
  sendReply(con);
}

void HTTPapi::answer(WWWconnection& con, char* params, size_t length) {
  const char* page = con.parseParams(params, length);
  if (page == nullptr) return sendError(con, notAcceptable);
  std::string& reply = con.reply();
  reply.assign(pageReplyHead);
  reply.append(safetyHeaders);
  con.setMode(WWWconnection::raw);
  invoke(con, page);

  // The page's header lines end at the first line feed followed by a line
  // feed or a carriage return (then also by a line feed).
  size_t bodyStart = std::string::npos;
  for (size_t i = lengthPosition; i + 1 < reply.size(); ++i) {
    if (reply[i] == '\n' && (reply[i + 1] == '\n' || reply[i + 1] == '\r')) {
      bodyStart = i + 2;
      if (reply[i + 1] == '\r' && bodyStart < reply.size() && reply[bodyStart] == '\n') ++bodyStart;
      break;
    }
  }
  if (bodyStart == std::string::npos) return sendError(con, notFound);

  char digits[24];
  size_t bodyLength = reply.size() - bodyStart;
  size_t n = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, bodyLength).ptr - digits);
  // Bodies of a million bytes and more need more than the six reserved places.
  if (n > lengthWidth) reply.insert(lengthPosition + lengthWidth, n - lengthWidth, ' ');
  reply.replace(lengthPosition, n, digits, n);
  sendReply(con);
}

// ---------------------------------------------------------------------------
// QueueManager

namespace {

// An invariant of the queue broke: nothing sensible can follow.
void queueAssert(bool holds, const char* text) {
  if (holds) return;
  std::fprintf(stderr, "Assertion failed: %s\n", text);
  std::abort();
}

}  // namespace

QueueManager::QueueManager(WWWapi& server, dbDatabase* db, int nThreads, int connectionQueueLen)
    : server_(&server), db_(db), nThreads_(nThreads) {
  queueAssert(nThreads >= 1 && connectionQueueLen >= 1, "nThreads >= 1 && connectionQueueLen >= 1");
  pool_ = std::make_unique<WWWconnection[]>(static_cast<size_t>(connectionQueueLen));
  for (int i = connectionQueueLen - 1; i >= 0; --i) {
    pool_[i].next = freeList_;
    freeList_ = &pool_[i];
  }
  for (int i = 0; i < nThreads; ++i) {
    auto worker = std::make_unique<dbThread>();
    queueAssert(worker->create(&QueueManager::workerMain, this), "worker thread started");
    workers_.push_back(std::move(worker));
  }
}

QueueManager::~QueueManager() {
  stopServer();
  for (auto& worker : workers_) worker->join();
}

void QueueManager::workerMain(void* self) { static_cast<QueueManager*>(self)->workerLoop(); }

void QueueManager::acceptLoop() {
  mutex_.lock();
  while (server_ != nullptr) {
    if (freeList_ == nullptr) {
      slotFreed_.reset();
      mutex_.unlock();
      slotFreed_.wait();
      mutex_.lock();
      if (server_ == nullptr) break;
      queueAssert(freeList_ != nullptr, "freeList != NULL");
    }
    WWWconnection* con = freeList_;
    freeList_ = con->next;
    WWWapi* server = server_;
    mutex_.unlock();
    if (!server->connect(*con)) return;
    mutex_.lock();
    if (server_ == nullptr) {
      con->dropSocket();
      break;
    }
    con->next = nullptr;
    if (readyTail_ == nullptr) {
      readyHead_ = con;
    } else {
      readyTail_->next = con;
    }
    readyTail_ = con;
    requestReady_.signal();
  }
  mutex_.unlock();
}

void QueueManager::workerLoop() {
  if (db_ != nullptr) db_->attach();
  mutex_.lock();
  for (;;) {
    mutex_.unlock();
    requestReady_.wait();
    mutex_.lock();
    if (server_ == nullptr) break;
    WWWconnection* con = readyHead_;
    queueAssert(con != nullptr, "con != NULL");
    readyHead_ = con->next;
    if (readyHead_ == nullptr) readyTail_ = nullptr;
    WWWapi* server = server_;
    mutex_.unlock();
    bool goOn = server->process(*con);
    if (!goOn) stopServer();
    mutex_.lock();
    if (freeList_ == nullptr) slotFreed_.signal();
    con->next = freeList_;
    freeList_ = con;
  }
  mutex_.unlock();
  if (db_ != nullptr) db_->detach();
}

void QueueManager::stopServer() {
  dbCriticalSection guard(mutex_);
  WWWapi* server = server_;
  if (server == nullptr) return;
  server_ = nullptr;
  server->interrupt();
  requestReady_.signal(static_cast<unsigned>(nThreads_));
  slotFreed_.signal();
}
