#include "joint_accumulator.h"

#include <cstdlib>
#include <new>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void JointAccumulator::include(Int value) {
    if (value < offset && value < 0) fail(msg::NegativeSample);
    if (length > 0 && value >= offset && int64_t(value) - offset < length) return;
    int32_t newOffset, newLength;
    growWindow(offset, length, value, newOffset, newLength);
    const int64_t bytes = int64_t(newLength) * int64_t(sizeof(Accumulator*));
    budget()->charge(bytes);
    try {
        elements.widen(newLength, int64_t(offset) - newOffset);
    } catch (...) {
        budget()->credit(bytes);
        throw;
    }
    budget()->credit(int64_t(length) * int64_t(sizeof(Accumulator*)));
    offset = newOffset;
    length = newLength;
}

Accumulator* JointAccumulator::makeChild() {
    const int64_t bytes = depth <= 2 ? sizeof(SimpleAccumulator) : sizeof(JointAccumulator);
    budget()->charge(bytes);
    Accumulator* child =
        depth <= 2 ? static_cast<Accumulator*>(new (std::nothrow) SimpleAccumulator(obj, budget()))
                   : static_cast<Accumulator*>(new (std::nothrow)
                                                   JointAccumulator(obj, depth - 1, budget()));
    if (child == nullptr) fail(msg::OutOfMemory);
    return child;
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
        Accumulator* next = current->child(va_arg(valist, Int));
        if (i == depth - 2) {
            next->putSingle(probability, va_arg(valist, Int));
            return this;
        }
        current = static_cast<JointAccumulator*>(next);
    }
    return this;
}

namespace {
bool emptyChild(Accumulator* child) { return child == nullptr || child->isEmpty(); }
}  // namespace

Pmf* JointAccumulator::toPmf() {
    if (length == 0) fail(msg::EmptyPmf);
    int64_t minValue = offset, maxValue = int64_t(offset) + length - 1;
    while (minValue <= maxValue && emptyChild(elements[minValue - offset])) minValue++;
    while (minValue <= maxValue && emptyChild(elements[maxValue - offset])) maxValue--;
    if (minValue > maxValue) {
        sum = 0.0;
        return allocateEmptyJointPmf(obj, depth);
    }
    Int n = Int(maxValue - minValue + 1);
    Pmf* marginal = allocateSimplePmf(obj, Int(minValue), n);
    Pmf* jointPmf = allocateJointPmf(obj, marginal, depth);
    for (Int k = 0; k < n; k++) {
        Accumulator* child = elements[minValue - offset + k];
        if (emptyChild(child)) continue;
        jointPmf->joint.elements[k] = child->toPmf();
        marginal->simple.elements[k] = child->sum;
    }
    sum = normaliseWeights(marginal->simple.elements, n);
    return jointPmf;
}

JointGridAccumulator::JointGridAccumulator(MovraObject* _obj, Int rowLo, Int rowHi, Int colLo,
                                           Int colHi, ScratchCache* scratch)
    : Accumulator(_obj),
      rowLo_(rowLo),
      colLo_(colLo),
      rows_(int64_t(rowHi) - rowLo + 1),
      cols_(int64_t(colHi) - colLo + 1) {
    if (rows_ <= 0 || cols_ <= 0 || rowLo < 0 || colLo < 0) failInternal();
    if (uint64_t(cols_) > kMaxBlockBytes / sizeof(Real) / uint64_t(rows_)) fail(msg::OutOfMemory);
    budget()->charge(rows_ * cols_ * int64_t(sizeof(Real)));
    buffer_.bind(scratch);
    buffer_.reset(rows_ * cols_);
    cells_ = buffer_.get();
}

void JointGridAccumulator::putEach(Int row, Real scale, const PmfRun& run) {
    for (Int k = 0; k < run.count; k++) {
        if (!(run.p[k] > 0)) continue;
        putDouble(scale * run.p[k], row, run.first + k);
    }
}

JointGridAccumulator* JointGridAccumulator::putDouble(Real probability, Int value1, Int value2) {
    if (probability <= 0) return this;
    const int64_t r = int64_t(value1) - rowLo_, c = int64_t(value2) - colLo_;
    if (r < 0 || r >= rows_ || c < 0 || c >= cols_) failInternal();
    fill(value1)[c] += clampWeight(probability);
    return this;
}

Accumulator* JointGridAccumulator::vput(Real probability, va_list& valist) {
    Int value1 = va_arg(valist, Int);
    Int value2 = va_arg(valist, Int);
    return putDouble(probability, value1, value2);
}

