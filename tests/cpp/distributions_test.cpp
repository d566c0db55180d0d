// Standard distributions: degenerate and refused arguments, exact bits for small cases
// (golden values of the log-space formulas in their fixed order), and agreement with
// independent long-double references over ranges of parameters.
#include "pmf/distributions.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "containers/array_distributions.h"
#include "pmf/multinomial_hypergeometric.h"
#include "runtime/error.h"
#include "runtime/messages.h"
#include "test_support.h"

namespace {

using Outcomes = std::map<std::vector<Int>, Real>;

std::vector<Real> entries(Pmf* pmf) {
    return std::vector<Real>(+pmf->simple.elements, pmf->simple.elements + pmf->simple.length);
}

// Outcomes of positive probability of a simple or joint PMF, with their probabilities.
void collect(Pmf* pmf, std::vector<Int>& prefix, Real weight, Outcomes& out) {
    Pmf* first = pmf->pmfType == JOINT ? pmf->joint.marginal : pmf;
    for (Int k = 0; k < first->simple.length; k++) {
        Real p = first->simple.elements[k];
        if (!(p > 0)) continue;
        prefix.push_back(first->simple.offset + k);
        if (pmf->pmfType == JOINT) {
            collect(pmf->joint.elements[k], prefix, weight * p, out);
        } else {
            out[prefix] += weight * p;
        }
        prefix.pop_back();
    }
}

Outcomes outcomes(Pmf* pmf) {
    Outcomes out;
    std::vector<Int> prefix;
    collect(pmf, prefix, 1.0, out);
    return out;
}

void expectOutcomesNear(const Outcomes& actual, const Outcomes& expected, Real tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (const auto& [key, p] : expected) {
        auto it = actual.find(key);
        ASSERT_NE(it, actual.end());
        EXPECT_NEAR(it->second, p, tolerance);
    }
}

long double logChoose(long double n, long double k) {
    return (std::lgamma(n + 1) - std::lgamma(k + 1)) - std::lgamma(n - k + 1);
}

class DistributionsTest : public ::testing::Test {
protected:
    MovraObject obj{};
    MovraObject* o = &obj;
    void TearDown() override { release(&obj); }

