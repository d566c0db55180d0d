// The arena header every model record begins with, and the header of every arena block.
// Plain C++: the Python object of a model embeds the model record, never the other way
// round. Invariant between two calls into an instance: isMemModified is false, no block
// is marked, and every block on memList is reachable from the model's root fields.
#pragma once
#include "freelist.h"
#include "types.h"

namespace movra {

struct MemHeader {
    MemHeader* next;  // next block on the instance's list, null at its end
    size_t size;      // bytes of the whole block, this header included
    Boolean flag;     // mark bit: set only between marking and the following sweep
};

// Blocks kept for reuse in two tiers of size classes: of 16 bytes up to 1 KiB (the
// records of a step) and of 1 KiB up to 32 KiB (a station's whole next state, which the
// full map makes as one block). Class c < kSmall is the small tier's, the others the
// large tier's c - kSmall. All zero is the empty freelist, as for Freelist.
class SpareBlocks {
public:
    using Small = Freelist<16, 64>;
    using Large = Freelist<1024, 32>;
    static constexpr size_t kSmall = Small::kClasses, kClasses = kSmall + Large::kClasses;

    static size_t classOf(size_t bytes) {
        const size_t c = Small::classOf(bytes);
        return c < kSmall ? c : kSmall + Large::classOf(bytes);
    }
    static size_t classBytes(size_t c) {
        return c < kSmall ? Small::classBytes(c) : Large::classBytes(c - kSmall);
    }
    void* take(size_t c, size_t bytes) {
        return c < kSmall ? small_.take(c, bytes) : large_.take(c - kSmall, bytes);
    }
    void keep(size_t c, void* p) {
        if (c < kSmall)
            small_.keep(c, p);
        else
            large_.keep(c - kSmall, p);
    }
    size_t bytes() const { return small_.bytes() + large_.bytes(); }
    void freeAll() {
        small_.freeAll();
        large_.freeAll();
    }

private:
    Small small_;
    Large large_;
};

struct MovraObject {
    Boolean isMemModified;                // set by movraMalloc; cleared by release
    MemHeader* memList;                   // all live blocks, newest first
    Int functionCount;                    // entries in the three function tables
    void** functionPointers;              // functions Python may name as interface values
    const char** functionNames;           // their names, same index
    Int* functionSignatureIndexes;        // their signature numbers, same index
    unsigned long long currentMemoryUse;  // bytes in live blocks
    unsigned long long peakMemoryUse;     // highest currentMemoryUse ever; never lowered
    // Most bytes the arena may hold at once (the machine's physical memory, set when the
    // instance is made); 0 sets no bound beyond the per-block cap.
    unsigned long long memoryLimit;
    // Small blocks the last sweep freed, by size class, for the allocations of the next
    // call; not live, so not counted. The sweep after frees those still unused.
    SpareBlocks spareBlocks;
};

// The element area that follows a record's fixed part inside the same block. Takes no
// room of its own beyond alignment, so a record's byte count is
// offsetof(Record, elements) + count * sizeof(T), as for a trailing array.
template <class T>
struct alignas(T) Trailing {
    operator T*() { return reinterpret_cast<T*>(this); }
    operator const T*() const { return reinterpret_cast<const T*>(this); }
};

}  // namespace movra
