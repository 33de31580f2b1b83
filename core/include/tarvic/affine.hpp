#pragma once
// Affine Coherent Point Drift (Myronenko & Song 2010, Fig. 3): x ↦ B·x + t with a general 3 × 3 B.
#include <cstddef>
#include <vector>

#include "tarvic/array.hpp"
#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/landmarks.hpp"

namespace tarvic {

/// Outcome of an affine fit, in the caller's units.
struct AffineResult {
    double matrix[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // B, acting on column vectors
    double translation[3] = {0, 0, 0};
    double sigma2 = 0.0;
    double nrms = 0.0;             // sqrt(3σ²) / target RMS radius, scale-free
    std::size_t iterations = 0;    // completed M-steps
    bool converged = false;
    bool singular = false;         // ended at an M-step whose weighted source covariance had no inverse
    bool fast = false;             // the E-step ran through Gauss transforms
    double error_bound = 0.0;      // the largest bound of a fast E-step over the fit (0 when exact)
};

/// Validate, then fit on the pool that `opts.threads` selects (parallel E-step), guided by `landmarks`.
Result<AffineResult> affine_register(const CloudView& source, const CloudView& target, const AffineOptions& opts,
                                     CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// The EM loop on validated clouds; `parallel` selects the E-step mode. With `opts.init` the loop
/// fits the source as the initial transform places it and reports the whole map.
AffineResult affine_register_inner(const CloudView& source, const CloudView& target, const AffineOptions& opts,
                                   bool parallel, CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// Many pairs, one registration per pool task (`opts.init` starts each); empty list when cancelled.
Result<std::vector<AffineResult>> affine_register_batch(const std::vector<CloudView>& sources,
                                                        const std::vector<CloudView>& targets,
                                                        const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                        const AffineOptions& opts, bool progress, CancelFlag cancel);

}  // namespace tarvic
