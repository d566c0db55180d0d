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
    if (limit != 0 && (size > limit || obj->currentMemoryUse > limit - size))
        fail(msg::OutOfMemory);
    const size_t c = SpareBlocks::classOf(size);
    // A block of the same class that the last sweep freed, zero-filled again; or a new
    // one, which calloc fills with zeros: flag false, every field zero or null.
    MemHeader* block = nullptr;
    if (c < SpareBlocks::kClasses) block = static_cast<MemHeader*>(obj->spareBlocks.take(c, size));
    if (block == nullptr) {
        block = static_cast<MemHeader*>(
            std::calloc(1, c < SpareBlocks::kClasses ? SpareBlocks::classBytes(c) : size));
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
    // Spares the call did not use go now; this sweep's freed blocks take their place. In
    // place: the freelists are some 1 KiB, of which a sweep uses a few lines.
    SpareBlocks& spares = obj->spareBlocks;
    spares.freeAll();
    // Locals, not the instance's fields: a store through a block could alias those, which
    // would keep them in memory on every block.
    MemHeader* survivors = nullptr;
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
            const size_t c = SpareBlocks::classOf(block->size);
            if (c < SpareBlocks::kClasses && spares.bytes() < kMaxSpareBytes)
                spares.keep(c, block);
            else
                std::free(block);
        }
        block = next;
    }
    obj->memList = survivors;
    obj->currentMemoryUse -= freed;
    // Nothing survived: the instance is going away (or was never filled); keep nothing.
    if (obj->memList == nullptr) spares.freeAll();
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
