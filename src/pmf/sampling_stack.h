// Running products of probabilities along a model map's loop nest: level 0 holds the
// outermost probability, level i the product of levels 0..i, formed from the outside in.
// Levels are not checked against the capacity.
#pragma once
#include "../runtime/scratch.h"
#include "../runtime/types.h"

namespace movra {

class SamplingStack {
public:
    ScratchBuffer<Real> a;  // running probability per nesting level

    explicit SamplingStack(int capacity) : a(capacity > 0 ? capacity : 1) {}

    void set(int i, Real p) { a[i] = p; }
    void branch(int i, Real p) { a[i] = a[i - 1] * p; }
    Real branchProbability(int i) const { return a[i]; }
};

}  // namespace movra
