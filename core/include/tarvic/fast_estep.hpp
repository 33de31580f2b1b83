#pragma once
// The E-step through Gauss transforms: the posterior sums of the exact E-step, in double
// precision, at a cost near linear in M + N, with a guaranteed bound on their error.
//
// Two transforms per E-step, within tolerance/2.2 and tolerance/4.4 (the split keeps the total
// within it):
//   T1 at the target points: D_n = Σ_m K(x_n, y_m) + c, bounded relative to D_n itself;
//   T2 at the moving points, weights q_n = 1/D_n: p1, and the first and second moments of the
//      posterior about each moving point, u_m = Σ_n P_mn (x_n − y_m) and r_m = Σ_n P_mn |x_n − y_m|²
//      (px = p1·y + u; the variance of the next M-step follows from u and r without cancellation).
// Target points whose every kernel value sits at the kernel's clamp (e^−708: far from all moving
// points, as in a partial overlap) spread their posterior evenly over the moving points, exactly
// as the clamp says; their share is summed in closed form. Target points with very large weights
// (tiny denominators) are summed pair by pair so that they cannot spoil the others' bounds.
#include <cstddef>
#include <vector>

#include "tarvic/gauss_transform.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic {

/// The smallest variance the fast E-step is given: below it 1/(2σ²) would overflow.
constexpr double kFastMinSigma2 = 1e-290;

/// The variance at which a fast fit has resolved its normalised coordinates (within [−1, 1])
/// to double precision: (1e-14)². Below it the variance only measures rounding, which jitters
/// from one iteration to the next, so the fits stop there as converged.
constexpr double kFastResolvedSigma2 = 1e-28;

/// Options of one fast E-step.
struct FastEStepOptions {
    double tolerance = 1e-6;  // bound on the E-step's error (see FastEStep::bound)
    bool parallel = true;     // spread the transforms over the current pool
    CancelFlag cancel = nullptr;
    // Test oracle: sum the exact E-step's single-precision kernel (floored at 2^-126) on the near
    // path, every pair above the floor evaluated and the floor's share added exactly.
    bool oracle = false;
};

/// The posterior sums with their moments and their error bound.
struct FastEStep {
    EStep sums;             // p1, pt1, px, np, as the exact E-step defines them
    std::vector<double> u;  // M × 3: Σ_n P_mn (x_n − y_m), y_m the current moving positions
    std::vector<double> r;  // M: Σ_n P_mn |x_n − y_m|²
    // Against the Gaussian kernel floored at e^−708: p1 and np are within `bound` relative; each
    // px[m] axis within `bound` relative to Σ_n P_mn·(|x_n| + |y_m| + ‖x_n − y_m‖₁ + w) on that axis,
    // w the diagonal of the target cloud's bounding box;
    // each pt1[n] (a value in [0, 1]) within `bound` absolutely.
    double bound = 0.0;
    GaussPath path_targets = GaussPath::Direct;  // how T1 was summed
    GaussPath path_moving = GaussPath::Direct;   // how T2 was summed (its bulk)
    std::size_t uniform = 0;                     // target points at the clamp, summed in closed form
    std::size_t heavy = 0;                       // target points summed pair by pair in T2
};

/// One E-step at normalised variance σ² (double precision, no floor) with outlier term c, from the
/// double-precision current positions (`Moving::cx`, `cy`, `cz`) and target coordinates.
FastEStep estep_fast(const Moving& moving, const Fixed& fixed, double sigma2, double c, const FastEStepOptions& opts);

/// The E-step of a similarity fit, summed at the target points alone. Such a fit needs no
/// posterior sums at the moving points: its M-step and variance follow from three sums at each
/// target point x_n,
///   pt1_n = Σ_m P_mn,   v_n = Σ_m P_mn·(y_m − x_n),   r_n = Σ_m P_mn·|y_m − x_n|²,
/// (y_m the current positions), and those come from one transform with moments about the
/// evaluation points: about half the work of estep_fast's two.
struct FastTargetEStep {
    std::vector<double> pt1;  // N
    std::vector<double> v;    // N × 3 row-major
    std::vector<double> r;    // N
    double np = 0.0;          // Σ_n pt1_n
    // Against the Gaussian kernel floored at e^−708: each pt1_n within `bound` absolutely (so np
    // within N·bound); each axis of v_n within `bound` relative to Σ_m P_mn·|y_m − x_n|₁, r_n
    // relative to Σ_m P_mn·|y_m − x_n|², or, where the far path summed them, to
    // Σ_m P_mn·(|y_ma − x_na| + d) on each axis a and Σ_m P_mn·(|y_m − x_n| + 2d)², d the diagonal
    // of the moving points' bounding box.
    double bound = 0.0;
    GaussPath path = GaussPath::Direct;  // how the bulk of the target points was summed
};

/// The same E-step as estep_fast (same σ², c and positions), in the form FastTargetEStep states.
FastTargetEStep estep_fast_targets(const Moving& moving, const Fixed& fixed, double sigma2, double c,
                                   const FastEStepOptions& opts);

/// The variance update of an M-step that moves each point m from its current position y_m to
/// t_m (row-major M × 3): Σ_mn P_mn |x_n − t_m|² / (3·np), formed as
/// Σ_m (r_m − 2·δ_m·u_m + p1_m·|δ_m|²) with δ_m = t_m − y_m, which stays accurate to the last digits
/// as σ² → 0 (the textbook form cancels terms of order one).
double fast_variance(const FastEStep& e, const Moving& moving, const double* t);

}  // namespace tarvic
