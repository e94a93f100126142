#include "consoletimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

ConsoleTimer::ConsoleTimer() : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}

ConsoleTimer::~ConsoleTimer() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

bool ConsoleTimer::arm(unsigned intervalMs) {
  if (fd_ < 0) {
    return false;
  }
  itimerspec spec{};
  spec.it_value.tv_sec = intervalMs / 1000;
  spec.it_value.tv_nsec = static_cast<long>(intervalMs % 1000) * 1000000L;
  if (intervalMs == 0) {
    spec.it_value.tv_nsec = 1;  // zero would disarm it
  }
  return timerfd_settime(fd_, 0, &spec, nullptr) == 0;
}
