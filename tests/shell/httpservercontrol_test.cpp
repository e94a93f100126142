// The real server behind the main window, listening on an ephemeral loopback port.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "httpservercontrol.h"
#include "pagetable.h"

namespace {

TEST(HttpServerControl, StopBeforeServeKeepsServerFromServing) {
  HttpServerControl control(nullptr, pageTableSize, pageTable);
  ASSERT_TRUE(control.open("127.0.0.1:0"));
  EXPECT_FALSE(control.stop());  // no request queue yet

  auto serving = std::async(std::launch::async, [&] { control.serve(); });
  const bool ended = serving.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ended) {
    control.stop();  // the queue exists now: this ends the accept loop, so the test can finish
  }
  EXPECT_TRUE(ended) << "serve() accepted clients after the server was stopped";
}

}  // namespace
