#pragma once
// Small dense linear algebra on row-major f64 buffers (n ≤ num_modes + 10).
#include <cstddef>
#include <vector>

namespace tarvic {

/// In-place Cholesky of an n×n symmetric matrix: L in the lower triangle; false at a pivot that is not > 0.
bool cholesky(double* a, std::size_t n);

/// B (n×3, row-major) ← (L·Lᵀ)⁻¹·B with L the lower triangle of `l`.
void cholesky_solve(const double* l, std::size_t n, double* b);

/// Eigen-decomposition result: values descending, vectors as columns of an n×n row-major matrix.
struct Eigh {
    std::vector<double> values;
    std::vector<double> vectors;
};

/// Cyclic Jacobi eigensolver of a symmetric n×n matrix (consumed as work space).
Eigh jacobi_eigh(std::vector<double> a, std::size_t n);

/// Replace the M×n matrix Y by one with (nearly) orthonormal columns spanning the same space (shifted Cholesky QR, twice).
void orthonormalise(double* y, std::size_t len, std::size_t m, std::size_t n);

}  // namespace tarvic
