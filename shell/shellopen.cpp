#include "shellopen.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

bool variableSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool graphicalDisplayPresent() { return variableSet("DISPLAY") || variableSet("WAYLAND_DISPLAY"); }

bool shellOpen(const std::string& target) {
  if (!graphicalDisplayPresent()) {
    return false;
  }
  // The program blocks its termination signals; the opener must not inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::string program = "xdg-open";
  std::string argument = target;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid;
  const int rc = posix_spawnp(&pid, "xdg-open", nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    return false;
  }
  // Reaped on the side, so the caller goes on at once and leaves no zombie.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}
