#include "compound_accumulator.h"

#include <new>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

CompoundAccumulator::CompoundAccumulator(MovraObject* _obj, PmfConfig* _pmfConfig)
    : Accumulator(_obj), pmfConfig(_pmfConfig) {
    int32_t n = pmfConfig->compound.length;
    elements.reset(n);
    for (int32_t i = 0; i < n; i++) {
        int32_t d = pmfConfig->compound.depths[i];
        Accumulator* child =
            d == 1 ? static_cast<Accumulator*>(new (std::nothrow) SimpleAccumulator(obj))
                   : static_cast<Accumulator*>(new (std::nothrow) JointAccumulator(obj, d));
        if (child == nullptr) fail(msg::OutOfMemory);
        elements[i] = child;
    }
}

Accumulator* CompoundAccumulator::vput(Real probability, va_list& valist) {
    for (int32_t i = 0; i < pmfConfig->compound.length; i++) elements[i]->vput(probability, valist);
    return this;
}

Pmf* CompoundAccumulator::toPmf() {
    if (isEmpty()) fail(msg::EmptyPmf);
    Pmf* pmf = allocateCompoundPmf(obj, pmfConfig->compound.length);
    for (int32_t i = 0; i < pmfConfig->compound.length; i++) {
        pmf->compound.elements[i] = elements[i]->toPmf();
        sum = elements[i]->sum;  // the last component's total, in the end
    }
    return pmf;
}

}  // namespace movra
