#include "convolution.h"

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "accumulator.h"
#include "sampling_stack.h"

namespace movra {

Pmf* convolution(MovraObject* obj, Pmf* p1, Pmf* p2) {
    SamplingStack stack(2);
    SimpleAccumulator acc(obj);
    for (Int i = 0; i < p1->simple.length; i++) {
        Real prob_x = p1->simple.elements[i];
        if (!(prob_x > 0)) continue;
        const int64_t x = int64_t(p1->simple.offset) + i;
        stack.set(0, prob_x);
        for (Int j = 0; j < p2->simple.length; j++) {
            Real prob_y = p2->simple.elements[j];
            if (!(prob_y > 0)) continue;
            stack.branch(1, prob_y);
            int64_t sum = x + p2->simple.offset + j;
            if (sum > INT32_MAX) fail(msg::OutOfMemory);
            acc.putSingle(stack.branchProbability(1), Int(sum));
        }
    }
    return acc.toPmf();
}

}  // namespace movra
