// Arrays and matrices: size checks and their messages, contents of what is built, the
// variadic initialisers, bounds-checked lookup, and what marking keeps through a sweep.
#include <climits>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "containers/arrays.h"
#include "containers/sparse_matrix.h"
#include "runtime/error.h"
#include "runtime/messages.h"
#include "test_support.h"

namespace {

std::set<MemHeader*> liveBlocks(MovraObject* obj) {
    std::set<MemHeader*> blocks;
    for (MemHeader* b = obj->memList; b != nullptr; b = b->next) blocks.insert(b);
    return blocks;
}

template <typename... Records>
std::set<MemHeader*> blocksOf(Records*... records) {
    return {reinterpret_cast<MemHeader*>(records)...};
}

class ContainersTest : public ::testing::Test {
protected:
    MovraObject obj{};
    MovraObject* o = &obj;
    void TearDown() override { release(&obj); }

    // Sweeps and checks that exactly `expected` survived, unmarked and counted exactly.
    void expectSurvivors(const std::set<MemHeader*>& expected) {
        release(o);
        EXPECT_EQ(liveBlocks(o), expected);
        unsigned long long bytes = 0;
        for (MemHeader* b : expected) {
            EXPECT_FALSE(b->flag);
            bytes += b->size;
        }
        EXPECT_EQ(obj.currentMemoryUse, bytes);
    }
};

struct FailureCase {
    const char* name;
    std::function<void(MovraObject*)> call;
    const char* message;
    bool refusedBeforeAllocating;
};

TEST_F(ContainersTest, RefusedSizesFailWithTheirFamilysMessage) {
    auto simple = [](MovraObject* ob) { return createSimplePmfConfig(ob); };
    const FailureCase cases[] = {
        {"int array 0", [](MovraObject* ob) { createIntArray(ob, 0); }, msg::InvalidArraySize,
         true},
        {"real array -1", [](MovraObject* ob) { createRealArray(ob, -1); }, msg::InvalidArraySize,
         true},
        {"bool array 0", [](MovraObject* ob) { createBooleanArray(ob, 0); }, msg::InvalidArraySize,
         true},
        {"alloc pmf array 0", [](MovraObject* ob) { allocatePmfArray(ob, 0); },
         msg::InvalidArraySize, true},
        {"alloc iface array 0", [](MovraObject* ob) { allocateInterfaceArray(ob, 0); },
         msg::InvalidArraySize, true},
        {"pmf array 0", [&](MovraObject* ob) { createPmfArray(ob, simple(ob), 0); },
         msg::InvalidArrayDimensions, false},
        {"iface array 0", [](MovraObject* ob) { createInterfaceArray(ob, nullptr, 0); },
         msg::InvalidArrayDimensions, true},
        {"real matrix 0x3", [](MovraObject* ob) { createRealMatrix(ob, 0, 3); },
         msg::InvalidMatrixDimensions, true},
        {"real matrix 2x-1", [](MovraObject* ob) { createRealMatrix(ob, 2, -1); },
         msg::InvalidMatrixDimensions, true},
        {"int matrix 0x0", [](MovraObject* ob) { createIntMatrix(ob, 0, 0); },
         msg::InvalidMatrixDimensions, true},
        {"bool matrix 1x-1", [](MovraObject* ob) { createBooleanMatrix(ob, 1, -1); },
         msg::InvalidMatrixDimensions, true},
        {"pmf matrix -1x1", [](MovraObject* ob) { createPmfMatrix(ob, nullptr, -1, 1); },
         msg::InvalidMatrixDimensions, true},
        {"iface matrix 1x-2", [](MovraObject* ob) { createInterfaceMatrix(ob, nullptr, 1, -2); },
         msg::InvalidMatrixDimensions, true},
        {"alloc pmf matrix 2x-1", [](MovraObject* ob) { allocatePmfMatrix(ob, 2, -1); },
         msg::InvalidArraySize, false},
        {"alloc iface matrix 1x-1", [](MovraObject* ob) { allocateInterfaceMatrix(ob, 1, -1); },
         msg::InvalidArraySize, false},
        {"init int array 0", [](MovraObject* ob) { initializeIntArray(ob, 0); },
         msg::InvalidArraySize, true},
        {"init pmf array 0", [](MovraObject* ob) { initializePmfArray(ob, 0); },
         msg::InvalidArraySize, true},
        {"init int matrix 0", [](MovraObject* ob) { initializeIntMatrix(ob, 0); },
         msg::InvalidMatrixDimensions, true},
        {"init pmf matrix row 0", [](MovraObject* ob) { initializePmfMatrix(ob, 1, 0); },
         msg::InvalidArrayDimensions, false},
        {"init iface matrix row 0", [](MovraObject* ob) { initializeInterfaceMatrix(ob, 1, 0); },
         msg::InvalidArrayDimensions, false},
        {"init real matrix row -1",
         [](MovraObject* ob) { initializeRealMatrix(ob, 2, 1, 0.5, -1); }, msg::InvalidArraySize,
         false},
        // Absurd lengths reach the arena's cap instead of overflowing the byte count.
        {"int array max", [](MovraObject* ob) { createIntArray(ob, INT_MAX); }, msg::OutOfMemory,
         true},
        {"real array max", [](MovraObject* ob) { createRealArray(ob, INT_MAX); }, msg::OutOfMemory,
         true},
        {"pmf array max", [&](MovraObject* ob) { createPmfArray(ob, simple(ob), INT_MAX); },
         msg::OutOfMemory, false},
        {"pmf matrix max rows", [](MovraObject* ob) { createPmfMatrix(ob, nullptr, INT_MAX, 0); },
         msg::OutOfMemory, true},
        {"int matrix max cols", [](MovraObject* ob) { createIntMatrix(ob, 1, INT_MAX); },
         msg::OutOfMemory, false},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf([&] { c.call(o); }), c.message);
        if (c.refusedBeforeAllocating) {
            EXPECT_EQ(obj.memList, nullptr);
        }
        release(o);
    }
}

