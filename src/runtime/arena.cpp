#include "arena.h"

#include <cstdlib>

#include "error.h"
#include "messages.h"

namespace movra {

void* movraMalloc(MovraObject* obj, size_t size) {
    if (size < sizeof(MemHeader) || size > kMaxBlockBytes) fail(msg::OutOfMemory);
    // Blocks made earlier in the call count too: they stay until the closing sweep.
    const unsigned long long limit = obj->memoryLimit;
    if (limit != 0 && (size > limit || obj->currentMemoryUse > limit - size)) fail(msg::OutOfMemory);
    // calloc gives the zero fill: flag false, every field zero or null.
    MemHeader* block = static_cast<MemHeader*>(std::calloc(1, size));
    if (block == nullptr) fail(msg::OutOfMemory);
    obj->isMemModified = true;
    obj->currentMemoryUse += size;
    if (obj->peakMemoryUse < obj->currentMemoryUse) obj->peakMemoryUse = obj->currentMemoryUse;
    block->size = size;
    block->next = obj->memList;
    obj->memList = block;
    return block;
}

void release(MovraObject* obj) {
    MemHeader* block = obj->memList;
    obj->memList = nullptr;
    while (block != nullptr) {
        MemHeader* next = block->next;
        if (block->flag) {
            block->flag = false;
            block->next = obj->memList;
            obj->memList = block;
        } else {
            obj->currentMemoryUse -= block->size;
            std::free(block);
        }
        block = next;
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
