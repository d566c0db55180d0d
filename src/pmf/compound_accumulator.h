// The accumulator of compound outcomes: one component accumulator (simple or joint) per
// part of the outcome, each given the same weight. Part of the runtime the models do not
// use; nothing reached from Python makes one.
#pragma once
#include "joint_accumulator.h"

namespace movra {

class CompoundAccumulator : public Accumulator {
public:
    PmfConfig* pmfConfig;        // compound shape, referred to (alive until the next sweep)
    ChildAccumulators elements;  // one accumulator per component

    CompoundAccumulator(MovraObject* _obj, PmfConfig* _pmfConfig);
    Boolean isEmpty() override { return pmfConfig->compound.length == 0 || elements[0]->isEmpty(); }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;
};

}  // namespace movra
