#include "accumulator.h"

#include <cstdlib>
#include <cstring>

#include "../runtime/error.h"
#include "../runtime/messages.h"

Real Accumulator::sum = 0.0;

Accumulator* Accumulator::putSingle(Real, Int) { abortInternal(); }

Accumulator* Accumulator::putDouble(Real, Int, Int) { abortInternal(); }

Accumulator* Accumulator::put(Real probability, ...) {
    if (probability <= 0) return this;
    va_list args;
    va_start(args, probability);
    try {
        vput(probability > 1.0 ? 1.0 : probability, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
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
    if (n > INT32_MAX) abort(msg::OutOfMemory);
    newOffset = int32_t(o);
    newLength = int32_t(n);
}

void* allocateScratch(int64_t count, size_t elementSize) {
    if (count < 0 || uint64_t(count) > kMaxBlockBytes / elementSize) abort(msg::OutOfMemory);
    void* p = std::calloc(size_t(count) > 0 ? size_t(count) : 1, elementSize);
    if (p == nullptr) abort(msg::OutOfMemory);
    return p;
}

SimpleAccumulator::~SimpleAccumulator() { std::free(elements); }

void SimpleAccumulator::widenAndAdd(Real w, Int value) {
    if (value < offset && value < 0) abort(msg::NegativeInSupport);
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    Real* buffer = static_cast<Real*>(allocateScratch(newLength, sizeof(Real)));
    if (elements != nullptr) {
        std::memcpy(buffer + (offset - newOffset), elements, size_t(length) * sizeof(Real));
        std::free(elements);
    }
    elements = buffer;
    offset = newOffset;
    length = newLength;
    elements[value - offset] += w;
}

Accumulator* SimpleAccumulator::vput(Real probability, va_list& valist) {
    Int value = va_arg(valist, Int);
    return putSingle(probability, value);
}

Pmf* SimpleAccumulator::toPmf() {
    if (length == 0) abort(msg::EmptyPmf);
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
    std::memcpy(out, elements + (minValue - offset), size_t(n) * sizeof(Real));
    Real total = 0;
    for (Int k = 0; k < n; k++) total += out[k];
    sum = total;
    for (Int k = 0; k < n; k++) out[k] = out[k] / total;
    return pmf;
}
