#include "sample_enumerator.h"

#include <cstdlib>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

SampleEnumerator::SampleEnumerator(Pmf* pmf) : isPrevious(false), depth(0), level(0) {
    if (pmf->pmfType == SIMPLE)
        depth = 1;
    else if (pmf->pmfType == JOINT)
        depth = pmf->joint.depth;
    else
        failInternal();
    if (depth < 1) failInternal();
    records.reset(int64_t(depth) + 1);
    records[0].probability = 1.0;
    records[0].pmf = pmf;
}

void SampleEnumerator::run() {
    if (level == depth) {
        recordSample();
        return;
    }
    Pmf* P = records[level].pmf;
    if (P == nullptr || P->pmfType == COMPOUND) failInternal();
    Pmf* M = P->pmfType == SIMPLE ? P : P->joint.marginal;
    // A joint record deeper than the outcome depth would overrun the records.
    if (P->pmfType == SIMPLE && level + 1 != depth) failInternal();
    level++;
    const int32_t L = level;
    try {
        for (int32_t i = 0; i < M->simple.length; i++) {
            Real p = M->simple.elements[i];
            if (!(p > 0)) continue;
            records[L].value = M->simple.offset + i;
            records[L].probability = records[L - 1].probability * p;
            if (P->pmfType == JOINT) records[L].pmf = P->joint.elements[i];
            run();
        }
    } catch (...) {
        level = 0;
        throw;
    }
    level--;
}

}  // namespace movra
