// Helpers shared by the engine test suites: checks on the message a CException carries, a
// fixture that owns an arena, with builders for hand-made simple and joint PMFs, a model
// instance that frees its arena, and bit-for-bit comparison of PMFs. Every block a test
// allocates through obj is freed by the fixture's TearDown.
#pragma once
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

#include "pmf/pmf.h"
#include "runtime/arena.h"
#include "runtime/error.h"

using namespace movra;

#define EXPECT_MOVRA_ERROR(statement, text)                    \
    do {                                                       \
        try {                                                  \
            statement;                                         \
            ADD_FAILURE() << "no CException from " #statement; \
        } catch (const CException& e) {                        \
            EXPECT_STREQ(e.message, text);                     \
        }                                                      \
    } while (0)

inline std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CException& e) {
        return e.message;
    }
    return "<no failure>";
}

class ArenaFixture : public ::testing::Test {
protected:
    MovraObject obj{};
    void TearDown() override { release(&obj); }

    Pmf* simple(Int offset, std::initializer_list<Real> probabilities) {
        Pmf* pmf = allocateSimplePmf(&obj, offset, Int(probabilities.size()));
        // Through a plain pointer: the optimiser takes the trailing area for its empty
        // declared member otherwise, and warns.
        Real* out = pmf->simple.elements;
        std::copy(probabilities.begin(), probabilities.end(), out);
        return pmf;
    }

    Pmf* joint(Pmf* marginal, int depth, std::initializer_list<Pmf*> conditionals) {
        Pmf* pmf = allocateJointPmf(&obj, marginal, depth);
        Pmf** out = pmf->joint.elements;
        std::copy(conditionals.begin(), conditionals.end(), out);
        return pmf;
    }

    // {0: 0.5, 1: 0.5} with conditionals {3: 1.0} and {1: 0.2, 2: 0.8}.
    Pmf* exampleJoint() {
        return joint(simple(0, {0.5, 0.5}), 2, {simple(3, {1.0}), simple(1, {0.2, 0.8})});
    }
};

// Equal to the last bit, shape included.
inline bool samePmf(const Pmf* a, const Pmf* b) {
    if (a == b) return true;
    if (a == nullptr || b == nullptr || a->pmfType != b->pmfType) return false;
    if (a->pmfType == SIMPLE) {
        if (a->simple.offset != b->simple.offset || a->simple.length != b->simple.length)
            return false;
        for (Int k = 0; k < a->simple.length; k++)
            if (a->simple.elements[k] != b->simple.elements[k]) return false;
        return true;
    }
    if (a->joint.depth != b->joint.depth || !samePmf(a->joint.marginal, b->joint.marginal))
        return false;
    for (Int k = 0; k < a->joint.marginal->simple.length; k++)
        if (!samePmf(a->joint.elements[k], b->joint.elements[k])) return false;
    return true;
}

template <class Model>
struct Instance {
    Model m{};
    Instance() { m.defaults(); }
    ~Instance() { release(m.arena()); }
    MovraObject* obj() { return m.arena(); }
    void sweep() { Model::memRelease(obj()); }
};
