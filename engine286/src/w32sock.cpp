#include "w32sock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "errors.h"

namespace {

constexpr size_t maxHostLength = 255;
constexpr int lingerSeconds = 10;
constexpr int listenerSendBufferSize = 1 << 20;
constexpr int resourceRetryMs = 100;

struct HostPort {
  std::string host;
  uint16_t port = 0;
};

// Splits "host:port" at the first colon. False for a missing colon, a host
// longer than 255 characters or a port that is not a decimal number below
// 65536.
bool splitAddress(const char* address, HostPort& out) {
  const char* colon = std::strchr(address, ':');
  if (colon == nullptr || static_cast<size_t>(colon - address) > maxHostLength) return false;
  const char* digits = colon + 1;
  if (*digits == '\0') return false;
  unsigned long port = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    port = port * 10 + static_cast<unsigned long>(*p - '0');
    if (port > 65535) return false;
  }
  out.host.assign(address, colon);
  out.port = static_cast<uint16_t>(port);
  return true;
}

bool listensEverywhere(const std::string& host) { return host.empty() || strcasecmp(host.c_str(), "localhost") == 0; }

// The IPv4 addresses of host, in the resolver's order.
std::vector<in_addr> resolve(const std::string& host) {
  std::vector<in_addr> result;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return result;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) result.push_back(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr);
  }
  freeaddrinfo(list);
  return result;
}

sockaddr_in makeAddress(in_addr ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = ip;
  sa.sin_port = htons(port);
  return sa;
}

bool setNoDelay(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// Failures of accept() that concern one pending client or a passing
// shortage rather than the listening socket: the server must not stop
// accepting for good because of them.
bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool isTransientAcceptError(int error) {
  switch (error) {
    case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
      return true;
    default:
      return isResourceShortage(error);
  }
}

// Milliseconds left until deadline, clamped to [0, INT_MAX].
int msUntil(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left < 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

}  // namespace

win_socket::win_socket(const char* address) : address(address) {}

win_socket::win_socket(int fd) : fd(fd), last_error(ok) { status = ss_open; }

win_socket::~win_socket() { close(); }

std::unique_ptr<socket_t> socket_t::create_listener(const char* address, int listen_queue_size) {
  auto sock = std::make_unique<win_socket>(address);
  sock->open(listen_queue_size);
  return sock;
}

std::unique_ptr<socket_t> socket_t::connect_to(const char* address, socket_domain /*every kind is TCP*/,
                                               int max_attempts, int pause_seconds) {
  auto sock = std::make_unique<win_socket>(address);
  sock->connect(max_attempts, pause_seconds);
  return sock;
}

bool win_socket::open(int listen_queue_size) {
  HostPort hp;
  if (!splitAddress(address.c_str(), hp)) {
    last_error = bad_address;
    return false;
  }
  in_addr ip{};
  if (listensEverywhere(hp.host)) {
    ip.s_addr = htonl(INADDR_ANY);
  } else {
    std::vector<in_addr> ips = resolve(hp.host);
    if (ips.empty()) {
      last_error = bad_address;
      return false;
    }
    ip = ips.front();
  }
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    last_error = errno;
    return false;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = makeAddress(ip, hp.port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, listen_queue_size) != 0) {
    last_error = errno;
    ::close(fd);
    fd = -1;
    return false;
  }
  last_error = ok;
  status = ss_open;
  return true;
}

bool win_socket::connect(int max_attempts, int pause_seconds) {
  HostPort hp;
  std::vector<in_addr> ips;
  if (!splitAddress(address.c_str(), hp) || (ips = resolve(hp.host)).empty()) {
    last_error = bad_address;
    return false;
  }
  for (int round = 0; round < max_attempts; ++round) {
    if (round > 0) std::this_thread::sleep_for(std::chrono::seconds(pause_seconds));
    for (in_addr ip : ips) {
      int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (s < 0) {
        last_error = errno;
        return false;
      }
      sockaddr_in sa = makeAddress(ip, hp.port);
      if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        if (!setNoDelay(s)) {
          last_error = errno;
          ::close(s);
          return false;
        }
        fd = s;
        last_error = ok;
        status = ss_open;
        return true;
      }
      last_error = errno;
      ::close(s);
      if (last_error != ECONNREFUSED) return false;
    }
  }
  last_error = connection_failed;
  return false;
}

