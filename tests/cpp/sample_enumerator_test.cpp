// The walk over the outcomes of a simple or joint PMF: order, probabilities, skipped zero
// entries and null slots, repeated walks, and a recordSample that throws.
#include "pmf/sample_enumerator.h"

#include <gtest/gtest.h>
#include <limits>
#include <utility>
#include <vector>

#include "pmf/pmf.h"
#include "runtime/arena.h"
#include "runtime/error.h"
#include "test_support.h"

namespace {

typedef std::pair<std::vector<Int>, Real> Outcome;

class Recorder : public SampleEnumerator {
public:
    std::vector<Outcome> outcomes;
    int throwAt = -1;  // index of the outcome at which recordSample throws; -1 for none

    explicit Recorder(Pmf* pmf) : SampleEnumerator(pmf) {}
    void recordSample() override {
        if (int(outcomes.size()) == throwAt) throw CException("stop");
        std::vector<Int> values;
        for (int32_t l = 1; l <= depth; l++) values.push_back(records[l].value);
        outcomes.emplace_back(values, records[depth].probability);
    }
};

class SampleEnumeratorTest : public ArenaFixture {
protected:
    static std::vector<Outcome> walk(Pmf* pmf) {
        Recorder recorder(pmf);
        recorder.run();
        EXPECT_EQ(recorder.level, 0);
        return recorder.outcomes;
    }
};

TEST_F(SampleEnumeratorTest, SimplePmfSkipsEntriesNotAboveZero) {
    EXPECT_EQ(walk(simple(2, {0.25, 0.0, 0.75})), (std::vector<Outcome>{{{2}, 0.25}, {{4}, 0.75}}));
    const Real nan = std::numeric_limits<Real>::quiet_NaN();
    EXPECT_EQ(walk(simple(0, {nan, -0.5, -0.0, 0.5})), (std::vector<Outcome>{{{3}, 0.5}}));
}

TEST_F(SampleEnumeratorTest, EmptyPmfsHaveNoOutcomes) {
    EXPECT_TRUE(walk(allocateSimplePmf(&obj, 0, 0)).empty());
    EXPECT_TRUE(walk(allocateEmptyJointPmf(&obj, 2)).empty());
    EXPECT_TRUE(walk(allocateEmptyJointPmf(&obj, 3)).empty());
}

TEST_F(SampleEnumeratorTest, JointOutcomesComeInLexicographicOrder) {
    EXPECT_EQ(walk(exampleJoint()),
              (std::vector<Outcome>{{{0, 3}, 0.5}, {{1, 1}, 0.5 * 0.2}, {{1, 2}, 0.5 * 0.8}}));
}

TEST_F(SampleEnumeratorTest, DefaultJointOfDepthThreeHasOneOutcome) {
    Recorder recorder(defaultJointPmf(&obj, 3));
    EXPECT_EQ(recorder.depth, 3);
    EXPECT_FALSE(recorder.isPrevious);
    recorder.run();
    EXPECT_EQ(recorder.outcomes, (std::vector<Outcome>{{{0, 0, 0}, 1.0}}));
}

TEST_F(SampleEnumeratorTest, ProbabilitiesMultiplyFromTheOutsideIn) {
    Pmf* inner = joint(simple(1, {0.3, 0.7}), 2, {simple(0, {0.1, 0.9}), simple(5, {1.0})});
    Pmf* pmf = joint(simple(2, {0.6}), 3, {inner});
    EXPECT_EQ(walk(pmf), (std::vector<Outcome>{{{2, 1, 0}, ((1.0 * 0.6) * 0.3) * 0.1},
                                               {{2, 1, 1}, ((1.0 * 0.6) * 0.3) * 0.9},
                                               {{2, 2, 5}, ((1.0 * 0.6) * 0.7) * 1.0}}));
}

TEST_F(SampleEnumeratorTest, NullSlotWhereTheMarginalIsZeroIsNeverReached) {
    Pmf* pmf = joint(simple(0, {0.5, 0.0, 0.5}), 2, {simple(4, {1.0}), nullptr, simple(6, {1.0})});
    EXPECT_EQ(walk(pmf), (std::vector<Outcome>{{{0, 4}, 0.5}, {{2, 6}, 0.5}}));
}

TEST_F(SampleEnumeratorTest, RunRepeatsTheWalk) {
    Recorder recorder(exampleJoint());
    recorder.run();
    recorder.run();
    ASSERT_EQ(recorder.outcomes.size(), 6u);
    for (size_t k = 0; k < 3; k++) EXPECT_EQ(recorder.outcomes[k], recorder.outcomes[k + 3]);
}

TEST_F(SampleEnumeratorTest, ThrowingRecordSampleLeavesTheWalkReusable) {
    SampleEnumerator* enumerator = new Recorder(exampleJoint());
    Recorder* recorder = static_cast<Recorder*>(enumerator);
    recorder->throwAt = 1;
    EXPECT_THROW(recorder->run(), CException);
    EXPECT_EQ(recorder->level, 0);
    recorder->throwAt = -1;
    recorder->outcomes.clear();
    recorder->run();
    EXPECT_EQ(recorder->outcomes.size(), 3u);
    delete enumerator;  // through the base: the records must still be released
}

TEST_F(SampleEnumeratorTest, CompoundPmfsAreRefused) {
    Pmf* compound = createCompoundPmf(&obj, 1, createAtomicSimplePmf(&obj, 0));
    try {
        Recorder recorder(compound);
        FAIL() << "compound accepted";
    } catch (const CException& e) {
        EXPECT_STREQ(e.message, "MOVRA internal error");
    }
    // Met during the walk, as a conditional.
    Recorder recorder(joint(simple(0, {1.0}), 2, {compound}));
    try {
        recorder.run();
        FAIL() << "compound walked";
    } catch (const CException& e) {
        EXPECT_STREQ(e.message, "MOVRA internal error");
    }
    EXPECT_EQ(recorder.level, 0);
}

}  // namespace
