// Depth-first walk over the outcomes of positive probability of a simple or joint PMF, in
// lexicographic order; each complete outcome is handed to the subclass's recordSample.
// The per-level records are scratch memory owned by the enumerator.
#pragma once
#include "../runtime/scratch.h"
#include "pmf.h"

namespace movra {

struct SampleEnumeratorRecord {
    Int value;         // value chosen at this level (level 1 = first component)
    Real probability;  // product of the probabilities of levels 1..this (level 0: 1.0)
    Pmf* pmf;          // PMF still to walk below this level; unset at the deepest level
};

class SampleEnumerator {
public:
    Boolean isPrevious;                             // false on construction; the walk ignores it
    int32_t depth;                                  // components of an outcome
    int32_t level;                                  // current level; 0 between walks
    ScratchBuffer<SampleEnumeratorRecord> records;  // depth + 1 records, index = level

    explicit SampleEnumerator(Pmf* pmf);
    virtual ~SampleEnumerator() = default;
    virtual void recordSample() = 0;
    void run();

    SampleEnumerator(const SampleEnumerator&) = delete;
    SampleEnumerator& operator=(const SampleEnumerator&) = delete;
};

}  // namespace movra
