// Space, object ids, copy on first write, row lists and file growth.
//
// All of it runs in the thread that holds the exclusive lock. Any call that
// allocates may grow the file and move the mapping, so addresses are taken
// again after every such call.
#include <algorithm>
#include <array>

#include "database.h"

namespace {

size_t roundUp(size_t value, size_t granule) { return (value + granule - 1) / granule * granule; }

// Free-bit tables of a bitmap byte m (bit 0 first).
struct HoleTables {
  std::array<db_byte, 256> first{};      // zero bits from bit 0 upward
  std::array<db_byte, 256> last{};       // zero bits from bit 7 downward
  std::array<db_byte, 256> longest{};    // longest run of zero bits
  std::array<db_byte, 256> longestAt{};  // where the lowest longest run begins
};

constexpr HoleTables makeHoleTables() {
  HoleTables t;
  for (int m = 0; m < 256; m++) {
    int first = 0;
    while (first < 8 && !(m & (1 << first))) first++;
    int last = 0;
    while (last < 8 && !(m & (0x80 >> last))) last++;
    int longest = 0, longestAt = 0, run = 0;
    for (int b = 0; b < 8; b++) {
      run = (m & (1 << b)) ? 0 : run + 1;
      if (run > longest) {
        longest = run;
        longestAt = b - run + 1;
      }
    }
    t.first[m] = static_cast<db_byte>(first);
    t.last[m] = static_cast<db_byte>(last);
    t.longest[m] = static_cast<db_byte>(longest);
    t.longestAt[m] = static_cast<db_byte>(m == 0 ? 0 : longestAt);
  }
  return t;
}

constexpr HoleTables kHoles = makeHoleTables();
static_assert(kHoles.first[0] == 8 && kHoles.last[0] == 8 && kHoles.longest[0] == 8 && kHoles.longestAt[0] == 0);
static_assert(kHoles.first[255] == 0 && kHoles.last[255] == 0 && kHoles.longest[255] == 0);

void setBitRange(db_byte* bitmap, size_t from, size_t count, bool used) {
  while (count > 0 && from % 8 != 0) {
    bitmap[from / 8] = used ? bitmap[from / 8] | (1 << (from % 8)) : bitmap[from / 8] & ~(1 << (from % 8));
    from++;
    count--;
  }
  std::memset(bitmap + from / 8, used ? 0xFF : 0, count / 8);
  from += count / 8 * 8;
  for (count %= 8; count > 0; count--, from++) {
    bitmap[from / 8] = used ? bitmap[from / 8] | (1 << (from % 8)) : bitmap[from / 8] & ~(1 << (from % 8));
  }
}

}  // namespace

size_t dbDatabase::objectLength(offs_t entry) const {
  size_t marker = entry & dbInternalObjectMarker;
  if (marker != RecordMarker) return dbInternalObjectSize[marker];
  return reinterpret_cast<const dbRecord*>(base + (entry & ~dbInternalObjectMarker))->size;
}

bool dbDatabase::isCommitted(oid_t id) const { return id < committedIndexUsed && index[0][id] == index[1][id]; }

void dbDatabase::markIndexPage(oid_t id) { monitor.dirtyIndexPages[id >> 15] |= 1u << ((id >> 10) & 31); }

bool dbDatabase::overlapsReserved(offs_t pos, size_t size) const {
  return std::any_of(reservedLocations.begin(), reservedLocations.end(), [&](const auto& r) {
    return size_t(pos) < size_t(r.first) + r.second && size_t(r.first) < size_t(pos) + size;
  });
}

void dbDatabase::markDirty() {
  if (!header->dirty) {
    if (accessType == dbReadOnly || guest || file->isReadOnly()) handleError(ErrReadOnly);
    header->dirty = 1;
    int code = file->flush();
    if (code != 0) handleError(ErrFile, "Failed to flush database file", code);
  }
  modified = true;
}

