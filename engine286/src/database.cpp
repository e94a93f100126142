// Opening, formatting, repairing and closing the database file.
#include "database.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

void dbAssertionFailed(const char* text, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, file, line);
  std::abort();
}

namespace {

size_t roundUp(size_t value, size_t granule) { return (value + granule - 1) / granule * granule; }

bool allZero(const db_byte* p, size_t n) {
  return std::all_of(p, p + n, [](db_byte b) { return b == 0; });
}

// The Metatable's description of its own records.
struct MetaField {
  const char* name;
  int type;
  int size;
  int offset;
};

constexpr MetaField kMetatableFields[] = {
    {"name", dbField::tpString, 8, 12},
    {"fields", dbField::tpArray, 8, 20},
    {"fields[]", dbField::tpStructure, 44, 0},
    {"fields[].name", dbField::tpString, 8, 0},
    {"fields[].tableName", dbField::tpString, 8, 8},
    {"fields[].inverse", dbField::tpString, 8, 16},
    {"fields[].type", dbField::tpInt4, 4, 24},
    {"fields[].offset", dbField::tpInt4, 4, 28},
    {"fields[].size", dbField::tpInt4, 4, 32},
    {"fields[].hashTable", dbField::tpReference, 4, 36},
    {"fields[].tTree", dbField::tpReference, 4, 40},
    {"fixedSize", dbField::tpInt4, 4, 28},
    {"nRows", dbField::tpInt4, 4, 32},
    {"nColumns", dbField::tpInt4, 4, 36},
    {"firstRow", dbField::tpReference, 4, 40},
    {"lastRow", dbField::tpReference, 4, 44},
};
constexpr size_t kMetatableFieldCount = std::size(kMetatableFields);
constexpr const char kMetatableName[] = "Metatable";

size_t metatableRecordSize() {
  size_t size = sizeof(dbTable) + kMetatableFieldCount * sizeof(dbField) + sizeof kMetatableName;
  for (const MetaField& f : kMetatableFields) size += std::strlen(f.name) + 3;
  return size;
}

// Writes the Metatable record (its header's `size` included) at `record`.
void writeMetatable(db_byte* record, size_t size) {
  auto* table = reinterpret_cast<dbTable*>(record);
  table->size = static_cast<db_nat4>(size);
  table->next = table->prev = 0;
  table->fixedSize = sizeof(dbTable);
  table->nRows = 0;
  table->nColumns = 5;
  table->firstRow = table->lastRow = 0;
  table->fields = {static_cast<db_nat4>(kMetatableFieldCount), static_cast<db_nat4>(sizeof(dbTable))};
  size_t text = sizeof(dbTable) + kMetatableFieldCount * sizeof(dbField);
  table->name = {static_cast<db_nat4>(sizeof kMetatableName), static_cast<db_nat4>(text)};
  std::memcpy(record + text, kMetatableName, sizeof kMetatableName);
  text += sizeof kMetatableName;
  for (size_t i = 0; i < kMetatableFieldCount; i++) {
    size_t entryOffs = sizeof(dbTable) + i * sizeof(dbField);
    dbField entry{};
    size_t nameLength = std::strlen(kMetatableFields[i].name) + 1;
    entry.name = {static_cast<db_nat4>(nameLength), static_cast<db_nat4>(text - entryOffs)};
    std::memcpy(record + text, kMetatableFields[i].name, nameLength);
    text += nameLength;
    entry.tableName = {1, static_cast<db_nat4>(text - entryOffs)};
    record[text++] = 0;
    entry.inverse = {1, static_cast<db_nat4>(text - entryOffs)};
    record[text++] = 0;
    entry.type = kMetatableFields[i].type;
    entry.size = kMetatableFields[i].size;
    entry.offset = kMetatableFields[i].offset;
    std::memcpy(record + entryOffs, &entry, sizeof entry);
  }
}

}  // namespace

dbDatabase::dbDatabase(dbAccessType type, size_t dbInitSize, size_t dbExtensionQuantum, size_t dbInitIndexSize,
                       int nThreads)
    : accessType(type),
      initialSize(dbInitSize),
      extensionQuantum(dbExtensionQuantum),
      initialIndexSize(dbInitIndexSize),
      parThreads(nThreads),
      pageFreeHint(FirstUserId, 0x7FFFFFFF) {
  if (parThreads <= 0) parThreads = static_cast<int>(dbThread::numberOfProcessors());
  parThreads = std::min(parThreads, static_cast<int>(dbMaxParallelSearchThreads));
}

