// Basic types of the stored format: object ids, file offsets and the
// fixed-width integers and reals that records hold.
#pragma once

#include <cstddef>
#include <cstdint>

using db_byte = uint8_t;
using oid_t = uint32_t;   // object id; 0 means none
using offs_t = uint32_t;  // file offset (the file is at most 4 GiB)

using db_int1 = int8_t;
using db_int2 = int16_t;
using db_int4 = int32_t;
using db_int8 = int64_t;
using db_nat1 = uint8_t;
using db_nat2 = uint16_t;
using db_nat4 = uint32_t;
using db_nat8 = uint64_t;
using real4 = float;
using real8 = double;
