// Attributes that steer the optimiser, in one place. Each is kept for a gain measured on
// the step workloads (benchmarks/README.md, the performance ledger); on a compiler without
// them they expand to nothing and change no result. Each may be defined on the command
// line instead, to measure a build without it.
#pragma once

#if defined(__GNUC__)
#ifndef MOVRA_ALWAYS_INLINE
#define MOVRA_ALWAYS_INLINE inline __attribute__((always_inline))
#endif
#ifndef MOVRA_ALWAYS_INLINE_LAMBDA
#define MOVRA_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#endif
// The value of x, which the compiler may not look through: no loads or stores are
// merged across it.
#ifndef MOVRA_OPAQUE
#define MOVRA_OPAQUE(x) __asm__("" : "+x"(x))
#endif
#ifndef MOVRA_NOINLINE
#define MOVRA_NOINLINE __attribute__((noinline))
#endif
#else
#define MOVRA_NOINLINE
#define MOVRA_ALWAYS_INLINE inline
#define MOVRA_ALWAYS_INLINE_LAMBDA
#define MOVRA_OPAQUE(x) ((void)0)
#endif
