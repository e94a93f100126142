#include "consoleinput.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// Empties a descriptor that reported readiness. A signalfd must be read a
// whole record at a time, so the buffer is at least that large.
void drain(int fd) {
  char record[sizeof(signalfd_siginfo)];
  while (read(fd, record, sizeof record) < 0 && errno == EINTR) {
  }
}

}  // namespace

ConsoleInput::ConsoleInput(int inputFd, int timerFd, int signalFd)
    : inputFd_(inputFd), timerFd_(timerFd), signalFd_(signalFd) {
  inputEnded_ = inputFd_ < 0;
}

bool ConsoleInput::takeBufferedLine(std::string& line) {
  const size_t end = buffer_.find('\n');
  if (end != std::string::npos) {
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    return true;
  }
  if (inputEnded_ && !buffer_.empty()) {
    line.swap(buffer_);
    buffer_.clear();
    return true;
  }
  return false;
}

void ConsoleInput::readInput() {
  char chunk[4096];
  ssize_t n;
  do {
    n = read(inputFd_, chunk, sizeof chunk);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    inputEnded_ = true;
  } else {
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

ConsoleInput::Event ConsoleInput::next(std::string& line) {
  for (;;) {
    if (signalled_) {
      return Event::signal;
    }
    if (takeBufferedLine(line)) {
      return Event::line;
    }
    if (inputEnded_ && !endReported_) {
      endReported_ = true;
      return Event::endOfInput;
    }
    pollfd fds[3] = {{signalFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}, {inputEnded_ ? -1 : inputFd_, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      continue;  // EINTR: nothing happened yet
    }
    if (fds[0].revents != 0) {
      drain(signalFd_);
      signalled_ = true;
      continue;
    }
    if (fds[1].revents != 0) {
      drain(timerFd_);
      return Event::timer;
    }
    if (fds[2].revents != 0) {
      readInput();
    }
  }
}

std::optional<std::string> ConsoleInput::readLine() {
  std::string line;
  for (;;) {
    if (signalled_ || (inputEnded_ && buffer_.empty())) {
      return std::nullopt;
    }
    switch (next(line)) {
      case Event::line:
        return line;
      case Event::timer:
        timerPending_ = true;
        break;
      case Event::endOfInput:
      case Event::signal:
        return std::nullopt;
    }
  }
}

bool ConsoleInput::takeTimerTick() {
  const bool pending = timerPending_;
  timerPending_ = false;
  return pending;
}
