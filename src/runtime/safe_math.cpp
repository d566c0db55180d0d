#include "safe_math.h"

#include <cmath>
#include <cstdlib>

#include "error.h"
#include "messages.h"

namespace movra {

namespace {
// Values outside the Int range (and NaN) have no defined result; saturate rather than
// invoke undefined behaviour in the conversion.
Int toIntSaturated(Real x) {
    if (!(x == x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<Int>(x);
}
}  // namespace

Int ifloor(Real x) { return toIntSaturated(std::floor(x)); }

Int iceiling(Real x) { return toIntSaturated(std::ceil(x)); }

Real safeSqrt(Real x) {
    if (x < 0) fail(msg::SqrtOfNegative);
    return std::sqrt(x);
}

Real safeLog(Real x) {
    if (x < 0) fail(msg::LogOfNegative);
    return std::log(x);
}

Real safePow(Real x, Real y) {
    Real result = std::pow(x, y);
    // result - result is 0 exactly when result is finite.
    if (!((result - result) == (result - result))) fail(msg::InvalidPow);
    return result;
}

Real randomReal() { return std::rand() / 2147483647.0; }

Int randomInt(Int n) {
    if (n <= 0) return 0;  // no defined result; avoid the division by zero
    return std::rand() % n;
}

}  // namespace movra
