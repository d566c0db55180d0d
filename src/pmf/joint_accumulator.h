// Accumulators of tuples. JointAccumulator is a tree with one child per value of the
// first component that received a weight (SimpleAccumulator at depth 2, JointAccumulator
// of depth - 1 deeper); its marginal comes from the totals the children collected.
// JointGridAccumulator is the depth-2 case over a rectangle of values known in advance,
// one dense matrix, for the maps. Children are owned by their parent and destroyed with
// it; the scratch of a whole tree is bounded by one budget (ScratchBudget).
#pragma once
#include "accumulator.h"

namespace movra {

class JointAccumulator : public Accumulator {
public:
    int32_t depth;   // components of an outcome; at least 2
    int32_t offset;  // first-component value of elements[0]; never negative
    int32_t length;  // slots; 0 until the first value is included
    // Child per first-component value; null where no value was put (yet).
    ChildAccumulators elements;

    JointAccumulator(MovraObject* _obj, int _depth, ScratchBudget* budget = nullptr)
        : Accumulator(_obj, budget), depth(_depth), offset(0), length(0) {}
    Boolean isEmpty() override { return !elements; }
    // Makes the window cover value; new slots hold no child.
    void include(Int value);
    // The child of value (depth - 1 components), window widened and child made if needed.
    Accumulator* child(Int value) {
        include(value);
        Accumulator*& slot = elements[value - offset];
        if (slot == nullptr) slot = makeChild();
        return slot;
    }
    JointAccumulator* putDouble(Real probability, Int value1, Int value2) override {
        if (probability <= 0) return this;
        if (depth != 2) {
            include(value1);
            failInternal();
        }
        childOf(value1)->SimpleAccumulator::putSingle(clampWeight(probability), value2);
        return this;
    }
    // The child of value1 in a depth-2 accumulator: a map that puts several weights with
    // one first component reaches the child once.
    SimpleAccumulator* childOf(Int value1) {
        if (depth != 2) {
            include(value1);
            failInternal();
        }
        // Children of a depth-2 accumulator are simple.
        return static_cast<SimpleAccumulator*>(child(value1));
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;

private:
    Accumulator* makeChild();
};

// A depth-2 joint accumulator whose first values lie in rowLo .. rowHi and second values
// in colLo .. colHi, both fixed when it is made: one zero-filled matrix, one row per first
// value. toPmf gives exactly what a JointAccumulator given the same puts would give.
class JointGridAccumulator : public Accumulator {
public:
    // Refuses a matrix beyond the per-block cap with "Out of memory".
    JointGridAccumulator(MovraObject* _obj, Int rowLo, Int rowHi, Int colLo, Int colHi,
                         ScratchCache* scratch = nullptr);
    Boolean isEmpty() override;
    JointGridAccumulator* putDouble(Real probability, Int value1, Int value2) override;
    // putDouble(scale * run.p[k], row, run.first + k) for every k, in one pass. The
    // run's values must lie in colLo .. colHi and row in rowLo .. rowHi.
    void putScaled(Int row, Real scale, const PmfRun& run) {
        if (!run.regular) return putEach(row, scale, run);
        if (!(scale * run.peak > 0)) return;  // no weight > 0: the row stays as it was
        addScaled(fill(row) + (run.first - colLo_), scale, run.p, run.count);
    }
    // putScaled(row, scale0, run0), then putScaled(row, scale1, run1), in one pass: for
    // two runs over the same values (the same first and count), each slot still takes
    // run0's weight first.
    void putScaledPair(Int row, Real scale0, const PmfRun& run0, Real scale1, const PmfRun& run1) {
        if (!run0.regular || !run1.regular || !(scale0 * run0.peak > 0) ||
            !(scale1 * run1.peak > 0)) {
            putScaled(row, scale0, run0);
            putScaled(row, scale1, run1);
            return;
        }
        addScaledPair(fill(row) + (run0.first - colLo_), scale0, run0.p, scale1, run1.p,
                      run0.count);
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;
    // toPmf of the rows lo .. hi alone (within rowLo .. rowHi): what a grid of those rows
    // given the same puts into them would make.
    Pmf* toPmf(Int lo, Int hi);

    // The matrix itself, for a map's own put loops: row rowLo + r starts at
    // cells + r * cols. Weights added as putScaled adds them give the same sums; weights
    // of 0 may be added too (they change nothing), never negative ones.
    struct Cells {
        Real* cells;
        Int rowLo, colLo;
        int64_t cols;
    };
    Cells direct() { return Cells{cells_, rowLo_, colLo_, cols_}; }

private:
    // The cells of row, which is about to receive a weight > 0.
    Real* fill(Int row) { return cells_ + (int64_t(row) - rowLo_) * cols_; }
    // Whether row rowLo + r received a weight > 0: weights are never negative, so such a
    // row, and only such a row, holds a cell other than 0.
    bool filled(int64_t r) const;
    void putEach(Int row, Real scale, const PmfRun& run);
    Int rowLo_, colLo_;
    int64_t rows_, cols_;
    // The cells, then one flag per row, in one buffer.
    ScratchBuffer<Real> buffer_;
    Real* cells_;  // cells_[r * cols_ + c]: weight of (rowLo + r, colLo + c)
};

}  // namespace movra
