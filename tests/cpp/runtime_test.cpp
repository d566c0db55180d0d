// Error raising, the division guard, rounding, the guarded mathematical functions and the
// random helpers.
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>

#include "param_name.h"
#include "runtime/error.h"
#include "runtime/safe_math.h"
#include "test_support.h"

namespace {

const Real kNaN = std::numeric_limits<Real>::quiet_NaN();
const Real kInf = std::numeric_limits<Real>::infinity();

TEST(Fail, CarriesTheGivenMessagePointer) {
    static const char text[] = "some failure";
    try {
        fail(text);
    } catch (const CException& e) {
        EXPECT_EQ(e.message, text);
    }
    EXPECT_MOVRA_ERROR(failInternal(), "MOVRA internal error");
    EXPECT_MOVRA_ERROR(failImport(), "Invalid value");
}

TEST(CheckDenominator, RefusesBothZeros) {
    EXPECT_MOVRA_ERROR(checkDenominator(0.0), "Divide by zero");
    EXPECT_MOVRA_ERROR(checkDenominator(-0.0), "Divide by zero");
}

TEST(CheckDenominator, PassesEverythingElseUnchanged) {
    for (Real x : {1e-300, -1e-300, 4.9e-324, 1.0, -2.5, kInf, -kInf})
        EXPECT_EQ(checkDenominator(x), x);
    EXPECT_TRUE(std::isnan(checkDenominator(kNaN)));
}

struct Rounding {
    Real x;
    Int floor;
    Int ceiling;
};

class RoundingTest : public ::testing::TestWithParam<Rounding> {};

TEST_P(RoundingTest, FloorAndCeiling) {
    EXPECT_EQ(ifloor(GetParam().x), GetParam().floor);
    EXPECT_EQ(iceiling(GetParam().x), GetParam().ceiling);
}

// Values beyond the Int range saturate rather than overflow the conversion.
INSTANTIATE_TEST_SUITE_P(
    Values, RoundingTest,
    ::testing::Values(Rounding{-2.5, -3, -2}, Rounding{2.5, 2, 3}, Rounding{4.0, 4, 4},
                      Rounding{-4.0, -4, -4}, Rounding{-0.0, 0, 0}, Rounding{0.1, 0, 1},
                      Rounding{-0.1, -1, 0}, Rounding{2147483646.5, 2147483646, INT32_MAX},
                      Rounding{-2147483647.5, INT32_MIN, -2147483647},
                      Rounding{1e300, INT32_MAX, INT32_MAX},
                      Rounding{-1e300, INT32_MIN, INT32_MIN}),
    [](const ::testing::TestParamInfo<Rounding>& info) { return paramName(info.param.x); });

TEST(SafeMath, DomainErrorsFailWithTheirMessages) {
    for (Real x : {-1.0, -1e-300, -kInf}) {
        EXPECT_MOVRA_ERROR(safeSqrt(x), "Attempt to take square root of negative number");
        EXPECT_MOVRA_ERROR(safeLog(x), "Attempt to take log of negative number");
    }
    const Real pows[][2] = {
        {-8.0, 1.0 / 3.0}, {0.0, -1.0}, {10.0, 400.0}, {kNaN, 1.0}, {kInf, 1.0}};
    for (const auto& xy : pows) EXPECT_MOVRA_ERROR(safePow(xy[0], xy[1]), "Invalid pow operation");
}

TEST(SafeMath, ValuesAtTheEdgesOfTheDomain) {
    EXPECT_EQ(safeSqrt(0.0), 0.0);
    EXPECT_EQ(safeSqrt(-0.0), 0.0);
    EXPECT_EQ(safeSqrt(4.0), 2.0);
    EXPECT_TRUE(std::isnan(safeSqrt(kNaN)));
    EXPECT_EQ(safeLog(0.0), -kInf);
    EXPECT_EQ(safeLog(-0.0), -kInf);
    EXPECT_EQ(safeLog(1.0), 0.0);
    EXPECT_TRUE(std::isnan(safeLog(kNaN)));
    EXPECT_EQ(safePow(2.0, 10.0), 1024.0);
    EXPECT_EQ(safePow(-2.0, 3.0), -8.0);
    EXPECT_EQ(safePow(0.0, 0.0), 1.0);
    EXPECT_EQ(safePow(4.0, 0.5), 2.0);
    EXPECT_EQ(safePow(kNaN, 0.0), 1.0);  // a finite result is accepted whatever the inputs
}

TEST(Random, RealStaysInTheClosedUnitInterval) {
    for (int i = 0; i < 10000; i++) {
        Real r = randomReal();
        ASSERT_GE(r, 0.0);
        ASSERT_LE(r, 1.0);
    }
}

TEST(Random, IntStaysBelowItsBoundAndReachesEveryValue) {
    for (Int n : {1, 2, 7, 1000}) {
        bool seen[7] = {};
        for (int i = 0; i < 5000; i++) {
            Int r = randomInt(n);
            ASSERT_GE(r, 0);
            ASSERT_LT(r, n);
            if (n == 7) seen[r] = true;
        }
        if (n == 7) {
            for (bool s : seen) EXPECT_TRUE(s);
        }
    }
}

}  // namespace
