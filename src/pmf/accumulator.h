// Accumulators collect weighted outcomes and turn them into normalised PMFs: weights not
// greater than 0 are ignored, weights above 1 count as 1, weights for one outcome add up,
// and toPmf trims zero ends and divides by the collected total. Their windows are scratch
// heap memory owned by the accumulator (released by its destructor, also while an
// exception unwinds); only the finished PMF goes into the instance's arena.
#pragma once
#include <cstdarg>
#include <cstring>
#include <utility>

#include "../runtime/scratch.h"
#include "pmf.h"
#include "scaled_add.h"

namespace movra {

// Heap scratch of one accumulator tree (its windows and children), bounded as a whole by
// the per-block cap: a conversion or a map costs what its dense PMF costs, and an absurd
// range of values is refused with "Out of memory" instead of taking the machine.
class ScratchBudget {
public:
    void charge(int64_t bytes) {
        if (bytes > int64_t(kMaxBlockBytes) - used_) fail(msg::OutOfMemory);
        used_ += bytes;
    }
    void credit(int64_t bytes) { used_ -= bytes; }
    int64_t used() const { return used_; }

private:
    int64_t used_ = 0;  // bytes held by the tree's windows and children
};

class Accumulator {
public:
    MovraObject* obj;  // arena that receives the PMFs made by toPmf
    // Total weight this accumulator had collected in its kept range at its most recent
    // simple or joint toPmf, before normalisation (0 before the first); a joint parent
    // reads its child's right after converting it.
    Real sum = 0.0;

    // budget: the tree's shared budget (children); null for a root, which keeps its own.
    explicit Accumulator(MovraObject* _obj, ScratchBudget* budget = nullptr)
        : obj(_obj), budget_(budget != nullptr ? budget : &ownBudget_) {}
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

protected:
    ScratchBudget* budget() const { return budget_; }

private:
    ScratchBudget ownBudget_;
    ScratchBudget* budget_;  // &ownBudget_, or the root's
};

// The window-growth rule shared by the simple and joint accumulators: the new window
// covering v (v >= 0, outside the current window). Computed in 64 bits; the window never
// extends past the largest Int, so offset + length always fits in 64 bits.
void growWindow(int32_t offset, int32_t length, Int v, int32_t& newOffset, int32_t& newLength);

// What toPmf keeps of weights w[0 .. n): the first and last other than 0 (false when
// every one is 0); and the normalisation, each divided by the total added up from the
// first (which it returns). Shared with the maps that keep their weights in scratch.
bool keptRange(const Real* w, Int n, Int& lo, Int& hi);
Real normaliseWeights(Real* w, Int n);

// The stretch of a simple PMF from its first to its last probability greater than 0, in
// the form a map adds it, scaled, into consecutive slots of one window. An entry that is
// negative or not a number makes the run irregular; it is then put entry by entry.
struct PmfRun {
    const Real* p = nullptr;  // p[k]: probability of the value first + k
    Int first = 0;            // smallest value of probability > 0
    Int count = 0;            // 0 when no probability is > 0
    Real peak = 0.0;          // the largest p[k]
    bool regular = true;      // every p[k] is >= 0

    // The run of probabilities e[0 .. length) of the values offset, offset + 1, ...
    static inline PmfRun of(const Real* e, Int offset, Int length);
    static PmfRun of(Pmf* simple) {
        return of(simple->simple.elements, simple->simple.offset, simple->simple.length);
    }
};

// Inline: a run returned from a call comes back through memory, and the caller's wide
// loads of it then stall on the callee's narrow stores.
inline PmfRun PmfRun::of(const Real* e, Int offset, Int length) {
    PmfRun run;
    Int lo = 0, hi = length - 1;
    while (lo <= hi && !(e[lo] > 0)) lo++;
    if (lo > hi) return run;
    while (!(e[hi] > 0)) hi--;
    Real peak = 0;
    bool regular = true;
    for (Int k = lo; k <= hi; k++) {
        regular &= e[k] >= 0;
        peak = e[k] > peak ? e[k] : peak;
    }
    run.p = e + lo;
    run.first = offset + lo;
    run.count = hi - lo + 1;
    run.peak = peak;
    run.regular = regular;
    return run;
}

// Runs formed on first use, one per index 0 .. n - 1: the per-index cache of the maps
// (the distributions of one step that depend on one index alone, such as Binomial(d, r)
// per d or relabel(z) per z).
class RunCache {
public:
    // n indices, none formed.
    void reset(int64_t n) {
        runs_.reset(n);
        formed_.reset(n);
    }
    // Every index unformed again, keeping the buffers.
    void forget() { std::memset(formed_.get(), 0, size_t(formed_.size())); }
    // The run of i; form(i) makes it the first time (a failure leaves i unformed).
    template <class Form>
    const PmfRun& at(int64_t i, Form&& form) {
        if (!formed_[i]) {
            runs_[i] = form(i);
            formed_[i] = 1;
        }
        return runs_[i];
    }

private:
    ScratchBuffer<PmfRun> runs_;
    ScratchBuffer<uint8_t> formed_;  // formed_[i]: runs_[i] holds i's run
};

// A simple PMF in scratch: what SimpleAccumulator::toPmf makes, for the intermediate
// results of one computation, which need no arena block.
struct ScratchPmf {
    ScratchBuffer<Real> elements;  // elements[k]: probability of offset + k, k < length
    Int offset = 0;
    Int length = 0;

