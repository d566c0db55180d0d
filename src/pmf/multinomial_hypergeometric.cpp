// The multinomial and hypergeometric families, as arena PMFs. The floating-point
// expressions keep their written order and grouping: do not regroup them.
#include "multinomial_hypergeometric.h"

#include <algorithm>
#include <cmath>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "distributions.h"

namespace movra {

Pmf* multinomial(MovraObject* obj, Int n, Int k, Pmf* p) {
    if (p == nullptr || p->pmfType != SIMPLE || p->simple.offset != 0 || p->simple.length != k ||
        k < 1 || n < 0)
        fail(msg::InvalidMultinomial);
    const Real* probability = p->simple.elements;
    for (Int i = 0; i < k; i++)
        if (!std::isfinite(probability[i])) fail(msg::InvalidMultinomial);

    ScratchBuffer<Real> gamma(k);
    Real r = 1.0;
    for (Int i = 0; i <= k - 2; i++) {
        // Once the leading categories hold all the mass, a category of probability 0 gets
        // none of the remaining trials (0/0 would feed a NaN to binomial).
        gamma[i] = (probability[i] == 0 && r == 0) ? 0.0 : probability[i] / r;
        r = r - probability[i];
    }
    gamma[k - 1] = 1.0;
    return multinomialLayer(obj, n, k, gamma.get());
}

Pmf* multinomialLayer(MovraObject* obj, Int n, Int k, const Real* gamma) {
    if (n < 0 || k < 1) fail(msg::InvalidMultinomial);
    if (k == 1) return createAtomicSimplePmf(obj, n);
    Pmf* marginal = binomial(obj, n, gamma[0]);
    Pmf* joint = allocateJointPmf(obj, marginal, k);
    for (Int i = 0; i < marginal->simple.length; i++) {
        Int v = marginal->simple.offset + i;
        joint->joint.elements[i] = multinomialLayer(obj, n - v, k - 1, gamma + 1);
    }
    return joint;
}

ScratchBuffer<Real> createLogFactorialArrayForHypergeometric(Int N) {
    if (N < 0) fail(msg::InvalidHypergeometric);
    // A table too large for the scratch cap fails with "Out of memory" before any write.
    ScratchBuffer<Real> table(int64_t(N) + 1);
    table[0] = 0;
    for (int64_t i = 1; i <= N; i++) table[i] = table[i - 1] + std::log(Real(i));
    return table;
}

// The range checks keep every table index within 0..N.
Pmf* hypergeometricHelper(MovraObject* obj, Int N, Int K, Int n, const Real* L) {
    if (K < 0 || n < 0 || K > N || n > N) fail(msg::InvalidHypergeometric);
    int64_t lo = std::max<int64_t>(0, int64_t(K) + n - N);
    int64_t hi = std::min(K, n);
    Real c = (L[K] + L[N - K]) - ((L[N] - L[n]) - L[N - n]);
    Pmf* pmf = allocateSupport(obj, lo, hi - lo + 1);
    for (int64_t k = lo; k <= hi; k++)
        pmf->simple.elements[k - lo] =
            std::exp((((c - L[k]) - L[K - k]) - L[n - k]) - L[int64_t(N) - K - n + k]);
    return pmf;
}

Pmf* hypergeometric(MovraObject* obj, Int N, Int K, Int n) {
    if (N < 0 || K < 0 || n < 0 || N < std::max(K, n)) fail(msg::InvalidHypergeometric);
    ScratchBuffer<Real> table = createLogFactorialArrayForHypergeometric(N);
    return hypergeometricHelper(obj, N, K, n, table.get());
}

// b holds d category sizes; the layer reads b[0] .. b[d - 2] only, the last category
// taking whatever draws remain.
Pmf* multivariateHypergeometricLayer(MovraObject* obj, Int N, Int n, Int d, const Int* b,
                                     const Real* L) {
    if (d < 1 || n < 0) fail(msg::InvalidMultivariateHypergeometric);
    if (d == 1) return createAtomicSimplePmf(obj, n);
    Pmf* marginal = hypergeometricHelper(obj, N, b[0], n, L);
    Pmf* joint = allocateJointPmf(obj, marginal, d);
    for (Int i = 0; i < marginal->simple.length; i++) {
        Int v = marginal->simple.offset + i;
        joint->joint.elements[i] =
            multivariateHypergeometricLayer(obj, N - b[0], n - v, d - 1, b + 1, L);
    }
    return joint;
}

}  // namespace movra
