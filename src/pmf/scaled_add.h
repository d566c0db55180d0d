// The innermost pass of every scaled put: slot[k] += clampWeight(scale * p[k]) over
// consecutive slots, alone or for a pair of runs over the same slots (run 0 first in each
// slot). Each slot takes its own weights in their order, so the order of the slots does
// not matter and two at a time give the same sums: min(1, x) is clampWeight(x) in every
// case, not-a-number included.
#pragma once
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../runtime/compiler.h"
#include "../runtime/types.h"

namespace movra {

// Weights not greater than 0 are ignored by the callers; above 1 they count as 1.
inline Real clampWeight(Real probability) { return probability > 1.0 ? 1.0 : probability; }

// The two slots at slot[0 .. 1] in one register, loaded one by one: for short puts that
// follow one another at shifting slots (slot, then slot - 1, ...), each load is then
// served by the one earlier store that holds its slot, while a 16-byte load across two
// stores still in flight would wait for both to reach the cache.
#if defined(__SSE2__)
MOVRA_ALWAYS_INLINE __m128d loadSlotBySlot(const Real* slot) {
    __m128d low = _mm_load_sd(slot);
    MOVRA_OPAQUE(low);  // or the compiler joins the two loads into one
    return _mm_loadh_pd(low, slot + 1);
}
#endif

// N > 0: the number of slots, known when compiled, so that short rows need no loop;
// N = 0: n of them. SlotBySlot: loads as loadSlotBySlot.
template <int N = 0, bool SlotBySlot = false>
MOVRA_ALWAYS_INLINE void addScaled(Real* __restrict slot, Real scale, const Real* __restrict p,
                                   int64_t n) {
    if (N > 0) n = N;
    int64_t k = 0;
#if defined(__SSE2__)
    const __m128d one = _mm_set1_pd(1.0), s = _mm_set1_pd(scale);
    for (; k + 2 <= n; k += 2) {
        const __m128d w = _mm_min_pd(one, _mm_mul_pd(s, _mm_loadu_pd(p + k)));
        const __m128d old = SlotBySlot ? loadSlotBySlot(slot + k) : _mm_loadu_pd(slot + k);
        _mm_storeu_pd(slot + k, _mm_add_pd(old, w));
    }
#endif
    for (; k < n; k++) slot[k] += clampWeight(scale * p[k]);
}

template <int N = 0>
MOVRA_ALWAYS_INLINE void addScaledPair(Real* __restrict slot, Real scale0,
                                       const Real* __restrict p0, Real scale1,
                                       const Real* __restrict p1, int64_t n) {
    if (N > 0) n = N;
    int64_t k = 0;
#if defined(__SSE2__)
    const __m128d one = _mm_set1_pd(1.0), s0 = _mm_set1_pd(scale0), s1 = _mm_set1_pd(scale1);
    for (; k + 2 <= n; k += 2) {
        const __m128d w0 = _mm_min_pd(one, _mm_mul_pd(s0, _mm_loadu_pd(p0 + k)));
        const __m128d w1 = _mm_min_pd(one, _mm_mul_pd(s1, _mm_loadu_pd(p1 + k)));
        _mm_storeu_pd(slot + k, _mm_add_pd(_mm_add_pd(_mm_loadu_pd(slot + k), w0), w1));
    }
#endif
    for (; k < n; k++) {
        slot[k] += clampWeight(scale0 * p0[k]);
        slot[k] += clampWeight(scale1 * p1[k]);
    }
}

}  // namespace movra
