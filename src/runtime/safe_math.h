// Rounding and guarded mathematical functions of the runtime: a domain error becomes a
// model failure with a readable message instead of a silent NaN. Neither model calls them.
#pragma once
#include "types.h"

namespace movra {

Int ifloor(Real x);
Int iceiling(Real x);
Real safeSqrt(Real x);
Real safeLog(Real x);
Real safePow(Real x, Real y);
// Draw from the C library's process-wide generator, which the module never seeds.
Real randomReal();
Int randomInt(Int n);

}  // namespace movra
