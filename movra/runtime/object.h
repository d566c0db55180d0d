// The common head of every model instance and of every arena block. Invariant between two
// Python calls into an instance: isMemModified is false, no block is marked, and every
// block on memList is reachable from the model's root fields.
#pragma once
#include <Python.h>

#include "types.h"

struct MemHeader {
    MemHeader* next;  // next block on the instance's list, null at its end
    size_t size;      // bytes of the whole block, this header included
    Boolean flag;     // mark bit: set only between marking and the following sweep
};

struct MovraObject {
    PyObject_HEAD
    Boolean isMemModified;           // set by movraMalloc; cleared by release
    MemHeader* memList;              // all live blocks, newest first
    Int functionCount;               // entries in the three function tables
    void** functionPointers;         // functions Python may name as interface values
    const char** functionNames;      // their names, same index
    Int* functionSignatureIndexes;   // their signature numbers, same index
    unsigned long long currentMemoryUse;  // bytes in live blocks
    unsigned long long peakMemoryUse;     // highest currentMemoryUse ever; never lowered
};