dbDatabase::~dbDatabase() { close(); }

void dbDatabase::handleError(int errorClass, const char* message, int argument) {
  if (errorHandler != nullptr) errorHandler(errorClass, message, argument);
  dbReportError(errorClass, message, argument);
}

int dbDatabase::getUsers() const {
  if (!opened) return 0;
  return processLock.othersPresent() ? 2 : 1;
}

bool dbDatabase::isLiveRecord(oid_t id) const {
  return id != 0 && id < workingIndexUsed && (currIndex[id] & (dbFreeHandleMarker | dbInternalObjectMarker)) == 0;
}

db_byte* dbDatabase::getRow(oid_t id) const {
  dbAssert(id < workingIndexUsed && (currIndex[id] & (dbFreeHandleMarker | dbInternalObjectMarker)) == 0);
  return base + currIndex[id];
}

void dbDatabase::setIndexAddresses() {
  index[0] = reinterpret_cast<offs_t*>(base + header->root[0].indexOffset);
  index[1] = reinterpret_cast<offs_t*>(base + header->root[1].indexOffset);
}

bool dbDatabase::open(const char* name, const char* dbFileName, unsigned timeout, unsigned delay) {
  if (opened) {
    handleError(ErrOpen, "Database is already opened");
    return false;
  }
  lockTimeout = timeout;
  commitDelay = delay;
  databaseName = name;
  fileName = dbFileName != nullptr ? std::string(dbFileName) : databaseName + ".fdb";
  const bool readOnlyMode = accessType == dbReadOnly || accessType == dbConcurrentRead;

  if (processLock.beginInitialization(fileName, readOnlyMode) != 0) {
    handleError(ErrOpen, "Failed to start database initialization");
    return false;
  }
  guest = processLock.othersPresent();

  monitor = dbMonitor{};
  mappingVersion = 1;
  std::fill(pageFreeHint.begin(), pageFreeHint.end(), 0x7FFFFFFF);
  recordCursor = pageCursor = {FirstBitmapId, 0};
  reservedLocations.clear();
  tables = nullptr;
  modified = false;
  threadContext = std::make_unique<dbThreadLocal<dbDatabaseThreadContext>>();
  attach();

  if (!openFile() || !loadScheme(!guest)) {
    abandonOpen();
    return false;
  }
  processLock.endInitialization();
  opened = true;
  if (commitDelay != 0) startDelayedCommitThread();
  return true;
}

void dbDatabase::abandonOpen() {
  threadContexts.clear();
  threadContext.reset();
  if (file) file->close();
  base = nullptr;
  header = nullptr;
  processLock.release();
}

bool dbDatabase::openFile() {
  const bool readOnlyMode = accessType == dbReadOnly || accessType == dbConcurrentRead;
  size_t indexCapacity = roundUp(std::max<size_t>(initialIndexSize, FirstUserId), dbHandlesPerPage);
  size_t fileSize = initialSize != 0 ? initialSize : dbDefaultInitialDatabaseSize;
  fileSize = roundUp(std::max(fileSize, indexCapacity * 16), dbInitialSizeGranule);

  if (!file) file = std::make_unique<dbMappedFile>();
  if (file->open(fileName, readOnlyMode || guest, fileSize) != 0) {
    handleError(ErrOpen, "Failed to create database file");
    return false;
  }
  base = file->getBase();
  header = reinterpret_cast<dbHeader*>(base);
  const size_t actualSize = file->getSize();
  // A header of zeros is a file whose formatting never reached the disk.
  const bool blank = actualSize == 0 || allZero(base, std::min(actualSize, sizeof(dbHeader)));
  const bool ours = actualSize >= dbPageSize && header->formatMajor == dbFormatMajor &&
                    header->formatMinor == dbFormatMinor && (header->initialized == 0 || header->initialized == 1);
  if (!blank && !ours) {
    handleError(ErrOpen, "Database file was corrupted: unknown file format");
    return false;
  }
  if (!blank && header->initialized == 1) {
    if (header->currentRoot != 0 && header->currentRoot != 1) {
      handleError(ErrOpen, "Database file was corrupted: invalid root index");
      return false;
    }
    monitor.currentRoot = header->currentRoot;
    if (header->dirty) {
      if (readOnlyMode) {
        handleError(ErrOpen, "Can not open dirty file in read only moode");
        return false;
      }
      if (!validateCommittedState()) return false;
      if (!guest) recoverWorkingRoot();
    } else {
      if (header->size != actualSize) {
        handleError(ErrOpen, "Database file was corrupted: file size in header differs from actual file size");
        return false;
      }
      if (!validateCommittedState()) return false;
    }
    setIndexAddresses();
    return true;
  }
  if (readOnlyMode || guest) {
    handleError(ErrOpen, "Can not open uninitialized file in read only mode");
    return false;
  }
  if (actualSize < fileSize) {
    if (file->setSize(fileSize) != 0) {
      handleError(ErrOpen, "Failed to create database file");
      return false;
    }
    base = file->getBase();
    header = reinterpret_cast<dbHeader*>(base);
  }
  return formatFile(indexCapacity);
}

