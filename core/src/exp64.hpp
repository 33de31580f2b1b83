#pragma once
// Double-precision exp(x) for x in [−708, 0], written so that scalar code and vector lanes (GCC
// vector extensions) run the same operations in the same order and so give the same bits.
//
// Contract: relative error below 4e-16 (about 2 ulp) on [−708, 0]; callers clamp the argument
// (exp(−708) ≈ 3e-308 is still a normal double). Cody–Waite reduction x = n·ln2 + r with
// |r| ≤ ln2/2, ln2 split in a high part with 21 trailing zero bits (n·ln2_hi is exact for
// |n| < 2^21) and a low part; exp(r) by its Taylor polynomial of degree 13 (truncation below
// 4e-18, summed by Estrin's scheme); 2^n from exponent bits.
#include <cstdint>
#include <cstring>

namespace tarvic::detail {

constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kRoundMagic = 6755399441055744.0;  // 1.5·2^52: adding it rounds to an integer
constexpr double kExpMin = -708.0;                  // callers clamp the argument here

/// exp(r) for |r| ≤ 0.35: its Taylor polynomial by Estrin's scheme (pairs of terms, then powers
/// r², r⁴, r⁸), whose dependency chain is a third of Horner's: the pair loops issue one exp per
/// eight pairs and would otherwise wait on its latency. Every step rounded, in a fixed order.
/// Always inlined: called on vectors from clones built for wider instruction sets, an out-of-line
/// copy (built for the baseline) would take its vector argument by a different convention.
template <class F>
[[gnu::always_inline]] inline F exp_poly64(F r) {
    const F r2 = r * r;
    const F r4 = r2 * r2;
    const F r8 = r4 * r4;
    const F a0 = 1.0 + r, a1 = 0.5 + r * 0.16666666666666666, a2 = 0.041666666666666664 + r * 0.008333333333333333,
            a3 = 0.001388888888888889 + r * 0.0001984126984126984, a4 = 2.48015873015873e-05 + r * 2.7557319223985893e-06,
            a5 = 2.755731922398589e-07 + r * 2.505210838544172e-08, a6 = 2.08767569878681e-09 + r * 1.6059043836821613e-10;
    const F b0 = a0 + r2 * a1, b1 = a2 + r2 * a3, b2 = a4 + r2 * a5;
    const F c0 = b0 + r4 * b1, c1 = b2 + r4 * a6;
    return c0 + r8 * c1;
}

/// exp(x) for x in [−708, 0] (scalar).
inline double exp64(double x) {
    const double t = x * kLog2e + kRoundMagic;  // n in the low mantissa bits
    const double n = t - kRoundMagic;
    const double r = (x - n * kLn2Hi) - n * kLn2Lo;
    std::int64_t tb;
    std::memcpy(&tb, &t, sizeof tb);
    std::int64_t magic;
    std::memcpy(&magic, &kRoundMagic, sizeof magic);
    const std::int64_t bits = (tb - magic + 1023) << 52;
    double two_n;
    std::memcpy(&two_n, &bits, sizeof two_n);
    return two_n * exp_poly64(r);
}

}  // namespace tarvic::detail
