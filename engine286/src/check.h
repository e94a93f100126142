// Integrity check of the committed state of a database file.
//
// Reads only the committed root (so it works on a dirty file too) and
// verifies: the header and roots; every live index entry points inside the
// file; records, internal objects, the header page and the index arrays do
// not overlap and are exactly the space the bitmap marks as used (nothing
// leaked, nothing unmarked); every free id is on the free list once; row
// lists agree with `nRows`, `firstRow` and `lastRow` and every record is a
// row of exactly one table; table descriptions are well formed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "types.h"

class dbDatabase;

// The faults found in the file image [image, image + size); empty when sound.
std::vector<std::string> dbCheckImage(const db_byte* image, size_t size);

// The same for the file of an open database (its committed state).
std::vector<std::string> dbCheckDatabase(const dbDatabase& db);
