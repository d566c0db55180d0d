// Fixed-length arrays of every element type, and matrices made of row arrays; each is one
// arena block with its elements inline, zero-filled when made. Rows and PMF elements are
// references and may be shared. All element access from model code goes through the
// bounds-checked lookup.
#pragma once
#include "../pmf/pmf.h"

namespace movra {

typedef void* Interface;  // untyped function reference

struct IntArray {
    MemHeader memHeader;
    Int length;
    Trailing<Int> elements;
};
struct RealArray {
    MemHeader memHeader;
    Int length;
    Trailing<Real> elements;
};
struct BooleanArray {
    MemHeader memHeader;
    Int length;
    Trailing<Boolean> elements;
};
struct PmfArray {
    MemHeader memHeader;
    Int length;
    Trailing<Pmf*> elements;
};
struct InterfaceArray {
    MemHeader memHeader;
    Int length;
    Trailing<Interface> elements;
};

// A matrix stores no column count: rows are separate blocks and may differ in length.
struct IntMatrix {
    MemHeader memHeader;
    Int length;
    Trailing<IntArray*> elements;
};
struct RealMatrix {
    MemHeader memHeader;
    Int length;
    Trailing<RealArray*> elements;
};
struct BooleanMatrix {
    MemHeader memHeader;
    Int length;
    Trailing<BooleanArray*> elements;
};
struct PmfMatrix {
    MemHeader memHeader;
    Int length;
    Trailing<PmfArray*> elements;
};
struct InterfaceMatrix {
    MemHeader memHeader;
    Int length;
    Trailing<InterfaceArray*> elements;
};

inline Int defaultInt() { return 0; }
inline Real defaultReal() { return 0.0; }
inline Boolean defaultBoolean() { return false; }

IntArray* createIntArray(MovraObject* obj, Int length);
RealArray* createRealArray(MovraObject* obj, Int length);
BooleanArray* createBooleanArray(MovraObject* obj, Int length);
PmfArray* allocatePmfArray(MovraObject* obj, Int length);
InterfaceArray* allocateInterfaceArray(MovraObject* obj, Int length);
PmfArray* createPmfArray(MovraObject* obj, PmfConfig* pmfConfig, Int length);
InterfaceArray* createInterfaceArray(MovraObject* obj, Interface defaultImplementation, Int length);

IntMatrix* createIntMatrix(MovraObject* obj, Int rowCount, Int columnCount);
RealMatrix* createRealMatrix(MovraObject* obj, Int rowCount, Int columnCount);
BooleanMatrix* createBooleanMatrix(MovraObject* obj, Int rowCount, Int columnCount);
PmfMatrix* createPmfMatrix(MovraObject* obj, PmfConfig* pmfConfig, Int rowCount, Int columnCount);
InterfaceMatrix* createInterfaceMatrix(MovraObject* obj, Interface defaultImplementation,
                                       Int rowCount, Int columnCount);
PmfMatrix* allocatePmfMatrix(MovraObject* obj, Int rowCount, Int columnCount);
InterfaceMatrix* allocateInterfaceMatrix(MovraObject* obj, Int rowCount, Int columnCount);

IntArray* defaultIntArray(MovraObject* obj);
RealArray* defaultRealArray(MovraObject* obj);
BooleanArray* defaultBooleanArray(MovraObject* obj);
PmfArray* defaultPmfArray(MovraObject* obj, PmfConfig* pmfConfig);
IntMatrix* defaultIntMatrix(MovraObject* obj);
RealMatrix* defaultRealMatrix(MovraObject* obj);
BooleanMatrix* defaultBooleanMatrix(MovraObject* obj);
PmfMatrix* defaultPmfMatrix(MovraObject* obj, PmfConfig* pmfConfig);

// Variadic initialisers: values in promoted types (Int and Boolean as int, Real as
// double, PMFs and function references as pointers). Matrix forms take, per row, the
// row's length followed by its values.
IntArray* initializeIntArray(MovraObject* obj, Int length, ...);
RealArray* initializeRealArray(MovraObject* obj, Int length, ...);
BooleanArray* initializeBooleanArray(MovraObject* obj, Int length, ...);
PmfArray* initializePmfArray(MovraObject* obj, Int length, ...);
InterfaceArray* initializeInterfaceArray(MovraObject* obj, Int length, ...);
IntMatrix* initializeIntMatrix(MovraObject* obj, Int rowCount, ...);
RealMatrix* initializeRealMatrix(MovraObject* obj, Int rowCount, ...);
BooleanMatrix* initializeBooleanMatrix(MovraObject* obj, Int rowCount, ...);
PmfMatrix* initializePmfMatrix(MovraObject* obj, Int rowCount, ...);
InterfaceMatrix* initializeInterfaceMatrix(MovraObject* obj, Int rowCount, ...);

// Bounds-checked element (or row slot) access: "Lookup index out of range" unless
// 0 <= i < length. The reference may be read or written.
Int& lookup(IntArray* a, Int i);
Real& lookup(RealArray* a, Int i);
Boolean& lookup(BooleanArray* a, Int i);
Pmf*& lookup(PmfArray* a, Int i);
Interface& lookup(InterfaceArray* a, Int i);
IntArray*& lookup(IntMatrix* m, Int i);
RealArray*& lookup(RealMatrix* m, Int i);
BooleanArray*& lookup(BooleanMatrix* m, Int i);
PmfArray*& lookup(PmfMatrix* m, Int i);
InterfaceArray*& lookup(InterfaceMatrix* m, Int i);

void flag(IntArray* a);
void flag(RealArray* a);
void flag(BooleanArray* a);
void flag(PmfArray* a);
void flag(InterfaceArray* a);
void flag(IntMatrix* m);
void flag(RealMatrix* m);
void flag(BooleanMatrix* m);
void flag(PmfMatrix* m);
void flag(InterfaceMatrix* m);

// Simple PMF whose probability of i is proportional to realArray.elements[i].
Pmf* createPmfFromRealArray(MovraObject* obj, RealArray* realArray);

}  // namespace movra
