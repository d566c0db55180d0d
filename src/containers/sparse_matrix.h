// A square-or-not matrix of reals that stores only its entries other than +0.0, row by
// row: memory and every walk over it follow the number of entries set, not rows x
// columns. Rows are arena blocks that never change once made (a write makes a new row),
// so two matrices may share them: copying a matrix copies row references.
#pragma once
#include "../pmf/pmf.h"

namespace movra {

struct SparseEntry {
    Int column;
    Real value;  // never +0.0 (-0.0 is kept: a read gives back what was written)
};

struct SparseRealRow {
    MemHeader memHeader;
    Int length;                      // entries, at least 1
    Trailing<SparseEntry> elements;  // by increasing column
};

struct SparseRealMatrix {
    MemHeader memHeader;
    Int length;  // rows
    Int columns;
    Trailing<SparseRealRow*> elements;  // null: a row of zeros
};

// rowCount >= 1 rows of columnCount >= 0 zeros ("Invalid matrix dimensions" otherwise).
SparseRealMatrix* createSparseRealMatrix(MovraObject* obj, Int rowCount, Int columnCount);
// The entry (i, j): "Lookup index out of range" unless both indices are in range.
Real lookup(SparseRealMatrix* m, Int i, Int j);
// Stores value at (i, j), with the same index checks, in a new row block.
void assign(MovraObject* obj, SparseRealMatrix* m, Int i, Int j, Real value);
// Row i's stored entries ("Lookup index out of range" for i); count 0 for a row of zeros.
const SparseEntry* rowEntries(SparseRealMatrix* m, Int i, Int& count);
// A row of the given entries (by increasing column, none +0.0), or null when count is 0.
SparseRealRow* createSparseRealRow(MovraObject* obj, const SparseEntry* entries, Int count);

void flag(SparseRealMatrix* m);

}  // namespace movra
