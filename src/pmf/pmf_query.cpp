#include "pmf_query.h"

#include <cstdarg>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/varargs.h"

namespace movra {

Real lookupProbability(Pmf* pmf, Int i) {
    // 64-bit difference: offset + length may lie beyond the Int range.
    int64_t k = int64_t(i) - pmf->simple.offset;
    if (k < 0 || k >= pmf->simple.length) return 0.0;
    return pmf->simple.elements[k];
}

Pmf* lookupMarginalPmf(Pmf* pmf) { return pmf->joint.marginal; }

Pmf* lookupConditionalPmf1(Pmf* pmf, Int value) {
    Pmf* marginal = pmf->joint.marginal;
    if (lookupProbability(marginal, value) == 0.0) fail(msg::ConditionOnZero);
    return pmf->joint.elements[value - marginal->simple.offset];
}

Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...) {
    Pmf* current = pmf;
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    for (Int i = 0; i < length; i++) current = lookupConditionalPmf1(current, va_arg(args, Int));
    return current;
}

Pmf* lookupCompoundPmf(Pmf* pmf, Int i) { return pmf->compound.elements[i]; }

// x / 1 is x: the probabilities as stored.
Int computeLeftTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) fail(msg::LeftTailNeedsSimple);
    return leftTailOfWeights(pmf->simple.elements, pmf->simple.offset, pmf->simple.length, 1.0,
                             epsilon);
}

Int computeRightTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) fail(msg::RightTailNeedsSimple);
    return rightTailOfWeights(pmf->simple.elements, pmf->simple.offset, pmf->simple.length, 1.0,
                              epsilon);
}

Pmf* confirmSimplePmf(Pmf* pmf) {
    if (pmf == nullptr || pmf->pmfType != SIMPLE) failImport();
    return pmf;
}

Pmf* confirmJointPmf(Pmf* pmf, int depth) {
    if (pmf == nullptr || pmf->pmfType != JOINT || pmf->joint.depth != depth) failImport();
    return pmf;
}

Pmf* confirmCompoundPmfV(Pmf* pmf, int length, va_list args) {
    if (pmf == nullptr || pmf->pmfType != COMPOUND || pmf->compound.length != length) failImport();
    for (int i = 0; i < length; i++) {
        int depth = va_arg(args, int);
        if (depth == 1)
            confirmSimplePmf(pmf->compound.elements[i]);
        else
            confirmJointPmf(pmf->compound.elements[i], depth);
    }
    return pmf;
}

Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...) {
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    return confirmCompoundPmfV(pmf, length, args);
}

}  // namespace movra
