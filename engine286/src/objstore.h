// What the hash tables and T-trees need from the object store. (The stored
// format's constants, dbPageSize and the markers, come from database.h.)
//
// The index code is written against any type that models dbObjectStore: the
// database object (through a thin adapter) in the engine, a fake in the tests.
// A template parameter rather than a virtual interface, because every key
// comparison reads a record through the store and must cost no indirect call.
//
// Rules the store guarantees and the index code relies on:
//  - Objects live in one memory area that may move whenever the store
//    allocates (a new object, a copy on first write, a grown file). So no
//    address obtained from the store is kept across any call that can
//    allocate: writableObject, allocateObject, allocateIds, allocateSpace,
//    freeInternalObject.
//  - writableObject(id) on an object already copied in this transaction (or
//    created in it) never allocates and returns the same private area.
//  - Addresses returned by readObject/readRecord must not be written through.
#pragma once

#include <concepts>
#include <cstddef>

#include "types.h"

template <class S>
concept dbObjectStore = requires(S& db, oid_t oid, offs_t pos, size_t n, int marker) {
  // Address of an internal object (marker 1..6); the id must be in use.
  { db.readObject(oid) } -> std::convertible_to<const db_byte*>;
  // Address of a private copy of an internal object, copied on first write.
  { db.writableObject(oid) } -> std::convertible_to<db_byte*>;
  // Address of a record (marker 0), starting at its 12-byte header.
  { db.readRecord(oid) } -> std::convertible_to<const db_byte*>;
  // A new internal object of the marker's fixed size; contents undefined.
  { db.allocateObject(marker) } -> std::same_as<oid_t>;
  // The first of n consecutive new ids, not yet bound to any space.
  { db.allocateIds(n) } -> std::same_as<oid_t>;
  // n bytes of file space (n a multiple of dbPageSize: page aligned).
  { db.allocateSpace(n) } -> std::same_as<offs_t>;
  // Binds an id from allocateIds to a 4096-byte piece of space as a page object.
  db.setPageObject(oid, pos);
  // Frees an internal object and its id (kept for the committed state if it belongs to it).
  db.freeInternalObject(oid);
};
