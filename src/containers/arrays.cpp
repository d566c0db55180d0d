// Arrays and matrices of every element type. The ten record kinds share one shape (header,
// length, inline elements), so allocation, lookup, marking and variadic filling are written
// once as templates over the record and instantiated per kind. Checks precede allocation;
// parts (rows, default PMFs) are blocks of their own made after their record, so a failure
// part-way leaves the finished blocks to the closing sweep.
#include "arrays.h"

#include <cstdarg>

#include "../pmf/accumulator.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/varargs.h"

namespace movra {

namespace {

// One zero-filled block sized for `length` elements; absurd lengths are refused by the
// arena ("Out of memory") rather than overflowing the byte count.
template <typename Record>
Record* allocateRecord(MovraObject* obj, Int length) {
    Record* record = static_cast<Record*>(movraMalloc(
        obj, recordBytes(offsetof(Record, elements), length, sizeof(record->elements[0]))));
    record->length = length;
    return record;
}

// A null record (a matrix row made with no columns) has no elements, so every index is
// out of range for it.
template <typename Record>
auto& checkedElement(Record* record, Int i) {
    if (record == nullptr || i < 0 || i >= record->length) fail(msg::LookupOutOfRange);
    return record->elements[i];
}

template <typename Array>
Array* createCheckedArray(MovraObject* obj, Int length, const char* sizeMessage) {
    if (length < 1) fail(sizeMessage);
    return allocateRecord<Array>(obj, length);
}

template <typename Matrix, typename MakeRow>
Matrix* createMatrix(MovraObject* obj, Int rowCount, Int columnCount, MakeRow makeRow) {
    if (rowCount < 1 || columnCount < 0) fail(msg::InvalidMatrixDimensions);
    Matrix* matrix = allocateRecord<Matrix>(obj, rowCount);
    if (columnCount != 0)
        for (Int i = 0; i < rowCount; i++) matrix->elements[i] = makeRow(columnCount);
    return matrix;
}

// Marks the matrix block, then each row with the row's own flag overload.
template <typename Matrix>
void flagRows(Matrix* matrix) {
    if (matrix == nullptr) return;
    flagBlock(matrix);
    for (Int i = 0; i < matrix->length; i++)
        if (matrix->elements[i] != nullptr) flag(matrix->elements[i]);
}

// Per element kind: how a value is read from a variable argument list (as its promoted
// type), how the initialisers make an array, and how they make a matrix row.
template <typename Element, typename Promoted, typename A, typename M,
          A* (*createArray)(MovraObject*, Int), M* (*createMatrix)(MovraObject*, Int, Int)>
struct PlainKind {
    using Array = A;
    using Matrix = M;
    static Element read(va_list& args) { return static_cast<Element>(va_arg(args, Promoted)); }
    static Array* makeArray(MovraObject* obj, Int n) { return createArray(obj, n); }
    static Array* makeRow(MovraObject* obj, Int n) { return createArray(obj, n); }
    static Matrix* makeMatrix(MovraObject* obj, Int rows) { return createMatrix(obj, rows, 0); }
};
using IntKind = PlainKind<Int, int, IntArray, IntMatrix, createIntArray, createIntMatrix>;
using RealKind = PlainKind<Real, double, RealArray, RealMatrix, createRealArray, createRealMatrix>;
using BooleanKind =
    PlainKind<Boolean, int, BooleanArray, BooleanMatrix, createBooleanArray, createBooleanMatrix>;

// PMFs and interfaces: a row starts with no defaults, the array is only allocated.
struct PmfKind {
    using Array = PmfArray;
    using Matrix = PmfMatrix;
    static Pmf* read(va_list& args) { return va_arg(args, Pmf*); }
    static Array* makeArray(MovraObject* obj, Int n) { return allocatePmfArray(obj, n); }
    static Array* makeRow(MovraObject* obj, Int n) { return createPmfArray(obj, nullptr, n); }
    static Matrix* makeMatrix(MovraObject* obj, Int rows) {
        return createPmfMatrix(obj, nullptr, rows, 0);
    }
};

struct InterfaceKind {
    using Array = InterfaceArray;
    using Matrix = InterfaceMatrix;
    static Interface read(va_list& args) { return va_arg(args, Interface); }
    static Array* makeArray(MovraObject* obj, Int n) { return allocateInterfaceArray(obj, n); }
    static Array* makeRow(MovraObject* obj, Int n) { return createInterfaceArray(obj, nullptr, n); }
    static Matrix* makeMatrix(MovraObject* obj, Int rows) {
        return createInterfaceMatrix(obj, nullptr, rows, 0);
    }
};

template <typename Kind>
void fillFromList(typename Kind::Array* array, va_list& args) {
    for (Int i = 0; i < array->length; i++) array->elements[i] = Kind::read(args);
}

template <typename Kind>
typename Kind::Array* initializeArray(MovraObject* obj, Int length, va_list& args) {
    typename Kind::Array* array = Kind::makeArray(obj, length);
    fillFromList<Kind>(array, args);
    return array;
}

template <typename Kind>
typename Kind::Matrix* initializeMatrix(MovraObject* obj, Int rowCount, va_list& args) {
    typename Kind::Matrix* matrix = Kind::makeMatrix(obj, rowCount);
    for (Int i = 0; i < rowCount; i++) {
        Int rowLength = va_arg(args, int);
        matrix->elements[i] = Kind::makeRow(obj, rowLength);
        fillFromList<Kind>(matrix->elements[i], args);
    }
    return matrix;
}

}  // namespace

IntArray* createIntArray(MovraObject* obj, Int length) {
    return createCheckedArray<IntArray>(obj, length, msg::InvalidArraySize);
}

RealArray* createRealArray(MovraObject* obj, Int length) {
    return createCheckedArray<RealArray>(obj, length, msg::InvalidArraySize);
}

BooleanArray* createBooleanArray(MovraObject* obj, Int length) {
    return createCheckedArray<BooleanArray>(obj, length, msg::InvalidArraySize);
}

PmfArray* allocatePmfArray(MovraObject* obj, Int length) {
    return createCheckedArray<PmfArray>(obj, length, msg::InvalidArraySize);
}

InterfaceArray* allocateInterfaceArray(MovraObject* obj, Int length) {
    return createCheckedArray<InterfaceArray>(obj, length, msg::InvalidArraySize);
}

PmfArray* createPmfArray(MovraObject* obj, PmfConfig* pmfConfig, Int length) {
    PmfArray* array = createCheckedArray<PmfArray>(obj, length, msg::InvalidArrayDimensions);
    // Each element its own default PMF: elements are never shared by construction.
    if (pmfConfig != nullptr)
        for (Int i = 0; i < length; i++) array->elements[i] = defaultPmf(obj, pmfConfig);
    return array;
}

InterfaceArray* createInterfaceArray(MovraObject* obj, Interface defaultImplementation,
                                     Int length) {
    InterfaceArray* array =
        createCheckedArray<InterfaceArray>(obj, length, msg::InvalidArrayDimensions);
    for (Int i = 0; i < length; i++) array->elements[i] = defaultImplementation;
    return array;
}

IntMatrix* createIntMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    return createMatrix<IntMatrix>(obj, rowCount, columnCount,
                                   [obj](Int n) { return createIntArray(obj, n); });
}

