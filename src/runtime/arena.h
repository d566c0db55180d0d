// The per-instance arena: every model value is one block from movraMalloc, linked on the
// instance's list. Blocks are never freed one by one; only the sweep (release) frees, and
// it frees exactly the blocks that marking (the flag family) did not reach.
#pragma once
#include "object.h"

namespace movra {

// Largest single block the arena hands out. A larger request is refused with
// "Out of memory" instead of letting the machine's memory be taken by one absurd PMF or
// container.
constexpr size_t kMaxBlockBytes = size_t(1) << 31;

// A zero-filled block, counted once it exists: a refused request ("Out of memory": above
// the block cap, past the instance's memoryLimit, or not granted by the system) changes
// neither the counters nor the list.
void* movraMalloc(MovraObject* obj, size_t size);
// "Out of memory" unless `bytes` more would stay within the instance's memoryLimit: for
// work that will make many blocks, refused before the first instead of part-way.
void checkRoom(MovraObject* obj, double bytes);
// The sweep: frees every unmarked block, unmarks the survivors.
void release(MovraObject* obj);
// Marks the one block at p (null allowed).
void flagBlock(void* p);

// Byte count of a record with a fixed part of `head` bytes and `count` trailing
// elements of `elementSize` bytes; requests that cannot be represented are refused.
size_t recordBytes(size_t head, int64_t count, size_t elementSize);

}  // namespace movra
