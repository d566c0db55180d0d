// Distributions whose parameters arrive as a container: the multivariate hypergeometric
// PMF over the categories of an IntArray.
#pragma once
#include "arrays.h"

namespace movra {

// Joint PMF of depth d of the draws per category when n of N items are drawn without
// replacement from d categories of the sizes in b (summing to N).
Pmf* multivariateHypergeometric(MovraObject* obj, Int N, Int n, Int d, IntArray* b);

}  // namespace movra
