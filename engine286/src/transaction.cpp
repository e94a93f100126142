// Thread contexts, the database lock (many readers or one writer, writers
// first), commit, rollback and the delayed commit.
//
// All lock bookkeeping happens inside the global critical section `cs`;
// waiting happens outside it on the semaphores. The thread that releases the
// lock updates the counters on the waiter's behalf before signalling it
// (hand-over), so a woken thread owns the lock at once.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "database.h"

namespace {

uint64_t nowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

// ---------------------------------------------------------------------------
// Thread contexts.

dbDatabaseThreadContext* dbDatabase::getThreadContext() const {
  return threadContext ? threadContext->get() : nullptr;
}

void dbDatabase::attach() {
  if (!threadContext || threadContext->get() != nullptr) return;
  auto ctx = std::make_unique<dbDatabaseThreadContext>();
  ctx->threadId = dbThread::currentId();
  threadContext->set(ctx.get());
  dbCriticalSection guard(threadContextListMutex);
  threadContexts.push_back(std::move(ctx));
}

void dbDatabase::destroyContext(dbDatabaseThreadContext* ctx) {
  dbCriticalSection guard(threadContextListMutex);
  auto it = std::find_if(threadContexts.begin(), threadContexts.end(), [ctx](const auto& p) { return p.get() == ctx; });
  if (it != threadContexts.end()) threadContexts.erase(it);
}

void dbDatabase::detach(int flags) {
  dbDatabaseThreadContext* ctx = getThreadContext();
  if (ctx == nullptr) return;
  if (flags & COMMIT) {
    commit();
  } else {
    {
      dbCriticalSection guard(cs);
      monitor.uncommittedChanges = true;
    }
    suspendTransaction(ctx);
  }
  if (flags & DESTROY_CONTEXT) {
    bool delayed = false;
    if (delayedCommit) {
      dbCriticalSection guard(delayedCommit->stopMutex);
      delayed = ctx->commitDelayed;
      ctx->removeContext = delayed;
    }
    if (!delayed) destroyContext(ctx);
    threadContext->set(nullptr);
  }
}

void dbDatabase::suspendTransaction(dbDatabaseThreadContext* ctx) {
  dbAssert(accessType != dbConcurrentUpdate);
  if (ctx->readAccess || ctx->writeAccess) {
    {
      dbCriticalSection guard(cs);
      ctx->concurrentId = monitor.transactionId;
    }
    endTransaction(ctx);
  }
}

// ---------------------------------------------------------------------------
// Lock.

template <class Recover>
void dbDatabase::waitFor(dbSemaphore& sem, Recover recover) {
  while (!sem.wait(lockTimeout)) {
    dbCriticalSection guard(cs);
    uint64_t now = nowMs();
    if (now - monitor.lastRecoveryTick >= lockTimeout) {
      monitor.lastRecoveryTick = now;
      if (recover()) return;
    }
  }
}

bool dbDatabase::beginExclusive(dbDatabaseThreadContext* ctx) {
  dbAssert(accessType != dbReadOnly && accessType != dbConcurrentRead);
  enterCS();
  if (ctx->readAccess) {
    dbAssert(monitor.nWriters == 0);
    if (monitor.nReaders == 1) {
      monitor.nWriters = 1;
      monitor.nReaders = 0;
      leaveCS();
    } else if (monitor.waitForUpgrade) {
      leaveCS();
      handleError(ErrDeadlock);
      return false;
    } else {
      monitor.waitForUpgrade = true;
      monitor.nWaitWriters += 1;
      leaveCS();
      signalDelayedCommitStop();
      waitFor(upgradeSem, [this] {
        // The other readers are presumed dead.
        monitor.nReaders -= 1;
        if (monitor.nReaders > 1) return false;
        monitor.nWriters = 1;
        monitor.nReaders = 0;
        monitor.nWaitWriters -= 1;
        monitor.waitForUpgrade = false;
        return true;
      });
    }
  } else if (monitor.nWriters != 0 || monitor.nReaders != 0) {
    monitor.nWaitWriters += 1;
    leaveCS();
    signalDelayedCommitStop();
    waitFor(writeSem, [this] {
      if (monitor.nWriters != 0) {
        // The writer is presumed dead: its changes are thrown away.
        recoverWorkingRoot();
        monitor.nWaitWriters -= 1;
        return true;
      }
      monitor.nReaders -= 1;
      if (monitor.nReaders > 0) return false;
      monitor.nWriters = 1;
      monitor.nWaitWriters -= 1;
      return true;
    });
  } else {
    monitor.nWriters = 1;
    leaveCS();
  }
  dbCriticalSection guard(cs);
  monitor.writerThreadId = ctx->threadId;
  ctx->writeAccess = true;
  ctx->readAccess = false;
  return true;
}

void dbDatabase::beginShared(dbDatabaseThreadContext* ctx) {
  enterCS();
  if (monitor.nWriters + monitor.nWaitWriters != 0) {
    monitor.nWaitReaders += 1;
    leaveCS();
    signalDelayedCommitStop();
    waitFor(readSem, [this] {
      if (monitor.nWriters != 0) {
        recoverWorkingRoot();
        monitor.nWriters = 0;
      } else {
        monitor.nWaitWriters -= 1;
      }
      monitor.nReaders += 1;
      monitor.nWaitReaders -= 1;
      return true;
    });
  } else {
    monitor.nReaders += 1;
    leaveCS();
  }
  ctx->readAccess = true;
}

bool dbDatabase::beginTransaction(dbLockType type) {
  dbDatabaseThreadContext* ctx = getThreadContext();
  dbAssert(ctx != nullptr);
  if (delayedCommit && type != dbCommitLock) claimDelayedCommit(ctx);
  if (accessType == dbConcurrentUpdate && type != dbCommitLock) {
    if (!ctx->mutatorCSLocked) {
      mutatorCS.lock();
      ctx->mutatorCSLocked = true;
    }
  } else if (type != dbSharedLock) {
    if (!ctx->writeAccess) {
      if (!beginExclusive(ctx)) return false;
    } else if (monitor.writerThreadId != ctx->threadId) {
      handleError(ErrLockRevoked);
    }
  } else if (!ctx->readAccess && !ctx->writeAccess) {
    beginShared(ctx);
  }
  if (type == dbCommitLock) return true;
  if (delayedCommit) {
    dbCriticalSection guard(delayedCommit->stopMutex);
    monitor.pendingCommitRequests -= 1;
  }
  if (!checkMappingVersion()) {
    endTransaction(ctx);
    return false;
  }
  dbCriticalSection guard(cs);
  setIndexAddresses();
  const int r = guest ? header->currentRoot : monitor.currentRoot;
  const int current = (accessType == dbConcurrentRead || guest) ? r : 1 - r;
  currIndex = index[current];
  workingIndexUsed = header->root[current].indexUsed;
  committedIndexUsed = header->root[r].indexUsed;
  return true;
}

bool dbDatabase::checkMappingVersion() {
  // Only a database that shares its file with another one can find the file
  // grown by someone else: follow the length in the header.
  if (!guest || header->size == file->getSize()) return true;
  if (file->setSize(header->size) != 0) {
    handleError(ErrOpen, "Failed to open database file");
    return false;
  }
  base = file->getBase();
  header = reinterpret_cast<dbHeader*>(base);
  return true;
}

void dbDatabase::handOverToWriter() {
  monitor.nWaitWriters -= 1;
  monitor.nWriters = 1;
  writeSem.signal();
}

void dbDatabase::handOverFromWriter() {
  if (monitor.nWaitWriters > 0) {
    handOverToWriter();
  } else if (monitor.nWaitReaders > 0) {
    monitor.nReaders = monitor.nWaitReaders;
    readSem.signal(monitor.nWaitReaders);
    monitor.nWaitReaders = 0;
  }
}

void dbDatabase::endTransaction(dbDatabaseThreadContext* ctx) {
  while (!ctx->cursors.isEmpty()) {
    dbL2List* node = ctx->cursors.next;
    static_cast<dbOpenCursor*>(node)->onTransactionEnd();
    node->unlink();
  }
  if (ctx->writeAccess) {
    dbCriticalSection guard(cs);
    monitor.nWriters -= 1;
    monitor.writerThreadId = 0;
    dbAssert(monitor.nWriters == 0 && !monitor.waitForUpgrade);
    handOverFromWriter();
  } else if (ctx->readAccess) {
    dbCriticalSection guard(cs);
    monitor.nReaders -= 1;
    if (monitor.nReaders == 1 && monitor.waitForUpgrade) {
      dbAssert(monitor.nWriters == 0);
      monitor.waitForUpgrade = false;
      monitor.nWaitWriters -= 1;
      monitor.nWriters = 1;
      monitor.nReaders = 0;
      upgradeSem.signal();
    } else if (monitor.nReaders == 0 && monitor.nWaitWriters > 0) {
      handOverToWriter();
    }
  }
  ctx->readAccess = false;
  ctx->writeAccess = false;
  if (ctx->mutatorCSLocked) {
    ctx->mutatorCSLocked = false;
    mutatorCS.unlock();
  }
}

// ---------------------------------------------------------------------------
// Commit and rollback.

bool dbDatabase::hasChangesOf(const dbDatabaseThreadContext* ctx) const {
  return modified && (monitor.uncommittedChanges || ctx->writeAccess || ctx->mutatorCSLocked ||
                      ctx->concurrentId == monitor.transactionId);
}

void dbDatabase::commit() {
  dbDatabaseThreadContext* ctx = getThreadContext();
  if (ctx == nullptr || ctx->commitDelayed) return;
  if (ctx->writeAccess && monitor.writerThreadId != ctx->threadId) handleError(ErrLockRevoked);
  bool changes;
  {
    dbCriticalSection guard(cs);
    changes = !monitor.commitInProgress && hasChangesOf(ctx);
  }
  if (!changes) {
    if (ctx->readAccess || ctx->writeAccess || ctx->mutatorCSLocked) endTransaction(ctx);
    return;
  }
  if (!ctx->writeAccess && !beginTransaction(ctx->mutatorCSLocked ? dbCommitLock : dbExclusiveLock)) return;
  if (!delayedCommit) {
    commitTransaction(ctx);
    return;
  }
  dbCriticalSection guard(delayedCommit->startMutex);
  monitor.delayedCommitContext = ctx;
  ctx->commitDelayed = true;
  delayedCommit->startEvent.signal();
}

void dbDatabase::commitTransaction(dbDatabaseThreadContext* ctx) {
  const int r = header->currentRoot;
  const int w = 1 - r;
  const size_t committedUsed = committedIndexUsed;
  const size_t workingUsed = workingIndexUsed;
  const bool grew = header->root[w].indexCapacity > header->root[r].indexCapacity;
  std::vector<db_nat4>& dirtyPages = monitor.dirtyIndexPages;
  auto pageDirty = [&](size_t page) { return (dirtyPages[page >> 5] >> (page & 31)) & 1; };

  if (grew) {
    // The committed index becomes garbage once the root switches; the new
    // working index of the next transaction needs an array of the new size.
    const size_t capacity = header->root[w].indexCapacity;
    offs_t shadow = allocateSpace(capacity * sizeof(offs_t));
    header->root[w].shadowIndexOffset = shadow;
    header->root[w].shadowIndexCapacity = static_cast<db_nat4>(capacity);
    offs_t old = header->root[r].indexOffset;
    size_t oldLength = size_t(header->root[r].indexCapacity) * sizeof(offs_t);
    shadowBitmapRange(old, oldLength);
    freeSpace(old, oldLength);
  }

  {
    dbCriticalSection guard(cs);
    dbAssert(ctx->writeAccess);
    monitor.commitInProgress = true;
    monitor.nWriters -= 1;
    monitor.nReaders += 1;
    monitor.writerThreadId = 0;
    if (accessType == dbConcurrentUpdate) monitor.currentRoot = w;
    monitor.nReaders += monitor.nWaitReaders;
    readSem.signal(monitor.nWaitReaders);
    monitor.nWaitReaders = 0;
    ctx->writeAccess = false;
    ctx->readAccess = true;
  }

  // Free the space of the versions this transaction replaced; only working
  // bitmap pages change (they were made private when the copies were taken).
  auto freeReplaced = [&](size_t id) {
    offs_t committed = index[r][id];
    if (!(committed & dbFreeHandleMarker) && committed != index[w][id]) {
      freeSpace(committed & ~dbInternalObjectMarker, objectLength(committed));
    }
  };
  const size_t wholePages = committedUsed / dbHandlesPerPage;
  for (size_t page = 0; page < wholePages; page++) {
    if (!pageDirty(page)) continue;
    for (size_t id = page * dbHandlesPerPage; id < (page + 1) * dbHandlesPerPage; id++) freeReplaced(id);
  }
  for (size_t id = wholePages * dbHandlesPerPage; id < committedUsed; id++) freeReplaced(id);

  int code = file->flush();
  if (code != 0) handleError(ErrFile, "Failed to flush database file", code);
  {
    dbCriticalSection guard(cs);
    header->currentRoot = w;
  }
  code = file->flush();
  if (code != 0) handleError(ErrFile, "Failed to flush database file", code);

  {
    // Root r becomes the next working root: bring its index up to date.
    dbCriticalSection guard(cs);
    header->root[r].indexUsed = static_cast<db_nat4>(workingUsed);
    header->root[r].freeList = header->root[w].freeList;
    const size_t usedPages = (workingUsed + dbHandlesPerPage - 1) / dbHandlesPerPage;
    if (!grew) {
      for (size_t page = 0; page < wholePages; page++) {
        if (!pageDirty(page)) continue;
        std::memcpy(index[r] + page * dbHandlesPerPage, index[w] + page * dbHandlesPerPage, dbPageSize);
        dirtyPages[page >> 5] &= ~(1u << (page & 31));
      }
      const size_t tail = wholePages * dbHandlesPerPage;
      std::memcpy(index[r] + tail, index[w] + tail, (workingUsed - tail) * sizeof(offs_t));
      for (size_t page = wholePages; page < usedPages; page++) dirtyPages[page >> 5] &= ~(1u << (page & 31));
    } else {
      dbHeader::dbRoot& next = header->root[r];
      const dbHeader::dbRoot& now = header->root[w];
      next.indexOffset = now.shadowIndexOffset;
      next.indexCapacity = now.shadowIndexCapacity;
      next.shadowIndexOffset = now.indexOffset;
      next.shadowIndexCapacity = now.indexCapacity;
      setIndexAddresses();
      std::memcpy(index[r], index[w], workingUsed * sizeof(offs_t));
      std::fill(dirtyPages.begin(), dirtyPages.end(), 0);
    }
  }
  {
    dbCriticalSection guard(cs);
    modified = false;
    monitor.uncommittedChanges = false;
    monitor.commitInProgress = false;
    if (accessType != dbConcurrentUpdate) monitor.currentRoot = w;
    monitor.transactionId += 1;
    currIndex = index[r];
    committedIndexUsed = workingUsed;
  }
  endTransaction(ctx);
}

void dbDatabase::rollback() {
  dbDatabaseThreadContext* ctx = getThreadContext();
  if (ctx == nullptr) return;
  bool changes;
  {
    dbCriticalSection guard(cs);
    changes = hasChangesOf(ctx);
  }
  if (changes && (ctx->writeAccess || ctx->mutatorCSLocked || beginTransaction(dbExclusiveLock))) {
    const int r = header->currentRoot;
    const int w = 1 - r;
    recordCursor = pageCursor = {FirstBitmapId, 0};
    std::fill(pageFreeHint.begin(), pageFreeHint.end(), 0x7FFFFFFF);
    const dbHeader::dbRoot& committed = header->root[r];
    auto* target = reinterpret_cast<offs_t*>(base + committed.shadowIndexOffset);
    const size_t committedUsed = committed.indexUsed;
    std::vector<db_nat4>& dirtyPages = monitor.dirtyIndexPages;
    if (header->root[w].indexOffset == committed.shadowIndexOffset) {
      const size_t pages = (committedUsed + dbHandlesPerPage - 1) / dbHandlesPerPage;
      for (size_t page = 0; page < pages; page++) {
        if ((dirtyPages[page >> 5] >> (page & 31)) & 1) {
          std::memcpy(target + page * dbHandlesPerPage, index[r] + page * dbHandlesPerPage, dbPageSize);
        }
      }
    } else {
      std::memcpy(target, index[r], committedUsed * sizeof(offs_t));
    }
    dbHeader::dbRoot& working = header->root[w];
    working.indexCapacity = committed.shadowIndexCapacity;
    working.indexUsed = committed.indexUsed;
    working.freeList = committed.freeList;
    working.indexOffset = committed.shadowIndexOffset;
    std::fill(dirtyPages.begin(), dirtyPages.end(), 0);
    {
      dbCriticalSection guard(cs);
      modified = false;
      monitor.uncommittedChanges = false;
      monitor.transactionId += 1;
      setIndexAddresses();
      currIndex = index[w];
      workingIndexUsed = committedIndexUsed = committedUsed;
    }
    repairRowLists();
  }
  if (ctx->readAccess || ctx->writeAccess || ctx->mutatorCSLocked) endTransaction(ctx);
}

// ---------------------------------------------------------------------------
// Delayed commit: a commit waits up to `commitDelay` seconds in a thread of
// its own, so that the thread's next transaction can take it back and go on.

void dbDatabase::signalDelayedCommitStop() {
  if (delayedCommit) delayedCommit->stopEvent.signal();
}

void dbDatabase::claimDelayedCommit(dbDatabaseThreadContext* ctx) {
  dbDelayedCommit& dc = *delayedCommit;
  dbCriticalSection guard(dc.stopMutex);
  monitor.pendingCommitRequests += 1;
  if (monitor.delayedCommitContext == ctx && ctx->commitDelayed) {
    monitor.delayedCommitContext = nullptr;
    ctx->commitDelayed = false;
    uint64_t elapsed = (nowMs() - dc.timerStart) / 1000;
    dc.remainingDelay = elapsed < dc.remainingDelay ? dc.remainingDelay - static_cast<unsigned>(elapsed) : 0;
    dc.stopEvent.signal();
  }
}

void dbDatabase::startDelayedCommitThread() {
  delayedCommit = std::make_unique<dbDelayedCommit>();
  delayedCommit->remainingDelay = commitDelay;
  delayedCommit->thread.create(&dbDatabase::delayedCommitProc, this);
  delayedCommit->readyEvent.wait();
}

void dbDatabase::stopDelayedCommitThread() {
  if (!delayedCommit) return;
  delayedCommit->stop = true;
  delayedCommit->stopEvent.signal();
  delayedCommit->startEvent.signal();
  delayedCommit->thread.join();
  delayedCommit.reset();
}

void dbDatabase::delayedCommitProc(void* arg) { static_cast<dbDatabase*>(arg)->delayedCommitLoop(); }

void dbDatabase::delayedCommitLoop() {
  dbDelayedCommit& dc = *delayedCommit;
  dc.readyEvent.signal();
  while (true) {
    dc.startEvent.wait();
    bool pending;
    {
      dbCriticalSection guard(dc.stopMutex);
      pending = monitor.pendingCommitRequests != 0;
    }
    if (!pending && !dc.stop) {
      dc.timerStart = nowMs();
      dc.stopEvent.wait(dc.remainingDelay * 1000);
    }
    dc.stopEvent.reset();
    {
      dbCriticalSection guard(dc.stopMutex);
      if (dbDatabaseThreadContext* ctx = monitor.delayedCommitContext) {
        dc.remainingDelay = commitDelay;
        monitor.delayedCommitContext = nullptr;
        threadContext->set(ctx);
        commitTransaction(ctx);
        ctx->commitDelayed = false;
        threadContext->set(nullptr);
        if (ctx->removeContext) destroyContext(ctx);
      }
    }
    if (dc.stop) return;
  }
}
