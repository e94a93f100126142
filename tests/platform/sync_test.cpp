#include "sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

TEST(Semaphore, CountsUnitsAndCapsAtMaximum) {
  dbSemaphore sem(0, 3);
  EXPECT_FALSE(sem.tryWait());
  sem.signal(5);  // capped at 3
  EXPECT_TRUE(sem.tryWait());
  EXPECT_TRUE(sem.tryWait());
  EXPECT_TRUE(sem.tryWait());
  EXPECT_FALSE(sem.tryWait());
  sem.signal(2);
  sem.drain();
  EXPECT_FALSE(sem.wait(10));
}

TEST(Event, ManualResetReleasesEveryWaiterUntilReset) {
  dbEvent event(dbEvent::Reset::Manual);
  EXPECT_FALSE(event.wait(10));
  event.signal();
  EXPECT_TRUE(event.wait(0));
  EXPECT_TRUE(event.wait(0));
  event.reset();
  EXPECT_FALSE(event.wait(0));
}

TEST(Event, AutoResetReleasesOneWaiter) {
  dbEvent event(dbEvent::Reset::Auto);
  event.signal();
  EXPECT_TRUE(event.wait(0));
  EXPECT_FALSE(event.wait(0));
}

struct Shared {
  dbMutex mutex;
  int counter = 0;
  dbSemaphore done{0};
};

void addMany(void* p) {
  auto* shared = static_cast<Shared*>(p);
  for (int i = 0; i < 10000; i++) {
    dbCriticalSection cs(shared->mutex);
    dbCriticalSection again(shared->mutex);  // recursive entry
    shared->counter++;
  }
  shared->done.signal();
}

TEST(Thread, DetachedThreadsShareACriticalSection) {
  Shared shared;
  std::vector<dbThread> threads(4);
  for (auto& t : threads) {
    ASSERT_TRUE(t.create(addMany, &shared));
    t.detach();
  }
  for (size_t i = 0; i < threads.size(); i++) shared.done.wait();
  EXPECT_EQ(shared.counter, 40000);
}

void storeSlot(void* p) {
  auto* slot = static_cast<dbThreadLocal<int>*>(p);
  static int mine = 7;
  EXPECT_EQ(slot->get(), nullptr);
  slot->set(&mine);
  EXPECT_EQ(slot->get(), &mine);
}

TEST(ThreadLocal, EachThreadSeesItsOwnValue) {
  dbThreadLocal<int> slot;
  int main = 1;
  slot.set(&main);
  dbThread t;
  ASSERT_TRUE(t.create(storeSlot, &slot));
  t.join();
  EXPECT_EQ(slot.get(), &main);
}
