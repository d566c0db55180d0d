// Shape checks of PMF containers received from Python: every element must be a PMF of the
// kind named, else "Invalid value". Nothing here allocates.
#pragma once
#include "arrays.h"

namespace movra {

PmfArray* confirmSimplePmfArray(PmfArray* a);
PmfArray* confirmJointPmfArray(PmfArray* a, int depth);
PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...);
PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m);
PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth);
PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...);

}  // namespace movra
