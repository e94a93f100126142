// SIGINT and SIGTERM as readable events instead of asynchronous handlers:
// they are blocked and read from a signalfd by the console face's loop.
#pragma once

class TerminationSignals {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread. Construct it before
  // any other thread starts, so that every thread inherits the block and
  // the signals wait for the descriptor.
  TerminationSignals();
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // -1 when the system gave no descriptor; the signals are then left
  // unblocked.
  int fd() const { return fd_; }

 private:
  int fd_;
};
