// The request queue: parallel workers, arrival order, stopping, time limit.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <vector>

#include "http_test_support.h"
#include "test_pages.h"

namespace {

// The "slow" page records its n, then waits at the gate until the test lets
// it through.
dbSemaphore gate;
std::mutex orderMutex;
std::vector<int> arrivals;

bool slowPage(WWWconnection& con) {
  const char* n = con.param("n");
  {
    std::lock_guard lock(orderMutex);
    arrivals.push_back(std::atoi(n));
  }
  gate.wait();
  con.put("Content-type: text/html\r\n\r\n").put(n);
  return true;
}

const PageEntry queuePages[] = {{"slow", slowPage}, {"echo", testPages[1].handler}};

size_t arrived() {
  std::lock_guard lock(orderMutex);
  return arrivals.size();
}

// Polls until pred holds, for at most ten seconds.
template <class Pred>
bool eventually(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::future<std::string> slowRequest(int port, int n) {
  return std::async(std::launch::async, [port, n] {
    return bodyOf(::exchange(port, "GET /?page=slow&n=" + std::to_string(n) + " HTTP/1.0\r\n\r\n"));
  });
}

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    gate.drain();
    std::lock_guard lock(orderMutex);
    arrivals.clear();
  }
};

}  // namespace

TEST_F(Queue, EightWorkersAnswerInParallelAndTheNinthWaits) {
  RunningServer server(queuePages, 2, 8, 1000);
  std::vector<std::future<std::string>> replies;
  for (int i = 0; i < 9; ++i) replies.push_back(slowRequest(server.port(), i));
  ASSERT_TRUE(eventually([] { return arrived() == 8; }));
  // A ninth page would have started by now if a worker were free.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(arrived(), 8u);
  gate.signal(1);
  ASSERT_TRUE(eventually([] { return arrived() == 9; }));
  gate.signal(8);
  for (auto& reply : replies) EXPECT_FALSE(reply.get().empty());
}

TEST_F(Queue, ConnectionsAreAnsweredInAcceptOrder) {
  RunningServer server(queuePages, 2, 1, 1000);
  auto first = slowRequest(server.port(), 0);
  ASSERT_TRUE(eventually([] { return arrived() == 1; }));
  std::vector<int> clients;
  for (int i = 1; i <= 5; ++i) {
    int fd = connectClient(server.port());
    sendAll(fd, "GET /?page=slow&n=" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
    clients.push_back(fd);
  }
  gate.signal(6);
  EXPECT_EQ(first.get(), "0");
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(bodyOf(readAll(clients[i])), std::to_string(i + 1));
    close(clients[i]);
  }
  std::lock_guard lock(orderMutex);
  EXPECT_EQ(arrivals, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(Queue, WaitsForAFreeSlotWhenAllAreTaken) {
  RunningServer server(queuePages, 2, 1, 2);
  std::vector<std::future<std::string>> replies;
  replies.push_back(slowRequest(server.port(), 0));
  ASSERT_TRUE(eventually([] { return arrived() == 1; }));
  for (int i = 1; i < 4; ++i) replies.push_back(slowRequest(server.port(), i));
  gate.signal(4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(replies[i].get(), std::to_string(i));
}

TEST_F(Queue, StopWhileIdleEndsTheAcceptLoopAndTheWorkers) {
  auto server = std::make_unique<RunningServer>(queuePages, 2);
  int port = server->port();
  EXPECT_EQ(bodyOf(server->get("GET /?page=echo&a=1 HTTP/1.0\r\n\r\n")), "a=1");
  server->stop();
  EXPECT_TRUE(server->acceptLoopEnded());
  EXPECT_EQ(connectClient(port), -1) << "nobody listens any more";
  server.reset();  // joins the workers: hangs if one did not end
}

TEST_F(Queue, StopWhileAPageRunsStillSendsItsReply) {
  // One slot: the accept loop is waiting for it to come back when stopped.
  RunningServer server(queuePages, 2, 1, 1);
  auto reply = slowRequest(server.port(), 7);
  ASSERT_TRUE(eventually([] { return arrived() == 1; }));
  server.stop();
  EXPECT_TRUE(server.acceptLoopEnded());
  gate.signal(1);
  EXPECT_EQ(reply.get(), "7");
}

TEST_F(Queue, SilentOrSlowClientsAreDroppedAtTheTimeLimit) {
  RunningServer server(queuePages, 2, 1, 1000, 300);
  int silent = connectClient(server.port());
  char byte;
  EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "closed without a reply";
  close(silent);

  // Dripping a byte at a time does not renew the limit: it counts from the accept.
  int dripping = connectClient(server.port());
  for (char c : std::string("GET /?page=echo&a=1")) {
    sendAll(dripping, std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sendAll(dripping, " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(readAll(dripping), "");
  close(dripping);

  // The only worker is free again.
  EXPECT_EQ(bodyOf(server.get("GET /?page=echo&a=1 HTTP/1.0\r\n\r\n")), "a=1");
}

TEST_F(Queue, ClientNotTakingItsReplyIsDroppedAtTheReplyTimeLimit) {
  RunningServer server(testPages, testPageCount, 1, 1000, HTTPapi::defaultRequestTimeLimitMs, 300);
  // Far more than the socket buffers of both ends hold.
  int stalled = connectClient(server.port());
  sendAll(stalled, "GET /?page=sized&n=40000000 HTTP/1.0\r\n\r\n");
  // The only worker is free again although the reply was never read.
  EXPECT_EQ(bodyOf(server.get("GET /?page=echo&a=next HTTP/1.0\r\n\r\n")), "a=next");
  close(stalled);
}

TEST_F(Queue, AcceptingGoesOnAfterRunningOutOfDescriptors) {
  HTTPapi api(nullptr, testPageCount, testPages);
  int port = freePort();
  ASSERT_TRUE(api.open(loopback(port).c_str()));
  QueueManager queue(api, nullptr, 1, 10);
  dbEvent tightened(dbEvent::Reset::Manual);
  std::thread acceptor([&] {
    tightened.wait();
    queue.acceptLoop();
  });
  // No descriptor left: accept fails at once, before any client comes.
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int lowestFree = open("/dev/null", O_RDONLY);
  close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  tightened.signal();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(bodyOf(exchange(port, "GET /?page=echo&a=later HTTP/1.0\r\n\r\n")), "a=later");
  queue.stopServer();
  acceptor.join();
}
