// Helpers for loops the compiler should vectorise.
#pragma once

// The arrays a kernel reads and writes never overlap.
#define BW_RESTRICT __restrict__

// A helper compiled into each version of its caller.
#define BW_INLINE inline __attribute__((always_inline))

// An AVX2 version of a function beside the baseline one, chosen when the program starts. Both
// do the same IEEE operations in the same order (no fused multiply-add), so they give the same
// bits; builds with BUMPWELD_BASELINE keep only the baseline, so that the tests can run on it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(BUMPWELD_BASELINE)
#define BW_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BW_VECTOR_CLONES
#endif

// Before a loop that the WebAssembly build's cost model would leave scalar although its 128-bit
// lanes do the loop's operations one for one (the same IEEE operations, so the same bits).
#if defined(__wasm__) && defined(__clang__)
#define BW_VECTORIZE_LOOP _Pragma("clang loop vectorize(enable) vectorize_width(4) interleave_count(1)")
#else
#define BW_VECTORIZE_LOOP
#endif
