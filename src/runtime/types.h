// Scalar types shared by every model value: Int (32-bit signed) for counts, support
// values and indices, Real (IEEE double) for probabilities, Boolean (one byte).
#pragma once
#include <cstddef>
#include <cstdint>

namespace movra {

typedef int32_t Int;
typedef double Real;
typedef bool Boolean;

static_assert(sizeof(Boolean) == 1, "Boolean must be one byte");

}  // namespace movra
