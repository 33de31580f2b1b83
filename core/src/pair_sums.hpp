#pragma once
// The pair kernel shared by the direct and near paths of the Gauss transform: the contributions of
// a run of sources to one evaluation point, in double precision, eight sources at a time.
//
// Each evaluation point owns `slots` accumulators of eight lanes; a source at position p of a run
// always adds into lane p mod 8, and every lane does the same operations in the same order on
// every instruction set, so a point's sums depend only on the runs it was given and their order,
// never on the thread that ran them. Sources are held in padded SoA arrays: reading past the end
// of a run is allowed (its weights are masked to zero).
#include <cstddef>
#include <vector>

namespace tarvic::detail {

/// Lanes per accumulator, and the padding every source array carries past its last point.
constexpr std::size_t kPairLanes = 8;

/// Sources ready for the pair kernel: coordinates and weight columns, padded by kPairLanes.
struct SourceArrays {
    std::vector<double> x, y, z;  // n + padding
    std::vector<double> q;        // c columns of (n + padding) values each
    std::size_t n = 0, c = 0, stride = 0;
    const double* column(std::size_t k) const { return q.data() + k * stride; }
};

/// What a pair adds to an evaluation point. Slot layout: the c weighted sums; with moments,
/// Σ q0·K·(s − t) (3) and Σ q0·K·|s − t|²; then the magnitude sums the bound needs: Σ|q_k|·K for
/// each signed column k (in order) and, with moments, Σ q0·K·(|dx| + |dy| + |dz|); last, with
/// `track_max`, the largest kernel exponent seen (folded by max, not by sum).
struct PairLayout {
    std::size_t c = 0;
    bool moments = false;
    bool track_max = false;
    std::vector<std::size_t> signed_cols;  // columns with a negative weight
    double h = 1.0;                        // kernel width
    double inv_2h2 = 0.0;                  // 1 / (2h²)
    // Non-zero: the single-precision kernel of the exact E-step instead, 2^max(d²·g32, −126) with
    // d² formed in single precision from single-precision coordinates (the test oracle).
    float g32 = 0.0f;
    std::size_t value_slots() const { return c + (moments ? 4 : 0); }
    std::size_t max_slot() const { return value_slots() + signed_cols.size() + (moments ? 1 : 0); }
    std::size_t slots() const { return max_slot() + (track_max ? 1 : 0); }
    /// Values per evaluation point in the output: the value slots, then the exponent if tracked.
    std::size_t out_width() const { return value_slots() + (track_max ? 1 : 0); }
};

/// Add the sources [begin, end) to the lane accumulators `acc` (slots × kPairLanes) of the point
/// (tx, ty, tz). The kernel is exp(max(−|t − s|²/(2h²), −708)): the clamp keeps every value a
/// normal double, and values below e^−708 ≈ 3e-308 are raised to it.
void add_pairs(const PairLayout& layout, const SourceArrays& src, std::size_t begin, std::size_t end, double tx,
               double ty, double tz, double* acc);

/// Whether add_moments_tile serves this layout: one unsigned column with moments, the double
/// kernel, no exponent tracking (a rigid fit's E-step).
inline bool tile_layout(const PairLayout& l) {
    return l.c == 1 && l.signed_cols.empty() && l.g32 == 0.0f && l.moments && !l.track_max;
}

/// Add the sources [begin, end) to eight evaluation points at once, one point per lane: `t` holds
/// their x (8), then y (8), then z (8); `acc` holds the moments layout's 6 slots × 8 lanes, lane l
/// being point l's sums. Each pair's kernel value has the same bits as add_pairs gives it; a
/// point's sums add its sources one by one in order, so rounding grows with the count of terms
/// (rounding_allowance(4·terms) covers that), not with an eighth of it.
void add_moments_tile(const SourceArrays& src, std::size_t begin, std::size_t end, const double* t, double inv_2h2,
                      double* acc);

/// Fold a point's lane accumulators into its slots (a fixed tree of additions; max for the
/// exponent slot). Accumulators start at zero except the exponent slot: see reset_lanes.
void fold_lanes(const PairLayout& layout, const double* acc, double* out);
/// Zero a point's accumulators (the exponent slot starts at −∞).
void reset_lanes(const PairLayout& layout, double* acc);

/// Sources `idx` (or all, in order, when `idx` is null) copied into padded arrays.
SourceArrays gather_sources(const double* x, const double* y, const double* z, const double* q, std::size_t c,
                            const unsigned* idx, std::size_t n);

/// Unit roundoff of double precision.
constexpr double kUnitRoundoff = 1.1102230246251565e-16;

/// Rounding allowance, relative to a point's magnitude sum, for `terms` pairs summed in lanes:
/// kernel values within 4000 ulp (the argument's rounding times |argument| ≤ 708, and exp's own
/// error), plus lane and tree summation.
inline double rounding_allowance(std::size_t terms) {
    return (4000.0 + static_cast<double>(terms) / 4.0 + 32.0) * kUnitRoundoff;
}

}  // namespace tarvic::detail