    Pmf* simplePmf(std::vector<Real> values) {
        Pmf* pmf = allocateSimplePmf(o, 0, int(values.size()));
        for (size_t i = 0; i < values.size(); i++) pmf->simple.elements[i] = values[i];
        return pmf;
    }
    IntArray* ints(std::vector<Int> values) {
        IntArray* a = createIntArray(o, Int(values.size()));
        for (size_t i = 0; i < values.size(); i++) a->elements[i] = values[i];
        return a;
    }
};

struct Atomic {
    const char* name;
    std::function<Pmf*(MovraObject*)> make;
    Int value;
};

TEST_F(DistributionsTest, ClampedAndDegenerateArgumentsGiveAtomicPmfs) {
    const Real inf = INFINITY;
    const Atomic cases[] = {
        {"bernoulli 0", [](MovraObject* ob) { return bernoulli(ob, 0); }, 0},
        {"bernoulli -1", [](MovraObject* ob) { return bernoulli(ob, -1); }, 0},
        {"bernoulli 1", [](MovraObject* ob) { return bernoulli(ob, 1); }, 1},
        {"bernoulli 2", [](MovraObject* ob) { return bernoulli(ob, 2); }, 1},
        {"bernoulli inf", [&](MovraObject* ob) { return bernoulli(ob, inf); }, 1},
        {"binomial 3, 0", [](MovraObject* ob) { return binomial(ob, 3, 0); }, 0},
        {"binomial 3, 1", [](MovraObject* ob) { return binomial(ob, 3, 1); }, 3},
        {"binomial 5, -inf", [&](MovraObject* ob) { return binomial(ob, 5, -inf); }, 0},
        {"binomial 5, 1.5", [](MovraObject* ob) { return binomial(ob, 5, 1.5); }, 5},
        {"binomial -3, 0", [](MovraObject* ob) { return binomial(ob, -3, 0); }, 0},
        {"binomial huge, 0", [](MovraObject* ob) { return binomial(ob, INT_MAX, 0); }, 0},
        {"hypergeometric 0,0,0", [](MovraObject* ob) { return hypergeometric(ob, 0, 0, 0); }, 0},
        {"multinomial one category",
         [this](MovraObject* ob) { return multinomial(ob, 4, 1, simplePmf({1.0})); }, 4},
        {"mv hypergeometric one category",
         [this](MovraObject* ob) { return multivariateHypergeometric(ob, 5, 3, 1, ints({5})); }, 3},
    };
    for (const Atomic& c : cases) {
        SCOPED_TRACE(c.name);
        Pmf* pmf = c.make(o);
        ASSERT_EQ(pmf->pmfType, SIMPLE);
        EXPECT_EQ(pmf->simple.offset, c.value);
        EXPECT_EQ(entries(pmf), std::vector<Real>({1.0}));
    }
    // n = 0 with 0 < p < 1 goes through the recursion and lands on the same PMF.
    Pmf* zeroTrials = binomial(o, 0, 0.3);
    EXPECT_EQ(zeroTrials->simple.offset, 0);
    EXPECT_EQ(entries(zeroTrials), std::vector<Real>({1.0}));
    EXPECT_EQ(entries(bernoulli(o, 0.3)), std::vector<Real>({1 - 0.3, 0.3}));
    // Certain hypergeometric outcomes still go through the table: 1 up to rounding.
    Pmf* allMarked = hypergeometric(o, 4, 4, 2);
    EXPECT_EQ(allMarked->simple.offset, 2);
    ASSERT_EQ(allMarked->simple.length, 1);
    EXPECT_NEAR(allMarked->simple.elements[0], 1.0, 1e-15);
}

struct Refusal {
    const char* name;
    std::function<void(MovraObject*)> call;
    const char* message;
};

TEST_F(DistributionsTest, RefusedArgumentsFailWithTheFamilysMessage) {
    const Real nan = NAN;
    auto p2 = [this] { return simplePmf({0.5, 0.5}); };
    const Refusal cases[] = {
        {"bernoulli nan", [&](MovraObject* ob) { bernoulli(ob, nan); }, msg::InvalidValue},
        {"binomial nan", [&](MovraObject* ob) { binomial(ob, 3, nan); }, msg::InvalidValue},
        {"binomial n -1", [](MovraObject* ob) { binomial(ob, -1, 0.5); }, msg::InvalidValue},
        {"binomial n max", [](MovraObject* ob) { binomial(ob, INT_MAX, 0.5); }, msg::OutOfMemory},
        {"binomial n 2^28", [](MovraObject* ob) { binomial(ob, 1 << 28, 0.5); }, msg::OutOfMemory},
        {"hyper K > N", [](MovraObject* ob) { hypergeometric(ob, 3, 4, 1); },
         msg::InvalidHypergeometric},
        {"hyper n > N", [](MovraObject* ob) { hypergeometric(ob, 3, 1, 4); },
         msg::InvalidHypergeometric},
        {"hyper K < 0", [](MovraObject* ob) { hypergeometric(ob, 5, -1, 2); },
         msg::InvalidHypergeometric},
        {"hyper n < 0", [](MovraObject* ob) { hypergeometric(ob, 5, 2, -1); },
         msg::InvalidHypergeometric},
        {"hyper N < 0", [](MovraObject* ob) { hypergeometric(ob, -1, 0, 0); },
         msg::InvalidHypergeometric},
        {"hyper table too big", [](MovraObject* ob) { hypergeometric(ob, INT_MAX, 1, 1); },
         msg::OutOfMemory},
        {"hyper helper K > N",
         [](MovraObject* ob) {
             Real table[4] = {0, 0, std::log(2.0), std::log(6.0)};
             hypergeometricHelper(ob, 3, 4, 1, table);
         },
         msg::InvalidHypergeometric},
        {"log table N < 0", [](MovraObject*) { createLogFactorialArrayForHypergeometric(-2); },
         msg::InvalidHypergeometric},
        {"multinomial offset 1",
         [](MovraObject* ob) {
             Pmf* p = allocateSimplePmf(ob, 1, 2);
             p->simple.elements[0] = p->simple.elements[1] = 0.5;
             multinomial(ob, 2, 2, p);
         },
         msg::InvalidMultinomial},
        {"multinomial length != k", [&](MovraObject* ob) { multinomial(ob, 2, 3, p2()); },
         msg::InvalidMultinomial},
        {"multinomial joint p",
         [](MovraObject* ob) { multinomial(ob, 2, 2, defaultJointPmf(ob, 2)); },
         msg::InvalidMultinomial},
        {"multinomial null p", [](MovraObject* ob) { multinomial(ob, 2, 2, nullptr); },
         msg::InvalidMultinomial},
        {"multinomial k 0",
         [](MovraObject* ob) { multinomial(ob, 2, 0, allocateSimplePmf(ob, 0, 0)); },
         msg::InvalidMultinomial},
        {"multinomial n < 0", [&](MovraObject* ob) { multinomial(ob, -1, 2, p2()); },
         msg::InvalidMultinomial},
        {"multinomial nan p",
         [&](MovraObject* ob) { multinomial(ob, 2, 2, simplePmf({nan, 0.5})); },
         msg::InvalidMultinomial},
        {"multinomial layer k 0",
         [](MovraObject* ob) {
             Real gamma[1] = {1.0};
             multinomialLayer(ob, 2, 0, gamma);
         },
         msg::InvalidMultinomial},
        {"mvh sizes sum 3",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, 2, 2, ints({2, 1})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh negative size",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, 2, 2, ints({3, -1})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh n > N",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, 5, 2, ints({2, 2})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh n < 0",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, -1, 2, ints({2, 2})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh d != length",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, 2, 3, ints({2, 2})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh d 0",
         [this](MovraObject* ob) { multivariateHypergeometric(ob, 4, 2, 0, ints({2, 2})); },
         msg::InvalidMultivariateHypergeometric},
        {"mvh null sizes",
         [](MovraObject* ob) { multivariateHypergeometric(ob, 4, 2, 2, nullptr); },
         msg::InvalidMultivariateHypergeometric},
        // In 32 bits these sizes would wrap around to a total of 0.
        {"mvh sizes overflow",
         [this](MovraObject* ob) {
             multivariateHypergeometric(ob, 0, 0, 3, ints({INT_MAX, INT_MAX, 2}));
         },
         msg::InvalidMultivariateHypergeometric},
        {"mvh layer d 0",
         [](MovraObject* ob) {
             Int b[1] = {2};
             Real table[3] = {0, 0, std::log(2.0)};
             multivariateHypergeometricLayer(ob, 2, 1, 0, b, table);
         },
         msg::InvalidMultivariateHypergeometric},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf([&] { c.call(o); }), c.message);
        release(o);
    }
}

