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

// Size classes of 16 bytes up to 1 KiB, the PMF rows and records of a step.
using SpareBlocks = Freelist<16, 64>;

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