    PmfRun run() const { return PmfRun::of(elements.get(), offset, length); }
};

class SimpleAccumulator : public Accumulator {
public:
    Int offset;  // value of elements[0]; never negative
    Int length;  // slots of the window; 0 until the first value is put or reserved
    // Weights per value offset + k for k < length; every slot beyond is 0.
    ScratchBuffer<Real> elements;

    explicit SimpleAccumulator(MovraObject* _obj, ScratchBudget* budget = nullptr)
        : Accumulator(_obj, budget), offset(0), length(0) {}
    // True until the first weight greater than 0 is put.
    Boolean isEmpty() override { return !received_; }
    // Back to no weights at all, keeping the window and its buffer for the next puts.
    void clear();
    // An empty accumulator's window becomes lo .. hi (0 <= lo <= hi, fewer than 2**31
    // values; otherwise nothing changes), where the caller expects its puts: none of them
    // then widens it. Puts nothing.
    void reserve(Int lo, Int hi);
    SimpleAccumulator* putSingle(Real probability, Int value) override {
        if (probability <= 0) return this;
        Real w = clampWeight(probability);
        // Fast path: inside the window (the common case in the model maps).
        if (value >= offset && int64_t(value) - offset < length) {
            elements[value - offset] += w;
            received_ = true;
            return this;
        }
        widenAndAdd(w, value);
        return this;
    }
    // putSingle(scale * run.p[k], run.first + shift + k) for every k, in one pass over
    // consecutive slots: each slot receives the same weight as there, so its sum keeps
    // its order of additions. Zero entries add 0, which leaves a slot as it was.
    void putScaled(Real scale, const PmfRun& run, int64_t shift = 0) {
        if (!run.regular) return putEach(scale, run, shift);
        if (!(scale * run.peak > 0)) return;  // no weight > 0: nothing changes
        const int64_t lo = int64_t(run.first) + shift, hi = lo + run.count - 1;
        if (lo < offset || hi >= int64_t(offset) + length) {
            if (lo < 0 || hi > INT32_MAX) return putEach(scale, run, shift);
            widenTo(Int(lo), Int(hi));
        }
        received_ = true;
        addScaled(elements.get() + (lo - offset), scale, run.p, run.count);
    }
    // putScaled of a regular run whose values all lie in the window (reserve made sure
    // of it), with N values known when compiled (0: run.count of them).
    template <int N>
    void putScaledInside(Real scale, const PmfRun& run, int64_t shift) {
        if (!(scale * run.peak > 0)) return;
        received_ = true;
        Real* const slot = elements.get() + (int64_t(run.first) + shift - offset);
        // Short puts overlap the one before at shifted slots (long ones do not meet its
        // stores still in flight).
        addScaled<N, (N > 0)>(slot, scale, run.p, run.count);
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;
    // toPmf into out instead of the arena (out's buffer reused when large enough).
    void toScratch(ScratchPmf& out);

private:
    // The first and last slot holding a weight other than 0 ("Empty pmf" when nothing
    // was put); false when every slot is 0.
    bool keptRange(int64_t& minValue, int64_t& maxValue);
    void widenAndAdd(Real w, Int value);
    // Makes the window cover lo .. hi (0 <= lo <= hi).
    void widenTo(Int lo, Int hi);
    void putEach(Real scale, const PmfRun& run, int64_t shift);
    // Replaces the window by newLength zero slots from newOffset, keeping the old slots.
    void rewindow(int32_t newOffset, int32_t newLength);
    bool received_ = false;  // a weight greater than 0 was put
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
