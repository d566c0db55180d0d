#include "sparse_matrix.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

namespace {
bool isPositiveZero(Real v) { return v == 0 && !std::signbit(v); }

SparseRealRow*& checkedRow(SparseRealMatrix* m, Int i) {
    if (m == nullptr || i < 0 || i >= m->length) fail(msg::LookupOutOfRange);
    return m->elements[i];
}

void checkColumn(SparseRealMatrix* m, Int j) {
    if (j < 0 || j >= m->columns) fail(msg::LookupOutOfRange);
}

// The first entry of the row whose column is not below j.
Int position(const SparseRealRow* row, Int j) {
    if (row == nullptr) return 0;
    const SparseEntry* e = row->elements;
    return Int(
        std::lower_bound(e, e + row->length, j,
                         [](const SparseEntry& x, Int column) { return x.column < column; }) -
        e);
}
}  // namespace

SparseRealMatrix* createSparseRealMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    if (rowCount < 1 || columnCount < 0) fail(msg::InvalidMatrixDimensions);
    auto* m = static_cast<SparseRealMatrix*>(movraMalloc(
        obj, recordBytes(offsetof(SparseRealMatrix, elements), rowCount, sizeof(SparseRealRow*))));
    m->length = rowCount;
    m->columns = columnCount;
    return m;
}

SparseRealRow* createSparseRealRow(MovraObject* obj, const SparseEntry* entries, Int count) {
    if (count == 0) return nullptr;
    auto* row = static_cast<SparseRealRow*>(movraMalloc(
        obj, recordBytes(offsetof(SparseRealRow, elements), count, sizeof(SparseEntry))));
    row->length = count;
    std::memcpy(static_cast<SparseEntry*>(row->elements), entries,
                size_t(count) * sizeof(SparseEntry));
    return row;
}

Real lookup(SparseRealMatrix* m, Int i, Int j) {
    const SparseRealRow* row = checkedRow(m, i);
    checkColumn(m, j);
    const Int k = position(row, j);
    return row != nullptr && k < row->length && row->elements[k].column == j
               ? row->elements[k].value
               : 0.0;
}

void assign(MovraObject* obj, SparseRealMatrix* m, Int i, Int j, Real value) {
    SparseRealRow*& slot = checkedRow(m, i);
    checkColumn(m, j);
    const SparseRealRow* row = slot;
    const Int n = row == nullptr ? 0 : row->length, k = position(row, j);
    const bool present = k < n && row->elements[k].column == j;
    const bool kept = !isPositiveZero(value);
    if (!present && !kept) return;
    const Int count = n - Int(present) + Int(kept);
    if (count == 0) {
        slot = nullptr;
        obj->isMemModified = true;  // the old row may be held by nothing now: swept
        return;
    }
    auto* fresh = static_cast<SparseRealRow*>(movraMalloc(
        obj, recordBytes(offsetof(SparseRealRow, elements), count, sizeof(SparseEntry))));
    fresh->length = count;
    SparseEntry* out = fresh->elements;
    const SparseEntry* in = n > 0 ? static_cast<const SparseEntry*>(row->elements) : nullptr;
    std::copy(in, in + k, out);
    if (kept) out[k] = SparseEntry{j, value};
    std::copy(in + k + Int(present), in + n, out + k + Int(kept));
    slot = fresh;
}

const SparseEntry* rowEntries(SparseRealMatrix* m, Int i, Int& count) {
    const SparseRealRow* row = checkedRow(m, i);
    count = row == nullptr ? 0 : row->length;
    return row == nullptr ? nullptr : static_cast<const SparseEntry*>(row->elements);
}

void flag(SparseRealMatrix* m) {
    if (m == nullptr) return;
    flagBlock(m);
    for (Int i = 0; i < m->length; i++) flagBlock(m->elements[i]);
}

}  // namespace movra
