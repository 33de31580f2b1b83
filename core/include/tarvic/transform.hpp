#pragma once
// Closed-form fitted transforms and their application to further points.
#include "tarvic/array.hpp"
#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic {

/// p ↦ scale · rotation · p + translation, column-vector convention.
struct RigidTransform {
    double scale = 1.0;
    double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // row i, column j
    double translation[3] = {0, 0, 0};

    /// Transform an N × 3 view (any strides) into a new row-major array; BadShape unless 3 columns.
    Result<Array2> apply(const CloudView& points) const;
};

/// Carry an N × 3 view (any strides) through `t` into a new row-major array; BadShape unless 3 columns.
Result<Array2> apply_affine(const Affine3& t, const CloudView& points);

/// x ↦ x + Σ_j exp(−|x − source_j|² / (2·beta²)) · w_j.
struct DeformTransform {
    CloudView source;  // kernel centres, caller units
    CloudView w;       // coefficients, same shape as source
    double beta = 1.0; // absolute kernel width

    /// Deform an N × 3 view into a new row-major array, blocks on the current pool; BadShape unless 3 columns.
    Result<Array2> apply(const CloudView& points) const;

    /// How else an apply may run: its kernel sums exact or through a bounded Gauss transform,
    /// and interruptible (a set flag leaves the result partial, for the caller to discard).
    struct Options {
        Method method = Method::Exact;
        double tolerance = 1e-6;  // the fast path's bound on each displacement (relative to Σ|w|·K)
        CancelFlag cancel = nullptr;
    };
    /// The same apply with those options; `bound` (if given) gets the error bound (0 when exact).
    Result<Array2> apply(const CloudView& points, const Options& opts, double* bound) const;
};

}  // namespace tarvic
