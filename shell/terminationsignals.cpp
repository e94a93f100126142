#include "terminationsignals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

TerminationSignals::TerminationSignals() {
  const sigset_t set = terminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  fd_ = signalfd(-1, &set, SFD_CLOEXEC);
  if (fd_ < 0) {
    // Without the descriptor the signals would never arrive: let them end
    // the process the default way instead.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

TerminationSignals::~TerminationSignals() {
  if (fd_ >= 0) {
    close(fd_);
  }
}
