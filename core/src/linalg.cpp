// Small dense linear algebra for the low-rank deformable M-step and the eigenmode projection.
//
// Contract: every routine works in f64 on row-major buffers whose dimensions are passed beside
// them; the order of every add and multiply is fixed, so results are reproducible bit for bit.
// Nothing here is parallel and nothing reports failure loudly: callers decide what a failed
// factorisation means.
#include "tarvic/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

namespace tarvic {

namespace {

constexpr double kTiny = 2.2250738585072014e-308;  // smallest positive normal f64
constexpr double kEps = 2.220446049250313e-16;     // f64 machine epsilon

// Key whose signed order is the IEEE 754 total order of doubles (−NaN < −inf < … < −0 < +0 < … < +NaN).
std::int64_t total_order_key(double v) {
    auto bits = std::bit_cast<std::int64_t>(v);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

// One Cholesky-QR pass: Y ← Y·L⁻ᵀ with G + u·I = L·Lᵀ, G = Yᵀ·Y. Leaves Y untouched when the
// shifted Gram matrix stays indefinite up to its trace. `gram` and `factor` are n×n scratch.
void cholesky_qr_pass(double* y, std::size_t m, std::size_t n, std::vector<double>& gram,
                      std::vector<double>& factor) {
    // Gram matrix, lower triangle, row by row of Y; zero entries cost nothing.
    std::fill(gram.begin(), gram.end(), 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        const double* row = y + i * n;
        for (std::size_t j = 0; j < n; ++j) {
            const double yj = row[j];
            if (yj == 0.0) continue;
            double* g = gram.data() + j * n;
            for (std::size_t k = 0; k <= j; ++k) g[k] += row[k] * yj;
        }
    }
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < j; ++k) gram[k * n + j] = gram[j * n + k];

    double tr = 0.0;
    for (std::size_t j = 0; j < n; ++j) tr += gram[j * n + j];

    factor = gram;
    double shift = 0.0;
    bool first = true;
    while (!cholesky(factor.data(), n)) {
        shift = first ? std::max(tr, kTiny) * 1e-14 / static_cast<double>(n) : shift * 100.0;
        first = false;
        // Give up once the shift passes the trace. A NaN or infinite trace, or a shift that
        // underflowed to 0, would otherwise retry forever, so those give up as well.
        if (!(tr >= shift) || !(shift > 0.0) || !std::isfinite(shift)) return;
        factor = gram;
        for (std::size_t j = 0; j < n; ++j) factor[j * n + j] += shift;
    }

    // Lᵀ into `gram` (no longer needed) so the substitution below streams contiguous rows.
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t j = k; j < n; ++j) gram[k * n + j] = factor[j * n + k];

    // Row by row, forward substitution L·z = y in place. Written column-oriented: once z[k] is
    // known its products are subtracted from the later entries, which subtracts L[j][l]·z[l]
    // from y[j] in increasing l exactly as the row-oriented form does, but vectorises.
    for (std::size_t i = 0; i < m; ++i) {
        double* row = y + i * n;
        for (std::size_t k = 0; k < n; ++k) {
            const double* lt = gram.data() + k * n;
            const double zk = row[k] / lt[k];
            row[k] = zk;
            for (std::size_t j = k + 1; j < n; ++j) row[j] -= lt[j] * zk;
        }
    }
}

}  // namespace

bool cholesky(double* a, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double* ai = a + i * n;
        for (std::size_t j = 0; j <= i; ++j) {
            const double* aj = a + j * n;
            double s = ai[j];
            for (std::size_t k = 0; k < j; ++k) s -= ai[k] * aj[k];
            if (j == i) {
                if (!(s > 0.0)) return false;  // non-positive or NaN pivot
                ai[i] = std::sqrt(s);
            } else {
                ai[j] = s / aj[j];
            }
        }
    }
    return true;
}

