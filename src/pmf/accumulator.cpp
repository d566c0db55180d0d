#include "accumulator.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/varargs.h"

namespace movra {

thread_local Real Accumulator::sum = 0.0;

Accumulator* Accumulator::putSingle(Real, Int) { failInternal(); }

Accumulator* Accumulator::putDouble(Real, Int, Int) { failInternal(); }

Accumulator* Accumulator::put(Real probability, ...) {
    if (probability <= 0) return this;
    va_list args;
    va_start(args, probability);
    VaListGuard guard{args};
    vput(clampWeight(probability), args);
    return this;
}

Pmf* Accumulator::toPmfAndDelete() {
    Pmf* pmf;
    try {
        pmf = toPmf();
    } catch (...) {
        delete this;
        throw;
    }
    delete this;
    return pmf;
}

void growWindow(int32_t offset, int32_t length, Int v, int32_t& newOffset, int32_t& newLength) {
    int64_t o, n;
    if (length == 0) {
        o = v;
        n = 1;
    } else if (v < offset) {
        int64_t end = int64_t(offset) + length;
        n = 2 * (end - v);
        o = end - n;
        if (o < 0) o = 0;
    } else {
        o = offset;
        n = 2 * (int64_t(v) - offset) + 2;
    }
    // Values never exceed the largest Int, so neither does the window.
    int64_t cap = int64_t(INT32_MAX) - o + 1;
    if (n > cap) n = cap;
    // A window of more slots than an Int counts could never be allocated anyway.
    if (n > INT32_MAX) fail(msg::OutOfMemory);
    newOffset = int32_t(o);
    newLength = int32_t(n);
}

void SimpleAccumulator::widenAndAdd(Real w, Int value) {
    if (value < offset && value < 0) fail(msg::NegativeInSupport);
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    ScratchBuffer<Real> buffer(newLength);
    if (elements)
        std::memcpy(buffer.get() + (offset - newOffset), elements.get(), size_t(length) * sizeof(Real));
    elements = std::move(buffer);
    offset = newOffset;
    length = newLength;
    elements[value - offset] += w;
}

Accumulator* SimpleAccumulator::vput(Real probability, va_list& valist) {
    Int value = va_arg(valist, Int);
    return putSingle(probability, value);
}

Pmf* SimpleAccumulator::toPmf() {
    if (length == 0) fail(msg::EmptyPmf);
    int64_t minValue = offset, maxValue = int64_t(offset) + length - 1;
    while (minValue <= maxValue && elements[minValue - offset] == 0) minValue++;
    while (minValue <= maxValue && elements[maxValue - offset] == 0) maxValue--;
    if (minValue > maxValue) {
        sum = 0.0;
        return allocateSimplePmf(obj, 0, 0);
    }
    Int n = Int(maxValue - minValue + 1);
    Pmf* pmf = allocateSimplePmf(obj, Int(minValue), n);
    Real* out = pmf->simple.elements;
    std::memcpy(out, elements.get() + (minValue - offset), size_t(n) * sizeof(Real));
    Real total = 0;
    for (Int k = 0; k < n; k++) total += out[k];
    sum = total;
    for (Int k = 0; k < n; k++) out[k] = out[k] / total;
    return pmf;
}

}  // namespace movra
