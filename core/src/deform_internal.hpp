#pragma once
// Building blocks of the deformable EM loop, shared with the tests.
#include <cmath>
#include <cstddef>
#include <vector>

#include "tarvic/kernel.hpp"
#include "tarvic/lowrank.hpp"

namespace tarvic::detail {

/// Blocks of points whose sums over the points are formed separately and added in block order
/// (the fast path's M-step, spread over the pool): how many, for M points and m modes. It depends on
/// M and m only, never on the pool, so results do not depend on the number of threads.
std::size_t mstep_blocks(std::size_t points, std::size_t modes);

/// Scratch of the low-rank M-step for M points and m modes, allocated once per fit; with `blocks`
/// > 1, room for each block's partial sums.
struct MStepWork {
    std::vector<double> f;    // M × 3: px − diag(p1)·Y₀
    std::vector<double> row;  // m: one row of A = diag(p1)·U
    std::vector<double> g;    // m × 3: Uᵀ·F, then S⁻¹·Uᵀ·F
    std::vector<double> s;    // m × m: Uᵀ·A + λσ²·Λ⁻¹, then its Cholesky factor
    std::size_t blocks = 1;
    bool parallel = false;     // blocks (and rows) on the current pool, else on the calling thread
    std::vector<double> part;  // blocks × (m·m + 3m): each block's S, then its G
    MStepWork(std::size_t points, std::size_t modes, std::size_t blocks_ = 1, bool parallel_ = false)
        : f(3 * points), row(modes), g(3 * modes), s(modes * modes), blocks(blocks_), parallel(parallel_),
          part(blocks_ > 1 ? blocks_ * (modes * modes + 3 * modes) : 0) {}
};

/// How one M-step ended.
enum class MStepStatus { Ok, CholeskyFailed, NonFinite };

/// Low-rank M-step: W (M × 3, row-major) solving (U·Λ·Uᵀ + λσ²·diag(p1)⁻¹)·W = diag(p1)⁻¹·px − Y₀
/// through the Woodbury identity. `w` is written in full unless the Cholesky of S fails.
/// With work.blocks > 1 the sums over points are formed per block and added in block order (a
/// different grouping of the same sums: the fast path's), on the current pool with work.parallel;
/// with one block, on the calling thread in point order.
MStepStatus lowrank_mstep(const Moving& moving, const Eigenmodes& modes, const EStep& e, double lambda_sigma2,
                          MStepWork& work, double* w);

/// out (M × 3) = U·D·Uᵀ·W with D = Λ when `scale_by_values`, else the identity; `h` is m × 3 scratch.
/// `out` may be `w` itself. With blocks > 1, Uᵀ·W is summed per block (see mstep_blocks), on the
/// current pool with `parallel`.
void modes_product(const Eigenmodes& modes, const double* w, bool scale_by_values, std::vector<double>& h,
                   double* out, std::size_t blocks = 1, bool parallel = false);

/// Oscillation test over windows of 16 variance updates: the loop has stalled when the path
/// length of the variance over a window exceeds four times its net change.
struct StallWindow {
    double sum = 0.0;        // Σ |σ²_new − σ²| over the current window
    double reference = 0.0;  // variance at the start of the window
    std::size_t len = 0;     // updates in the current window

    explicit StallWindow(double sigma2) : reference(sigma2) {}
    /// Record one update from `sigma2` to `sigma2_new`; true when the window says stop.
    bool stalled(double sigma2, double sigma2_new) {
        sum += std::fabs(sigma2_new - sigma2);
        if (++len < 16) return false;
        if (sum > 4.0 * std::fabs(sigma2_new - reference)) return true;
        sum = 0.0;
        reference = sigma2_new;
        len = 0;
        return false;
    }
};

/// Variance update from the E-step sums and positions T (M × 3); `x2` holds |x_n|² of the target.
double variance_update(const std::vector<double>& x2, const EStep& e, const double* t);

}  // namespace tarvic::detail
