// Standard discrete distributions, each built as a new PMF in the instance's arena. Every
// value of a support range is stored, also where the probability underflows to 0; scratch
// tables are heap memory released within the call.
#pragma once
#include "../containers/arrays.h"

Pmf* bernoulli(MovraObject* obj, Real p);
Pmf* binomial(MovraObject* obj, Int n, Real p);
Pmf* multinomial(MovraObject* obj, Int n, Int k, Pmf* p);
Pmf* multinomialLayer(MovraObject* obj, Int n, Int k, const Real* gamma);
// Heap array of N + 1 entries, entry i = log(i!); the caller frees it (std::free).
Real* createLogFactorialArrayForHypergeometric(Int N);
Pmf* hypergeometricHelper(MovraObject* obj, Int N, Int K, Int n, const Real* logFactorialArray);
Pmf* hypergeometric(MovraObject* obj, Int N, Int K, Int n);
Pmf* multivariateHypergeometricLayer(MovraObject* obj, Int N, Int n, Int d, const Int* b,
                                     const Real* logFactorialArray);
Pmf* multivariateHypergeometric(MovraObject* obj, Int N, Int n, Int d, IntArray* b);
