// The "open" verb: xdg-open in the background, only with a graphical display.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "shell_fakes.h"
#include "shellopen.h"

namespace {

// Sets or unsets an environment variable for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ShellOpen, StartsNothingWithoutADisplay) {
  TemporaryFolder folder;
  folder.write("xdg-open", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
  chmod((folder.path() + "/xdg-open").c_str(), 0755);
  ScopedVariable path("PATH", folder.path().c_str());
  ScopedVariable display("DISPLAY", nullptr);
  ScopedVariable wayland("WAYLAND_DISPLAY", "");
  EXPECT_FALSE(graphicalDisplayPresent());
  EXPECT_FALSE(shellOpen("http://localhost:8001"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(std::filesystem::exists(folder.path() + "/ran"));
}

TEST(ShellOpen, HandsTargetToXdgOpenWithADisplay) {
  TemporaryFolder folder;
  folder.write("xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/target.tmp\"\n"
                           "mv \"$(dirname \"$0\")/target.tmp\" \"$(dirname \"$0\")/target\"\n");
  chmod((folder.path() + "/xdg-open").c_str(), 0755);
  ScopedVariable path("PATH", (folder.path() + ":/usr/bin:/bin").c_str());
  ScopedVariable display("DISPLAY", nullptr);
  ScopedVariable wayland("WAYLAND_DISPLAY", "wayland-0");
  ASSERT_TRUE(shellOpen("http://localhost:8001"));
  const std::string target = folder.path() + "/target";
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !std::filesystem::exists(target) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(target);
  std::string got;
  std::getline(in, got);
  EXPECT_EQ(got, "http://localhost:8001");
}

}  // namespace