RealMatrix* createRealMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    return createMatrix<RealMatrix>(obj, rowCount, columnCount,
                                    [obj](Int n) { return createRealArray(obj, n); });
}

BooleanMatrix* createBooleanMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    return createMatrix<BooleanMatrix>(obj, rowCount, columnCount,
                                       [obj](Int n) { return createBooleanArray(obj, n); });
}

PmfMatrix* createPmfMatrix(MovraObject* obj, PmfConfig* pmfConfig, Int rowCount, Int columnCount) {
    return createMatrix<PmfMatrix>(obj, rowCount, columnCount, [obj, pmfConfig](Int n) {
        return createPmfArray(obj, pmfConfig, n);
    });
}

InterfaceMatrix* createInterfaceMatrix(MovraObject* obj, Interface defaultImplementation,
                                       Int rowCount, Int columnCount) {
    return createMatrix<InterfaceMatrix>(
        obj, rowCount, columnCount, [obj, defaultImplementation](Int n) {
            return createInterfaceArray(obj, defaultImplementation, n);
        });
}

// No checks of their own: callers pass rowCount >= 1, and a bad column count is refused
// by the row allocation.
PmfMatrix* allocatePmfMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    PmfMatrix* matrix = allocateRecord<PmfMatrix>(obj, rowCount);
    if (columnCount != 0)
        for (Int i = 0; i < rowCount; i++) matrix->elements[i] = allocatePmfArray(obj, columnCount);
    return matrix;
}

InterfaceMatrix* allocateInterfaceMatrix(MovraObject* obj, Int rowCount, Int columnCount) {
    InterfaceMatrix* matrix = allocateRecord<InterfaceMatrix>(obj, rowCount);
    if (columnCount != 0)
        for (Int i = 0; i < rowCount; i++)
            matrix->elements[i] = allocateInterfaceArray(obj, columnCount);
    return matrix;
}

