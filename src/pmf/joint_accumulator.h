// Accumulators of tuples. JointAccumulator is a tree with one child per value of the
// first component (SimpleAccumulator at depth 2, JointAccumulator of depth - 1 deeper);
// its marginal comes from the totals the children collected. CompoundAccumulator keeps
// one component accumulator per part of a compound outcome. Children are owned by their
// parent and destroyed with it.
#pragma once
#include "accumulator.h"

namespace movra {

class JointAccumulator : public Accumulator {
public:
    int32_t depth;            // components of an outcome; at least 2
    int32_t offset;           // first-component value of elements[0]; never negative
    int32_t length;           // slots; 0 until the first value is included
    ChildAccumulators elements;  // one child per first-component value

    JointAccumulator(MovraObject* _obj, int _depth)
        : Accumulator(_obj), depth(_depth), offset(0), length(0) {}
    Boolean isEmpty() override { return !elements; }
    // Makes the window cover value and gives every slot a child.
    void include(Int value);
    JointAccumulator* putDouble(Real probability, Int value1, Int value2) override {
        if (probability <= 0) return this;
        include(value1);
        if (depth != 2) failInternal();
        // Children of a depth-2 accumulator are simple: call the inline put directly.
        static_cast<SimpleAccumulator*>(elements[value1 - offset])
            ->SimpleAccumulator::putSingle(clampWeight(probability), value2);
        return this;
    }
    // The child of value1 in a depth-2 accumulator, window widened to cover it: a map that
    // puts several weights with one first component reaches the child once.
    SimpleAccumulator* childOf(Int value1) {
        include(value1);
        if (depth != 2) failInternal();
        return static_cast<SimpleAccumulator*>(elements[value1 - offset]);
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;
};

class CompoundAccumulator : public Accumulator {
public:
    PmfConfig* pmfConfig;     // compound shape, referred to (alive until the next sweep)
    ChildAccumulators elements;  // one accumulator per component

    CompoundAccumulator(MovraObject* _obj, PmfConfig* _pmfConfig);
    Boolean isEmpty() override {
        return pmfConfig->compound.length == 0 || elements[0]->isEmpty();
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;
};

}  // namespace movra
