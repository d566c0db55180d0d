// Simple, joint and compound accumulators: normalisation and the collected total, window
// growth, weight rules, failures (the accumulator must stay usable and leak nothing), and
// values at the top of the Int range.
#include "pmf/accumulator.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "param_name.h"
#include "pmf/compound_accumulator.h"
#include "pmf/joint_accumulator.h"
#include "pmf/pmf.h"
#include "pmf/pmf_query.h"
#include "runtime/arena.h"
#include "runtime/error.h"
#include "test_support.h"

namespace {
uint64_t bitsOf(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
}  // namespace

namespace {

std::vector<Real> probabilities(const Pmf* pmf) {
    return std::vector<Real>(+pmf->simple.elements, pmf->simple.elements + pmf->simple.length);
}

class AccumulatorTest : public ArenaFixture {
protected:
    void TearDown() override {
        ArenaFixture::TearDown();
        EXPECT_EQ(obj.memList, nullptr);
    }
};

// ---- Simple accumulator

struct SimpleCase {
    const char* name;
    std::vector<std::pair<Real, Int>> puts;  // (weight, value)
    Int offset;
    std::vector<Real> expected;
    Real sum;
};

class SimpleAccumulatorCase : public AccumulatorTest,
                              public ::testing::WithParamInterface<SimpleCase> {};

TEST_P(SimpleAccumulatorCase, NormalisedPmfAndTotal) {
    const SimpleCase& c = GetParam();
    SimpleAccumulator acc(&obj);
    for (const auto& put : c.puts) acc.putSingle(put.first, put.second);
    Pmf* pmf = acc.toPmf();
    EXPECT_EQ(pmf->pmfType, SIMPLE);
    EXPECT_EQ(pmf->simple.offset, c.offset);
    EXPECT_EQ(probabilities(pmf), c.expected);
    EXPECT_EQ(acc.sum, c.sum);
}

std::vector<Real> zerosExceptEnds(size_t n, Real first, Real last) {
    std::vector<Real> v(n, 0.0);
    v.front() = first;
    v.back() = last;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleAccumulatorCase,
    ::testing::Values(
        SimpleCase{"WeightsAddUp", {{0.2, 3}, {0.2, 3}, {0.6, 5}}, 3, {0.4, 0.0, 0.6}, 1.0},
        SimpleCase{
            "DividedByTotal", {{0.5, 2}, {0.25, 4}}, 2, {0.5 / 0.75, 0.0, 0.25 / 0.75}, 0.75},
        SimpleCase{
            "WeightAboveOneCountsAsOne", {{3.0, 1}, {0.5, 2}}, 1, {1.0 / 1.5, 0.5 / 1.5}, 1.5},
        SimpleCase{"NonPositiveWeightsIgnoredEvenForNegativeValues",
                   {{0.0, -5}, {-1.0, -3}, {-0.0, 2}, {0.5, 7}, {-2.0, 9}},
                   7,
                   {1.0},
                   0.5},
        SimpleCase{"ZeroEndsTrimmedAfterGrowth",
                   {{0.25, 100}, {0.75, 0}},
                   0,
                   zerosExceptEnds(101, 0.75, 0.25),
                   1.0},
        SimpleCase{"TopOfTheIntRange",
                   {{0.5, INT32_MAX - 1}, {0.5, INT32_MAX}},
                   INT32_MAX - 1,
                   {0.5, 0.5},
                   1.0}),
    [](const ::testing::TestParamInfo<SimpleCase>& info) { return info.param.name; });

struct Growth {
    int32_t offset, length;
    Int value;
    int32_t newOffset, newLength;
};

class WindowGrowth : public ::testing::TestWithParam<Growth> {};

TEST_P(WindowGrowth, DoublesTowardsTheNewValue) {
    const Growth& g = GetParam();
    int32_t offset = -1, length = -1;
    growWindow(g.offset, g.length, g.value, offset, length);
    EXPECT_EQ(offset, g.newOffset);
    EXPECT_EQ(length, g.newLength);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WindowGrowth,
                         ::testing::Values(Growth{10, 5, 8, 1, 14}, Growth{3, 2, 1, 0, 8},
                                           Growth{3, 2, 9, 3, 14}, Growth{0, 0, 5, 5, 1},
                                           Growth{100, 1, 0, 0, 202},
                                           Growth{INT32_MAX - 1, 1, INT32_MAX, INT32_MAX - 1, 2}),
                         [](const ::testing::TestParamInfo<Growth>& info) {
                             const Growth& g = info.param;
                             return "Offset" + std::to_string(g.offset) + "Length" +
                                    std::to_string(g.length) + "Value" + std::to_string(g.value);
                         });

// A window holding both 0 and the largest Int has 2^31 slots, more than an Int can count:
// the growth must refuse it rather than hand back a wrapped length.
TEST(WindowGrowthLimits, WindowLongerThanAnIntCanCountIsRefused) {
    const std::pair<int32_t, Int> requests[] = {{INT32_MAX, 0}, {0, INT32_MAX}};
    for (const auto& r : requests) {
        int32_t offset = 0, length = 0;
        try {
            growWindow(r.first, 1, r.second, offset, length);
        } catch (const CException& e) {
            EXPECT_STREQ(e.message, "Out of memory");
            continue;
        }
        EXPECT_GT(length, 0) << "window at " << r.first << " taking " << r.second;
    }
}

TEST_F(AccumulatorTest, WindowGrowsByTheRule) {
    SimpleAccumulator acc(&obj);
    EXPECT_TRUE(acc.isEmpty());
    acc.putSingle(0.25, 100);
    EXPECT_FALSE(acc.isEmpty());
    EXPECT_EQ(acc.offset, 100);
    EXPECT_EQ(acc.length, 1);
    acc.putSingle(0.75, 0);
    EXPECT_EQ(acc.offset, 0);
    EXPECT_EQ(acc.length, 202);
    EXPECT_EQ(acc.elements[100], 0.25);
    EXPECT_EQ(acc.elements[0], 0.75);
}

TEST_F(AccumulatorTest, ValuesAtBothEndsOfTheIntRangeDoNotOverflow) {
    const std::pair<Int, Int> orders[] = {{INT32_MAX, 0}, {0, INT32_MAX}};
    for (const auto& order : orders) {
        SimpleAccumulator acc(&obj);
        acc.putSingle(0.5, order.first);
        try {
            acc.putSingle(0.5, order.second);
        } catch (const CException& e) {
            EXPECT_STREQ(e.message, "Out of memory");
            EXPECT_EQ(probabilities(acc.toPmf()), std::vector<Real>{1.0});  // unchanged
            continue;
        }
        Pmf* pmf = acc.toPmf();
        EXPECT_EQ(lookupProbability(pmf, 0), 0.5);
        EXPECT_EQ(lookupProbability(pmf, INT32_MAX), 0.5);
    }
}

TEST_F(AccumulatorTest, SimpleFailures) {
    SimpleAccumulator acc(&obj);
    EXPECT_MOVRA_ERROR(acc.toPmf(), "Empty pmf");
    acc.putSingle(0.0, 3)->putSingle(-0.5, 3);
    EXPECT_MOVRA_ERROR(acc.toPmf(), "Empty pmf");
    EXPECT_MOVRA_ERROR(acc.putSingle(0.1, -1), "Negative integer in pmf support");
    EXPECT_MOVRA_ERROR(acc.put(0.1, -1), "Negative integer in pmf support");
    EXPECT_MOVRA_ERROR(acc.putDouble(0.5, 1, 2), "MOVRA internal error");
    EXPECT_TRUE(acc.isEmpty());

    acc.putSingle(0.5, 4);
    EXPECT_MOVRA_ERROR(acc.putSingle(0.5, INT32_MIN), "Negative integer in pmf support");
    Pmf* pmf = acc.toPmf();
    EXPECT_EQ(pmf->simple.offset, 4);
    EXPECT_EQ(probabilities(pmf), std::vector<Real>{1.0});
}

TEST_F(AccumulatorTest, VariadicPutClampsAndSkips) {
    SimpleAccumulator acc(&obj);
    acc.put(2.0, 1)->put(0.0, -7)->put(-1.0, -7)->put(0.5, 2);
    EXPECT_EQ(probabilities(acc.toPmf()), (std::vector<Real>{1.0 / 1.5, 0.5 / 1.5}));
}

TEST_F(AccumulatorTest, ToPmfLeavesTheAccumulatorAsItWas) {
    SimpleAccumulator acc(&obj);
    acc.putSingle(0.25, 1)->putSingle(0.75, 3);
    Pmf* first = acc.toPmf();
    Pmf* second = acc.toPmf();
    EXPECT_FALSE(isSamePmfInstance(first, second));
    EXPECT_EQ(first->simple.offset, second->simple.offset);
    EXPECT_EQ(probabilities(first), probabilities(second));
    acc.putSingle(1.0, 2);
    EXPECT_EQ(probabilities(acc.toPmf()), (std::vector<Real>{0.25 / 2.0, 1.0 / 2.0, 0.75 / 2.0}));
    EXPECT_EQ(acc.sum, 2.0);
}

TEST_F(AccumulatorTest, ToPmfAndDeleteReleasesTheAccumulator) {
    Pmf* pmf = (new SimpleAccumulator(&obj))->putSingle(1.0, 1)->toPmfAndDelete();
    EXPECT_EQ(pmf->simple.offset, 1);
    EXPECT_EQ(probabilities(pmf), std::vector<Real>{1.0});

    // Also when the conversion fails (ASan reports a leak otherwise).
    Accumulator* failing[] = {
        new SimpleAccumulator(&obj), new JointAccumulator(&obj, 2),
        new CompoundAccumulator(&obj, createCompoundPmfConfig(&obj, 2, 1, 2))};
    for (Accumulator* acc : failing) EXPECT_MOVRA_ERROR(acc->toPmfAndDelete(), "Empty pmf");

    JointAccumulator* joint = new JointAccumulator(&obj, 3);
    joint->put(0.5, 1, 2, 3);
    Pmf* jointPmf = joint->toPmfAndDelete();
    EXPECT_EQ(jointPmf->joint.depth, 3);
}

// ---- Joint accumulator

TEST_F(AccumulatorTest, JointDepthTwoExample) {
    JointAccumulator acc(&obj, 2);
    EXPECT_TRUE(acc.isEmpty());
    acc.putDouble(0.5, 1, 3)->putDouble(0.25, 1, 4)->putDouble(0.25, 3, 0);
    EXPECT_EQ(acc.offset, 1);
    ASSERT_EQ(acc.length, 6);
    // Children only for the values that received a weight.
    for (int32_t k = 0; k < acc.length; k++)
        EXPECT_EQ(acc.elements[k] != nullptr, k == 0 || k == 2);

    Pmf* pmf = acc.toPmf();
    EXPECT_EQ(acc.sum, 1.0);
    ASSERT_EQ(pmf->pmfType, JOINT);
    EXPECT_EQ(pmf->joint.depth, 2);
    Pmf* marginal = pmf->joint.marginal;
    EXPECT_EQ(marginal->simple.offset, 1);
    EXPECT_EQ(probabilities(marginal), (std::vector<Real>{0.75, 0.0, 0.25}));
    ASSERT_NE(pmf->joint.elements[0], nullptr);
    EXPECT_EQ(pmf->joint.elements[0]->simple.offset, 3);
    EXPECT_EQ(probabilities(pmf->joint.elements[0]), (std::vector<Real>{0.5 / 0.75, 0.25 / 0.75}));
    EXPECT_EQ(pmf->joint.elements[1], nullptr);
    ASSERT_NE(pmf->joint.elements[2], nullptr);
    EXPECT_EQ(pmf->joint.elements[2]->simple.offset, 0);
    EXPECT_EQ(probabilities(pmf->joint.elements[2]), std::vector<Real>{1.0});
}

TEST_F(AccumulatorTest, JointMarginalIsTheShareOfCollectedWeight) {
    JointAccumulator acc(&obj, 2);
    acc.putDouble(0.3, 0, 0)->putDouble(0.3, 1, 0)->putDouble(0.0, -1, -1);
    Pmf* pmf = acc.toPmf();
    EXPECT_EQ(probabilities(pmf->joint.marginal), (std::vector<Real>{0.3 / 0.6, 0.3 / 0.6}));
    EXPECT_EQ(acc.sum, 0.3 + 0.3);

    JointAccumulator clamped(&obj, 2);
    clamped.putDouble(5.0, 0, 1)->put(7.0, 1, 1)->putDouble(0.5, 1, 2);
    EXPECT_EQ(probabilities(clamped.toPmf()->joint.marginal),
              (std::vector<Real>{1.0 / 2.5, 1.5 / 2.5}));
}

TEST_F(AccumulatorTest, JointDepthThreeThroughPut) {
    JointAccumulator acc(&obj, 3);
    acc.put(0.5, 0, 1, 2)->put(0.5, 0, 1, 3);
    Pmf* pmf = acc.toPmf();
    EXPECT_EQ(pmf->joint.depth, 3);
    EXPECT_EQ(probabilities(pmf->joint.marginal), std::vector<Real>{1.0});
    Pmf* inner = pmf->joint.elements[0];
    ASSERT_EQ(inner->pmfType, JOINT);
    EXPECT_EQ(inner->joint.depth, 2);
    EXPECT_EQ(inner->joint.marginal->simple.offset, 1);
    EXPECT_EQ(probabilities(inner->joint.marginal), std::vector<Real>{1.0});
    EXPECT_EQ(inner->joint.elements[0]->simple.offset, 2);
    EXPECT_EQ(probabilities(inner->joint.elements[0]), (std::vector<Real>{0.5, 0.5}));

    JointAccumulator spread(&obj, 3);
    spread.put(0.25, 0, 1, 2)->put(0.75, 2, 0, 0);
    Pmf* sp = spread.toPmf();
    EXPECT_EQ(probabilities(sp->joint.marginal), (std::vector<Real>{0.25, 0.0, 0.75}));
    EXPECT_EQ(sp->joint.elements[1], nullptr);
    EXPECT_EQ(spread.sum, 1.0);
}

TEST_F(AccumulatorTest, JointFailures) {
    JointAccumulator two(&obj, 2), three(&obj, 3), one(&obj, 1);
    EXPECT_MOVRA_ERROR(two.toPmf(), "Empty pmf");
    EXPECT_MOVRA_ERROR(two.putDouble(0.5, -1, 2), "Samples must be nonnegative integers");
    EXPECT_MOVRA_ERROR(two.put(0.5, -1, 2), "Samples must be nonnegative integers");
    EXPECT_TRUE(two.isEmpty());
    EXPECT_MOVRA_ERROR(two.putDouble(0.5, 2, -1), "Negative integer in pmf support");
    EXPECT_MOVRA_ERROR(two.putSingle(0.5, 2), "MOVRA internal error");
    EXPECT_MOVRA_ERROR(three.putDouble(0.5, 1, 2), "MOVRA internal error");
    EXPECT_MOVRA_ERROR(three.put(0.5, 0, -1, 2), "Samples must be nonnegative integers");
    EXPECT_MOVRA_ERROR(three.put(0.5, 0, 1, -1), "Negative integer in pmf support");
    EXPECT_MOVRA_ERROR(one.put(0.5, 1), "MOVRA internal error");

    // A weight not above 0 is never looked at further, whatever the values.
    three.put(0.0, -1, -1, -1)->put(-0.5, -1, 2, 3);
    JointAccumulator untouched(&obj, 3);
    untouched.put(0.0, 5, 1, 2);
    EXPECT_TRUE(untouched.isEmpty());

    // A failed put adds no weight: the child it widened for stays empty.
    two.putDouble(0.5, 4, 1);
    Pmf* pmf = two.toPmf();
    EXPECT_EQ(pmf->joint.marginal->simple.offset, 4);
    EXPECT_EQ(probabilities(pmf->joint.marginal), std::vector<Real>{1.0});
}

TEST_F(AccumulatorTest, JointValuesAtTheTopOfTheIntRange) {
    JointAccumulator acc(&obj, 2);
    acc.putDouble(0.5, INT32_MAX, INT32_MAX);
    bool grew = true;
    try {
        acc.putDouble(0.5, 0, 0);
    } catch (const CException& e) {
        EXPECT_STREQ(e.message, "Out of memory");
        grew = false;
    }
    Pmf* marginal = acc.toPmf()->joint.marginal;
    EXPECT_EQ(lookupProbability(marginal, INT32_MAX), grew ? 0.5 : 1.0);
    EXPECT_EQ(lookupProbability(marginal, 0), grew ? 0.5 : 0.0);
}

// ---- Compound accumulator

TEST_F(AccumulatorTest, CompoundKeepsEachComponent) {
    CompoundAccumulator acc(&obj, createCompoundPmfConfig(&obj, 2, 1, 2));
    EXPECT_TRUE(acc.isEmpty());
    EXPECT_MOVRA_ERROR(acc.toPmf(), "Empty pmf");
    acc.put(0.0, -1, -1, -1);
    EXPECT_TRUE(acc.isEmpty());
    acc.put(0.5, 3, 1, 2)->put(0.5, 4, 1, 3);
    Pmf* pmf = acc.toPmf();
    ASSERT_EQ(pmf->pmfType, COMPOUND);
    ASSERT_EQ(pmf->compound.length, 2);
    Pmf* first = pmf->compound.elements[0];
    EXPECT_EQ(first->simple.offset, 3);
    EXPECT_EQ(probabilities(first), (std::vector<Real>{0.5, 0.5}));
    Pmf* second = pmf->compound.elements[1];
    ASSERT_EQ(second->pmfType, JOINT);
    EXPECT_EQ(second->joint.marginal->simple.offset, 1);
    EXPECT_EQ(probabilities(second->joint.marginal), std::vector<Real>{1.0});
    EXPECT_EQ(second->joint.elements[0]->simple.offset, 2);
    EXPECT_EQ(probabilities(second->joint.elements[0]), (std::vector<Real>{0.5, 0.5}));
    EXPECT_EQ(acc.sum, 1.0);  // the last component's total

    EXPECT_MOVRA_ERROR(acc.putSingle(0.5, 1), "MOVRA internal error");
    EXPECT_MOVRA_ERROR(acc.putDouble(0.5, 1, 2), "MOVRA internal error");
}

TEST_F(AccumulatorTest, CompoundReadsEachComponentsValuesInOrder) {
    CompoundAccumulator acc(&obj, createCompoundPmfConfig(&obj, 3, 2, 1, 3));
    acc.put(0.25, 1, 2, 3, 4, 5, 6)->put(0.75, 1, 7, 8, 9, 10, 11);
    Pmf* pmf = acc.toPmf();
    Pmf* j2 = pmf->compound.elements[0];
    Pmf* s = pmf->compound.elements[1];
    Pmf* j3 = pmf->compound.elements[2];
    EXPECT_EQ(j2->joint.marginal->simple.offset, 1);
    EXPECT_EQ(j2->joint.elements[0]->simple.offset, 2);
    EXPECT_EQ(probabilities(j2->joint.elements[0]).size(), 6u);  // 2 .. 7
    EXPECT_EQ(s->simple.offset, 3);
    EXPECT_EQ(lookupProbability(s, 8), 0.75);
    EXPECT_EQ(j3->joint.depth, 3);
    EXPECT_EQ(j3->joint.marginal->simple.offset, 4);
    EXPECT_EQ(probabilities(j3->joint.marginal), (std::vector<Real>{0.25, 0, 0, 0, 0, 0.75}));
    EXPECT_EQ(acc.sum, 1.0);
}

// ---- Scaled runs, the grid, and totals per accumulator

// A scaled run must leave every slot with the bits putSingle, entry by entry, would give:
// the maps' results depend on it.
TEST_F(AccumulatorTest, PutScaledGivesTheBitsOfPutSingle) {
    const std::vector<Real> p = {0.0, 0.3, 0.0, 1.0 / 3.0, 0.2, 0.0};  // zero ends and inside
    const PmfRun run = PmfRun::of(p.data(), 2, Int(p.size()));
    EXPECT_EQ(run.first, 3);
    EXPECT_EQ(run.count, 4);
    EXPECT_EQ(run.peak, 1.0 / 3.0);
    // (scale, shift): growth up and down, overlap, a weight clamped to 1.
    const std::vector<std::pair<Real, int64_t>> puts = {{0.7, 10}, {0.1, 0},        {0.25, 11},
                                                        {3.5, 4},  {1.0 / 7.0, 30}, {0.6, 10}};
    SimpleAccumulator scaled(&obj), single(&obj);
    for (const auto& put : puts) {
        scaled.putScaled(put.first, run, put.second);
        for (Int k = 0; k < run.count; k++)
            single.putSingle(put.first * run.p[k], Int(run.first + put.second + k));
    }
    Pmf* a = scaled.toPmf();
    Pmf* b = single.toPmf();
    EXPECT_EQ(a->simple.offset, b->simple.offset);
    EXPECT_EQ(probabilities(a), probabilities(b));
    EXPECT_EQ(scaled.sum, single.sum);

    // Weights that all underflow to 0 put nothing: the accumulator stays empty.
    SimpleAccumulator tiny(&obj);
    tiny.putScaled(1e-300, PmfRun::of(std::vector<Real>{1e-300}.data(), 0, 1));
    EXPECT_TRUE(tiny.isEmpty());
    EXPECT_MOVRA_ERROR(tiny.toPmf(), "Empty pmf");
}

TEST_F(AccumulatorTest, GridGivesWhatTheJointAccumulatorGives) {
    const std::vector<Real> p = {0.5, 0.25, 0.0, 0.25};  // second values 1 .. 4
    const PmfRun run = PmfRun::of(p.data(), 1, Int(p.size()));
    // Rows 2 .. 9 with nothing at 2, 5 and 9: empty rows at both ends and inside.
    const std::vector<std::pair<Int, Real>> puts = {
        {3, 0.2}, {4, 0.1}, {3, 0.05}, {8, 0.4}, {6, 1.5}};
    JointGridAccumulator grid(&obj, 2, 9, 1, 4);
    JointAccumulator joint(&obj, 2);
    for (const auto& put : puts) {
        grid.putScaled(put.first, put.second, run);
        for (Int k = 0; k < run.count; k++)
            joint.putDouble(put.second * run.p[k], put.first, run.first + k);
    }
    grid.putScaledPair(4, 0.3, run, 0.1, run);
    for (Real scale : {0.3, 0.1})
        for (Int k = 0; k < run.count; k++) joint.putDouble(scale * run.p[k], 4, run.first + k);
    Pmf* a = grid.toPmf();
    Pmf* b = joint.toPmf();
    EXPECT_EQ(grid.sum, joint.sum);
    ASSERT_EQ(a->joint.marginal->simple.offset, b->joint.marginal->simple.offset);
    ASSERT_EQ(probabilities(a->joint.marginal), probabilities(b->joint.marginal));
    for (Int k = 0; k < a->joint.marginal->simple.length; k++) {
        Pmf* ca = a->joint.elements[k];
        Pmf* cb = b->joint.elements[k];
        ASSERT_EQ(ca == nullptr, cb == nullptr) << k;
        if (ca == nullptr) continue;
        EXPECT_EQ(ca->simple.offset, cb->simple.offset) << k;
        EXPECT_EQ(probabilities(ca), probabilities(cb)) << k;
    }
    // Weights of 0 added straight into the cells make no row.
    JointGridAccumulator empty(&obj, 0, 3, 1, 2);
    empty.direct().cells[3] += 0.0;
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_MOVRA_ERROR(empty.toPmf(), "Empty pmf");
}

// Two slots at a time give the scalar loop's bits: clamped above 1, not-a-number kept,
// every length (odd ones leave a scalar slot).
TEST(ScaledAdd, MatchesTheScalarLoop) {
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    const std::vector<Real> p0 = {0.1, 0.7, 3.0, 0.0, nan, 1e-300, 0.5};
    const std::vector<Real> p1 = {0.9, 2.5, 0.3, 1e-310, 0.2, nan, 0.25};
    for (Real s0 : {0.3, 1.0, 7.0}) {
        for (int64_t n = 0; n <= int64_t(p0.size()); n++) {
            std::vector<Real> one(n, 0.125), shifted(n, 0.125), pair(n, 0.125), want1(n, 0.125),
                want2(n, 0.125);
            addScaled(one.data(), s0, p0.data(), n);
            addScaled<0, true>(shifted.data(), s0, p0.data(), n);
            addScaledPair(pair.data(), s0, p0.data(), 0.6, p1.data(), n);
            for (int64_t k = 0; k < n; k++) {
                want1[k] += clampWeight(s0 * p0[k]);
                want2[k] += clampWeight(s0 * p0[k]);
                want2[k] += clampWeight(0.6 * p1[k]);
            }
            for (int64_t k = 0; k < n; k++) {
                EXPECT_EQ(bitsOf(one[k]), bitsOf(want1[k])) << n << " " << k;
                EXPECT_EQ(bitsOf(shifted[k]), bitsOf(want1[k])) << n << " " << k;
                EXPECT_EQ(bitsOf(pair[k]), bitsOf(want2[k])) << n << " " << k;
            }
        }
    }
}

// Each accumulator keeps its own total: converting one does not change another's.
TEST_F(AccumulatorTest, TotalsBelongToEachAccumulator) {
    SimpleAccumulator a(&obj), b(&obj);
    a.putSingle(0.25, 1);
    b.putSingle(0.5, 2)->putSingle(0.25, 3);
    a.toPmf();
    b.toPmf();
    EXPECT_EQ(a.sum, 0.25);
    EXPECT_EQ(b.sum, 0.75);
    // A cleared accumulator is empty again and can be reused.
    a.clear();
    EXPECT_TRUE(a.isEmpty());
    EXPECT_MOVRA_ERROR(a.toPmf(), "Empty pmf");
    a.putSingle(0.5, 7);
    EXPECT_EQ(probabilities(a.toPmf()), std::vector<Real>{1.0});
    EXPECT_EQ(a.sum, 0.5);
}

}  // namespace
