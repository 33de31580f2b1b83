#pragma once
// What every hot loop of the core shares: runtime dispatch over instruction sets, and the lane
// types (GCC vector extensions, lowered to whatever each clone's instruction set offers).
//
// Every clone computes identical values: contraction into FMA is off for the whole build and the
// source fixes the order of every operation. Helpers that take or return vectors are always
// inlined: an out-of-line copy built for the baseline takes vector arguments by another calling
// convention than the wider clones that call it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(TARVIC_NO_CLONES)
#define TARVIC_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define TARVIC_CLONES
#endif

namespace tarvic::detail {

typedef float v8f __attribute__((vector_size(32)));
typedef int v8i __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef long long v8l __attribute__((vector_size(64)));

}  // namespace tarvic::detail