bool dbDatabase::validateCommittedState() {
  const size_t fileSize = file->getSize();
  const int c = header->currentRoot;
  const dbHeader::dbRoot& committed = header->root[c];
  const dbHeader::dbRoot& working = header->root[1 - c];
  auto arrayInside = [&](offs_t offs, size_t capacity) {
    return offs >= dbPageSize && offs % dbAllocationQuantum == 0 && capacity >= FirstUserId &&
           size_t(offs) + capacity * sizeof(offs_t) <= fileSize;
  };
  bool sound = arrayInside(committed.indexOffset, committed.indexCapacity) &&
               arrayInside(committed.shadowIndexOffset, committed.shadowIndexCapacity) &&
               committed.indexUsed >= FirstUserId && committed.indexUsed <= committed.indexCapacity &&
               committed.indexUsed <= committed.shadowIndexCapacity;
  if (sound && !header->dirty) {
    sound = arrayInside(working.indexOffset, working.indexCapacity) &&
            arrayInside(working.shadowIndexOffset, working.shadowIndexCapacity) &&
            working.indexUsed >= FirstUserId && working.indexUsed <= working.indexCapacity;
  }
  if (sound) {
    const auto* entries = reinterpret_cast<const offs_t*>(base + committed.indexOffset);
    for (size_t id = 1; id < committed.indexUsed && sound; id++) {
      offs_t entry = entries[id];
      if (entry & dbFreeHandleMarker) continue;
      offs_t pos = entry & ~dbInternalObjectMarker;
      size_t marker = entry & dbInternalObjectMarker;
      if (pos < dbPageSize || pos % dbAllocationQuantum != 0 || size_t(pos) + sizeof(dbRecord) > fileSize ||
          (id < FirstUserId && id >= FirstBitmapId && marker != PageObjectMarker) ||
          (id == MetatableId && marker != RecordMarker)) {
        sound = false;
        break;
      }
      size_t length = marker == RecordMarker ? reinterpret_cast<const dbRecord*>(base + pos)->size
                                             : dbInternalObjectSize[marker];
      sound = length >= (marker == RecordMarker ? sizeof(dbRecord) : 1) && size_t(pos) + length <= fileSize;
    }
    if (sound) sound = (entries[MetatableId] & dbFreeHandleMarker) == 0 && (entries[FirstBitmapId] & dbFreeHandleMarker) == 0;
  }
  if (!sound) handleError(ErrOpen, "Database file was corrupted: object index points outside the file");
  return sound;
}

