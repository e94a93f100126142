// A one-shot timer whose ticks are read from a descriptor (a timerfd), so
// that the console face waits for them together with its input.
#pragma once

class ConsoleTimer {
 public:
  ConsoleTimer();
  ~ConsoleTimer();
  ConsoleTimer(const ConsoleTimer&) = delete;
  ConsoleTimer& operator=(const ConsoleTimer&) = delete;

  // False when the system gave no timer; the timer then never fires.
  bool good() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Fires once, intervalMs milliseconds from now; replaces an earlier arming.
  bool arm(unsigned intervalMs);

 private:
  int fd_;
};
