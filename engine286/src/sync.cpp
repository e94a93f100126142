#include "sync.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

// Waits on cv until ready() holds or the time-out (milliseconds) expires.
template <class Ready>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, unsigned timeoutMs, Ready ready) {
  if (timeoutMs == dbWaitForever) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

struct ThreadStart {
  dbThread::Function f;
  void* arg;
};

void* threadEntry(void* p) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(p));
  start->f(start->arg);
  return nullptr;
}

}  // namespace

bool dbSemaphore::wait(unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!waitFor(cv_, lock, timeoutMs, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

void dbSemaphore::signal(unsigned n) {
  {
    std::lock_guard lock(mutex_);
    count_ = (n > max_ - count_) ? max_ : count_ + n;
  }
  if (n == 1) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
}

void dbSemaphore::drain() {
  std::lock_guard lock(mutex_);
  count_ = 0;
}

bool dbEvent::wait(unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!waitFor(cv_, lock, timeoutMs, [this] { return signalled_; })) return false;
  if (!manual_) signalled_ = false;
  return true;
}

void dbEvent::signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void dbEvent::reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

dbThread::~dbThread() { detach(); }

bool dbThread::create(Function f, void* arg) {
  detach();
  // The start record is handed over to the new thread, which owns it from then on.
  auto start = std::make_unique<ThreadStart>(ThreadStart{f, arg});
  if (pthread_create(&thread_, nullptr, threadEntry, start.get()) != 0) return false;
  start.release();
  started_ = true;
  return true;
}

void dbThread::join() {
  if (!started_) return;
  pthread_join(thread_, nullptr);
  started_ = false;
}

void dbThread::detach() {
  if (!started_) return;
  pthread_detach(thread_);
  started_ = false;
}

uint64_t dbThread::currentId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

unsigned dbThread::numberOfProcessors() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

void dbThread::sleep(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

dbThreadLocalSlot::dbThreadLocalSlot() {
  if (pthread_key_create(&key_, nullptr) != 0) std::abort();
}

dbThreadLocalSlot::~dbThreadLocalSlot() { pthread_key_delete(key_); }
