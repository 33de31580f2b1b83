#pragma once
// Rigid and similarity Coherent Point Drift.
#include <cstddef>
#include <vector>

#include "tarvic/array.hpp"
#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/landmarks.hpp"
#include "tarvic/transform.hpp"

namespace tarvic {

/// Outcome of a rigid fit, in the caller's units.
struct RigidResult {
    double scale = 1.0;
    double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double translation[3] = {0, 0, 0};
    double sigma2 = 0.0;
    double nrms = 0.0;             // sqrt(3σ²) / target RMS radius, scale-free
    std::size_t iterations = 0;    // completed M-steps
    bool converged = false;
    bool fast = false;             // the E-step ran through Gauss transforms
    double error_bound = 0.0;      // the largest bound of a fast E-step over the fit (0 when exact)
};

/// Validate, then fit on the pool that `opts.threads` selects (parallel E-step), guided by `landmarks`.
Result<RigidResult> rigid_register(const CloudView& source, const CloudView& target, const RigidOptions& opts,
                                   CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// The EM loop on validated clouds; `parallel` selects the E-step mode. With `opts.init` the loop
/// fits the source as the initial transform places it and reports the whole map.
RigidResult rigid_register_inner(const CloudView& source, const CloudView& target, const RigidOptions& opts,
                                 bool parallel, CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// The similarity nearest to a starting transform that check_similarity accepted: the closest
/// rotation and the least-squares scale of its 3 × 3 part.
RigidTransform nearest_similarity(const Affine3& t);

/// Proper rotation closest to the 3×3 cross-covariance A (row i: target axis, column j: source axis).
void fit_rotation(const double a[3][3], double r[3][3]);

/// Many pairs, one registration per pool task (`opts.init` starts each); empty list when cancelled.
Result<std::vector<RigidResult>> rigid_register_batch(const std::vector<CloudView>& sources,
                                                      const std::vector<CloudView>& targets,
                                                      const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                      const RigidOptions& opts, bool progress, CancelFlag cancel);

}  // namespace tarvic
