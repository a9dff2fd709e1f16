// Kernels built for more than one instruction set.
//
// SPANLET_SIMD_CLONES compiles a function for AVX2 as well as for the baseline, the clone being
// chosen when the library loads: with GCC on x86-64 and glibc, which resolves the choice, and not
// under AddressSanitizer. The clones perform the same operations in the same order and round
// alike: AVX2 alone brings no fused multiply-adds, and ISO C++ mode does not contract.
//
// SPANLET_SIMD_CLONES_WIDE adds a clone for x86-64-v4 (AVX-512), whose 64-bit integer minimum and
// maximum take one instruction where AVX2 takes two. It brings fused multiply-adds too, so it is
// kept to kernels of exact operations: comparisons, selects and integer arithmetic.
//
// SPANLET_FMA_CLONES compiles a function for x86-64-v3 as well as for the baseline, for kernels
// that call std::fma: one instruction there, a library call (with the same correctly rounded
// result) elsewhere.
//
// SPANLET_ALWAYS_INLINE marks the kernels a cloned function calls: inlined into each clone, they
// are compiled for its instruction set rather than once for the baseline. SPANLET_LAMBDA_INLINE
// does the same for a lambda (after its parameters).
#pragma once

#include <cstddef>  // on glibc, defines __GLIBC__

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__GLIBC__) && \
    !defined(__SANITIZE_ADDRESS__)
#define SPANLET_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#define SPANLET_SIMD_CLONES_WIDE __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define SPANLET_FMA_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define SPANLET_SIMD_CLONES
#define SPANLET_SIMD_CLONES_WIDE
#define SPANLET_FMA_CLONES
#endif

#if defined(__GNUC__)
#define SPANLET_ALWAYS_INLINE inline __attribute__((always_inline))
#define SPANLET_LAMBDA_INLINE __attribute__((always_inline))
#else
#define SPANLET_ALWAYS_INLINE inline
#define SPANLET_LAMBDA_INLINE
#endif