void dbDatabase::changeBits(offs_t pos, size_t quanta, bool used) {
  size_t bit = pos / dbAllocationQuantum;
  while (quanta > 0) {
    oid_t page = static_cast<oid_t>(FirstBitmapId + bit / dbBitmapPageBits);
    size_t inPage = bit % dbBitmapPageBits;
    size_t n = std::min(quanta, dbBitmapPageBits - inPage);
    db_byte* bitmap = writableBitmapPage(page);
    setBitRange(bitmap, inPage, n, used);
    if (!used) {
      pageFreeHint[page] = 0x7FFFFFFF;
    } else if (n == dbBitmapPageBits) {
      pageFreeHint[page] = 0;
    }
    bit += n;
    quanta -= n;
  }
}

void dbDatabase::moveObject(offs_t pos, size_t size, oid_t id) {
  offs_t old = currIndex[id];
  std::memcpy(base + pos, base + (old & ~dbInternalObjectMarker), size);
  currIndex[id] = pos | (old & dbInternalObjectMarker);
}

offs_t dbDatabase::takeFit(offs_t pos, size_t size, oid_t id, dbAllocationCursor& cursor, oid_t page, size_t offs) {
  reservedLocations.emplace_back(pos, size);
  cursor.page = page;
  cursor.offs = offs;
  extendFile(size_t(pos) + size);
  if (id != 0) moveObject(pos, size, id);
  changeBits(pos, size / dbAllocationQuantum, true);
  reservedLocations.pop_back();
  allocatedSize += size;
  return pos;
}

offs_t dbDatabase::scanBitmapPage(oid_t page, size_t offs, size_t& hole, size_t size, oid_t id,
                                  dbAllocationCursor& cursor) {
  const size_t quanta = size / dbAllocationQuantum;
  const bool pageObject = size % dbPageSize == 0;
  const db_int4 needed = static_cast<db_int4>(std::min(quanta - hole, dbBitmapPageBits));
  if (pageFreeHint[page] <= needed) {
    hole = 0;
    return 0;
  }
  const bool wholePageFresh = offs == 0 && hole == 0;
  const size_t pageBit = size_t(page - FirstBitmapId) * dbBitmapPageBits;
  const db_byte* bitmap = readBitmapPage(page);
  if (pageObject) {
    constexpr size_t bytesPerPage = dbPageSize / dbAllocationQuantum / 8;  // 32
    for (size_t j = roundUp(offs, bytesPerPage); j < dbPageSize;) {
      if (bitmap[j] != 0) {
        hole = 0;
        j = roundUp(j + 1, bytesPerPage);
        continue;
      }
      hole += 8;
      j++;
      if (hole < quanta) continue;
      offs_t pos = static_cast<offs_t>((pageBit + j * 8 - quanta) * dbAllocationQuantum);
      if (!overlapsReserved(pos, size)) return takeFit(pos, size, id, cursor, page, j);
      hole = 0;
      j = roundUp(j, bytesPerPage);
    }
  } else {
    for (size_t j = offs; j < dbPageSize; j++) {
      db_byte m = bitmap[j];
      size_t startBit = 0;
      bool fits = true;
      if (hole + kHoles.first[m] >= quanta) {
        startBit = pageBit + j * 8 - hole;
      } else if (kHoles.longest[m] >= quanta) {
        startBit = pageBit + j * 8 + kHoles.longestAt[m];
      } else {
        fits = false;
      }
      if (fits) {
        offs_t pos = static_cast<offs_t>(startBit * dbAllocationQuantum);
        if (!overlapsReserved(pos, size)) return takeFit(pos, size, id, cursor, page, j);
        hole = 0;
        continue;
      }
      hole = kHoles.last[m] == 8 ? hole + 8 : kHoles.last[m];
    }
  }
  if (wholePageFresh && hole == 0 && needed < pageFreeHint[page]) pageFreeHint[page] = needed;
  return 0;
}

