// Index maintenance: the hash tables and T-trees of a table's hashed and
// indexed fields follow every insert, update and removal of its records.
//
// Indices hold record ids only and read keys from the records, so a record
// leaves its indices while its old key is still stored and joins them again
// once the new key is written.
#include "database.h"
#include "hashtab.h"
#include "ttree.h"

namespace {

// Whether an update or insert touches the index of `fd`.
bool concerns(const dbFieldDescriptor* fd, bool updatedOnly) { return !updatedOnly || (fd->attr & Updated) != 0; }

}  // namespace

void dbDatabase::insertIntoIndices(dbTableDescriptor* table, oid_t id, size_t nRows, bool updatedOnly) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashedField) {
    if (concerns(fd, updatedOnly)) dbHashTable::insert(*this, fd->hashTable, id, fd->type, fd->dbsSize, fd->dbsOffs, nRows);
  }
  for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexedField) {
    if (concerns(fd, updatedOnly)) {
      dbTtree::insert(*this, fd->tTree, id, fd->type, fd->dbsSize, fd->comparator, fd->dbsOffs);
    }
  }
}

void dbDatabase::removeFromIndices(dbTableDescriptor* table, oid_t id, bool updatedOnly) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashedField) {
    if (concerns(fd, updatedOnly)) dbHashTable::remove(*this, fd->hashTable, id, fd->type, fd->dbsSize, fd->dbsOffs);
  }
  for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexedField) {
    if (concerns(fd, updatedOnly)) {
      dbTtree::remove(*this, fd->tTree, id, fd->type, fd->dbsSize, fd->comparator, fd->dbsOffs);
    }
  }
}

void dbDatabase::purgeIndices(dbTableDescriptor* table) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashedField) {
    dbHashTable::purge(*this, fd->hashTable);
  }
  for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexedField) {
    dbTtree::purge(*this, fd->tTree);
  }
}