TEST_F(ContainersTest, BlocksAreSizedForTheirElementsAndZeroFilled) {
    IntArray* ints = createIntArray(o, 3);
    RealArray* reals = createRealArray(o, 2);
    BooleanArray* bools = createBooleanArray(o, 5);
    PmfArray* pmfs = allocatePmfArray(o, 4);
    RealMatrix* matrix = createRealMatrix(o, 2, 0);
    EXPECT_EQ(ints->memHeader.size, offsetof(IntArray, elements) + 3 * sizeof(Int));
    EXPECT_EQ(reals->memHeader.size, offsetof(RealArray, elements) + 2 * sizeof(Real));
    EXPECT_EQ(bools->memHeader.size, offsetof(BooleanArray, elements) + 5);
    EXPECT_EQ(pmfs->memHeader.size, offsetof(PmfArray, elements) + 4 * sizeof(Pmf*));
    EXPECT_EQ(matrix->memHeader.size, offsetof(RealMatrix, elements) + 2 * sizeof(RealArray*));
    EXPECT_EQ(obj.currentMemoryUse, ints->memHeader.size + reals->memHeader.size +
                                        bools->memHeader.size + pmfs->memHeader.size +
                                        matrix->memHeader.size);
    EXPECT_EQ(std::vector<Int>(+ints->elements, ints->elements + 3), std::vector<Int>(3, 0));
    EXPECT_EQ(reals->elements[1], 0.0);
    EXPECT_FALSE(bools->elements[4]);
    EXPECT_EQ(pmfs->elements[3], nullptr);
    EXPECT_EQ(matrix->length, 2);
    EXPECT_EQ(matrix->elements[0], nullptr);
    EXPECT_EQ(matrix->elements[1], nullptr);
}

