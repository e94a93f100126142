// Threads and synchronisation for the engine and the HTTP server.
//
// A small layer with the semantics the rest of the code was designed around:
// recursive critical sections, counting semaphores with a maximum, manual- and
// auto-reset events, detachable threads and per-object thread-local slots.
// Everything here is built on the C++ standard library and POSIX threads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Wait time meaning "no limit".
inline constexpr unsigned dbWaitForever = 0xFFFFFFFFu;

// Interlocked counter: increments and decrements are atomic across threads.
using dbAtomicCounter = std::atomic<int32_t>;

// A critical section. Recursive: the owning thread may enter it again.
class dbMutex {
 public:
  dbMutex() = default;
  dbMutex(const dbMutex&) = delete;
  dbMutex& operator=(const dbMutex&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool tryLock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a dbMutex for the lifetime of the guard.
class dbCriticalSection {
 public:
  explicit dbCriticalSection(dbMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~dbCriticalSection() { mutex_.unlock(); }
  dbCriticalSection(const dbCriticalSection&) = delete;
  dbCriticalSection& operator=(const dbCriticalSection&) = delete;

 private:
  dbMutex& mutex_;
};

// Counting semaphore. signal() never raises the count above the maximum.
class dbSemaphore {
 public:
  explicit dbSemaphore(unsigned initialCount = 0, unsigned maxCount = 1000000)
      : count_(initialCount), max_(maxCount) {}
  dbSemaphore(const dbSemaphore&) = delete;
  dbSemaphore& operator=(const dbSemaphore&) = delete;

  // Takes one unit; false when the time-out (milliseconds) expired first.
  bool wait(unsigned timeoutMs = dbWaitForever);
  // Takes one unit if one is available at once.
  bool tryWait() { return wait(0); }
  // Adds n units, capped at the maximum.
  void signal(unsigned n = 1);
  // Takes every available unit without waiting.
  void drain();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  unsigned count_;
  unsigned max_;
};

// Event: signalled or not. A manual-reset event stays signalled until
// reset() and releases every waiter; an auto-reset event releases one
// waiter and clears itself.
class dbEvent {
 public:
  enum class Reset { Manual, Auto };
  explicit dbEvent(Reset kind, bool signalled = false) : manual_(kind == Reset::Manual), signalled_(signalled) {}
  dbEvent(const dbEvent&) = delete;
  dbEvent& operator=(const dbEvent&) = delete;

  // False when the time-out (milliseconds) expired first.
  bool wait(unsigned timeoutMs = dbWaitForever);
  void signal();
  void reset();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool manual_;
  bool signalled_;
};

// A system thread. The thread runs until its function returns; the object
// may join it or let it run on detached.
class dbThread {
 public:
  using Function = void (*)(void* arg);

  dbThread() = default;
  ~dbThread();  // detaches a thread that was neither joined nor detached
  dbThread(const dbThread&) = delete;
  dbThread& operator=(const dbThread&) = delete;

  // Starts f(arg) on a new thread. False when the system refuses.
  bool create(Function f, void* arg);
  void join();
  // Lets the thread run on its own; the handle is closed.
  void detach();
  bool running() const { return started_; }

  static uint64_t currentId();
  static unsigned numberOfProcessors();
  static void sleep(unsigned milliseconds);

 private:
  pthread_t thread_{};
  bool started_ = false;
};

// A thread-local slot owned by an object: each thread sees its own pointer,
// null until it sets one. Unlike `thread_local`, there may be many slots
// (one per database object) and their lifetime is the owner's.
class dbThreadLocalSlot {
 public:
  dbThreadLocalSlot();
  ~dbThreadLocalSlot();
  dbThreadLocalSlot(const dbThreadLocalSlot&) = delete;
  dbThreadLocalSlot& operator=(const dbThreadLocalSlot&) = delete;

  void* get() const { return pthread_getspecific(key_); }
  void set(void* value) { pthread_setspecific(key_, value); }

 private:
  pthread_key_t key_;
};

// Typed view of a dbThreadLocalSlot.
template <class T>
class dbThreadLocal {
 public:
  T* get() const { return static_cast<T*>(slot_.get()); }
  void set(T* value) { slot_.set(value); }

 private:
  dbThreadLocalSlot slot_;
};

