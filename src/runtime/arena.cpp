#include "arena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "messages.h"

namespace movra {

namespace {
// At most this much memory is kept for reuse between two calls.
constexpr size_t kMaxSpareBytes = size_t(1) << 20;

// The size class of a block of `size` bytes, kSpareClasses for a large one.
size_t spareClass(size_t size) {
    return std::min((size + kSpareClassBytes - 1) / kSpareClassBytes - 1, kSpareClasses);
}

void freeSpares(MemHeader** spares) {
    for (size_t c = 0; c < kSpareClasses; c++) {
        for (MemHeader* b = spares[c]; b != nullptr;) {
            MemHeader* next = b->next;
            std::free(b);
            b = next;
        }
        spares[c] = nullptr;
    }
}
}  // namespace

void checkRoom(MovraObject* obj, double bytes) {
    const unsigned long long limit = obj->memoryLimit;
    if (limit != 0 && !(bytes <= double(limit - std::min(limit, obj->currentMemoryUse))))
        fail(msg::OutOfMemory);
}

void* movraMalloc(MovraObject* obj, size_t size) {
    if (size < sizeof(MemHeader) || size > kMaxBlockBytes) fail(msg::OutOfMemory);
    // Blocks made earlier in the call count too: they stay until the closing sweep.
    const unsigned long long limit = obj->memoryLimit;
    if (limit != 0 && (size > limit || obj->currentMemoryUse > limit - size)) fail(msg::OutOfMemory);
    const size_t c = spareClass(size);
    MemHeader* block;
    if (c < kSpareClasses && obj->spareBlocks[c] != nullptr) {
        // A block of the same class that the last sweep freed: zero-filled again.
        block = obj->spareBlocks[c];
        obj->spareBlocks[c] = block->next;
        obj->spareBytes -= (c + 1) * kSpareClassBytes;
        std::memset(block, 0, size);
    } else {
        // calloc gives the zero fill: flag false, every field zero or null. A small block
        // takes its whole class, so that it can serve any request of the class later.
        block = static_cast<MemHeader*>(
            std::calloc(1, c < kSpareClasses ? (c + 1) * kSpareClassBytes : size));
        if (block == nullptr) fail(msg::OutOfMemory);
    }
    // Counted only once it exists: a refused request leaves the counters as they were.
    obj->isMemModified = true;
    obj->currentMemoryUse += size;
    if (obj->peakMemoryUse < obj->currentMemoryUse) obj->peakMemoryUse = obj->currentMemoryUse;
    block->size = size;
    block->next = obj->memList;
    obj->memList = block;
    return block;
}

void release(MovraObject* obj) {
    // Spares the call did not use go now; this sweep's freed blocks take their place.
    MemHeader* stale[kSpareClasses];
    std::copy(obj->spareBlocks, obj->spareBlocks + kSpareClasses, stale);
    std::fill(obj->spareBlocks, obj->spareBlocks + kSpareClasses, nullptr);
    // Locals, not the instance's fields: a store through a block could alias those, which
    // would keep them in memory on every block.
    MemHeader* survivors = nullptr;
    MemHeader** const spares = obj->spareBlocks;
    size_t spareBytes = 0;
    unsigned long long freed = 0;
    MemHeader* block = obj->memList;
    while (block != nullptr) {
        MemHeader* next = block->next;
        if (block->flag) {
            block->flag = false;
            block->next = survivors;
            survivors = block;
        } else {
            freed += block->size;
            const size_t c = spareClass(block->size);
            if (c < kSpareClasses && spareBytes < kMaxSpareBytes) {
                block->next = spares[c];
                spares[c] = block;
                spareBytes += (c + 1) * kSpareClassBytes;
            } else {
                std::free(block);
            }
        }
        block = next;
    }
    obj->memList = survivors;
    obj->currentMemoryUse -= freed;
    obj->spareBytes = spareBytes;
    freeSpares(stale);
    // Nothing survived: the instance is going away (or was never filled); keep nothing.
    if (obj->memList == nullptr) {
        freeSpares(obj->spareBlocks);
        obj->spareBytes = 0;
    }
    obj->isMemModified = false;
}

void flagBlock(void* p) {
    if (p != nullptr) static_cast<MemHeader*>(p)->flag = true;
}

size_t recordBytes(size_t head, int64_t count, size_t elementSize) {
    if (count < 0 || static_cast<uint64_t>(count) > (kMaxBlockBytes - head) / elementSize)
        return kMaxBlockBytes + 1;  // movraMalloc refuses it
    return head + static_cast<size_t>(count) * elementSize;
}

}  // namespace movra
