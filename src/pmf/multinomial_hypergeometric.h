// The multinomial and (multivariate) hypergeometric PMFs. Part of the runtime the models
// do not use: nothing reached from Python calls them.
#pragma once
#include "../runtime/scratch.h"
#include "pmf.h"

namespace movra {

Pmf* multinomial(MovraObject* obj, Int n, Int k, Pmf* p);
Pmf* multinomialLayer(MovraObject* obj, Int n, Int k, const Real* gamma);
// N + 1 entries, entry i = log(i!).
ScratchBuffer<Real> createLogFactorialArrayForHypergeometric(Int N);
Pmf* hypergeometricHelper(MovraObject* obj, Int N, Int K, Int n, const Real* logFactorialArray);
Pmf* hypergeometric(MovraObject* obj, Int N, Int K, Int n);
Pmf* multivariateHypergeometricLayer(MovraObject* obj, Int N, Int n, Int d, const Int* b,
                                     const Real* logFactorialArray);

}  // namespace movra