TEST_F(ContainersTest, PartsAreSeparateBlocksMadePerSlot) {
    PmfArray* pmfs = createPmfArray(o, createJointPmfConfig(o, 2), 3);
    std::set<Pmf*> distinct(+pmfs->elements, pmfs->elements + 3);
    EXPECT_EQ(distinct.size(), 3u);
    for (Pmf* p : distinct) {
        EXPECT_EQ(p->pmfType, JOINT);
        EXPECT_EQ(p->joint.depth, 2);
    }
    PmfArray* unset = createPmfArray(o, nullptr, 2);
    EXPECT_EQ(unset->elements[0], nullptr);
    EXPECT_EQ(unset->elements[1], nullptr);

    IntMatrix* ints = createIntMatrix(o, 2, 3);
    EXPECT_NE(ints->elements[0], ints->elements[1]);
    EXPECT_EQ(ints->elements[1]->length, 3);

    int target = 0;
    Interface fn = &target;
    InterfaceMatrix* ifaces = createInterfaceMatrix(o, fn, 2, 2);
    EXPECT_NE(ifaces->elements[0], ifaces->elements[1]);
    EXPECT_EQ(ifaces->elements[1]->elements[1], fn);

    PmfMatrix* cells = createPmfMatrix(o, createSimplePmfConfig(o), 2, 2);
    EXPECT_NE(cells->elements[0]->elements[0], cells->elements[1]->elements[0]);
    EXPECT_EQ(cells->elements[1]->elements[1]->simple.offset, 0);

    PmfMatrix* raw = allocatePmfMatrix(o, 2, 3);
    EXPECT_EQ(raw->elements[1]->length, 3);
    EXPECT_EQ(raw->elements[1]->elements[2], nullptr);
    EXPECT_EQ(allocateInterfaceMatrix(o, 2, 0)->elements[1], nullptr);
}

TEST_F(ContainersTest, DefaultsHoldOneDefaultCell) {
    EXPECT_EQ(defaultIntArray(o)->length, 1);
    EXPECT_EQ(defaultRealArray(o)->elements[0], 0.0);
    EXPECT_FALSE(defaultBooleanArray(o)->elements[0]);
    BooleanMatrix* bools = defaultBooleanMatrix(o);
    EXPECT_EQ(bools->length, 1);
    EXPECT_EQ(bools->elements[0]->length, 1);
    EXPECT_EQ(defaultIntMatrix(o)->elements[0]->elements[0], 0);
    EXPECT_EQ(defaultRealMatrix(o)->elements[0]->length, 1);
    Pmf* cell = defaultPmfArray(o, createSimplePmfConfig(o))->elements[0];
    EXPECT_EQ(cell->simple.length, 1);
    EXPECT_EQ(cell->simple.elements[0], 1.0);
    PmfMatrix* pmfs = defaultPmfMatrix(o, createJointPmfConfig(o, 3));
    EXPECT_EQ(pmfs->elements[0]->elements[0]->joint.depth, 3);
}

TEST_F(ContainersTest, InitialisersReadPromotedValuesInOrder) {
    IntMatrix* ints = initializeIntMatrix(o, 2, 1, 7, 2, 8, 9);
    ASSERT_EQ(ints->length, 2);
    EXPECT_EQ(std::vector<Int>(+ints->elements[0]->elements, ints->elements[0]->elements + 1),
              std::vector<Int>({7}));
    EXPECT_EQ(std::vector<Int>(+ints->elements[1]->elements, ints->elements[1]->elements + 2),
              std::vector<Int>({8, 9}));

    BooleanArray* bools = initializeBooleanArray(o, 3, 0, 5, -1);
    EXPECT_EQ(std::vector<bool>(+bools->elements, bools->elements + 3),
              std::vector<bool>({false, true, true}));
    RealArray* reals = initializeRealArray(o, 3, 0.5, -1.0, 2.25);
    EXPECT_EQ(std::vector<Real>(+reals->elements, reals->elements + 3),
              std::vector<Real>({0.5, -1.0, 2.25}));
    RealMatrix* realRows = initializeRealMatrix(o, 2, 2, 0.5, 1.5, 1, 2.5);
    EXPECT_EQ(realRows->elements[0]->elements[1], 1.5);
    EXPECT_EQ(realRows->elements[1]->elements[0], 2.5);
    BooleanMatrix* boolRows = initializeBooleanMatrix(o, 1, 2, 3, 0);
    EXPECT_TRUE(boolRows->elements[0]->elements[0]);
    EXPECT_FALSE(boolRows->elements[0]->elements[1]);

    Pmf* p = createAtomicSimplePmf(o, 4);
    Pmf* q = createAtomicSimplePmf(o, 5);
    PmfArray* pmfs = initializePmfArray(o, 2, p, q);
    EXPECT_EQ(pmfs->elements[0], p);
    EXPECT_EQ(pmfs->elements[1], q);
    PmfMatrix* pmfRows = initializePmfMatrix(o, 2, 1, q, 2, p, static_cast<Pmf*>(nullptr));
    EXPECT_EQ(pmfRows->elements[0]->elements[0], q);
    EXPECT_EQ(pmfRows->elements[1]->elements[1], nullptr);
    int target = 0;
    Interface fn = &target;
    EXPECT_EQ(initializeInterfaceArray(o, 1, fn)->elements[0], fn);
    EXPECT_EQ(initializeInterfaceMatrix(o, 1, 1, fn)->elements[0]->elements[0], fn);
}