offs_t dbDatabase::allocateSpace(size_t size, oid_t id) {
  markDirty();
  size = roundUp(size, dbAllocationQuantum);
  dbAllocationCursor& cursor = size % dbPageSize == 0 ? pageCursor : recordCursor;
  const oid_t firstPage = cursor.page;
  const size_t firstOffs = cursor.offs;

  size_t hole = 0;
  oid_t page = firstPage;
  for (size_t offs = firstOffs; page < FirstUserId && currIndex[page] != dbFreeHandleMarker; page++, offs = 0) {
    if (offs_t pos = scanBitmapPage(page, offs, hole, size, id, cursor)) return pos;
  }
  const oid_t stopPage = page;
  const size_t stopHole = hole;
  if (firstPage != FirstBitmapId) {
    size_t wrapHole = 0;
    for (oid_t p = FirstBitmapId; p <= firstPage; p++) {
      if (offs_t pos = scanBitmapPage(p, 0, wrapHole, size, id, cursor)) return pos;
    }
  }
  return extendBitmap(stopPage, stopHole, size, id, cursor);
}

offs_t dbDatabase::extendBitmap(oid_t firstNewPage, size_t hole, size_t size, oid_t id, dbAllocationCursor& cursor) {
  const oid_t i = firstNewPage;
  if (i >= FirstUserId) {
    handleError(ErrNoMemory, nullptr, static_cast<int>(size));
    return 0;
  }
  dbAssert(currIndex[i] == dbFreeHandleMarker);
  auto pagesFor = [](size_t bytes) { return (bytes + dbBitmapSegmentUsable - 1) / dbBitmapSegmentUsable; };
  size_t m = pagesFor(std::max(extensionQuantum, size));
  if (i + m > FirstUserId) m = pagesFor(size);
  if (i + m > FirstUserId) {
    handleError(ErrNoMemory, nullptr, static_cast<int>(size));
    return 0;
  }
  const size_t quanta = size / dbAllocationQuantum;
  const size_t rest = quanta - hole;  // the part of the object in the new segment
  const size_t restRounded = roundUp(rest, dbPageSize / dbAllocationQuantum);
  const size_t segmentStart = size_t(i - FirstBitmapId) * dbBitmapSegmentSize;
  const offs_t P = static_cast<offs_t>(segmentStart + restRounded * dbAllocationQuantum);
  extendFile(size_t(P) + m * dbPageSize);
  db_byte* pages = base + P;
  std::memset(pages, 0, m * dbPageSize);
  setBitRange(pages, 0, rest, true);
  std::memset(pages + restRounded / 8, 0xFF, m * dbPageSize / dbAllocationQuantum / 8);
  for (size_t k = 0; k < m; k++) {
    currIndex[i + k] = static_cast<offs_t>(P + k * dbPageSize) | PageObjectMarker;
    markIndexPage(static_cast<oid_t>(i + k));
  }
  const oid_t cursorPage = static_cast<oid_t>(i + rest / dbBitmapPageBits);
  cursor.page = cursorPage;
  cursor.offs = 0;
  for (oid_t p = i; p < cursorPage; p++) pageFreeHint[p] = 0;

  const offs_t pos = static_cast<offs_t>(segmentStart - hole * dbAllocationQuantum);
  reservedLocations.emplace_back(pos, size);
  if (id != 0) moveObject(pos, size, id);
  if (hole > 0) changeBits(pos, hole, true);
  reservedLocations.pop_back();
  allocatedSize += size;
  return pos;
}

void dbDatabase::freeSpace(offs_t pos, size_t size) {
  dbAssert(pos != 0 && (pos & (dbAllocationQuantum - 1)) == 0);
  const size_t quanta = (size + dbAllocationQuantum - 1) / dbAllocationQuantum;
  const oid_t page = static_cast<oid_t>((pos >> 19) + FirstBitmapId);
  const size_t byte = (pos >> 7) & (dbPageSize - 1);
  allocatedSize -= quanta * dbAllocationQuantum;
  const bool pageObject = pos % dbPageSize == 0 && size % dbPageSize == 0;
  dbAllocationCursor& cursor = pageObject ? pageCursor : recordCursor;
  if (cursor.page == page && cursor.offs > byte) cursor.offs = byte;
  changeBits(pos, quanta, false);
}

