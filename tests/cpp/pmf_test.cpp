// PMF records and builders, marking, queries, tail cut-off points, shape checks, and the
// sampling stack.
#include "pmf/pmf.h"

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <set>
#include <vector>

#include "containers/array_checks.h"
#include "containers/arrays.h"
#include "pmf/pmf_query.h"
#include "pmf/sampling_stack.h"
#include "runtime/arena.h"
#include "runtime/error.h"
#include "test_support.h"

namespace {

class PmfTest : public ArenaFixture {
protected:
    void TearDown() override {
        ArenaFixture::TearDown();
        EXPECT_EQ(obj.memList, nullptr);
    }

    // Arrays are built by hand so that these checks do not depend on the container code.
    PmfArray* array(std::initializer_list<Pmf*> elements) {
        PmfArray* a = static_cast<PmfArray*>(movraMalloc(
            &obj, recordBytes(offsetof(PmfArray, elements), Int(elements.size()), sizeof(Pmf*))));
        for (Pmf* p : elements) a->elements[a->length++] = p;
        return a;
    }

    PmfMatrix* matrix(std::initializer_list<PmfArray*> rows) {
        PmfMatrix* m = static_cast<PmfMatrix*>(movraMalloc(
            &obj, recordBytes(offsetof(PmfMatrix, elements), Int(rows.size()), sizeof(PmfArray*))));
        for (PmfArray* r : rows) m->elements[m->length++] = r;
        return m;
    }