TEST_F(ContainersTest, LookupAcceptsExactlyTheStoredIndices) {
    IntArray* ints = initializeIntArray(o, 3, 10, 20, 30);
    RealMatrix* rows = createRealMatrix(o, 2, 0);
    const std::pair<const char*, std::function<void()>> outOfRange[] = {
        {"at length", [&] { lookup(ints, 3); }},
        {"negative", [&] { lookup(ints, -1); }},
        {"min int", [&] { lookup(ints, INT_MIN); }},
        {"real row", [&] { lookup(createRealArray(o, 2), 2); }},
        {"bool", [&] { lookup(createBooleanArray(o, 1), 1); }},
        {"pmf", [&] { lookup(allocatePmfArray(o, 1), -1); }},
        {"iface", [&] { lookup(allocateInterfaceArray(o, 4), 4); }},
        {"matrix row", [&] { lookup(rows, 2); }},
        {"pmf matrix", [&] { lookup(createPmfMatrix(o, nullptr, 1, 0), 1); }},
        {"int matrix", [&] { lookup(createIntMatrix(o, 1, 1), -1); }},
        // A row made with no columns is null: every index into it is out of range.
        {"null row", [&] { lookup(lookup(rows, 1), 0); }},
    };
    for (const auto& [name, call] : outOfRange) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failureOf(call), msg::LookupOutOfRange);
    }
    EXPECT_EQ(lookup(ints, 2), 30);
    lookup(ints, 0) = 11;
    EXPECT_EQ(ints->elements[0], 11);
    lookup(rows, 1) = createRealArray(o, 1);
    lookup(lookup(rows, 1), 0) = 0.25;
    EXPECT_EQ(rows->elements[1]->elements[0], 0.25);
}

TEST_F(ContainersTest, MarkingAPmfArrayKeepsItsElementsOnly) {
    PmfArray* pmfs = createPmfArray(o, createJointPmfConfig(o, 2), 2);
    Pmf* first = pmfs->elements[0];
    Pmf* second = pmfs->elements[1];
    createIntArray(o, 4);  // unreachable
    flag(pmfs);
    expectSurvivors(blocksOf(pmfs, first, first->joint.marginal, second, second->joint.marginal));
}

TEST_F(ContainersTest, MarkingAPmfMatrixSkipsNullRows) {
    PmfMatrix* matrix = createPmfMatrix(o, createSimplePmfConfig(o), 3, 2);
    PmfArray* row0 = matrix->elements[0];
    PmfArray* row2 = matrix->elements[2];
    matrix->elements[1] = nullptr;          // the old row and its PMFs become garbage
    row2->elements[1] = row0->elements[0];  // a shared PMF is kept once
    flag(matrix);
    expectSurvivors(
        blocksOf(matrix, row0, row2, row0->elements[0], row0->elements[1], row2->elements[0]));
}

