// The database object: one file mapped into memory, its space and object
// ids, and the transactions of the threads that use it.
//
// Every stored thing is an object named by a 32-bit id; an object index (an
// array of file offsets indexed by id) says where each one lives. The file
// holds two indices and a header with two roots: one describes the committed
// state, the other the working state of the transaction in progress. A
// committed object is never changed in place: the first change in a
// transaction copies it, and commit switches the root.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "class.h"
#include "errors.h"
#include "file.h"
#include "sync.h"
#include "types.h"

class dbQueryCompiler;
class dbDatabase;

// Reports a broken storage invariant ("Assertion failed: TEXT, file FILE,
// line N") on standard error and ends the process.
[[noreturn]] void dbAssertionFailed(const char* text, const char* file, int line);
#define dbAssert(condition) \
  ((condition) ? static_cast<void>(0) : dbAssertionFailed(#condition, __FILE__, __LINE__))

// ---------------------------------------------------------------------------
// Stored format.

inline constexpr size_t dbPageSize = 4096;

// Kinds of object (low three bits of an index entry).
enum dbInternalObject {
  RecordMarker = 0,         // record or stored table description; its length is its first word
  PageObjectMarker = 1,     // a 4096-byte page (bitmap pages)
  TtreeMarker = 2,          // T-tree header
  TtreeNodeMarker = 3,      // T-tree node
  HashTableMarker = 4,      // hash table header
  HashTableItemMarker = 5,  // hash chain item
  ArrayPageMarker = 6       // a 4096-byte page
};

inline constexpr size_t dbAllocationQuantum = 16;
inline constexpr size_t dbHandlesPerPage = dbPageSize / sizeof(offs_t);  // 1024 index entries
inline constexpr size_t dbBitmapPageBits = dbPageSize * 8;                // 32768 quanta
inline constexpr size_t dbBitmapSegmentSize = dbBitmapPageBits * dbAllocationQuantum;  // 524288 bytes
// Bytes a new bitmap page makes usable: its segment minus the page itself.
inline constexpr size_t dbBitmapSegmentUsable = 127 * dbPageSize;
inline constexpr oid_t MetatableId = 1;
inline constexpr oid_t FirstBitmapId = 2;
inline constexpr oid_t BitmapPages = 8192;
inline constexpr oid_t FirstUserId = FirstBitmapId + BitmapPages;  // 8194
inline constexpr offs_t dbFreeHandleMarker = 0x80000000u;
inline constexpr offs_t dbInternalObjectMarker = 7;
inline constexpr size_t dbDefaultInitialDatabaseSize = 1048576;
inline constexpr size_t dbInitialSizeGranule = 524288;
inline constexpr size_t dbMaxParallelSearchThreads = 64;
inline constexpr int dbFormatMajor = 2;
inline constexpr int dbFormatMinor = 86;

static_assert(dbBitmapSegmentUsable == 520192);

// Length of an internal object by its marker (0: the record's own size word).
inline constexpr size_t dbInternalObjectSize[] = {0, dbPageSize, 4, 512, 12, 12, dbPageSize};

// Page 0 of the file (72 bytes used).
struct dbHeader {
  struct dbRoot {
    offs_t indexOffset;
    offs_t shadowIndexOffset;
    db_nat4 indexCapacity;
    db_nat4 shadowIndexCapacity;
    db_nat4 indexUsed;
    oid_t freeList;
  };
  db_nat4 size;
  db_int4 currentRoot;
  db_int4 dirty;
  db_int4 initialized;
  dbRoot root[2];
  db_int4 formatMajor;
  db_int4 formatMinor;
};
static_assert(sizeof(dbHeader) == 72);

// ---------------------------------------------------------------------------
// Per-thread state.

// A link of an intrusive circular list; an unlinked node points to itself.
class dbL2List {
 public:
  dbL2List() = default;
  dbL2List(const dbL2List&) = delete;
  dbL2List& operator=(const dbL2List&) = delete;
  ~dbL2List() { unlink(); }

  dbL2List* next = this;
  dbL2List* prev = this;

  bool isEmpty() const { return next == this; }
  // Inserts `node` right after this one (at the head when this is a list head).
  void link(dbL2List* node) {
    node->unlink();
    node->next = next;
    node->prev = this;
    next->prev = node;
    next = node;
  }
  void unlink() {
    next->prev = prev;
    prev->next = next;
    next = prev = this;
  }
};

// What the engine tells the cursors a thread has open. A cursor puts itself
// on its thread's list (dbDatabaseThreadContext::cursors) when it selects.
class dbOpenCursor : public dbL2List {
 public:
  // The transaction ended (commit or rollback): forget the selection and
  // leave the list.
  virtual void onTransactionEnd() = 0;
  // Record `id` was changed by this thread: fetch it again if it is current
  // (unless the cursor is writing it itself or has no record object).
  virtual void onRecordUpdated(oid_t id) = 0;
  // Record `id` was removed: if it is current, the cursor has no current record.
  virtual void onRecordRemoved(oid_t id) = 0;
  // The file was mapped elsewhere: move every string and array pointer of
  // the current record object that points into [oldBase, oldBase + oldSize)
  // by `shift` bytes.
  virtual void adjustReferences(const db_byte* oldBase, size_t oldSize, ptrdiff_t shift) = 0;

 protected:
  ~dbOpenCursor() = default;
};

// One per thread that attached to the database.
class dbDatabaseThreadContext {
 public:
  dbDatabaseThreadContext() = default;
  dbDatabaseThreadContext(const dbDatabaseThreadContext&) = delete;
  dbDatabaseThreadContext& operator=(const dbDatabaseThreadContext&) = delete;
  ~dbDatabaseThreadContext() = default;

  bool readAccess = false;    // holds the shared lock
  bool writeAccess = false;   // holds the exclusive lock
  bool mutatorCSLocked = false;  // holds the mutator critical section (dbConcurrentUpdate)
  int concurrentId = 0;       // transaction id seen when the transaction was suspended
  uint64_t threadId = 0;      // system id of the owning thread
  bool commitDelayed = false;      // its commit waits for the delayed-commit thread
  bool removeContext = false;      // the delayed-commit thread deletes it afterwards

  dbL2List cursors;  // the thread's open cursors (dbOpenCursor nodes)
  // The thread's query compiler, made by the query code on first use.
  std::shared_ptr<dbQueryCompiler> compiler;
};

// A scratch area: 512 bytes inside the object, a heap block beyond that.
class dbSmallBuffer {
 public:
  explicit dbSmallBuffer(size_t size) : length(size) {
    if (size > sizeof(inlineData)) heapData.reset(new db_byte[size]);
  }
  db_byte* data() { return heapData ? heapData.get() : inlineData; }
  size_t size() const { return length; }

 private:
  db_byte inlineData[512];
  std::unique_ptr<db_byte[]> heapData;
  size_t length;
};

// Lock bookkeeping of the database (kept in process memory: one process
// owns a database file at a time).
struct dbMonitor {
  int nReaders = 0;
  int nWriters = 0;
  int nWaitReaders = 0;
  int nWaitWriters = 0;
  bool waitForUpgrade = false;
  int pendingCommitRequests = 0;
  bool uncommittedChanges = false;
  int currentRoot = 0;
  bool commitInProgress = false;
  int transactionId = 1;
  uint64_t lastRecoveryTick = 0;
  int mappingVersion = 1;
  uint64_t writerThreadId = 0;
  dbDatabaseThreadContext* delayedCommitContext = nullptr;
  // One bit per page of the working index changed in this transaction.
  std::vector<db_nat4> dirtyIndexPages = std::vector<db_nat4>(131072);
};

class dbDatabase {
 public:
  enum dbAccessType { dbReadOnly = 0, dbAllAccess = 1, dbConcurrentRead = 2, dbConcurrentUpdate = 3 };
  enum DetachFlags { COMMIT = 1, DESTROY_CONTEXT = 2 };
  enum dbLockType { dbSharedLock = 0, dbExclusiveLock = 1, dbCommitLock = 2 };

  // `initialSize` 0 means 1 MiB; `initialIndexSize` is in entries;
  // `nThreads` 0 means the number of processors (at most 64).
  explicit dbDatabase(dbAccessType type = dbAllAccess, size_t initialSize = 0, size_t extensionQuantum = 4 * 1024 * 1024,
                      size_t initialIndexSize = 512 * 1024, int nThreads = 1);
  // Calls errorHandler when set, then the default report (which ends the
  // process for the fatal classes).
  virtual void handleError(int errorClass, const char* message = nullptr, int argument = 0);
  virtual ~dbDatabase();

  dbDatabase(const dbDatabase&) = delete;
  dbDatabase& operator=(const dbDatabase&) = delete;

  // Opens (creating and formatting when new, repairing when left dirty) the
  // database `name` in `fileName` ("%s.fdb" of the name when null). Every
  // failure is reported with class 4 and returns false. `lockTimeout` is in
  // milliseconds (dbWaitForever: no limit); `commitDelay` in seconds (0: no
  // delayed commit).
  bool open(const char* name, const char* fileName = nullptr, unsigned lockTimeout = dbWaitForever,
            unsigned commitDelay = 0);
  // Commits the calling thread's changes and closes; the file is left clean
  // when no thread holds the exclusive lock.
  void close();

  bool isOpen() const { return opened; }
  // Number of open database objects on this file: 2 or more while another
  // one (normally another process) has the same file open.
  int getUsers() const;
  void setAllowColumnDrop(bool allowed) { allowColumnDrop = allowed; }

  // Ends the calling thread's transaction, making its changes durable.
  void commit();
  // Throws the calling thread's changes away and ends its transaction.
  void rollback();
  // Begins (or upgrades to) an exclusive transaction for the calling thread.
  bool lock() { return beginTransaction(dbExclusiveLock); }
  // Gives the calling thread its own transaction context.
  void attach();
  // Drops the calling thread's context (committing first with COMMIT).
  void detach(int flags = COMMIT | DESTROY_CONTEXT);

  // Replaces the memory-mapped file layer (tests simulate power loss through
  // it). Only while the database is closed.
  void useFile(std::unique_ptr<dbFile> replacement) { file = std::move(replacement); }

  dbErrorHandler errorHandler = nullptr;

  // ---- Records (the calling thread's transaction; exclusive lock taken) ----
  // Inserts `object` described by `table`; returns the new id.
  oid_t insertRecord(dbTableDescriptor* table, const void* object);
  template <class T>
  dbReference<T> insert(const T& object) {
    return dbReference<T>(insertRecord(dbTableOf<T>(), &object));
  }
  // Writes `object` over record `id` of `table`.
  void updateRecord(oid_t id, dbTableDescriptor* table, const void* object);
  // Removes record `id` (the caller holds the exclusive lock).
  void removeRecord(dbTableDescriptor* table, oid_t id);
  // Removes every record of `table`.
  void removeAllRecords(dbTableDescriptor* table);

  // ---- Engine internals (cursors, descriptors, indices) ----
  // The calling thread's context, or null when it has not attached.
  dbDatabaseThreadContext* getThreadContext() const;
  // Begins the calling thread's transaction with the given lock; false when
  // the file could not be mapped.
  bool beginTransaction(dbLockType type);
  // Releases the context's locks and resets its cursors.
  void endTransaction(dbDatabaseThreadContext* ctx);

  // Current index entry of `id` (offset plus marker bits).
  offs_t getPos(oid_t id) const { return currIndex[id]; }
  // True when `id` is inside the working index and names a live record.
  bool isLiveRecord(oid_t id) const;
  // Address of the object `id` for reading.
  db_byte* get(oid_t id) const { return base + (currIndex[id] & ~dbInternalObjectMarker); }
  // Address of record `id` for reading (asserts it is a record).
  db_byte* getRow(oid_t id) const;
  // Address of a private copy of record or internal object `id`: copied on
  // the first change in a transaction.
  db_byte* writableRecord(oid_t id);
  // A private area of `size` bytes for record `id`, its header carrying the
  // old links and the new size; the caller writes the body.
  db_byte* resizeRecord(oid_t id, size_t size);
  db_byte* readBitmapPage(oid_t id) const { return get(id); }
  db_byte* writableBitmapPage(oid_t id);

  // Space: file offset of `size` fresh bytes; with `oid` the object's current
  // contents are copied there and its entry moved.
  offs_t allocateSpace(size_t size, oid_t oid = 0);
  void freeSpace(offs_t pos, size_t size);
  // Makes the bitmap pages describing the range private, so that freeing it
  // at commit touches only the working state.
  void shadowBitmapRange(offs_t pos, size_t size);

  oid_t allocateIds(size_t n);
  oid_t allocateId() { return allocateIds(1); }
  void freeIds(oid_t id, size_t n);
  void freeId(oid_t id) { freeIds(id, 1); }

  // A new row of `size` bytes appended to table `tableId`.
  oid_t createRow(oid_t tableId, size_t size);
  void removeRow(oid_t tableId, oid_t id);
  // Frees an internal object (hash and T-tree parts).
  void freeInternalObject(oid_t id);
  // A new internal object of the given kind; returns its id.
  oid_t allocateInternalObject(int marker);

  void markDirty();
  void extendFile(size_t size);

  // The same services under the names the index code uses (dbObjectStore).
  const db_byte* readObject(oid_t id) const { return get(id); }
  db_byte* writableObject(oid_t id) { return writableRecord(id); }
  const db_byte* readRecord(oid_t id) const { return getRow(id); }
  oid_t allocateObject(int marker) { return allocateInternalObject(marker); }
  // Binds an id from allocateIds to a page of space at `pos`.
  void setPageObject(oid_t id, offs_t pos);

  db_byte* getBase() const { return base; }
  size_t getMappedSize() const { return file ? file->getSize() : 0; }
  const dbHeader* getHeader() const { return header; }
  size_t getWorkingIndexUsed() const { return workingIndexUsed; }
  size_t getCommittedIndexUsed() const { return committedIndexUsed; }
  const std::string& getDatabaseName() const { return databaseName; }
  dbAccessType getAccessType() const { return accessType; }

  // Repairs the working root of a dirty file from the committed one.
  void recoverWorkingRoot();
  // Unlinks the last rows' `next` that points at an uncommitted row.
  void repairRowLists();

  // ---- Schema load and table/index maintenance (defined in schema.cpp; this
  // block belongs to the schema code) ----
  // Matches the program's table descriptors against the stored tables at
  // open; `alter` allows adding tables and converting changed ones.
  bool loadScheme(bool alter);
  // Attaches `table` to this database as the stored description `tableId`.
  void linkTable(dbTableDescriptor* table, oid_t tableId);
  // A new Metatable row holding `table`'s description.
  void addNewTable(dbTableDescriptor* table);
  // Rewrites the stored description `tableId` from `table` (rows kept).
  void updateTableDescriptor(dbTableDescriptor* table, oid_t tableId);
  // Rewrites a changed table's description and converts its rows; false
  // (after a class 4 report) when the change cannot be converted.
  bool reformatTable(oid_t tableId, dbTableDescriptor* table);
  // Creates and drops the table's hash tables and T-trees as its fields'
  // flags say; false when that needs altering but `alter` is not given.
  bool addIndices(bool alter, dbTableDescriptor* table);
  // Links each inverse reference to its field in the referenced table;
  // reports (class 11) those that do not point back.
  void checkInverseReferences();
  // Detaches the tables a failed schema load attached.
  void unlinkTables();
  // ---- end of schema block ----

 protected:
  struct dbAllocationCursor {
    oid_t page;
    size_t offs;  // byte in the bitmap page
  };

  // Configuration.
  dbAccessType accessType;
  size_t initialSize;
  size_t extensionQuantum;
  size_t initialIndexSize;
  int parThreads;

  // From open.
  std::string databaseName;
  std::string fileName;
  unsigned lockTimeout = dbWaitForever;
  unsigned commitDelay = 0;

  // The mapping.
  db_byte* base = nullptr;
  dbHeader* header = nullptr;
  offs_t* index[2] = {nullptr, nullptr};
  offs_t* currIndex = nullptr;
  size_t workingIndexUsed = 0;
  size_t committedIndexUsed = 0;
  int mappingVersion = 0;

  // Allocator.
  dbAllocationCursor recordCursor{FirstBitmapId, 0};
  dbAllocationCursor pageCursor{FirstBitmapId, 0};
  std::vector<db_int4> pageFreeHint;
  std::vector<std::pair<offs_t, size_t>> reservedLocations;
  size_t allocatedSize = 0;

  // State.
  bool opened = false;
  bool modified = false;
  bool guest = false;  // another database holds the file: never change it
  oid_t updatedRecordId = 0;
  dbTableDescriptor* tables = nullptr;
  bool allowColumnDrop = false;

  std::unique_ptr<dbFile> file;
  dbProcessLock processLock;
  dbMonitor monitor;
  dbMutex cs;          // global critical section: guards the monitor
  dbMutex mutatorCS;   // dbConcurrentUpdate: one mutator at a time
  dbSemaphore writeSem{0};
  dbSemaphore readSem{0};
  dbSemaphore upgradeSem{0};

  std::unique_ptr<dbThreadLocal<dbDatabaseThreadContext>> threadContext;
  dbMutex threadContextListMutex;
  std::vector<std::unique_ptr<dbDatabaseThreadContext>> threadContexts;

  // Delayed commit (only with a commit delay): the thread that runs the
  // commits and what it waits on.
  struct dbDelayedCommit {
    dbMutex startMutex;
    dbMutex stopMutex;
    dbEvent startEvent{dbEvent::Reset::Auto};
    dbEvent stopEvent{dbEvent::Reset::Manual};
    dbEvent readyEvent{dbEvent::Reset::Manual};
    std::atomic<bool> stop{false};
    dbThread thread;
    unsigned remainingDelay = 0;  // seconds
    uint64_t timerStart = 0;      // ms
  };
  std::unique_ptr<dbDelayedCommit> delayedCommit;

 private:
  bool openFile();
  void abandonOpen();
  bool validateCommittedState();
  bool formatFile(size_t indexCapacity);
  void setIndexAddresses();
  void moveMapping(db_byte* oldBase, size_t oldSize);
  bool checkMappingVersion();

  bool isCommitted(oid_t id) const;
  void markIndexPage(oid_t id);
  size_t objectLength(offs_t entry) const;
  void changeBits(offs_t pos, size_t quanta, bool used);
  offs_t scanBitmapPage(oid_t page, size_t offs, size_t& hole, size_t size, oid_t id, dbAllocationCursor& cursor);
  offs_t takeFit(offs_t pos, size_t size, oid_t id, dbAllocationCursor& cursor, oid_t page, size_t offs);
  offs_t extendBitmap(oid_t firstNewPage, size_t hole, size_t size, oid_t id, dbAllocationCursor& cursor);
  void moveObject(offs_t pos, size_t size, oid_t id);
  bool overlapsReserved(offs_t pos, size_t size) const;
  // Frees the current extent of `id`, or keeps it for the committed state.
  void releaseObject(oid_t id);

  void enterCS() { cs.lock(); }
  void leaveCS() { cs.unlock(); }
  template <class Recover>
  void waitFor(dbSemaphore& sem, Recover recover);
  bool beginExclusive(dbDatabaseThreadContext* ctx);
  void beginShared(dbDatabaseThreadContext* ctx);
  void handOverFromWriter();
  void handOverToWriter();
  void commitTransaction(dbDatabaseThreadContext* ctx);
  void suspendTransaction(dbDatabaseThreadContext* ctx);
  bool hasChangesOf(const dbDatabaseThreadContext* ctx) const;
  void destroyContext(dbDatabaseThreadContext* ctx);
  void signalDelayedCommitStop();
  void claimDelayedCommit(dbDatabaseThreadContext* ctx);
  void startDelayedCommitThread();
  void stopDelayedCommitThread();
  static void delayedCommitProc(void* arg);
  void delayedCommitLoop();

  void refreshCursors(oid_t id, bool removed);
  void insertIntoIndices(dbTableDescriptor* table, oid_t id, size_t nRows, bool updatedOnly);
  void removeFromIndices(dbTableDescriptor* table, oid_t id, bool updatedOnly);
  void purgeIndices(dbTableDescriptor* table);
  void addInverseReference(dbFieldDescriptor* fd, oid_t source, oid_t target);
  void removeInverseReference(dbFieldDescriptor* fd, oid_t source, oid_t target);
  void removeInverseReferences(dbTableDescriptor* table, oid_t id);

  std::vector<oid_t> removalChain;  // records being removed by the current cascade
};
