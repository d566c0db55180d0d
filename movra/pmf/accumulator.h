// Accumulators collect weighted outcomes and turn them into normalised PMFs: weights not
// greater than 0 are ignored, weights above 1 count as 1, weights for one outcome add up,
// and toPmf trims zero ends and divides by the collected total. Their windows are scratch
// heap memory owned by the accumulator (released by its destructor, also while an
// exception unwinds); only the finished PMF goes into the instance's arena.
#pragma once
#include <cstdarg>

#include "pmf.h"

class Accumulator {
public:
    MovraObject* obj;  // arena that receives the PMFs made by toPmf
    // Total weight collected by the most recent simple or joint toPmf, before
    // normalisation; the joint conversion reads it right after converting each child.
    static Real sum;

    explicit Accumulator(MovraObject* _obj) : obj(_obj) {}
    virtual ~Accumulator() {}
    virtual Boolean isEmpty() = 0;
    virtual Accumulator* putSingle(Real probability, Int value);
    virtual Accumulator* putDouble(Real probability, Int value1, Int value2);
    virtual Accumulator* put(Real probability, ...);
    virtual Accumulator* vput(Real probability, va_list& valist) = 0;
    virtual Pmf* toPmf() = 0;
    Pmf* toPmfAndDelete();

    Accumulator(const Accumulator&) = delete;
    Accumulator& operator=(const Accumulator&) = delete;
};

// The window-growth rule shared by the simple and joint accumulators: the new window
// covering v (v >= 0, outside the current window). Computed in 64 bits; the window never
// extends past the largest Int, so offset + length always fits in 64 bits.
void growWindow(int32_t offset, int32_t length, Int v, int32_t& newOffset, int32_t& newLength);

// Zero-filled scratch buffer of count elements, or "Out of memory".
void* allocateScratch(int64_t count, size_t elementSize);

class SimpleAccumulator : public Accumulator {
public:
    Int offset;       // value of elements[0]; never negative
    Int length;       // slots in elements; 0 until the first value is put
    Real* elements;   // weights per value offset + k; null until the first value

    explicit SimpleAccumulator(MovraObject* _obj)
        : Accumulator(_obj), offset(0), length(0), elements(nullptr) {}
    ~SimpleAccumulator() override;
    Boolean isEmpty() override { return elements == nullptr; }
    SimpleAccumulator* putSingle(Real probability, Int value) override {
        if (probability <= 0) return this;
        Real w = probability > 1.0 ? 1.0 : probability;
        // Fast path: inside the window (the common case in the model maps).
        if (value >= offset && int64_t(value) - offset < length) {
            elements[value - offset] += w;
            return this;
        }
        widenAndAdd(w, value);
        return this;
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;

private:
    void widenAndAdd(Real w, Int value);
};
