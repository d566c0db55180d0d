// Read side of the PMF records: probabilities, parts, conditionals, tail cut-off points,
// and the shape checks for values received from Python. Nothing here allocates.
#pragma once
#include <cstdarg>

#include "pmf.h"

namespace movra {

// Preconditions (not checked): the PMF is of the kind named in the comment.
Real lookupProbability(Pmf* pmf, Int i);               // simple
Pmf* lookupMarginalPmf(Pmf* pmf);                      // joint
Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...);  // joint
Pmf* lookupConditionalPmf1(Pmf* pmf, Int value);       // joint; the one-value form of the above
Pmf* lookupCompoundPmf(Pmf* pmf, Int i);               // compound

Int computeLeftTail(Pmf* pmf, Real epsilon);
Int computeRightTail(Pmf* pmf, Real epsilon);

Pmf* confirmSimplePmf(Pmf* pmf);
Pmf* confirmJointPmf(Pmf* pmf, int depth);
Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...);
// The list form: reads one depth per component from args (1 = simple).
Pmf* confirmCompoundPmfV(Pmf* pmf, int length, va_list args);

}  // namespace movra
