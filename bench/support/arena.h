// Buffers for hot and cold image benchmarks: one large arena of pseudo-random bytes,
// cut into slots of one call's buffers. A hot benchmark reuses slot 0; a cold one
// rotates over every slot, so each call reads memory the last-level cache has lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlix_bench {

// At least twice the last-level cache plus 128 MB, and never less than 768 MB.
uint8_t* ArenaBase();
size_t ArenaSize();

// One call's buffers of the given sizes, each 4 KB aligned plus a different multiple
// of 320 bytes, so no two buffers alias modulo 4 KB.
using Slot = std::vector<uint8_t*>;
std::vector<Slot> MakeSlots(const std::vector<size_t>& sizes, bool cold);

}  // namespace vorlix_bench