TEST_F(ContainersTest, MarkingScalarContainersKeepsBlocksAndRows) {
    IntMatrix* ints = createIntMatrix(o, 2, 2);
    ints->elements[1] = ints->elements[0];
    BooleanMatrix* bools = createBooleanMatrix(o, 2, 0);
    InterfaceArray* ifaces = createInterfaceArray(o, &obj, 3);  // entries are not blocks
    RealArray* reals = createRealArray(o, 2);
    RealMatrix* realRows = createRealMatrix(o, 1, 3);
    InterfaceMatrix* ifaceRows = createInterfaceMatrix(o, nullptr, 1, 1);
    createBooleanArray(o, 1);
    flag(ints);
    flag(bools);
    flag(ifaces);
    flag(reals);
    flag(realRows);
    flag(ifaceRows);
    // Null records mark nothing and do not fail.
    flag(static_cast<PmfArray*>(nullptr));
    flag(static_cast<PmfMatrix*>(nullptr));
    flag(static_cast<IntMatrix*>(nullptr));
    expectSurvivors(blocksOf(ints, ints->elements[0], bools, ifaces, reals, realRows,
                             realRows->elements[0], ifaceRows, ifaceRows->elements[0]));
}

TEST_F(ContainersTest, PmfFromRealArrayNormalisesCappedWeights) {
    Pmf* pmf = createPmfFromRealArray(o, initializeRealArray(o, 4, 0.0, 3.0, 0.0, 0.5));
    EXPECT_EQ(pmf->pmfType, SIMPLE);
    EXPECT_EQ(pmf->simple.offset, 1);
    ASSERT_EQ(pmf->simple.length, 3);
    EXPECT_EQ(pmf->simple.elements[0], 2.0 / 3.0);
    EXPECT_EQ(pmf->simple.elements[1], 0.0);
    EXPECT_EQ(pmf->simple.elements[2], 1.0 / 3.0);

    RealArray* late = createRealArray(o, 1000);
    late->elements[999] = 0.125;
    Pmf* atomic = createPmfFromRealArray(o, late);
    EXPECT_EQ(atomic->simple.offset, 999);
    EXPECT_EQ(atomic->simple.length, 1);
    EXPECT_EQ(atomic->simple.elements[0], 1.0);

    EXPECT_EQ(failureOf([&] { createPmfFromRealArray(o, initializeRealArray(o, 2, 0.0, -1.0)); }),
              msg::EmptyPmf);
}

// A sparse matrix stores entries other than +0.0 only, writes make new rows (a row shared
// with another matrix is left alone), and both indices are checked.
TEST_F(ContainersTest, SparseMatrixWritesCopyRowsAndDropZeros) {
    SparseRealMatrix* m = createSparseRealMatrix(o, 2, 3);
    SparseRealMatrix* copy = createSparseRealMatrix(o, 2, 3);
    assign(o, m, 1, 2, 0.5);
    assign(o, m, 1, 0, 0.25);
    copy->elements[1] = m->elements[1];
    assign(o, m, 1, 2, 0.75);
    assign(o, m, 1, 0, 0.0);
    EXPECT_EQ(lookup(m, 1, 2), 0.75);
    EXPECT_EQ(lookup(m, 1, 0), 0.0);
    EXPECT_EQ(lookup(copy, 1, 0), 0.25);
    EXPECT_EQ(lookup(copy, 1, 2), 0.5);
    Int count;
    rowEntries(m, 1, count);
    EXPECT_EQ(count, 1);
    assign(o, m, 1, 2, 0.0);
    EXPECT_EQ(m->elements[1], nullptr);
    assign(o, m, 0, 1, -0.0);
    EXPECT_TRUE(std::signbit(lookup(m, 0, 1)));
    for (auto [i, j] :
         std::initializer_list<std::pair<Int, Int>>{{2, 0}, {0, 3}, {-1, 0}, {0, -1}}) {
        EXPECT_MOVRA_ERROR(lookup(m, i, j), msg::LookupOutOfRange);
        EXPECT_MOVRA_ERROR(assign(o, m, i, j, 1.0), msg::LookupOutOfRange);
    }
    EXPECT_MOVRA_ERROR(createSparseRealMatrix(o, 0, 1), msg::InvalidMatrixDimensions);
    flag(copy);
    expectSurvivors(blocksOf(copy, copy->elements[1]));
}

}  // namespace