bool JointGridAccumulator::filled(int64_t r) const {
    const Real* row = cells_ + r * cols_;
    for (int64_t k = 0; k < cols_; k++)
        if (row[k] != 0) return true;
    return false;
}

Boolean JointGridAccumulator::isEmpty() {
    for (int64_t r = 0; r < rows_; r++)
        if (filled(r)) return false;
    return true;
}

// The conversion of JointAccumulator and SimpleAccumulator in one: rows trimmed of empty
// ones at both ends, each row trimmed of zero cells, summed in order and divided, the
// marginal from the row totals. The records are those JointAccumulator makes, byte for
// byte, but packed in one arena block with the joint record first: one allocation instead
// of one per row, and one block for the sweep to walk. Nothing else refers to the rows or
// the marginal of a new state, so the block lives exactly as long as its joint record.
Pmf* JointGridAccumulator::toPmf() { return toPmf(rowLo_, Int(rowLo_ + rows_ - 1)); }

Pmf* JointGridAccumulator::toPmf(Int lo, Int hi) {
    const int64_t last = int64_t(hi) - rowLo_;
    if (lo < rowLo_ || last >= rows_) failInternal();
    int64_t minRow = int64_t(lo) - rowLo_, maxRow = last;
    while (minRow <= last && !filled(minRow)) minRow++;
    if (minRow > last) fail(msg::EmptyPmf);
    while (!filled(maxRow)) maxRow--;
    const Int n = Int(maxRow - minRow + 1);
    // Every record size is a multiple of 8, so each record after the first stays aligned.
    static_assert(offsetof(Pmf, simple.elements) % alignof(Pmf) == 0 &&
                  offsetof(Pmf, joint.elements) % alignof(Pmf) == 0);
    auto trim = [this](int64_t r, int64_t& lo, int64_t& hi) {
        const Real* row = cells_ + r * cols_;
        lo = 0;
        hi = cols_ - 1;
        while (lo < cols_ && row[lo] == 0) lo++;
        if (lo == cols_) return false;  // not filled
        while (row[hi] == 0) hi--;
        return true;
    };
    const size_t jointBytes = recordBytes(offsetof(Pmf, joint.elements), n, sizeof(Pmf*));
    const size_t marginalBytes = recordBytes(offsetof(Pmf, simple.elements), n, sizeof(Real));
    // The grid holds at most kMaxBlockBytes / 8 cells, so the block stays far below the cap
    // (rows are fewer than cells, and a row's record adds 40 bytes to its values).
    size_t bytes = jointBytes + marginalBytes;
    for (Int k = 0; k < n; k++) {
        int64_t lo, hi;
        if (trim(minRow + k, lo, hi))
            bytes += recordBytes(offsetof(Pmf, simple.elements), hi - lo + 1, sizeof(Real));
    }
    char* block = static_cast<char*>(movraMalloc(obj, bytes));
    Pmf* jointPmf = reinterpret_cast<Pmf*>(block);
    Pmf* marginal = reinterpret_cast<Pmf*>(block + jointBytes);
    jointPmf->pmfType = JOINT;
    jointPmf->joint.depth = 2;
    jointPmf->joint.marginal = marginal;
    marginal->pmfType = SIMPLE;
    marginal->simple.offset = Int(rowLo_ + minRow);
    marginal->simple.length = n;
    char* next = block + jointBytes + marginalBytes;
    for (Int k = 0; k < n; k++) {
        int64_t lo, hi;
        if (!trim(minRow + k, lo, hi)) continue;
        const Int m = Int(hi - lo + 1);
        Pmf* conditional = reinterpret_cast<Pmf*>(next);
        next += recordBytes(offsetof(Pmf, simple.elements), m, sizeof(Real));
        conditional->pmfType = SIMPLE;
        conditional->simple.offset = Int(colLo_ + lo);
        conditional->simple.length = m;
        Real* out = conditional->simple.elements;
        const Real* kept = cells_ + (minRow + k) * cols_ + lo;
        Real rowTotal = 0;
        for (Int j = 0; j < m; j++) rowTotal += kept[j];
        for (Int j = 0; j < m; j++) out[j] = kept[j] / rowTotal;
        jointPmf->joint.elements[k] = conditional;
        marginal->simple.elements[k] = rowTotal;
    }
    // A row not filled holds 0 and adds nothing to the total.
    sum = normaliseWeights(marginal->simple.elements, n);
    return jointPmf;
}

}  // namespace movra