void cholesky_solve(const double* l, std::size_t n, double* b) {
    // Forward: L·y = B.
    for (std::size_t r = 0; r < n; ++r) {
        double* br = b + 3 * r;
        for (std::size_t c = 0; c < r; ++c) {
            const double lrc = l[r * n + c];
            if (lrc == 0.0) continue;
            const double* bc = b + 3 * c;
            br[0] -= lrc * bc[0];
            br[1] -= lrc * bc[1];
            br[2] -= lrc * bc[2];
        }
        const double d = l[r * n + r];
        br[0] /= d;
        br[1] /= d;
        br[2] /= d;
    }
    // Backward: Lᵀ·x = y.
    for (std::size_t r = n; r-- > 0;) {
        double* br = b + 3 * r;
        for (std::size_t c = r + 1; c < n; ++c) {
            const double lcr = l[c * n + r];
            if (lcr == 0.0) continue;
            const double* bc = b + 3 * c;
            br[0] -= lcr * bc[0];
            br[1] -= lcr * bc[1];
            br[2] -= lcr * bc[2];
        }
        const double d = l[r * n + r];
        br[0] /= d;
        br[1] /= d;
        br[2] /= d;
    }
}

Eigh jacobi_eigh(std::vector<double> a, std::size_t n) {
    std::vector<double> v(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;

    for (int sweep = 0; sweep < 30; ++sweep) {
        // Relative stopping test: the off-diagonal mass is negligible against the diagonal.
        double off = 0.0;
        double diag = 0.0;
        for (std::size_t p = 0; p < n; ++p) {
            diag += std::fabs(a[p * n + p]);
            for (std::size_t q = p + 1; q < n; ++q) off += std::fabs(a[p * n + q]);
        }
        if (off <= std::max(diag, kTiny) * kEps) break;

        for (std::size_t p = 0; p + 1 < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                // Rotation angle that annihilates A[p][q]; the smaller root keeps |t| ≤ 1.
                const double theta = (a[q * n + q] - a[p * n + p]) / (apq + apq);
                const double sgn = std::signbit(theta) ? -1.0 : 1.0;
                const double t = sgn / (std::sqrt(theta * theta + 1.0) + std::fabs(theta));
                a[p * n + p] -= t * apq;
                a[q * n + q] += t * apq;
                a[p * n + q] = 0.0;
                a[q * n + p] = 0.0;
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t r = 0; r < n; ++r) {
                    if (r == p || r == q) continue;
                    const double x = a[r * n + p];
                    const double y = a[r * n + q];
                    const double np = c * x - s * y;
                    const double nq = c * y + s * x;
                    a[r * n + p] = np;
                    a[p * n + r] = np;
                    a[r * n + q] = nq;
                    a[q * n + r] = nq;
                }
                for (std::size_t r = 0; r < n; ++r) {
                    const double x = v[r * n + p];
                    const double y = v[r * n + q];
                    v[r * n + p] = c * x - s * y;
                    v[r * n + q] = s * x + c * y;
                }
            }
        }
    }

    // Descending by the IEEE total order; stable, so equal values keep increasing index order.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return total_order_key(a[i * n + i]) > total_order_key(a[j * n + j]);
    });

    Eigh out;
    out.values.resize(n);
    out.vectors.resize(n * n);
    for (std::size_t j = 0; j < n; ++j) {
        out.values[j] = a[order[j] * n + order[j]];
        for (std::size_t r = 0; r < n; ++r) out.vectors[r * n + j] = v[r * n + order[j]];
    }
    return out;
}

void orthonormalise(double* y, std::size_t len, std::size_t m, std::size_t n) {
    if (n == 0 || m == 0 || len < m * n) return;
    std::vector<double> gram(n * n);
    std::vector<double> factor(n * n);
    // Cholesky QR twice: the second pass repairs the orthogonality the first loses to the
    // squared condition number of the Gram matrix.
    cholesky_qr_pass(y, m, n, gram, factor);
    cholesky_qr_pass(y, m, n, gram, factor);
}

}  // namespace tarvic
