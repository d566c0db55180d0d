// Read side of the PMF records: probabilities, parts, conditionals, tail cut-off points,
// and the shape checks for values received from Python. Nothing here allocates.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "pmf.h"

namespace movra {

// Preconditions (not checked): the PMF is of the kind named in the comment.
Real lookupProbability(Pmf* pmf, Int i);               // simple
Pmf* lookupMarginalPmf(Pmf* pmf);                      // joint
Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...);  // joint
Pmf* lookupConditionalPmf1(Pmf* pmf, Int value);       // joint; the one-value form of the above
Pmf* lookupCompoundPmf(Pmf* pmf, Int i);               // compound

// The tail points of a simple PMF: the first value from below, and the first from above,
// at which the running sum of probabilities reaches epsilon.
Int computeLeftTail(Pmf* pmf, Real epsilon);
Int computeRightTail(Pmf* pmf, Real epsilon);
// The same over weights w[0 .. n) of the values offset, offset + 1, ..., each read as
// w[k] / total: what the tails of their normalised PMF would be, without storing it.
inline Int leftTailOfWeights(const Real* w, Int offset, Int n, Real total, Real epsilon) {
    Real sum = 0;
    for (Int i = 0; i < n; i++) {
        sum += w[i] / total;
        if (sum >= epsilon) return offset + i;
    }
    // One past the stored range; saturated so a range ending at the top of Int cannot overflow.
    int64_t end = int64_t(offset) + n;
    return end > INT32_MAX ? INT32_MAX : Int(end);
}

inline Int rightTailOfWeights(const Real* w, Int offset, Int n, Real total, Real epsilon) {
    Real sum = 0;
    for (Int i = n - 1; i >= 0; i--) {
        sum += w[i] / total;
        if (sum >= epsilon) return offset + i;
    }
    return offset;
}

Pmf* confirmSimplePmf(Pmf* pmf);
Pmf* confirmJointPmf(Pmf* pmf, int depth);
Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...);
// The list form: reads one depth per component from args (1 = simple).
Pmf* confirmCompoundPmfV(Pmf* pmf, int length, va_list args);

}  // namespace movra
