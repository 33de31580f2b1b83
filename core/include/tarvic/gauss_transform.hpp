#pragma once
// Discrete Gauss transforms with a guaranteed relative error: the sums every fit needs,
//   S_ik = Σ_j q_jk · exp(−|t_i − s_j|² / (2h²)),
// for several weight columns k at once, over evaluation points t_i and sources s_j, computed in
// double precision by the cheapest of three paths:
//   - direct: every pair (the reference; exact up to rounding);
//   - near:   only pairs within a cut-off radius, found on a sparse uniform cell structure; the
//             mass of the pairs left out is bounded from cell counts (narrow kernels);
//   - far:    a grid-based fast Gauss transform with a truncation bound (wide kernels).
// Every call returns, with the sums, a bound b_i for each evaluation point:
//   |S^_ik − S_ik| ≤ b_i · (Σ_j |q_jk|·K_ij + floor)        for every column k,
// i.e. a relative error for non-negative weights, and an error relative to the sum of the
// magnitudes for signed ones. `floor` is a constant the caller adds to column 0 afterwards (the
// E-step's outlier term): the error is then bounded relative to the denominator it forms. Points
// whose bound would exceed the requested tolerance are summed again on a path that meets it, so
// b_i ≤ tolerance always. Rounding is part of the bound.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarvic/kernel.hpp"

namespace tarvic {

/// A cloud as three double-precision columns (borrowed; n points each).
struct Points64 {
    const double* x = nullptr;
    const double* y = nullptr;
    const double* z = nullptr;
    std::size_t n = 0;
};

/// How a transform (or a share of its points) was computed.
enum class GaussPath : std::uint8_t { Direct = 0, Near = 1, Far = 2 };

/// Options of one transform.
struct GaussOptions {
    double tolerance = 1e-6;  // requested bound on every b_i, in (0, 1)
    double floor = 0.0;       // added to Σ|q_j0|·K_ij when bounding column 0 (≥ 0)
    bool moments = false;     // also Σ q_j0·K_ij·(s_j − t_i) (3 columns) and Σ q_j0·K_ij·|s_j − t_i|²
    bool nearest = false;     // also a last column: −min_j |t_i − s_j|²/2h², clamped at −708 (far path: 0)
    float kernel32_sigma2 = 0;  // > 0: the exact E-step's single-precision kernel of this variance
                                // (near and direct paths only; the test oracle)
    bool parallel = true;     // spread the work over the current pool
    int force = -1;           // test and benchmark hook: a GaussPath to use (−1: cheapest)
    CancelFlag cancel = nullptr;
};

/// Sums with their bounds and a record of how they were obtained.
struct GaussSums {
    std::vector<double> values;  // n × width row-major; width = c (+ 4 with moments) (+ 1 nearest)
    std::vector<double> bound;   // n: b_i as defined above (moments: see gauss_transform)
    std::size_t width = 0;       // values per evaluation point
    double max_bound = 0.0;      // max_i b_i
    GaussPath path = GaussPath::Direct;  // the path chosen for the bulk of the points
    std::size_t redone = 0;      // points summed again on a tighter path to meet the tolerance
};

/// The transform of weights `q` (m × c row-major, m = sources.n) by the Gaussian of width h > 0.
/// With `moments`, column 0 must be non-negative and four values follow the c columns: the
/// moments of column 0 about the evaluation point, Σ_j q_j0·K_ij·(s_j − t_i) and
/// Σ_j q_j0·K_ij·|s_j − t_i|², which give a variance free of cancellation once a fit has converged.
/// On the direct and near paths they are summed pair by pair and b_i bounds them relative to
/// Σ_j q_j0·K_ij·|s_j − t_i|^k like any column; on the far path (wide kernels, where offsets of the
/// order of the clouds' size are harmless) the first moments are h² times the sum's gradient and
/// the second follows from a raw moment about the sources' low corner, within
/// b_i·Σ_j q_j0·K_ij·(|s_ja − t_ia| + d) on each axis a and b_i·Σ_j q_j0·K_ij·(|s_j − t_i| + 2d)², d
/// the diagonal of the sources' bounding box.
/// A set cancel flag makes the result partial (zeros where work was skipped).
GaussSums gauss_transform(const Points64& targets, const Points64& sources, double h, const double* q,
                          std::size_t c, const GaussOptions& opts);

/// Name of a path ("direct", "near", "far").
const char* path_name(GaussPath p);

}  // namespace tarvic