TEST_F(DistributionsTest, SmallCasesMatchTheFixedOperationOrderBitForBit) {
    EXPECT_EQ(entries(binomial(o, 2, 0.5)), std::vector<Real>({0.25, 0.5, 0.25}));
    // Regrouping the recursion, e.g. ((log(n+1-i) - log(i)) + logRatio) + x, changes these.
    EXPECT_EQ(entries(binomial(o, 12, 0.4)),
              std::vector<Real>({0x1.1d50b1e32388cp-9, 0x1.1d50b1e32388dp-6, 0x1.0589f8658b3d8p-4,
                                 0x1.22994ce29ab64p-3, 0x1.b3e5f353e8119p-3, 0x1.d0f547d0f78a4p-3,
                                 0x1.69a2544d324f1p-3, 0x1.9d4bce0f14eccp-4, 0x1.5869d661e6c55p-5,
                                 0x1.983195c95d5b6p-7, 0x1.468e116de4491p-9, 0x1.3ca8cb153a754p-12,
                                 0x1.19799812dea0fp-16}));
    Pmf* small = hypergeometric(o, 5, 2, 4);
    EXPECT_EQ(small->simple.offset, 1);
    EXPECT_EQ(entries(small), std::vector<Real>({0x1.9999999999999p-2, 0x1.3333333333333p-1}));
    EXPECT_NEAR(small->simple.elements[0], 0.4, 1e-15);
    EXPECT_EQ(entries(hypergeometric(o, 10, 4, 5)),
              std::vector<Real>({0x1.8618618618602p-6, 0x1.e79e79e79e781p-3, 0x1.e79e79e79e77ep-2,
                                 0x1.e79e79e79e781p-3, 0x1.8618618618602p-6}));
}

