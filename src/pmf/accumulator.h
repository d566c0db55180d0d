// Accumulators collect weighted outcomes and turn them into normalised PMFs: weights not
// greater than 0 are ignored, weights above 1 count as 1, weights for one outcome add up,
// and toPmf trims zero ends and divides by the collected total. Their windows are scratch
// heap memory owned by the accumulator (released by its destructor, also while an
// exception unwinds); only the finished PMF goes into the instance's arena.
#pragma once
#include <cstdarg>
#include <utility>

#include "../runtime/scratch.h"
#include "pmf.h"

namespace movra {

class Accumulator {
public:
    MovraObject* obj;  // arena that receives the PMFs made by toPmf
    // Total weight collected by the most recent simple or joint toPmf, before
    // normalisation; the joint conversion reads it right after converting each child.
    // One per thread, since models compute on several threads at once (a stopgap until
    // the total travels with the PMF).
    static thread_local Real sum;

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

// Weights not greater than 0 are ignored by the callers; above 1 they count as 1.
inline Real clampWeight(Real probability) { return probability > 1.0 ? 1.0 : probability; }

class SimpleAccumulator : public Accumulator {
public:
    Int offset;       // value of elements[0]; never negative
    Int length;       // slots in elements; 0 until the first value is put
    ScratchBuffer<Real> elements;  // weights per value offset + k; empty until the first value

    explicit SimpleAccumulator(MovraObject* _obj) : Accumulator(_obj), offset(0), length(0) {}
    Boolean isEmpty() override { return !elements; }
    SimpleAccumulator* putSingle(Real probability, Int value) override {
        if (probability <= 0) return this;
        Real w = clampWeight(probability);
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

// The children of a joint or compound accumulator, owned by the window that holds them:
// a child is deleted with its window, also when the parent's constructor or a put fails.
class ChildAccumulators {
public:
    ChildAccumulators() = default;
    ~ChildAccumulators() { clear(); }
    ChildAccumulators(const ChildAccumulators&) = delete;
    ChildAccumulators& operator=(const ChildAccumulators&) = delete;

    // count null slots, no child.
    void reset(int64_t count) {
        ScratchBuffer<Accumulator*> fresh(count);
        clear();
        slots_ = std::move(fresh);
    }
    // A window of newCount slots whose slot k + shift holds the child of old slot k.
    void widen(int64_t newCount, int64_t shift) {
        ScratchBuffer<Accumulator*> fresh(newCount);
        for (int64_t k = 0; k < slots_.size(); k++) fresh[k + shift] = slots_[k];
        slots_ = std::move(fresh);  // the old array goes with `fresh`; its children stay
    }
    Accumulator*& operator[](int64_t k) const { return slots_[k]; }
    int64_t size() const { return slots_.size(); }
    explicit operator bool() const { return bool(slots_); }

private:
    void clear() {
        for (int64_t k = 0; k < slots_.size(); k++) delete slots_[k];
    }
    ScratchBuffer<Accumulator*> slots_;
};

}  // namespace movra
