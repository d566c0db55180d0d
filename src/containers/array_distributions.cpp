#include "array_distributions.h"

#include "../pmf/multinomial_hypergeometric.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

Pmf* multivariateHypergeometric(MovraObject* obj, Int N, Int n, Int d, IntArray* b) {
    if (n < 0 || n > N || b == nullptr || b->length != d || d < 1)
        fail(msg::InvalidMultivariateHypergeometric);
    for (Int i = 0; i < d; i++)
        if (b->elements[i] < 0) fail(msg::InvalidMultivariateHypergeometric);
    // Summed in 64 bits: a 32-bit total could wrap around to N.
    int64_t total = 0;
    for (Int i = 0; i < d; i++) total += b->elements[i];
    if (total != N) fail(msg::InvalidMultivariateHypergeometric);
    ScratchBuffer<Real> table = createLogFactorialArrayForHypergeometric(N);
    return multivariateHypergeometricLayer(obj, N, n, d, b->elements, table.get());
}

}  // namespace movra