TEST_F(DistributionsTest, BinomialAgreesWithLogGammaReference) {
    for (Int n : {1, 5, 17, 64, 333, 1000}) {
        for (Real p : {0.01, 0.1, 0.3, 0.5, 0.77, 0.999}) {
            SCOPED_TRACE(::testing::Message() << "n=" << n << " p=" << p);
            Pmf* pmf = binomial(o, n, p);
            ASSERT_EQ(pmf->simple.offset, 0);
            ASSERT_EQ(pmf->simple.length, n + 1);
            for (Int k = 0; k <= n; k++) {
                long double reference = std::exp(logChoose(n, k) + k * std::log((long double)p) +
                                                 (n - k) * std::log1p(-(long double)p));
                if (reference < 1e-280L) continue;  // near or below the subnormal range
                EXPECT_NEAR(pmf->simple.elements[k] / reference, 1.0L, 1e-11L) << "k=" << k;
            }
        }
    }
}

TEST_F(DistributionsTest, LargeBinomialKeepsUnderflowedTails) {
    Pmf* pmf = binomial(o, 2000, 0.5);
    ASSERT_EQ(pmf->simple.offset, 0);
    ASSERT_EQ(pmf->simple.length, 2001);
    EXPECT_EQ(pmf->simple.elements[0], 0.0);
    EXPECT_EQ(pmf->simple.elements[2000], 0.0);
    EXPECT_GT(pmf->simple.elements[1000], 0.0178);
    Real total = 0;
    for (Real e : entries(pmf)) total += e;
    EXPECT_NEAR(total, 1.0, 1e-12);
}

// BinomialRuns gives binomial()'s runs whether it forms them or copies a table kept from
// an earlier call (the same p again, with fewer or more trials, or beyond the kept sizes).
TEST_F(DistributionsTest, BinomialRunsMatchBinomialWithOrWithoutKeptTables) {
    for (Real p : {0.0, 1e-300, 0.3, 0.5, 1 - 1e-12, 1.0}) {
        for (Int maxTrials : {3, 0, 16, 17, 40}) {
            for (int pass = 0; pass < 2; pass++) {
                SCOPED_TRACE(::testing::Message() << p << "," << maxTrials << "," << pass);
                BinomialRuns runs(p, maxTrials);
                for (Int d = maxTrials; d >= 0; d--) {
                    const PmfRun& got = runs.forTrials(d);
                    const PmfRun want = PmfRun::of(binomial(o, d, p));
                    ASSERT_EQ(got.first, want.first);
                    ASSERT_EQ(got.count, want.count);
                    EXPECT_EQ(got.peak, want.peak);
                    EXPECT_EQ(got.regular, want.regular);
                    for (Int k = 0; k < got.count; k++) EXPECT_EQ(got.p[k], want.p[k]) << "d=" << d;
                }
            }
        }
    }
}

TEST_F(DistributionsTest, HypergeometricAgreesWithExactCounts) {
    // Exact binomial coefficients: every C(N, k) for N <= 60 fits a long double mantissa.
    auto choose = [](int n, int k) {
        long double c = 1;
        for (int i = 1; i <= k; i++) c = c * (n - k + i) / i;
        return c;
    };
    for (Int N : {1, 7, 20, 60}) {
        for (Int K = 0; K <= N; K += 1 + N / 7) {
            for (Int n = 0; n <= N; n += 1 + N / 5) {
                SCOPED_TRACE(::testing::Message() << N << "," << K << "," << n);
                Pmf* pmf = hypergeometric(o, N, K, n);
                ASSERT_EQ(pmf->simple.offset, std::max(0, K + n - N));
                ASSERT_EQ(pmf->simple.length, std::min(K, n) - pmf->simple.offset + 1);
                for (Int i = 0; i < pmf->simple.length; i++) {
                    Int k = pmf->simple.offset + i;
                    long double exact = choose(K, k) * choose(N - K, n - k) / choose(N, n);
                    EXPECT_NEAR(pmf->simple.elements[i] / exact, 1.0L, 1e-12L) << "k=" << k;
                }
            }
        }
    }
}

