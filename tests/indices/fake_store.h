// An in-memory object store for testing the indices. It keeps an object
// index with markers and a committed state like the database file does, and
// makes misuse visible:
//  - reading a free id, a record as an internal object or the reverse throws;
//  - new space is filled with garbage, freed space is poisoned;
//  - the whole memory area moves (the old one is poisoned and released) on
//    allocation, so an address kept across an allocating call goes stale;
//  - objects of the committed state are copied on first write, and
//    changedCommittedObject() finds any committed object written in place.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "database.h"  // the stored-format constants
#include "objstore.h"
#include "types.h"

class FakeStore {
 public:
  // The memory area moves on every `moveEvery`-th allocation.
  explicit FakeStore(int moveEvery = 1);

  const db_byte* readObject(oid_t oid);
  db_byte* writableObject(oid_t oid);
  const db_byte* readRecord(oid_t oid);
  oid_t allocateObject(int marker);
  oid_t allocateIds(size_t n);
  offs_t allocateSpace(size_t size);
  void setPageObject(oid_t oid, offs_t pos);
  void freeInternalObject(oid_t oid);

  // Records: `image` is the whole record; its first word is set to its size.
  oid_t createRecord(std::vector<db_byte> image);
  db_byte* writableRecord(oid_t oid);
  void freeRecord(oid_t oid);

  // Makes the working state the committed one and releases the space kept
  // for the previous committed state.
  void commit();
  // The first committed object whose bytes changed since commit(), or 0.
  oid_t changedCommittedObject() const;

  size_t liveObjects(int marker) const;
  size_t copiesOnWrite() const { return copies; }
  // Makes page-object space start 16 bytes past a page boundary.
  void misalignPageSpace() { misalign = true; }
  // The bytes of an object's extent (for format checks).
  offs_t positionOf(oid_t oid) const;

 private:
  static constexpr db_nat4 freeMarker = dbFreeHandleMarker;
  static constexpr db_nat4 unboundMarker = 0xFFFFFFFF;  // from allocateIds, not yet placed

  db_nat4 entry(oid_t oid, bool record) const;
  size_t extentOf(oid_t oid) const;
  bool isCommitted(oid_t oid) const;
  db_byte* writable(oid_t oid, bool record);
  void release(oid_t oid);
  void reserve(size_t end);
  void moveArea(size_t capacity);

  int moveEvery;
  int allocations = 0;
  bool misalign = false;
  size_t copies = 0;
  std::unique_ptr<db_byte[]> area;
  size_t capacity = 0;
  size_t used = dbPageSize;  // offset 0 is never handed out
  std::vector<db_nat4> index;
  oid_t freeList = 0;
  std::vector<db_nat4> committedIndex;
  std::vector<db_byte> committedImage;
  std::vector<std::pair<offs_t, size_t>> keptForCommitted;
};
