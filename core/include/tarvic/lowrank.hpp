#pragma once
// Leading eigenmodes of a cloud's Gaussian kernel matrix by randomized subspace iteration.
#include <cstddef>
#include <functional>
#include <vector>

#include "tarvic/kernel.hpp"

namespace tarvic {

/// U (M×m row-major) and Λ (m), eigenvalues decreasing and all above 1e-10 of the largest.
struct Eigenmodes {
    std::vector<double> vectors;
    std::vector<double> values;
    std::size_t m = 0;  // number of modes
};

/// Up to `num_modes` leading eigenpairs of K(source, source) with width β; empty when cancelled.
Eigenmodes kernel_eigenmodes(const PointsF32& source, float beta, std::size_t num_modes, CancelFlag cancel);

/// out (M × c, row-major) = K·in (M × c) for the kernel whose eigenmodes are sought.
using KernelProduct = std::function<void(const double* in, std::size_t c, double* out)>;

/// The same for any kernel of M points given by its products (the fast path's Gauss transforms).
Eigenmodes kernel_eigenmodes(std::size_t m_pts, std::size_t num_modes, CancelFlag cancel, const KernelProduct& product);

}  // namespace tarvic