TEST_F(DistributionsTest, LogFactorialTableIsRunningSumOfLogs) {
    ScratchBuffer<Real> table = createLogFactorialArrayForHypergeometric(5);
    EXPECT_EQ(table[0], 0.0);
    EXPECT_NEAR(table[5], std::log(120.0), 1e-14);
}

TEST_F(DistributionsTest, MultinomialSpreadsTrialsOverCategories) {
    expectOutcomesNear(outcomes(multinomial(o, 2, 2, simplePmf({0.5, 0.5}))),
                       {{{0, 2}, 0.25}, {{1, 1}, 0.5}, {{2, 0}, 0.25}}, 1e-15);

    // A middle category of probability 0: its marginal is the single value 0 for every
    // first count.
    Pmf* gap = multinomial(o, 2, 3, simplePmf({0.5, 0.0, 0.5}));
    expectOutcomesNear(outcomes(gap), {{{0, 0, 2}, 0.25}, {{1, 0, 1}, 0.5}, {{2, 0, 0}, 0.25}},
                       1e-15);
    ASSERT_EQ(gap->joint.depth, 3);
    for (Int i = 0; i < gap->joint.marginal->simple.length; i++) {
        Pmf* second = gap->joint.elements[i];
        EXPECT_EQ(second->joint.marginal->simple.offset, 0);
        EXPECT_EQ(second->joint.marginal->simple.length, 1);
    }

    // All mass in the first category: the later ones get no trials (no 0/0 quotient).
    expectOutcomesNear(outcomes(multinomial(o, 3, 3, simplePmf({1.0, 0.0, 0.0}))),
                       {{{3, 0, 0}, 1.0}}, 0);

    const Real p[] = {0.2, 0.3, 0.5};
    Outcomes expected;
    const int n = 6;
    for (int a = 0; a <= n; a++)
        for (int b = 0; a + b <= n; b++) {
            int c = n - a - b;
            expected[{a, b, c}] = std::exp(std::lgamma(n + 1.0) - std::lgamma(a + 1.0) -
                                           std::lgamma(b + 1.0) - std::lgamma(c + 1.0)) *
                                  std::pow(p[0], a) * std::pow(p[1], b) * std::pow(p[2], c);
        }
    expectOutcomesNear(outcomes(multinomial(o, n, 3, simplePmf({0.2, 0.3, 0.5}))), expected, 1e-13);
}

TEST_F(DistributionsTest, MultivariateHypergeometricCountsDrawsPerCategory) {
    Pmf* two = multivariateHypergeometric(o, 4, 2, 2, ints({2, 2}));
    EXPECT_EQ(two->joint.depth, 2);
    expectOutcomesNear(outcomes(two), {{{0, 2}, 1.0 / 6}, {{1, 1}, 2.0 / 3}, {{2, 0}, 1.0 / 6}},
                       1e-14);

    // C(2,a) C(3,b) C(4,c) / C(9,4) for a + b + c = 4; every such c is at most 4.
    auto choose = [](int n, int k) {
        return std::tgamma(n + 1.0) / (std::tgamma(k + 1.0) * std::tgamma(n - k + 1.0));
    };
    Outcomes expected;
    for (int a = 0; a <= 2; a++)
        for (int b = 0; b <= 3 && a + b <= 4; b++)
            expected[{a, b, 4 - a - b}] =
                choose(2, a) * choose(3, b) * choose(4, 4 - a - b) / choose(9, 4);
    expectOutcomesNear(outcomes(multivariateHypergeometric(o, 9, 4, 3, ints({2, 3, 4}))), expected,
                       1e-14);
}

}  // namespace
