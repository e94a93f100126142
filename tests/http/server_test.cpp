// WWWapi: opening the listening socket and accepting into a connection.
#include <cerrno>
#include <chrono>
#include <future>

#include "errors.h"
#include "http_test_support.h"
#include "test_pages.h"

TEST(Server, OpenReportsWhyItFailed) {
  int port = freePort();
  auto taken = socket_t::create_listener(loopback(port).c_str(), 5);
  ASSERT_TRUE(taken->good());
  const std::pair<std::string, std::string> cases[] = {
      {"localhost:" + std::to_string(port), dbSystemErrorText(EADDRINUSE)},
      {"localhost", "bad address"},
  };
  HTTPapi api(nullptr, testPageCount, testPages);
  for (const auto& [address, reason] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(api.open(address.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WWWapi::open: create socket failed: " + reason + "\n");
  }
}

TEST(Server, InterruptEndsAWaitingConnectQuietly) {
  HTTPapi api(nullptr, testPageCount, testPages);
  ASSERT_TRUE(api.open(loopback(freePort()).c_str()));
  WWWconnection con;
  testing::internal::CaptureStderr();
  auto connected = std::async(std::launch::async, [&] { return api.connect(con); });
  EXPECT_EQ(connected.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  api.interrupt();
  ASSERT_EQ(connected.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(connected.get());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
