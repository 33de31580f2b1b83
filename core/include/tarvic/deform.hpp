#pragma once
// Deformable Coherent Point Drift through kernel eigenmodes.
#include <cstddef>
#include <vector>

#include "tarvic/array.hpp"
#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/landmarks.hpp"

namespace tarvic {

/// Outcome of a deformable fit, in the caller's units.
struct DeformResult {
    Array2 source;               // M × 3, the kernel centres
    Array2 w;                    // M × 3 coefficients
    double beta = 0.0;           // absolute kernel width
    double sigma2 = 0.0;
    double nrms = 0.0;
    std::size_t iterations = 0;
    bool converged = false;
    std::size_t modes = 0;       // eigenmodes used
    bool fast = false;           // E-steps and kernel products ran through Gauss transforms
    double error_bound = 0.0;    // the largest bound of those over the fit (0 when exact)
};

/// Validate, then fit on the pool that `opts.threads` selects, guided by `landmarks`.
Result<DeformResult> deform_register(const CloudView& source, const CloudView& target, const DeformOptions& opts,
                                     CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// The EM loop on validated clouds; `parallel` selects the E-step mode. With `opts.prior` the
/// deformation is fitted to the source as the prior places it: the kernel centres of the result
/// are the placed points, so applying it means applying the prior first.
DeformResult deform_register_inner(const CloudView& source, const CloudView& target, const DeformOptions& opts,
                                   bool parallel, CancelFlag cancel, const Landmarks& landmarks = Landmarks{});

/// Many pairs, one registration per pool task (`opts.prior` placing each source); empty list when cancelled.
Result<std::vector<DeformResult>> deform_register_batch(const std::vector<CloudView>& sources,
                                                        const std::vector<CloudView>& targets,
                                                        const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                        const DeformOptions& opts, bool progress, CancelFlag cancel);

}  // namespace tarvic
