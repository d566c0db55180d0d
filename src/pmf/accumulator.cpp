#include "accumulator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/varargs.h"

namespace movra {

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
    const int64_t shift = int64_t(offset) - newOffset;  // old slot k goes to k + shift
    const size_t kept = size_t(length) * sizeof(Real);
    if (newLength <= elements.size()) {
        // Within the buffer: move the slots up and zero the ones they leave.
        Real* e = elements.get();
        if (length > 0 && shift > 0) {
            std::memmove(e + shift, e, kept);
            std::memset(e, 0, size_t(std::min<int64_t>(shift, length)) * sizeof(Real));
        }
    } else {
        const int64_t bytes = int64_t(newLength) * int64_t(sizeof(Real));
        budget()->charge(bytes);
        ScratchBuffer<Real> buffer;
        buffer.bind(elements.boundCache());
        try {
            buffer.reset(newLength);
        } catch (...) {
            budget()->credit(bytes);
            throw;
        }
        if (length > 0) std::memcpy(buffer.get() + shift, elements.get(), kept);
        budget()->credit(elements.size() * int64_t(sizeof(Real)));
        elements = std::move(buffer);
    }
    offset = newOffset;
    length = newLength;
}

void SimpleAccumulator::clear() {
    if (length > 0) std::memset(elements.get(), 0, size_t(length) * sizeof(Real));
    received_ = false;
}

void SimpleAccumulator::reserve(Int lo, Int hi) {
    // A window of more slots than an Int counts is left to the puts, which refuse it.
    if (received_ || lo < 0 || hi < lo || int64_t(hi) - lo + 1 > INT32_MAX) return;
    length = 0;  // every slot is 0: nothing to keep
    rewindow(lo, hi - lo + 1);
}

void SimpleAccumulator::widenAndAdd(Real w, Int value) {
    if (value < offset && value < 0) fail(msg::NegativeInSupport);
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    rewindow(newOffset, newLength);
    elements[value - offset] += w;
    received_ = true;
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

bool keptRange(const Real* w, Int n, Int& lo, Int& hi) {
    lo = 0;
    hi = n - 1;
    while (lo <= hi && w[lo] == 0) lo++;
    while (lo <= hi && w[hi] == 0) hi--;
    return lo <= hi;
}

Real normaliseWeights(Real* w, Int n) {
    Real total = 0;
    for (Int k = 0; k < n; k++) total += w[k];
    for (Int k = 0; k < n; k++) w[k] = w[k] / total;
    return total;
}

bool SimpleAccumulator::keptRange(int64_t& minValue, int64_t& maxValue) {
    if (!received_) fail(msg::EmptyPmf);
    Int lo, hi;
    const bool any = movra::keptRange(elements.get(), length, lo, hi);
    minValue = int64_t(offset) + lo;
    maxValue = int64_t(offset) + hi;
    return any;
}

Pmf* SimpleAccumulator::toPmf() {
    int64_t minValue, maxValue;
    if (!keptRange(minValue, maxValue)) {
        sum = 0.0;
        return allocateSimplePmf(obj, 0, 0);
    }
    Int n = Int(maxValue - minValue + 1);
    Pmf* pmf = allocateSimplePmf(obj, Int(minValue), n);
    Real* out = pmf->simple.elements;
    std::memcpy(out, elements.get() + (minValue - offset), size_t(n) * sizeof(Real));
    sum = normaliseWeights(out, n);
    return pmf;
}

void SimpleAccumulator::toScratch(ScratchPmf& out) {
    int64_t minValue, maxValue;
    if (!keptRange(minValue, maxValue)) {
        sum = 0.0;
        out.offset = out.length = 0;
        return;
    }
    Int n = Int(maxValue - minValue + 1);
    if (out.elements.size() < n) out.elements.reset(std::max<int64_t>(n, 2 * out.elements.size()));
    std::memcpy(out.elements.get(), elements.get() + (minValue - offset), size_t(n) * sizeof(Real));
    out.offset = Int(minValue);
    out.length = n;
    sum = normaliseWeights(out.elements.get(), n);
}

}  // namespace movra
