// Running products of probabilities along a model map's loop nest: level 0 holds the
// outermost probability, level i the product of levels 0..i, formed from the outside in.
// Scratch memory owned by the stack; levels are not checked against the capacity.
#pragma once
#include <cstdlib>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/types.h"

class SamplingStack {
public:
    Real* a;  // running probability per nesting level

    explicit SamplingStack(int capacity)
        : a(static_cast<Real*>(std::calloc(capacity > 0 ? capacity : 1, sizeof(Real)))) {
        if (a == nullptr) abort(msg::OutOfMemory);
    }
    ~SamplingStack() { std::free(a); }
    SamplingStack(const SamplingStack&) = delete;
    SamplingStack& operator=(const SamplingStack&) = delete;

    void set(int i, Real p) { a[i] = p; }
    void branch(int i, Real p) { a[i] = a[i - 1] * p; }
    Real branchProbability(int i) const { return a[i]; }
};
