// The PMF of the sum of two independent simple PMFs.
#pragma once
#include "accumulator.h"
#include "pmf.h"

namespace movra {

// Walks p1 outside and p2 inside, each upward, skipping values of probability not
// greater than 0; the sum of a pair must stay an Int ("Out of memory" otherwise, since
// no state could hold it).
Pmf* convolution(MovraObject* obj, Pmf* p1, Pmf* p2);
// The weights of that walk put into acc: one pass of p2, scaled, per value of p1.
void convolve(const PmfRun& p1, const PmfRun& p2, SimpleAccumulator& acc);

}  // namespace movra
