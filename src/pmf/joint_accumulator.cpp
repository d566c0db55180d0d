#include "joint_accumulator.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void JointAccumulator::include(Int value) {
    if (value < offset && value < 0) fail(msg::NegativeSample);
    if (length > 0 && value >= offset && int64_t(value) - offset < length) return;
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    // Every slot gets a child: the window's scratch, children included, must stay within
    // what one block may hold, or an absurd key range would take the machine's memory.
    const size_t slotBytes = sizeof(Accumulator*) +
                             (depth <= 2 ? sizeof(SimpleAccumulator) : sizeof(JointAccumulator));
    if (uint64_t(newLength) > kMaxBlockBytes / slotBytes) fail(msg::OutOfMemory);
    elements.widen(newLength, int64_t(offset) - newOffset);
    offset = newOffset;
    length = newLength;
    for (int32_t k = 0; k < length; k++) {
        if (elements[k] != nullptr) continue;
        Accumulator* child = depth <= 2
            ? static_cast<Accumulator*>(new (std::nothrow) SimpleAccumulator(obj))
            : static_cast<Accumulator*>(new (std::nothrow) JointAccumulator(obj, depth - 1));
        if (child == nullptr) fail(msg::OutOfMemory);
        elements[k] = child;
    }
}

Accumulator* JointAccumulator::vput(Real probability, va_list& valist) {
    if (depth < 2) failInternal();
    if (depth == 2) {
        Int value1 = va_arg(valist, Int);
        Int value2 = va_arg(valist, Int);
        return putDouble(probability, value1, value2);
    }
    JointAccumulator* current = this;
    for (int32_t i = 0; i < depth - 1; i++) {
        Int value = va_arg(valist, Int);
        current->include(value);
        Accumulator* child = current->elements[value - current->offset];
        if (i == depth - 2) {
            child->putSingle(probability, va_arg(valist, Int));
            return this;
        }
        current = static_cast<JointAccumulator*>(child);
    }
    return this;
}

Pmf* JointAccumulator::toPmf() {
    if (length == 0) fail(msg::EmptyPmf);
    int64_t minValue = offset, maxValue = int64_t(offset) + length - 1;
    while (minValue <= maxValue && elements[minValue - offset]->isEmpty()) minValue++;
    while (minValue <= maxValue && elements[maxValue - offset]->isEmpty()) maxValue--;
    if (minValue > maxValue) {
        sum = 0.0;
        return allocateEmptyJointPmf(obj, depth);
    }
    Int n = Int(maxValue - minValue + 1);
    Pmf* marginal = allocateSimplePmf(obj, Int(minValue), n);
    Pmf* jointPmf = allocateJointPmf(obj, marginal, depth);
    for (Int k = 0; k < n; k++) {
        Accumulator* child = elements[minValue - offset + k];
        if (child->isEmpty()) continue;
        jointPmf->joint.elements[k] = child->toPmf();
        marginal->simple.elements[k] = sum;
    }
    Real total = 0;
    for (Int k = 0; k < n; k++) total += marginal->simple.elements[k];
    sum = total;
    for (Int k = 0; k < n; k++) marginal->simple.elements[k] = marginal->simple.elements[k] / total;
    return jointPmf;
}

CompoundAccumulator::CompoundAccumulator(MovraObject* _obj, PmfConfig* _pmfConfig)
    : Accumulator(_obj), pmfConfig(_pmfConfig) {
    int32_t n = pmfConfig->compound.length;
    elements.reset(n);
    for (int32_t i = 0; i < n; i++) {
        int32_t d = pmfConfig->compound.depths[i];
        Accumulator* child = d == 1
            ? static_cast<Accumulator*>(new (std::nothrow) SimpleAccumulator(obj))
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
    for (int32_t i = 0; i < pmfConfig->compound.length; i++) pmf->compound.elements[i] = elements[i]->toPmf();
    return pmf;
}

}  // namespace movra