IntArray* defaultIntArray(MovraObject* obj) { return createIntArray(obj, 1); }
RealArray* defaultRealArray(MovraObject* obj) { return createRealArray(obj, 1); }
BooleanArray* defaultBooleanArray(MovraObject* obj) { return createBooleanArray(obj, 1); }
PmfArray* defaultPmfArray(MovraObject* obj, PmfConfig* pmfConfig) {
    return createPmfArray(obj, pmfConfig, 1);
}
IntMatrix* defaultIntMatrix(MovraObject* obj) { return createIntMatrix(obj, 1, 1); }
RealMatrix* defaultRealMatrix(MovraObject* obj) { return createRealMatrix(obj, 1, 1); }
BooleanMatrix* defaultBooleanMatrix(MovraObject* obj) { return createBooleanMatrix(obj, 1, 1); }
PmfMatrix* defaultPmfMatrix(MovraObject* obj, PmfConfig* pmfConfig) {
    return createPmfMatrix(obj, pmfConfig, 1, 1);
}

#define MOVRA_INITIALIZER(Result, name, Kind, countName, build) \
    Result* name(MovraObject* obj, Int countName, ...) {        \
        va_list args;                                           \
        va_start(args, countName);                              \
        VaListGuard guard{args};                                \
        return build<Kind>(obj, countName, args);               \
    }

MOVRA_INITIALIZER(IntArray, initializeIntArray, IntKind, length, initializeArray)
MOVRA_INITIALIZER(RealArray, initializeRealArray, RealKind, length, initializeArray)
MOVRA_INITIALIZER(BooleanArray, initializeBooleanArray, BooleanKind, length, initializeArray)
MOVRA_INITIALIZER(PmfArray, initializePmfArray, PmfKind, length, initializeArray)
MOVRA_INITIALIZER(InterfaceArray, initializeInterfaceArray, InterfaceKind, length, initializeArray)
MOVRA_INITIALIZER(IntMatrix, initializeIntMatrix, IntKind, rowCount, initializeMatrix)
MOVRA_INITIALIZER(RealMatrix, initializeRealMatrix, RealKind, rowCount, initializeMatrix)
MOVRA_INITIALIZER(BooleanMatrix, initializeBooleanMatrix, BooleanKind, rowCount, initializeMatrix)
MOVRA_INITIALIZER(PmfMatrix, initializePmfMatrix, PmfKind, rowCount, initializeMatrix)
MOVRA_INITIALIZER(InterfaceMatrix, initializeInterfaceMatrix, InterfaceKind, rowCount,
                  initializeMatrix)

#undef MOVRA_INITIALIZER

Int& lookup(IntArray* a, Int i) { return checkedElement(a, i); }
Real& lookup(RealArray* a, Int i) { return checkedElement(a, i); }
Boolean& lookup(BooleanArray* a, Int i) { return checkedElement(a, i); }
Pmf*& lookup(PmfArray* a, Int i) { return checkedElement(a, i); }
Interface& lookup(InterfaceArray* a, Int i) { return checkedElement(a, i); }
IntArray*& lookup(IntMatrix* m, Int i) { return checkedElement(m, i); }
RealArray*& lookup(RealMatrix* m, Int i) { return checkedElement(m, i); }
BooleanArray*& lookup(BooleanMatrix* m, Int i) { return checkedElement(m, i); }
PmfArray*& lookup(PmfMatrix* m, Int i) { return checkedElement(m, i); }
InterfaceArray*& lookup(InterfaceMatrix* m, Int i) { return checkedElement(m, i); }

// Values and function references live inside the block: nothing below it to mark.
void flag(IntArray* a) { flagBlock(a); }
void flag(RealArray* a) { flagBlock(a); }
void flag(BooleanArray* a) { flagBlock(a); }
void flag(InterfaceArray* a) { flagBlock(a); }

void flag(PmfArray* a) {
    if (a == nullptr) return;
    flagBlock(a);
    for (Int i = 0; i < a->length; i++) flag(a->elements[i]);
}

void flag(IntMatrix* m) { flagRows(m); }
void flag(RealMatrix* m) { flagRows(m); }
void flag(BooleanMatrix* m) { flagRows(m); }
void flag(PmfMatrix* m) { flagRows(m); }
void flag(InterfaceMatrix* m) { flagRows(m); }

Pmf* createPmfFromRealArray(MovraObject* obj, RealArray* realArray) {
    // A local accumulator: its window is released on every path, also when toPmf throws.
    SimpleAccumulator accumulator(obj);
    for (Int i = 0; i < realArray->length; i++) accumulator.putSingle(realArray->elements[i], i);
    return accumulator.toPmf();
}

}  // namespace movra
