// Helpers for loops the compiler should vectorise.
#pragma once

// The arrays a kernel reads and writes never overlap.
#define BW_RESTRICT __restrict__

// A helper compiled into each version of its caller.
#define BW_INLINE inline __attribute__((always_inline))

// AVX-512 (x86-64-v4) and AVX2 versions of a function beside the baseline one, chosen when the
// program starts. All do the same IEEE operations in the same order (no fused multiply-add), so
// they give the same bits. The build decides whether there are versions (BUMPWELD_VECTOR_VERSIONS,
// with GCC on x86-64); builds with BUMPWELD_BASELINE keep only the baseline, so that the tests
// can run on it.
#if defined(BUMPWELD_VECTOR_VERSIONS)
#define BW_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define BW_HAS_VECTOR_CLONES 1
#else
#define BW_VECTOR_CLONES
#endif

// The versions of the vector code: those of BW_VECTOR_CLONES, and the files that the build
// compiles once for each version. Code that picks one itself asks here.
enum class BwVectorVersion { BASELINE, AVX2, AVX512 };

// Whether this build has `version` and the processor runs it.
bool BwVectorVersionRuns(BwVectorVersion version);

// The fastest version the processor runs.
BwVectorVersion BwFastestVectorVersion();

// Before a loop that the WebAssembly build's cost model would leave scalar although its 128-bit
// lanes do the loop's operations one for one (the same IEEE operations, so the same bits).
#if defined(__wasm__) && defined(__clang__)
#define BW_VECTORIZE_LOOP _Pragma("clang loop vectorize(enable) vectorize_width(4) interleave_count(1)")
#else
#define BW_VECTORIZE_LOOP
#endif
