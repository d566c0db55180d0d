#include "accumulator.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/varargs.h"

namespace movra {

PmfRun PmfRun::of(const Real* e, Int offset, Int length) {
    PmfRun run;
    Int lo = 0, hi = length - 1;
    while (lo <= hi && !(e[lo] > 0)) lo++;
    while (hi >= lo && !(e[hi] > 0)) hi--;
    if (lo > hi) return run;
    run.p = e + lo;
    run.first = offset + lo;
    run.count = hi - lo + 1;
    for (Int k = 0; k < run.count; k++) {
        if (!(run.p[k] >= 0)) run.regular = false;
        if (run.p[k] > run.peak) run.peak = run.p[k];
    }
    return run;
}

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

void SimpleAccumulator::rewindow(int32_t newOffset, int32_t newLength) {
    budget()->charge(int64_t(newLength) * int64_t(sizeof(Real)));
    ScratchBuffer<Real> buffer;
    try {
        buffer.reset(newLength);
    } catch (...) {
        budget()->credit(int64_t(newLength) * int64_t(sizeof(Real)));
        throw;
    }
    if (elements)
        std::memcpy(buffer.get() + (offset - newOffset), elements.get(), size_t(length) * sizeof(Real));
    budget()->credit(int64_t(length) * int64_t(sizeof(Real)));
    elements = std::move(buffer);
    offset = newOffset;
    length = newLength;
}

void SimpleAccumulator::widenAndAdd(Real w, Int value) {
    if (value < offset && value < 0) fail(msg::NegativeInSupport);
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    rewindow(newOffset, newLength);
    elements[value - offset] += w;
}

void SimpleAccumulator::widenTo(Int lo, Int hi) {
    if (length == 0) return rewindow(lo, hi - lo + 1);
    // The growth rule applied for each end in turn, then one new buffer.
    int32_t o = offset, n = length;
    if (lo < o) growWindow(o, n, lo, o, n);
    if (int64_t(hi) >= int64_t(o) + n) growWindow(o, n, hi, o, n);
    rewindow(o, n);
}

void SimpleAccumulator::putEach(Real scale, const PmfRun& run, int64_t shift) {
    for (Int k = 0; k < run.count; k++) {
        if (!(run.p[k] > 0)) continue;
        int64_t value = int64_t(run.first) + shift + k;
        if (value > INT32_MAX) fail(msg::OutOfMemory);  // not representable as an Int
        putSingle(scale * run.p[k], Int(value));
    }
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