void dbDatabase::shadowBitmapRange(offs_t pos, size_t size) {
  const size_t firstBit = pos / dbAllocationQuantum;
  const size_t lastBit = firstBit + (size + dbAllocationQuantum - 1) / dbAllocationQuantum - 1;
  for (size_t page = firstBit / dbBitmapPageBits; page <= lastBit / dbBitmapPageBits; page++) {
    writableBitmapPage(static_cast<oid_t>(FirstBitmapId + page));
  }
}

db_byte* dbDatabase::writableBitmapPage(oid_t id) {
  if (isCommitted(id)) {
    markIndexPage(id);
    offs_t old = currIndex[id] & ~dbInternalObjectMarker;
    allocateSpace(dbPageSize, id);
    shadowBitmapRange(old, dbPageSize);
  }
  return get(id);
}

db_byte* dbDatabase::writableRecord(oid_t id) {
  if (isCommitted(id)) {
    markIndexPage(id);
    offs_t entry = currIndex[id];
    size_t length = objectLength(entry);
    shadowBitmapRange(entry & ~dbInternalObjectMarker, length);
    allocateSpace(length, id);
  }
  return get(id);
}

db_byte* dbDatabase::resizeRecord(oid_t id, size_t size) {
  offs_t pos = currIndex[id];
  dbAssert((pos & (dbFreeHandleMarker | dbInternalObjectMarker)) == 0);
  const dbRecord old = *reinterpret_cast<const dbRecord*>(base + pos);
  // The allocation may move the mapping (and currIndex with it): take the
  // new offset first, then store it.
  if (isCommitted(id)) {
    markIndexPage(id);
    shadowBitmapRange(pos, old.size);
    const offs_t moved = allocateSpace(size);
    currIndex[id] = moved;
  } else if (roundUp(old.size, dbAllocationQuantum) != roundUp(size, dbAllocationQuantum)) {
    const offs_t moved = allocateSpace(size);
    currIndex[id] = moved;
    freeSpace(pos, old.size);
  }
  auto* record = reinterpret_cast<dbRecord*>(get(id));
  record->size = static_cast<db_nat4>(size);
  record->next = old.next;
  record->prev = old.prev;
  return reinterpret_cast<db_byte*>(record);
}

oid_t dbDatabase::allocateIds(size_t n) {
  markDirty();
  const int w = 1 - header->currentRoot;
  if (n == 1 && header->root[w].freeList != 0) {
    oid_t id = header->root[w].freeList;
    header->root[w].freeList = currIndex[id] & ~dbFreeHandleMarker;
    markIndexPage(id);
    return id;
  }
  if (workingIndexUsed + n > header->root[w].indexCapacity) {
    const size_t oldCapacity = header->root[w].indexCapacity;
    size_t capacity = oldCapacity * 2;
    while (capacity < oldCapacity + n) capacity *= 2;
    offs_t pos = allocateSpace(capacity * sizeof(offs_t));
    std::memcpy(base + pos, currIndex, workingIndexUsed * sizeof(offs_t));
    const offs_t oldPos = header->root[w].indexOffset;
    header->root[w].indexOffset = pos;
    header->root[w].indexCapacity = static_cast<db_nat4>(capacity);
    index[w] = currIndex = reinterpret_cast<offs_t*>(base + pos);
    freeSpace(oldPos, oldCapacity * sizeof(offs_t));
  }
  oid_t id = static_cast<oid_t>(workingIndexUsed);
  workingIndexUsed += n;
  header->root[w].indexUsed = static_cast<db_nat4>(workingIndexUsed);
  return id;
}

void dbDatabase::freeIds(oid_t id, size_t n) {
  const int w = 1 - header->currentRoot;
  for (size_t k = 0; k < n; k++, id++) {
    markIndexPage(id);
    currIndex[id] = header->root[w].freeList | dbFreeHandleMarker;
    header->root[w].freeList = id;
  }
}

void dbDatabase::setPageObject(oid_t id, offs_t pos) {
  markIndexPage(id);
  currIndex[id] = pos | PageObjectMarker;
}

