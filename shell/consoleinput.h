// The console face's input: lines from standard input, the ticks of the
// backup timer and the termination signals, waited for together on the GUI
// thread.
#pragma once

#include <optional>
#include <string>

class ConsoleInput {
 public:
  enum class Event { line, endOfInput, timer, signal };

  // Reads lines from inputFd, timer ticks from timerFd (a timerfd: each tick
  // is an 8-byte count) and signals from signalFd (a signalfd). Any of them
  // may be -1. The descriptors stay their owners'.
  ConsoleInput(int inputFd, int timerFd, int signalFd);

  // Waits for the next event. A line comes without its line feed; a last
  // line without one still counts. endOfInput comes once; after it only
  // timer ticks and signals come. Once a signal has come, every call
  // returns signal at once.
  Event next(std::string& line);

  // For modal questions and dialogs: the next line, or nothing at the end of
  // input or on a signal. Timer ticks that come meanwhile wait for
  // takeTimerTick.
  std::optional<std::string> readLine();

  // True (once) when a tick came during readLine.
  bool takeTimerTick();

  bool signalled() const { return signalled_; }

 private:
  bool takeBufferedLine(std::string& line);
  void readInput();

  int inputFd_;
  int timerFd_;
  int signalFd_;
  std::string buffer_;
  bool inputEnded_ = false;
  bool endReported_ = false;
  bool signalled_ = false;
  bool timerPending_ = false;
};
