// Running products of probabilities along a model map's loop nest: level 0 holds the
// outermost probability, level i the product of levels 0..i, formed from the outside in.
// Levels are not checked against the capacity. The maps' nests are shallow: up to
// kInlineLevels the levels live in the stack object itself, with no heap scratch.
#pragma once
#include "../runtime/scratch.h"
#include "../runtime/types.h"

namespace movra {

class SamplingStack {
public:
    static constexpr int kInlineLevels = 8;

    explicit SamplingStack(int capacity) : a(inline_) {
        if (capacity > kInlineLevels) {
            more_.reset(capacity);
            a = more_.get();
        }
    }
    SamplingStack(const SamplingStack&) = delete;
    SamplingStack& operator=(const SamplingStack&) = delete;

    void set(int i, Real p) { a[i] = p; }
    void branch(int i, Real p) { a[i] = a[i - 1] * p; }
    Real branchProbability(int i) const { return a[i]; }

    Real* a;  // running probability per nesting level

private:
    Real inline_[kInlineLevels] = {};
    ScratchBuffer<Real> more_;  // deeper nests only
};

}  // namespace movra