oid_t dbDatabase::allocateInternalObject(int marker) {
  oid_t id = allocateId();
  offs_t pos = allocateSpace(dbInternalObjectSize[marker]);
  currIndex[id] = pos | static_cast<offs_t>(marker);
  return id;
}

void dbDatabase::releaseObject(oid_t id) {
  offs_t entry = currIndex[id];
  offs_t pos = entry & ~dbInternalObjectMarker;
  size_t length = objectLength(entry);
  if (isCommitted(id)) {
    shadowBitmapRange(pos, length);
  } else {
    freeSpace(pos, length);
  }
}

void dbDatabase::freeInternalObject(oid_t id) {
  releaseObject(id);
  freeId(id);
}

oid_t dbDatabase::createRow(oid_t tableId, size_t size) {
  oid_t id = allocateId();
  offs_t pos = allocateSpace(size);
  currIndex[id] = pos;
  auto* table = reinterpret_cast<dbTable*>(writableRecord(tableId));
  auto* record = reinterpret_cast<dbRecord*>(base + pos);
  record->size = static_cast<db_nat4>(size);
  record->next = 0;
  record->prev = table->lastRow;
  if (table->lastRow != 0) {
    // Written in place, not copied: repairRowLists takes the link away again
    // when this row is not committed.
    reinterpret_cast<dbRecord*>(getRow(table->lastRow))->next = id;
  } else {
    table->firstRow = id;
  }
  table->lastRow = id;
  table->nRows += 1;
  return id;
}

void dbDatabase::removeRow(oid_t tableId, oid_t id) {
  const dbRecord row = *reinterpret_cast<const dbRecord*>(getRow(id));
  auto* table = reinterpret_cast<dbTable*>(writableRecord(tableId));
  table->nRows -= 1;
  if (row.prev == 0) table->firstRow = row.next;
  if (row.next == 0) table->lastRow = row.prev;
  if (row.prev != 0) reinterpret_cast<dbRecord*>(writableRecord(row.prev))->next = row.next;
  if (row.next != 0) reinterpret_cast<dbRecord*>(writableRecord(row.next))->prev = row.prev;
  releaseObject(id);
  freeId(id);
}

void dbDatabase::extendFile(size_t size) {
  if (size <= header->size) return;
  dbDatabaseThreadContext* ctx = getThreadContext();
  if (ctx != nullptr && ctx->mutatorCSLocked && !ctx->writeAccess) beginTransaction(dbCommitLock);
  constexpr size_t maxSize = 0xFFFFF000u;  // sizes and offsets are 32-bit
  if (size > maxSize) {
    handleError(ErrNoMemory, nullptr, static_cast<int>(size));
    return;
  }
  size_t newSize = std::min(std::max<size_t>(size_t(header->size) * 2, size), maxSize);
  db_byte* oldBase = base;
  size_t oldSize = file->getSize();
  int code = file->setSize(newSize);
  if (code != 0) {
    handleError(ErrFile, "Failed to extend file", code);
    return;
  }
  mappingVersion = ++monitor.mappingVersion;
  if (file->getBase() != oldBase) moveMapping(oldBase, oldSize);
  header->size = static_cast<db_nat4>(newSize);
}

void dbDatabase::moveMapping(db_byte* oldBase, size_t oldSize) {
  base = file->getBase();
  const ptrdiff_t shift = base - oldBase;
  auto moved = [&](offs_t* p) { return p == nullptr ? p : reinterpret_cast<offs_t*>(reinterpret_cast<db_byte*>(p) + shift); };
  header = reinterpret_cast<dbHeader*>(base);
  index[0] = moved(index[0]);
  index[1] = moved(index[1]);
  currIndex = moved(currIndex);
  if (dbDatabaseThreadContext* ctx = getThreadContext()) {
    for (dbL2List* node = ctx->cursors.next; node != &ctx->cursors; node = node->next) {
      static_cast<dbOpenCursor*>(node)->adjustReferences(oldBase, oldSize, shift);
    }
  }
}
