#pragma once
// The far path of the Gauss transform: a grid-based fast Gauss transform for wide kernels, with a
// rigorous per-point bound. Used by gauss_transform (core/src/gauss_transform.cpp), which picks
// the cheapest path from the plans' cost estimates and sums again, on the near or direct path, every
// point whose far bound exceeds the requested tolerance.
#include <cstddef>

#include "tarvic/gauss_transform.hpp"

namespace tarvic::detail {

/// Parameters of one far transform, chosen from the clouds, the width and the tolerance.
struct FarPlan {
    bool feasible = false;  // false when no parameters meet the tolerance within the memory cap
    double seconds = 0.0;   // estimated time on one thread (calibrated on the build machine)
    std::size_t bytes = 0;  // peak working memory
    double typical_bound = 0.0;  // the bound predicted for a typical evaluation point (≤ tolerance)
    // Method parameters: opaque to the caller.
    int order = 0;
    double spacing = 0.0;
    std::size_t dims[3] = {0, 0, 0};
    double origin[3] = {0.0, 0.0, 0.0};
    std::size_t taps = 0;            // one-sided length of the truncated sampled Gaussian
    std::size_t group = 0;           // grid columns spread and convolved together
    std::size_t partials = 0;        // 0: spread by slabs; else private grids merged in order
    std::size_t rounds = 0;          // spread round size expected (the transform sets it from the data)
    double coarse_spacing = 0.0;     // cells of the bound's envelope sums
    std::size_t coarse_dims[3] = {0, 0, 0};
    double coarse_origin[3] = {0.0, 0.0, 0.0};
};

/// Plan a far transform of `c` weight columns, or report it infeasible. With the weights q (m × c,
/// row-major; optional) and the floor of column 0, the plan sizes the grid for the bound their
/// magnitudes give at typical evaluation points (95 in 100 of a sample) and counts the signed
/// columns exactly; without weights it plans for unit weights and assumes every column but the
/// first is signed. A plan is valid for any weights: only its speed and its share of points within
/// the tolerance depend on them. With `gradient_scale` > 0 the transform will also be asked for
/// column 0's gradient, whose error the caller weighs as gradient_scale times the error's size (an
/// absolute bound, per unit of the column's sum): the plan then also keeps 1.4 times that within
/// the goal at typical points.
FarPlan far_plan(const Points64& targets, const Points64& sources, double h, double tolerance, std::size_t c,
                 const double* q = nullptr, double floor = 0.0, double gradient_scale = 0.0);

/// Run a feasible plan: out (targets.n × c, row-major) gets the sums, bound (targets.n) the
/// per-point bounds b_i in the sense of gauss_transform (with `floor` added to column 0's
/// magnitude sum), rounding included: |out_ik − S_ik| ≤ b_i·(Σ_j |q_jk| K_ij + floor·[k = 0]) for
/// finite inputs. Points whose bound exceeds the tolerance are left to the caller to redo. A bound
/// is +∞ (and the sums 0) for an evaluation point outside the plan's grid, for every point when a
/// source is outside it or the plan is infeasible, and for every point after a cancel (the sums are
/// then partial). Deterministic: the same inputs give the same bits at any thread count and on
/// every instruction set the kernels are built for.
/// With `grad` (targets.n × 3) and `grad_err` (targets.n), column 0 must be non-negative; grad gets
/// its sum's gradient in the evaluation point, ∇_t Σ_j q_j0·K(t, s_j) = Σ_j q_j0·K·(s_j − t)/h², and
/// grad_err an absolute bound on each axis' error (+∞ wherever the bound is, or where column 0 has
/// a negative weight).
void far_transform(const FarPlan& plan, const Points64& targets, const Points64& sources, double h, const double* q,
                   std::size_t c, double floor, bool parallel, CancelFlag cancel, double* out, double* bound,
                   double* grad = nullptr, double* grad_err = nullptr);

/// The constants the far path's bound takes for its local basis of order P (even, 4 to 16), for the
/// tests: upper bounds of max_{σ∈[0,1]} Σ_a |L_a(σ)|, of the sum of the magnitudes of L_a'(σ)'s terms
/// (which bounds Σ_a |L_a'(σ)|), and of max_{σ∈[0,1]} |ω'(σ)|, ω the node polynomial.
struct FarBasisBounds {
    double lebesgue = 0.0, slope_lebesgue = 0.0, node_slope = 0.0;
};
FarBasisBounds far_basis_bounds(int P);

}  // namespace tarvic::detail