bool dbDatabase::formatFile(size_t indexCapacity) {
  const size_t K = indexCapacity;
  header->currentRoot = 0;
  monitor.currentRoot = 0;
  header->size = static_cast<db_nat4>(file->getSize());
  for (int r = 0; r < 2; r++) {
    header->root[r].indexOffset = static_cast<offs_t>(dbPageSize + r * K * sizeof(offs_t));
    header->root[r].indexCapacity = static_cast<db_nat4>(K);
    header->root[r].indexUsed = FirstUserId;
    header->root[r].freeList = 0;
  }
  for (int r = 0; r < 2; r++) {
    header->root[r].shadowIndexOffset = header->root[1 - r].indexOffset;
    header->root[r].shadowIndexCapacity = static_cast<db_nat4>(K);
  }
  header->formatMajor = dbFormatMajor;
  header->formatMinor = dbFormatMinor;

  const size_t E = dbPageSize + 2 * K * sizeof(offs_t);
  const size_t nBitmapPages = (E + dbBitmapSegmentUsable - 1) / dbBitmapSegmentUsable;
  std::memset(base + E, 0, nBitmapPages * dbPageSize);
  std::memset(base + E, 0xFF, (E + nBitmapPages * dbPageSize) / (dbAllocationQuantum * 8));
  setIndexAddresses();
  offs_t* idx = index[0];
  idx[0] = dbFreeHandleMarker;
  idx[MetatableId] = dbFreeHandleMarker;
  for (size_t i = 0; i < nBitmapPages; i++) {
    idx[FirstBitmapId + i] = static_cast<offs_t>(E + i * dbPageSize) | PageObjectMarker;
  }
  for (size_t i = FirstBitmapId + nBitmapPages; i < FirstUserId; i++) idx[i] = dbFreeHandleMarker;
  currIndex = idx;
  workingIndexUsed = FirstUserId;
  committedIndexUsed = 0;

  const size_t metaSize = metatableRecordSize();
  offs_t metaPos = allocateSpace(metaSize);
  currIndex[MetatableId] = metaPos;
  writeMetatable(base + metaPos, metaSize);

  header->dirty = 1;
  std::memcpy(index[1], index[0], FirstUserId * sizeof(offs_t));
  if (file->flush() != 0) {
    handleError(ErrOpen, "Failed to create database file");
    return false;
  }
  header->initialized = 1;
  if (file->flush() != 0) {
    handleError(ErrOpen, "Failed to create database file");
    return false;
  }
  return true;
}

void dbDatabase::recoverWorkingRoot() {
  const int c = header->currentRoot;
  const int w = 1 - c;
  header->size = static_cast<db_nat4>(file->getSize());
  dbHeader::dbRoot& committed = header->root[c];
  dbHeader::dbRoot& working = header->root[w];
  working.indexUsed = committed.indexUsed;
  working.freeList = committed.freeList;
  working.indexOffset = committed.shadowIndexOffset;
  working.indexCapacity = committed.shadowIndexCapacity;
  working.shadowIndexOffset = committed.indexOffset;
  working.shadowIndexCapacity = committed.indexCapacity;
  setIndexAddresses();
  for (size_t id = 0; id < committed.indexUsed; id++) {
    if (index[w][id] != index[c][id]) index[w][id] = index[c][id];
  }
  currIndex = index[w];
  workingIndexUsed = committed.indexUsed;
  committedIndexUsed = committed.indexUsed;
  repairRowLists();
}

void dbDatabase::repairRowLists() {
  auto cutTail = [this](const dbTable* table) {
    if (table->lastRow != 0) {
      auto* last = reinterpret_cast<dbRecord*>(getRow(table->lastRow));
      if (last->next != 0) last->next = 0;
    }
  };
  const auto* metatable = reinterpret_cast<const dbTable*>(getRow(MetatableId));
  cutTail(metatable);
  for (oid_t id = metatable->firstRow; id != 0;) {
    const auto* table = reinterpret_cast<const dbTable*>(getRow(id));
    cutTail(table);
    id = table->next;
  }
}

void dbDatabase::close() {
  if (!opened) return;
  detach(COMMIT | DESTROY_CONTEXT);
  stopDelayedCommitThread();
  {
    dbCriticalSection guard(threadContextListMutex);
    threadContexts.clear();
  }
  threadContext.reset();
  {
    dbCriticalSection guard(cs);
    if (header->dirty && !guest && accessType != dbReadOnly && accessType != dbConcurrentRead &&
        monitor.nWriters == 0 && file->flush() == 0) {
      header->dirty = 0;
      file->flush();
    }
  }
  for (dbTableDescriptor* table = tables; table != nullptr; table = table->nextDbTable) {
    table->tableId = 0;
    if (!table->fixedDatabase) table->db = nullptr;
  }
  tables = nullptr;
  file->close();
  processLock.release();
  base = nullptr;
  header = nullptr;
  currIndex = index[0] = index[1] = nullptr;
  opened = false;
}
