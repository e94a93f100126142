#include "fake_store.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr db_byte garbage = 0xA5;
constexpr db_byte poison = 0xEE;

size_t roundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

[[noreturn]] void misuse(const std::string& what, oid_t oid) {
  throw std::logic_error(what + " (id " + std::to_string(oid) + ")");
}

}  // namespace

FakeStore::FakeStore(int moveEvery) : moveEvery(moveEvery), index(FirstUserId, freeMarker) { moveArea(1 << 20); }

void FakeStore::moveArea(size_t newCapacity) {
  auto moved = std::make_unique_for_overwrite<db_byte[]>(newCapacity);
  if (area) {
    std::memcpy(moved.get(), area.get(), used);
    std::memset(area.get(), 0xDB, used);
  }
  area = std::move(moved);
  capacity = newCapacity;
}

void FakeStore::reserve(size_t end) {
  size_t newCapacity = capacity;
  while (newCapacity < end) newCapacity *= 2;
  if (newCapacity != capacity || ++allocations % moveEvery == 0) {
    moveArea(newCapacity);
  }
}

db_nat4 FakeStore::entry(oid_t oid, bool record) const {
  if (oid == 0 || oid >= index.size()) misuse("id out of range", oid);
  db_nat4 e = index[oid];
  if (e & freeMarker) misuse("free id used", oid);
  if (((e & 7) == RecordMarker) != record) misuse(record ? "not a record" : "not an internal object", oid);
  return e;
}

size_t FakeStore::extentOf(oid_t oid) const {
  db_nat4 e = index[oid];
  size_t size = dbInternalObjectSize[e & 7];
  if (size == 0) {
    db_nat4 recordSize;
    std::memcpy(&recordSize, area.get() + (e & ~7u), 4);
    size = recordSize;
  }
  return roundUp(size, 16);
}

bool FakeStore::isCommitted(oid_t oid) const {
  return oid < committedIndex.size() && committedIndex[oid] == index[oid] && !(index[oid] & freeMarker);
}

offs_t FakeStore::positionOf(oid_t oid) const { return index[oid] & ~7u; }

const db_byte* FakeStore::readObject(oid_t oid) { return area.get() + (entry(oid, false) & ~7u); }

const db_byte* FakeStore::readRecord(oid_t oid) { return area.get() + (entry(oid, true) & ~7u); }

db_byte* FakeStore::writableObject(oid_t oid) { return writable(oid, false); }

db_byte* FakeStore::writableRecord(oid_t oid) { return writable(oid, true); }

db_byte* FakeStore::writable(oid_t oid, bool record) {
  db_nat4 e = entry(oid, record);
  if (isCommitted(oid)) {
    size_t length = extentOf(oid);
    offs_t pos = allocateSpace(length);
    std::memcpy(area.get() + pos, area.get() + (e & ~7u), length);
    keptForCommitted.emplace_back(e & ~7u, length);
    index[oid] = pos | (e & 7);
    copies += 1;
  }
  return area.get() + (index[oid] & ~7u);
}

offs_t FakeStore::allocateSpace(size_t size) {
  bool pageObject = size % dbPageSize == 0;
  size_t pos = roundUp(used, pageObject ? dbPageSize : 16);
  if (pageObject && misalign) pos += 16;
  size_t end = pos + roundUp(size, 16);
  reserve(end);
  std::memset(area.get() + pos, garbage, end - pos);
  used = end;
  return static_cast<offs_t>(pos);
}

oid_t FakeStore::allocateIds(size_t n) {
  if (n == 1 && freeList != 0) {
    oid_t oid = freeList;
    freeList = index[oid] & ~freeMarker;
    index[oid] = unboundMarker;
    return oid;
  }
  oid_t first = static_cast<oid_t>(index.size());
  index.resize(index.size() + n, unboundMarker);
  return first;
}

void FakeStore::setPageObject(oid_t oid, offs_t pos) {
  if (index.at(oid) != unboundMarker) misuse("page object bound twice", oid);
  if (pos % dbPageSize != 0 && !misalign) misuse("page object not page aligned", oid);
  index[oid] = pos | PageObjectMarker;
}

oid_t FakeStore::allocateObject(int marker) {
  oid_t oid = allocateIds(1);
  index[oid] = allocateSpace(dbInternalObjectSize[marker]) | static_cast<db_nat4>(marker);
  return oid;
}

oid_t FakeStore::createRecord(std::vector<db_byte> image) {
  db_nat4 size = static_cast<db_nat4>(image.size());
  std::memcpy(image.data(), &size, 4);
  oid_t oid = allocateIds(1);
  offs_t pos = allocateSpace(size);
  std::memcpy(area.get() + pos, image.data(), size);
  index[oid] = pos;
  return oid;
}

void FakeStore::release(oid_t oid) {
  offs_t pos = positionOf(oid);
  size_t length = extentOf(oid);
  if (isCommitted(oid)) {
    keptForCommitted.emplace_back(pos, length);
  } else {
    std::memset(area.get() + pos, poison, length);
  }
  index[oid] = freeMarker | freeList;
  freeList = oid;
}

void FakeStore::freeInternalObject(oid_t oid) {
  entry(oid, false);
  release(oid);
}

void FakeStore::freeRecord(oid_t oid) {
  entry(oid, true);
  release(oid);
}

void FakeStore::commit() {
  for (auto [pos, length] : keptForCommitted) {
    std::memset(area.get() + pos, poison, length);
  }
  keptForCommitted.clear();
  committedIndex = index;
  committedImage.assign(area.get(), area.get() + used);
}

oid_t FakeStore::changedCommittedObject() const {
  for (oid_t oid = 0; oid < committedIndex.size(); oid++) {
    db_nat4 e = committedIndex[oid];
    if ((e & freeMarker) != 0) continue;  // also skips unbound ids
    offs_t pos = e & ~7u;
    size_t length = dbInternalObjectSize[e & 7];
    if (length == 0) {
      db_nat4 recordSize;
      std::memcpy(&recordSize, committedImage.data() + pos, 4);
      length = recordSize;
    }
    if (std::memcmp(committedImage.data() + pos, area.get() + pos, length) != 0) return oid;
  }
  return 0;
}

size_t FakeStore::liveObjects(int marker) const {
  size_t count = 0;
  for (db_nat4 e : index) {
    if ((e & freeMarker) == 0 && (e & 7) == static_cast<db_nat4>(marker)) count++;
  }
  return count;
}
