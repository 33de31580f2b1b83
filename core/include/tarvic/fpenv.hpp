#pragma once
// Flush-to-zero for the hot kernels, scoped to the thread that runs them.
//
// As σ² shrinks most kernel values sit at the floor 2^-126; scaled by a reciprocal denominator or
// multiplied by a coordinate they become subnormal, and on Intel cores every subnormal operand or
// result costs a microcode assist (about 10× the E-step's time). Inside a kernel body subnormal
// inputs are read as zero and subnormal results are written as zero (MXCSR FTZ|DAZ on x86, FPCR.FZ
// on Arm). Only terms below 2^-126 ≈ 1.2e-38 are affected, which no sum the fits use can notice;
// wherever no subnormal arises, results are bit for bit those of IEEE arithmetic.
//
// The caller's state is restored when the guard leaves scope, so nothing leaks into the caller's
// thread, NumPy, or other work on the same pool threads. The guard must wrap a call that the
// compiler cannot move arithmetic across (an out-of-line kernel), not arithmetic in its own scope.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tarvic::detail {

/// RAII: flush subnormals to zero on this thread until the end of the scope, then restore.
class FlushSubnormals {
public:
#if defined(__x86_64__) || defined(__i386__)
    FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFtzDaz); }
    ~FlushSubnormals() { _mm_setcsr(saved_); }
#elif defined(__aarch64__)
    FlushSubnormals() : saved_(__builtin_aarch64_get_fpcr64()) { __builtin_aarch64_set_fpcr64(saved_ | kFz); }
    ~FlushSubnormals() { __builtin_aarch64_set_fpcr64(saved_); }
#else
    FlushSubnormals() = default;  // other targets keep IEEE gradual underflow
#endif
    FlushSubnormals(const FlushSubnormals&) = delete;
    FlushSubnormals& operator=(const FlushSubnormals&) = delete;

private:
#if defined(__x86_64__) || defined(__i386__)
    static constexpr unsigned kFtzDaz = 0x8040;  // MXCSR FTZ (bit 15) | DAZ (bit 6)
    unsigned saved_;
#elif defined(__aarch64__)
    static constexpr unsigned long long kFz = 1ull << 24;  // FPCR.FZ
    unsigned long long saved_;
#endif
};

}  // namespace tarvic::detail