    size_t blockCount() const {
        size_t n = 0;
        for (MemHeader* b = obj.memList; b != nullptr; b = b->next) n++;
        return n;
    }
};

// ---- Records and builders

TEST_F(PmfTest, AtomicPmfHoldsCertaintyAtItsValue) {
    for (Int value : {0, 7, INT32_MAX}) {
        Pmf* pmf = createAtomicSimplePmf(&obj, value);
        EXPECT_EQ(pmf->pmfType, SIMPLE);
        EXPECT_EQ(pmf->simple.offset, value);
        EXPECT_EQ(pmf->simple.length, 1);
        EXPECT_EQ(pmf->memHeader.size, offsetof(Pmf, simple.elements) + sizeof(Real));
        EXPECT_EQ(lookupProbability(pmf, value), 1.0);
        EXPECT_EQ(lookupProbability(pmf, value - 1), 0.0);
        if (value < INT32_MAX) {
            EXPECT_EQ(lookupProbability(pmf, value + 1), 0.0);
        }
    }
}

TEST_F(PmfTest, UnrepresentableLengthsAreRefused) {
    EXPECT_MOVRA_ERROR(allocateSimplePmf(&obj, 0, -1), "Out of memory");
    EXPECT_MOVRA_ERROR(allocateSimplePmf(&obj, 0, INT32_MAX), "Out of memory");
    EXPECT_MOVRA_ERROR(allocateCompoundPmf(&obj, -1), "Out of memory");
    EXPECT_EQ(obj.memList, nullptr);
}

TEST_F(PmfTest, DefaultJointOfDepthThreeSharesOneAtomicRecord) {
    Pmf* pmf = defaultPmf(&obj, createJointPmfConfig(&obj, 3));
    const size_t configAndChain = 1 + 3;
    EXPECT_EQ(blockCount(), configAndChain);
    ASSERT_EQ(pmf->pmfType, JOINT);
    EXPECT_EQ(pmf->joint.depth, 3);
    Pmf* base = pmf->joint.marginal;
    EXPECT_EQ(base->pmfType, SIMPLE);
    EXPECT_EQ(base->simple.offset, 0);
    EXPECT_EQ(base->simple.length, 1);
    EXPECT_EQ(base->simple.elements[0], 1.0);
    Pmf* inner = pmf->joint.elements[0];
    ASSERT_EQ(inner->pmfType, JOINT);
    EXPECT_EQ(inner->joint.depth, 2);
    EXPECT_EQ(inner->joint.marginal, base);
    EXPECT_EQ(inner->joint.elements[0], base);
}

TEST_F(PmfTest, DefaultOfDepthOneOrLessIsTheAtomicPmfAtZero) {
    for (Pmf* pmf : {defaultJointPmf(&obj, 1), defaultJointPmf(&obj, 0),
                     defaultPmf(&obj, createSimplePmfConfig(&obj))}) {
        EXPECT_EQ(pmf->pmfType, SIMPLE);
        EXPECT_EQ(pmf->simple.offset, 0);
        EXPECT_EQ(pmf->simple.length, 1);
        EXPECT_EQ(pmf->simple.elements[0], 1.0);
    }
}

TEST_F(PmfTest, DefaultCompoundGivesEachComponentItsOwnRecords) {
    PmfConfig* config = createCompoundPmfConfig(&obj, 3, 1, 2, 3);
    EXPECT_EQ(config->pmfType, COMPOUND);
    EXPECT_EQ(config->compound.length, 3);
    EXPECT_EQ(config->compound.depths[0], 1);
    EXPECT_EQ(config->compound.depths[1], 2);
    EXPECT_EQ(config->compound.depths[2], 3);

    Pmf* pmf = defaultPmf(&obj, config);
    ASSERT_EQ(pmf->pmfType, COMPOUND);
    ASSERT_EQ(pmf->compound.length, 3);
    Pmf* c0 = lookupCompoundPmf(pmf, 0);
    Pmf* c1 = lookupCompoundPmf(pmf, 1);
    Pmf* c2 = lookupCompoundPmf(pmf, 2);
    EXPECT_EQ(c0->pmfType, SIMPLE);
    EXPECT_EQ(lookupProbability(c0, 0), 1.0);
    ASSERT_EQ(c1->pmfType, JOINT);
    EXPECT_EQ(c1->joint.depth, 2);
    ASSERT_EQ(c2->pmfType, JOINT);
    EXPECT_EQ(c2->joint.depth, 3);
    std::set<Pmf*> atoms = {c0, c1->joint.marginal, c2->joint.marginal};
    EXPECT_EQ(atoms.size(), 3u);
}

TEST_F(PmfTest, EmptyJointPmfHasNoSlots) {
    Pmf* pmf = allocateEmptyJointPmf(&obj, 2);
    EXPECT_EQ(pmf->pmfType, JOINT);
    EXPECT_EQ(pmf->joint.depth, 2);
    EXPECT_EQ(pmf->joint.marginal->simple.offset, 0);
    EXPECT_EQ(pmf->joint.marginal->simple.length, 0);
    EXPECT_EQ(pmf->memHeader.size, offsetof(Pmf, joint.elements));
}

TEST_F(PmfTest, SameInstanceMeansSameRecord) {
    Pmf* p = createAtomicSimplePmf(&obj, 0);
    Pmf* q = createAtomicSimplePmf(&obj, 0);
    EXPECT_TRUE(isSamePmfInstance(p, p));
    EXPECT_FALSE(isSamePmfInstance(p, q));
}

TEST_F(PmfTest, FlagMarksEverythingReachableAndNothingElse) {
    Pmf* c0 = simple(0, {1.0});
    Pmf* c2 = simple(4, {0.5, 0.5});
    Pmf* marginal = simple(0, {0.5, 0.0, 0.5});
    Pmf* j = joint(marginal, 2, {c0, nullptr, c2});
    Pmf* s = createAtomicSimplePmf(&obj, 3);
    Pmf* compound = createCompoundPmf(&obj, 3, j, nullptr, s);
    Pmf* unrelated = createAtomicSimplePmf(&obj, 9);

    flag(static_cast<Pmf*>(nullptr));
    flag(compound);
    for (Pmf* p : {c0, c2, marginal, j, s, compound}) EXPECT_TRUE(p->memHeader.flag);
    EXPECT_FALSE(unrelated->memHeader.flag);
    release(&obj);
    EXPECT_EQ(blockCount(), 6u);
}

// ---- Queries

TEST_F(PmfTest, LookupProbabilityInsideAndOutsideTheRange) {
    Pmf* pmf = simple(2, {0.25, 0.0, 0.75});
    const std::pair<Int, Real> cases[] = {{1, 0.0}, {2, 0.25},        {3, 0.0},  {4, 0.75},
                                          {5, 0.0}, {INT32_MIN, 0.0}, {-1, 0.0}, {INT32_MAX, 0.0}};
    for (const auto& c : cases) EXPECT_EQ(lookupProbability(pmf, c.first), c.second) << c.first;

    Pmf* top = simple(INT32_MAX - 1, {0.5, 0.5});
    EXPECT_EQ(lookupProbability(top, INT32_MAX), 0.5);
    EXPECT_EQ(lookupProbability(top, INT32_MIN), 0.0);
}

TEST_F(PmfTest, ConditioningReturnsTheStoredConditional) {
    Pmf* pmf = exampleJoint();
    EXPECT_EQ(lookupMarginalPmf(pmf), pmf->joint.marginal);
    EXPECT_EQ(lookupConditionalPmf1(pmf, 1), pmf->joint.elements[1]);
    EXPECT_EQ(lookupConditionalPmf(pmf, 1, 1), pmf->joint.elements[1]);
    EXPECT_EQ(lookupConditionalPmf(pmf, 1, 0), pmf->joint.elements[0]);
    EXPECT_EQ(lookupConditionalPmf(pmf, 0), pmf);
    EXPECT_EQ(lookupProbability(lookupConditionalPmf1(pmf, 1), 2), 0.8);
}

TEST_F(PmfTest, ConditioningOnProbabilityZeroFails) {
    Pmf* pmf = exampleJoint();
    for (Int value : {2, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_MOVRA_ERROR(lookupConditionalPmf1(pmf, value),
                           "Attempt to condition on a value of probability zero");
        EXPECT_MOVRA_ERROR(lookupConditionalPmf(pmf, 1, value),
                           "Attempt to condition on a value of probability zero");
    }
    // A zero inside the stored range, whose slot is null, is refused before the slot is read.
    Pmf* gap = joint(simple(0, {0.5, 0.0, 0.5}), 2, {simple(0, {1.0}), nullptr, simple(1, {1.0})});
    EXPECT_MOVRA_ERROR(lookupConditionalPmf1(gap, 1),
                       "Attempt to condition on a value of probability zero");
}

TEST_F(PmfTest, ConditioningThroughSeveralLevels) {
    Pmf* pmf = defaultJointPmf(&obj, 3);
    Pmf* base = pmf->joint.marginal;
    EXPECT_EQ(lookupConditionalPmf(pmf, 1, 0), pmf->joint.elements[0]);
    EXPECT_EQ(lookupConditionalPmf(pmf, 2, 0, 0), base);
    EXPECT_MOVRA_ERROR(lookupConditionalPmf(pmf, 2, 0, 1),
                       "Attempt to condition on a value of probability zero");
}

struct TailCase {
    const char* name;
    Int offset;
    std::vector<Real> probabilities;
    Real epsilon;
    Int left;
    Int right;
};

class TailTest : public PmfTest, public ::testing::WithParamInterface<TailCase> {};

TEST_P(TailTest, CutOffPoints) {
    const TailCase& c = GetParam();
    Pmf* pmf = allocateSimplePmf(&obj, c.offset, Int(c.probabilities.size()));
    for (size_t k = 0; k < c.probabilities.size(); k++)
        pmf->simple.elements[k] = c.probabilities[k];
    EXPECT_EQ(computeLeftTail(pmf, c.epsilon), c.left);
    EXPECT_EQ(computeRightTail(pmf, c.epsilon), c.right);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TailTest,
    ::testing::Values(
        TailCase{"SmallTailsDropped", 0, {1e-09, 1e-09, 0.5, 0.5 - 4e-09, 2e-09}, 5e-09, 2, 3},
        TailCase{"EpsilonAboveTotal", 5, {1.0}, 2.0, 6, 5},
        TailCase{"AtomicSmallEpsilon", 7, {1.0}, 5e-09, 7, 7},
        TailCase{"AtomicEpsilonOne", 7, {1.0}, 1.0, 7, 7},
        TailCase{"ZeroEnds", 3, {0.0, 0.5, 0.5, 0.0}, 5e-09, 4, 5},
        TailCase{"Empty", 0, {}, 5e-09, 0, 0},
        // One past the range would be INT32_MAX + 1; the result must not overflow.
        TailCase{"RangeEndsAtLargestInt", INT32_MAX - 1, {0.5, 0.5}, 2.0, INT32_MAX, INT32_MAX - 1},
        TailCase{"AtomicAtLargestInt", INT32_MAX, {1.0}, 0.5, INT32_MAX, INT32_MAX}),
    [](const ::testing::TestParamInfo<TailCase>& info) { return info.param.name; });

TEST_F(PmfTest, TailsOfNonSimplePmfsFail) {
    for (Pmf* pmf : {exampleJoint(), createCompoundPmf(&obj, 1, createAtomicSimplePmf(&obj, 0))}) {
        EXPECT_MOVRA_ERROR(computeLeftTail(pmf, 5e-09), "computeLeftTail requires simple pmf");
        EXPECT_MOVRA_ERROR(computeRightTail(pmf, 5e-09), "computeRightTail requires simple pmf");
    }
}

// ---- Shape checks

TEST_F(PmfTest, ConfirmSingleShapes) {
    Pmf* s = createAtomicSimplePmf(&obj, 0);
    Pmf* j2 = defaultJointPmf(&obj, 2);
    Pmf* j3 = defaultJointPmf(&obj, 3);
    Pmf* c12 = createCompoundPmf(&obj, 2, s, j2);
    Pmf* c13 = createCompoundPmf(&obj, 2, s, j3);

    EXPECT_EQ(confirmSimplePmf(s), s);
    EXPECT_EQ(confirmJointPmf(j2, 2), j2);
    EXPECT_EQ(confirmJointPmf(j3, 3), j3);
    EXPECT_EQ(confirmCompoundPmf(c12, 2, 1, 2), c12);
    EXPECT_EQ(confirmCompoundPmf(c13, 2, 1, 3), c13);

    EXPECT_MOVRA_ERROR(confirmSimplePmf(j2), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmSimplePmf(c12), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmJointPmf(s, 2), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmJointPmf(j3, 2), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmJointPmf(c12, 2), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmCompoundPmf(s, 1, 1), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmCompoundPmf(c12, 2, 2, 1), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmCompoundPmf(c12, 3, 1, 2, 2), "Invalid value");
    EXPECT_MOVRA_ERROR(confirmCompoundPmf(c13, 2, 1, 2), "Invalid value");
}

TEST_F(PmfTest, ConfirmArraysCheckEveryElement) {
    Pmf* s = createAtomicSimplePmf(&obj, 0);
    Pmf* j2 = defaultJointPmf(&obj, 2);
    Pmf* c = createCompoundPmf(&obj, 2, s, j2);
    PmfArray* simples = array({s, s, s});
    PmfArray* thirdJoint = array({s, s, j2});
    PmfArray* compounds = array({c, c, c});
    PmfArray* thirdSimple = array({c, c, s});

    EXPECT_EQ(confirmSimplePmfArray(simples), simples);
    EXPECT_EQ(confirmSimplePmfArray(array({}))->length, 0);
    EXPECT_MOVRA_ERROR(confirmSimplePmfArray(thirdJoint), "Invalid value");
    EXPECT_EQ(confirmJointPmfArray(array({j2, j2}), 2)->length, 2);
    EXPECT_MOVRA_ERROR(confirmJointPmfArray(array({j2, s}), 2), "Invalid value");
    // The depth list is read afresh for every element.
    EXPECT_EQ(confirmCompoundPmfArray(compounds, 2, 1, 2), compounds);
    EXPECT_MOVRA_ERROR(confirmCompoundPmfArray(thirdSimple, 2, 1, 2), "Invalid value");
}

TEST_F(PmfTest, ConfirmMatricesCheckEveryRow) {
    Pmf* s = createAtomicSimplePmf(&obj, 0);
    Pmf* j2 = defaultJointPmf(&obj, 2);
    Pmf* c = createCompoundPmf(&obj, 2, s, j2);
    PmfMatrix* compounds = matrix({array({c, c}), array({c}), array({c, c})});
    PmfMatrix* joints = matrix({array({j2}), array({j2, j2})});

    EXPECT_EQ(confirmCompoundPmfMatrix(compounds, 2, 1, 2), compounds);
    EXPECT_MOVRA_ERROR(confirmCompoundPmfMatrix(matrix({array({c}), array({c, s})}), 2, 1, 2),
                       "Invalid value");
    EXPECT_EQ(confirmJointPmfMatrix(joints, 2), joints);
    EXPECT_MOVRA_ERROR(confirmJointPmfMatrix(joints, 3), "Invalid value");
    EXPECT_EQ(confirmSimplePmfMatrix(matrix({array({s}), array({})}))->length, 2);
    EXPECT_MOVRA_ERROR(confirmSimplePmfMatrix(matrix({array({s}), array({s, j2})})),
                       "Invalid value");
}

// ---- Sampling stack

TEST(SamplingStack, RunningProductsPerLevel) {
    SamplingStack stack(3);
    stack.set(0, 0.5);
    stack.branch(1, 0.4);
    stack.branch(2, 0.5);
    EXPECT_EQ(stack.branchProbability(0), 0.5);
    EXPECT_EQ(stack.branchProbability(1), 0.5 * 0.4);
    EXPECT_EQ(stack.branchProbability(2), (0.5 * 0.4) * 0.5);
    stack.branch(1, 0.25);
    EXPECT_EQ(stack.branchProbability(1), 0.125);
    EXPECT_EQ(stack.branchProbability(2), (0.5 * 0.4) * 0.5);
}

}  // namespace
