// The socket layer on real loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>

#include "errors.h"
#include "http_test_support.h"
#include "w32sock.h"

namespace {

std::string errorText(socket_t& s, size_t size = 64) {
  std::string buf(size, '\0');
  s.error_text(buf.data(), buf.size());
  return buf.c_str();
}

// A listener and one accepted connection with its client end.
struct ConnectedPair {
  std::unique_ptr<socket_t> listener;
  std::unique_ptr<socket_t> server;
  std::unique_ptr<socket_t> client;

  ConnectedPair() {
    int port = freePort();
    listener = socket_t::create_listener(loopback(port).c_str(), 5);
    client = socket_t::connect_to(loopback(port).c_str());
    server = listener->accept();
  }
};

// True when a TCP connection to ip:port succeeds.
bool reachable(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &sa.sin_addr);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

TEST(Socket, MalformedAddressesAreBadAddresses) {
  const std::string longHost(256, 'a');
  const char* addresses[] = {"localhost", "localhost:", "localhost:http", "localhost:80x", "localhost:65536",
                             "localhost:-1"};
  for (const char* address : addresses) {
    SCOPED_TRACE(address);
    auto listener = socket_t::create_listener(address, 5);
    EXPECT_FALSE(listener->good());
    EXPECT_EQ(errorText(*listener), "bad address");
    auto client = socket_t::connect_to(address);
    EXPECT_FALSE(client->good());
    EXPECT_EQ(errorText(*client), "bad address");
  }
  auto tooLong = socket_t::create_listener((longHost + ":8001").c_str(), 5);
  EXPECT_EQ(errorText(*tooLong), "bad address");
}

TEST(Socket, LocalhostAnyCaseAndEmptyHostListenOnEveryInterface) {
  for (const char* host : {"localhost", "LocalHost", ""}) {
    SCOPED_TRACE(host);
    int port = freePort();
    auto listener = socket_t::create_listener((std::string(host) + ":" + std::to_string(port)).c_str(), 5);
    ASSERT_TRUE(listener->good()) << errorText(*listener);
    // 127.0.0.2 is another address of the loopback interface: only a socket
    // bound to every interface answers there.
    EXPECT_TRUE(reachable("127.0.0.2", port));
  }
  int port = freePort();
  auto onlyOne = socket_t::create_listener(loopback(port).c_str(), 5);
  ASSERT_TRUE(onlyOne->good());
  EXPECT_FALSE(reachable("127.0.0.2", port));
}

TEST(Socket, PortInUseFailsWithTheSystemText) {
  int port = freePort();
  auto first = socket_t::create_listener(loopback(port).c_str(), 5);
  ASSERT_TRUE(first->good());
  auto second = socket_t::create_listener(("localhost:" + std::to_string(port)).c_str(), 5);
  EXPECT_FALSE(second->good());
  EXPECT_EQ(errorText(*second), dbSystemErrorText(EADDRINUSE).substr(0, 63));
}

TEST(Socket, ReadWriteAndPeerAddress) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->good());
  ASSERT_NE(pair.server, nullptr);
  EXPECT_EQ(pair.server->peer_address(), "127.0.0.1");
  ASSERT_TRUE(pair.client->write("hello world", 11));
  char buf[32] = {};
  EXPECT_EQ(pair.server->read(buf, 11, sizeof buf), 11);
  EXPECT_STREQ(buf, "hello world");
  EXPECT_EQ(errorText(*pair.server), "ok");
}

TEST(Socket, PeerClosingBeforeTheMinimumArrivedIsABrokenConnection) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->write("abc", 3));
  pair.client->close();
  char buf[32];
  EXPECT_EQ(pair.server->read(buf, 10, sizeof buf), -1);
  EXPECT_EQ(errorText(*pair.server), "connection is broken");
}

TEST(Socket, ExpiredReadTimeLimitReturnsWhatArrived) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.client->write("ab", 2));
  char buf[32];
  EXPECT_EQ(pair.server->read(buf, 10, sizeof buf, 200), 2);
  EXPECT_EQ(pair.server->read(buf, 1, sizeof buf, 50), 0);
}

TEST(Socket, OperationsAfterShutdownOrCloseReportNotOpened) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.server->shutdown());
  char buf[8];
  EXPECT_EQ(pair.server->read(buf, 1, sizeof buf), -1);
  EXPECT_EQ(errorText(*pair.server), "socket not opened");
  EXPECT_TRUE(pair.server->close());
  EXPECT_TRUE(pair.server->close());
  EXPECT_FALSE(pair.server->write("x", 1));
  EXPECT_EQ(pair.server->peer_address(), "");
  EXPECT_EQ(errorText(*pair.server), "socket not opened");
}

TEST(Socket, AbortAcceptWakesABlockedAccept) {
  int port = freePort();
  auto listener = socket_t::create_listener(loopback(port).c_str(), 5);
  ASSERT_TRUE(listener->good());
  auto accepted = std::async(std::launch::async, [&] { return listener->accept(); });
  EXPECT_EQ(accepted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(listener->abort_accept());
  ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(accepted.get(), nullptr);
  EXPECT_EQ(listener->accept(), nullptr) << "aborted for good";
  EXPECT_FALSE(reachable("127.0.0.1", port));
}

TEST(Socket, ConnectingToNobodyExhaustsItsAttempts) {
  auto client = socket_t::connect_to(loopback(freePort()).c_str(), socket_t::sock_global_domain, 2, 0);
  EXPECT_FALSE(client->good());
  EXPECT_EQ(errorText(*client), "exceed limit of attempts of connection to server");
}

TEST(Socket, ErrorTextIsCutToTheBuffer) {
  auto listener = socket_t::create_listener("nowhere", 5);
  EXPECT_EQ(errorText(*listener, 4), "bad");
}