std::unique_ptr<socket_t> win_socket::accept() {
  if (status != ss_open) {
    last_error = not_opened;
    return nullptr;
  }
  int s;
  for (;;) {
    s = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) {
      if (status != ss_open || !isTransientAcceptError(errno)) break;
      if (isResourceShortage(errno)) std::this_thread::sleep_for(std::chrono::milliseconds(resourceRetryMs));
      continue;
    }
    // A client that vanished before its options could be set is its own
    // failure, not the listener's.
    linger lg{1, lingerSeconds};
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0 && setNoDelay(s)) break;
    ::close(s);
  }
  if (s < 0) {
    last_error = errno;
    return nullptr;
  }
  int size = listenerSendBufferSize;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  last_error = ok;
  return std::unique_ptr<socket_t>(new win_socket(s));
}

// Closing the descriptor would not wake a thread blocked in accept() on
// Linux, and could hand its number to another file while that thread is
// about to use it. Shutting the listening socket down wakes the waiter
// (accept fails with EINVAL) and makes every later accept fail at once; the
// descriptor itself is closed by the owner, by close() or destruction.
bool win_socket::abort_accept() {
  status = ss_shutdown;
  return fd >= 0 && ::shutdown(fd, SHUT_RDWR) == 0;
}

long win_socket::read(void* buf, size_t min_size, size_t max_size, int timeout_ms) {
  if (status != ss_open) {
    last_error = not_opened;
    return -1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char* out = static_cast<char*>(buf);
  size_t got = 0;
  do {
    if (timeout_ms != WAIT_FOREVER) {
      pollfd pfd{fd, POLLIN, 0};
      int rc = ::poll(&pfd, 1, msUntil(deadline));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) {
        last_error = errno;
        return -1;
      }
      if (rc == 0) return static_cast<long>(got);
    }
    ssize_t n = ::recv(fd, out + got, max_size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      last_error = errno;
      return -1;
    }
    if (n == 0) {
      last_error = broken_pipe;
      return -1;
    }
    got += static_cast<size_t>(n);
  } while (got < min_size);
  last_error = ok;
  return static_cast<long>(got);
}

bool win_socket::write(const void* buf, size_t size, int timeout_ms) {
  if (status != ss_open) {
    last_error = not_opened;
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // With a time limit, sends must not block past it: each sends what fits.
  int flags = MSG_NOSIGNAL | (timeout_ms == WAIT_FOREVER ? 0 : MSG_DONTWAIT);
  const char* p = static_cast<const char*>(buf);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeout_ms != WAIT_FOREVER) {
      pollfd pfd{fd, POLLOUT, 0};
      int rc = ::poll(&pfd, 1, msUntil(deadline));
      if (rc > 0 || (rc < 0 && errno == EINTR)) continue;
      if (rc == 0) {
        abandon();
        last_error = ETIMEDOUT;
      } else {
        last_error = errno;
      }
      return false;
    }
    if (n < 0) {
      last_error = errno;
      return false;
    }
    if (n == 0) {
      last_error = broken_pipe;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The peer stopped taking data: closing must not wait for it (lingering),
// so the connection is reset instead.
void win_socket::abandon() {
  linger lg{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

bool win_socket::shutdown() {
  if (status == ss_open) {
    status = ss_shutdown;
    if (::shutdown(fd, SHUT_RDWR) != 0) {
      last_error = errno;
      return false;
    }
  }
  last_error = ok;
  return true;
}

bool win_socket::close() {
  status = ss_close;
  if (fd < 0) return true;
  int rc = ::close(fd);
  fd = -1;
  if (rc != 0) {
    last_error = errno;
    return false;
  }
  last_error = ok;
  return true;
}

std::string win_socket::peer_address() {
  if (status != ss_open) {
    last_error = not_opened;
    return {};
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  char text[INET_ADDRSTRLEN];
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) == nullptr) {
    last_error = errno;
    return {};
  }
  last_error = ok;
  return text;
}

void win_socket::error_text(char* buf, size_t buf_size) {
  if (buf_size == 0) return;
  std::string text;
  switch (last_error) {
    case ok: text = "ok"; break;
    case not_opened: text = "socket not opened"; break;
    case bad_address: text = "bad address"; break;
    case connection_failed: text = "exceed limit of attempts of connection to server"; break;
    case broken_pipe: text = "connection is broken"; break;
    default: text = dbSystemErrorText(last_error); break;
  }
  size_t n = std::min(text.size(), buf_size - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}
