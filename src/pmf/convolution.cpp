#include "convolution.h"

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void convolve(const PmfRun& p1, const PmfRun& p2, SimpleAccumulator& acc) {
    for (Int i = 0; i < p1.count; i++) {
        Real prob_x = p1.p[i];
        if (!(prob_x > 0)) continue;
        const int64_t x = int64_t(p1.first) + i;
        if (p2.count > 0 && x + p2.first + p2.count - 1 > INT32_MAX) fail(msg::OutOfMemory);
        // weight p(x) * p(y) at x + y for every y
        acc.putScaled(prob_x, p2, x);
    }
}

Pmf* convolution(MovraObject* obj, Pmf* p1, Pmf* p2) {
    SimpleAccumulator acc(obj);
    convolve(PmfRun::of(p1), PmfRun::of(p2), acc);
    return acc.toPmf();
}

}  // namespace movra
