#pragma once
// Correspondences of a fitted model: which target point each moved source point matched, which
// source point each target point matched, and how likely each target point is an outlier.
//
// The model is the fit's E-step at its final state: moved source points y_m, target points x_n,
// variance σ², outlier weight w, with the Gaussian floored at e^−708 as the fast E-step has it,
//   K_mn = max(exp(−|x_n − y_m|²/2σ²), e^−708),  D_n = Σ_m K_mn + c,  P_mn = K_mn / D_n,
// c being the E-step's uniform term ((2πσ²)^{3/2}·M·w/(1−w) over the target's bounding box).
// Per target point: the most probable source point (its nearest, since D_n is shared), that
// posterior, and the outlier probability c / D_n. Per source point: the target point with the
// largest posterior P_mn, and that posterior. The D_n come from the Gauss transform the fast
// E-step uses, within the requested tolerance; the matches from k-d tree searches (branch and
// bound on the distance, plus ln D_n on the source side), O((M + N)·log) for clouds whose
// denominators vary smoothly. Memory O(M + N): no M×N matrix.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tarvic/array.hpp"
#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic {

/// Options of a correspondence search.
struct CorrespondenceOptions {
    double sigma2 = 1.0;                  // the fit's variance, caller units (> 0)
    double w = 0.0;                       // the fit's outlier fraction, in [0, 1)
    double tolerance = 1e-6;              // relative error bound of the denominators D_n, in (0, 1)
    std::optional<std::size_t> threads;   // dedicated pool size; none or 0: current pool
};

/// The matches, indices into the other cloud.
struct Correspondences {
    std::vector<std::int64_t> source_match;      // M: the target point of largest posterior
    std::vector<double> source_probability;      // M: that posterior P_mn
    std::vector<std::int64_t> target_match;      // N: the nearest (most probable) source point
    std::vector<double> target_probability;      // N: that posterior P_mn
    std::vector<double> target_outlier;          // N: c / D_n
    double error_bound = 0.0;                    // the largest relative error bound of a D_n
};

/// Validate (clouds, σ², w), then search on the pool that `opts.threads` selects. Cancelled: empty lists.
Result<Correspondences> find_correspondences(const CloudView& moved, const CloudView& target,
                                             const CorrespondenceOptions& opts, CancelFlag cancel);

}  // namespace tarvic
