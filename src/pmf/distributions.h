// Standard discrete distributions, each built as a new PMF in the instance's arena. Every
// value of a support range is stored, also where the probability underflows to 0; scratch
// tables are heap memory owned by ScratchBuffer and released within the call.
#pragma once
#include "../runtime/scratch.h"
#include "pmf.h"

namespace movra {

Pmf* bernoulli(MovraObject* obj, Real p);
Pmf* binomial(MovraObject* obj, Int n, Real p);
Pmf* multinomial(MovraObject* obj, Int n, Int k, Pmf* p);
Pmf* multinomialLayer(MovraObject* obj, Int n, Int k, const Real* gamma);
// N + 1 entries, entry i = log(i!).
ScratchBuffer<Real> createLogFactorialArrayForHypergeometric(Int N);
Pmf* hypergeometricHelper(MovraObject* obj, Int N, Int K, Int n, const Real* logFactorialArray);
Pmf* hypergeometric(MovraObject* obj, Int N, Int K, Int n);
Pmf* multivariateHypergeometricLayer(MovraObject* obj, Int N, Int n, Int d, const Int* b,
                                     const Real* logFactorialArray);

// Binomial(d, p) for d = 0, 1, ... with one p, each formed on first use: the completions
// of a step that are routed to one destination.
class BinomialMemo {
public:
    BinomialMemo(MovraObject* obj, Real p) : obj_(obj), p_(p) {}
    Pmf* forTrials(Int d);  // d >= 0

private:
    MovraObject* obj_;
    Real p_;
    ScratchBuffer<Pmf*> byTrials_;
};

}  // namespace movra
