#pragma once
// Normalised EM set-up, the E-step, and blocked Gaussian kernel products.
#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

#include "tarvic/array.hpp"

namespace tarvic {

/// Optional cancel flag: null when the call cannot be interrupted. Read with relaxed ordering.
using CancelFlag = const std::atomic<bool>*;

/// True when a cancel flag is given and set.
inline bool cancelled(CancelFlag f) { return f != nullptr && f->load(std::memory_order_relaxed); }

/// The source in normalised coordinates: fixed f64 columns and the current f32 positions.
/// The f32 columns are zero-padded to a multiple of 8 so the E-step streams whole lanes.
struct Moving {
    std::vector<double> x, y, z;
    std::vector<float> x32, y32, z32;
    std::vector<double> cx, cy, cz;  // the current positions in double precision: the fast E-step's, kept
                                     // only once keep_double_positions() has been called
    /// Point count M.
    std::size_t size() const { return x.size(); }
    /// Store row-major M × 3 positions (length 3·M) as the new current positions.
    void move_by_rows(const double* rows, std::size_t len);
    /// Start keeping the current positions in double precision (from the normalised source).
    void keep_double_positions() {
        cx = x;
        cy = y;
        cz = z;
    }
    /// Store one point's new position (its single-precision rounding, and itself if kept).
    void move_point(std::size_t i, double px, double py, double pz) {
        if (!cx.empty()) {
            cx[i] = px;
            cy[i] = py;
            cz[i] = pz;
        }
        x32[i] = static_cast<float>(px);
        y32[i] = static_cast<float>(py);
        z32[i] = static_cast<float>(pz);
    }
};

/// The target in normalised coordinates, same layout as Moving (f32 columns zero-padded to a multiple of 8).
struct Fixed {
    std::vector<double> x, y, z;
    std::vector<float> x32, y32, z32;
    /// Point count N.
    std::size_t size() const { return x.size(); }
};

/// (coordinate − centre) · (1 / norm_scale) for each of the view's points, per axis.
void normalise(const CloudView& cloud, const double centre[3], double norm_scale,
               std::vector<double>& x, std::vector<double>& y, std::vector<double>& z);

/// The normalised problem shared by both registration loops.
struct Setup {
    Moving moving;
    Fixed fixed;
    double centre[3] = {0, 0, 0};  // centre of the normalised frame, caller units
    double norm_scale = 1.0;       // one normalised unit in caller units (> 0)
    double sigma2 = 1.0;           // initial variance, normalised units
    double outlier_weight = 0.0;   // M·w/(1−w)/V, or 0 when w = 0
    double target_rms = 0.0;       // RMS distance of the normalised target from its centroid

    /// Build the set-up from validated clouds; cannot fail.
    static Setup make(const CloudView& source, const CloudView& target, std::optional<double> sigma2, double w);
};

/// Uniform term c of the E-step for normalised variance `sigma2` (0 without outliers).
double outlier_term(double sigma2, double outlier_weight);
/// The E-step's single-precision variance: the f32 rounding of `sigma2`, at least 2^-126.
float estep_sigma2(double sigma2);

/// Posterior sums of one E-step.
struct EStep {
    std::vector<double> p1;   // M
    std::vector<double> pt1;  // N
    std::vector<double> px;   // M × 3 row-major
    double np = 0.0;
};

/// Per-task working set of the E-step.
struct Scratch {
    std::vector<float> block;     // M × chunk kernel values
    std::vector<double> col_sum;  // chunk
    std::vector<float> inv_den;   // chunk
    std::vector<double> p1;       // M
    std::vector<double> px;       // M × 3
    Scratch() = default;
    Scratch(std::size_t m, std::size_t chunk);
    /// Add another scratch's running sums (p1, px) into this one.
    void merge(const Scratch& other);
};

/// Chunk length of the E-step for M moving and N fixed points (a multiple of 8 in [8, 256]).
std::size_t estep_chunk(std::size_t m, std::size_t n);

/// One E-step (CPD eq. 7 posteriors, summed). `parallel` spreads chunks over the current pool.
EStep estep(const Moving& moving, const Fixed& fixed, bool parallel, CancelFlag cancel, float sigma2, double c);

namespace detail {
/// The degree-7 Taylor polynomial of 2^f on [−0.5, 0.5] (Horner, every step rounded);
/// generic so the scalar and the SIMD kernels share the exact same arithmetic.
/// Always inlined, for the same reason as the kernels' other vector helpers.
template <class F>
[[gnu::always_inline]] inline F exp2_poly(F f) {
    return 1.0f + f * (0.693147182f + f * (0.240226507f + f * (0.0555041097f +
           f * (0.00961812865f + f * (0.00133335579f + f * (0.000154035297f + f * 1.52527336e-5f))))));
}
}  // namespace detail

/// Fast single-precision 2^t for t in [−126, 0] (callers clamp): round-to-nearest-even
/// integer part by the 1.5·2^23 trick, 2^n built from exponent bits, times the polynomial on
/// the remainder. Relative error below 5e-7 over the range. Shared by both kernels.
inline float fast_exp2(float t) {
    const float n = (t + 12582912.0f) - 12582912.0f;
    const float f = t - n;
    const int ni = static_cast<int>(n);
    const unsigned bits = static_cast<unsigned>(ni + 127) << 23;
    float two_n;
    __builtin_memcpy(&two_n, &bits, sizeof two_n);
    return two_n * detail::exp2_poly(f);
}

/// A cloud as three single-precision columns.
struct PointsF32 {
    std::vector<float> x, y, z;
    std::size_t size() const { return x.size(); }
    /// From normalised f64 columns.
    static PointsF32 from_columns(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z);
};

/// out (n × c) = K(points, centres) · values (m × c), K = exp(−d²/(2β²)); blocks of 16 rows on the current pool.
/// Weights below 1e-12 are skipped; a set cancel flag zero-fills blocks not yet started.
void gauss_mul(const PointsF32& points, const PointsF32& centres, float beta, const double* values,
               std::size_t values_len, std::size_t c, double* out, std::size_t out_len, CancelFlag cancel);

}  // namespace tarvic
