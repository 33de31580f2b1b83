// The far path of the Gauss transform: a grid-based fast Gauss transform with a rigorous
// per-point bound (see far_field.hpp for the interface).
//
// Method. Each source's weights are spread onto a regular grid of spacing Δ = ρh by
// tensor-product Lagrange interpolation of even order P (P nodes per axis, the point inside the
// central interval); the grid is convolved with the sampled Gaussian g(kΔ), g(u) = exp(−u²/2h²),
// in three 1-D passes truncated after T taps; the result is interpolated back at every evaluation
// point with the same basis. In exact arithmetic the computed kernel is Π_d k_d(t_d, s_d) with
// k_d = I_t I_s g, the pairs of nodes further apart than T spacings left out.
//
// Bound. Cramér's inequality |H_n(x)| e^{−x²/2} ≤ κ 2^{n/2} √(n!), κ = 1.086435, gives
// |g^(n)(u)| ≤ κ √(n!) h^−n exp(−u²/4h²). On the central interval the node polynomial of P
// equispaced nodes is at most Δ^P ((P−1)!!)²/2^P, so one interpolation errs by at most
// c_P ρ^P max_ξ exp(−(u−ξ)²/4h²), c_P = κ((P−1)!!)²/(2^P √(P!)), ξ within PΔ/2 of the point.
// Telescoping, I_t I_s g − g = I_t(I_s g − g) + (I_t g − g), with Λ the Lebesgue constant of the
// local basis: |k_d − g| ≤ (1 + Λ) c_P ρ^P Φ(t_d − s_d), where Φ(u) = exp(−(|u| − w)₊²/4h²) and
// w = PΔ. The dropped taps add at most Λ² exp(−((T+1)Δ)²/4h²) Φ. With e the sum of the per-axis
// coefficients, k_d = g_d + δ_d with |δ_d| ≤ eΦ_d, so K^ − K = Σ_d δ_d Π_{d'≠d} g_d' plus terms
// with two or three δ: |K^ − K| ≤ e Σ_d Φ_d Π_{d'≠d} g_d' + (3e² + e³) Π_d Φ_d (g ≤ Φ). The first
// term keeps the Gaussian's decay on two axes of three, where Π_d Φ would not: at the widths a fit
// uses it is 8-100 times smaller on surfaces. Rounding is bounded relative to the magnitude chain
// Σ|L||G||L| ≤ Λ⁶ Π_d Φ. Per evaluation point, both envelope sums are bounded from above on a
// coarse grid (cell sums of |q| convolved per axis with the maxima of Φ and of g over cell pairs)
// and divided by a lower bound of Σ_j |q_j| K_ij: the computed sum minus its own error bound, where
// a signed column's magnitudes are transformed alongside it.
//
// Gradient. Column 0's gradient in the evaluation point (non-negative weights) comes from the same
// grid, interpolated with the derivatives of the basis on one axis: the moments Σ q·K·(s − t) are
// then h² times it, one grid column instead of three. Its bound follows the value's with the
// derivative of the interpolation error (divided differences, W' ≥ max|ω'| on the central
// interval) on that axis, against the same two envelope sums (see error_model).
#include "far_field.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "simd.hpp"
#include "tarvic/fpenv.hpp"
#include "tarvic/threads.hpp"

// Every loop below is element-wise with a fixed order of operations per element (no reductions
// the compiler could reorder), so every clone of it computes the same values.

namespace tarvic::detail {

namespace {

constexpr double kUnit = 0x1p-53;        // unit roundoff of double
constexpr double kCramer = 1.086435;     // ≥ sup_{n,x} |H_n(x)| e^{−x²/2} / (2^{n/2} √(n!))
constexpr double kSlope = 0.8578;        // ≥ sup_x x·exp(−x²/4): |g'(u)| ≤ (kSlope/h)·exp(−u²/4h²)
constexpr double kArgSlope = 0.7358;     // ≥ sup_x x·exp(−x/2): a tap's argument error relative to Φ
constexpr int kMaxOrder = 16;
// Orders tried by the plan. P = 4 only wins with very small spacings, where its measured time
// exceeded P = 6 and 8 by up to 1.5x against the cost model.
constexpr int kOrders[] = {6, 8, 10, 12, 14, 16};
// Grids and per-point arrays. At 1e6 points the far path's grids are the largest share of a fit's
// peak; plans within this cap kept a rigid fit of 1e6 × 1e6 points under 800 MiB (its growth over
// the inputs; 940 MB for the whole process). From 384 MiB to this cap the fit's band at σ = 0.2–1%
// of the diagonal, on the near path where the grid did not fit, went from 28-29 s to 23-24 s.
constexpr std::size_t kMemoryCap = std::size_t{512} << 20;
// Grids of at most this many bytes are spread and convolved several columns at a time (see far_plan).
constexpr double kGroupBytes = 4.0 * (1 << 20);
constexpr std::size_t kRunDirect = 8;    // runs of sources in one cell up to this long are spread directly
constexpr std::size_t kRunBlock = 64;    // longer runs are first summed in blocks of this many
constexpr std::size_t kPartials = 8;     // private grids (fixed count) when the grid is too thin for slabs
constexpr double kSafety = 0.7;          // plan a typical bound of this share of the tolerance
constexpr double kTruncShare = 0.05;     // truncation budget relative to the interpolation coefficient
constexpr double kTail = 1e-30;          // per-axis envelope value below which coarse taps stop
constexpr std::size_t kInterpBlock = 64; // evaluation points per interpolation call
constexpr std::size_t kCoarseMax = 128;  // coarse cells per axis (at most, plus two)
constexpr std::size_t kMaxPoints = std::size_t{1} << 32;  // indices are packed into 32 bits
// Absolute allowance for results flushed to zero (FlushSubnormals) or underflowing: each of fewer
// than 2^50 operations errs by at most 2^-1022 in absolute value, amplified by less than 2^12.
constexpr double kAbsolute = 0x1p-960;

double gam(double n) { return n * kUnit / (1.0 - n * kUnit); }

// ---------------------------------------------------------------------------------------------
// The local Lagrange basis: nodes x_b = b − (P/2 − 1), b = 0..P−1; the point at σ ∈ [0, 1].

struct Stencil {
    int order = 0;
    double inv_den[kMaxOrder] = {};
    double lebesgue = 0.0;  // ≥ max_{σ∈[0,1]} Σ_a |L_a(σ)| (attained at σ = 1/2; checked in the tests)
    double rem = 0.0;       // ≥ c_P
    // Derivatives (gradient of column 0): dleb ≥ max_{σ∈[0,1]} Σ_a Σ_{c≠a} Π_{b∉{a,c}} |σ − x_b| / |Π_{b≠a}(a − b)|,
    // which bounds Σ_a |L_a'(σ)| and the magnitudes its rounding is relative to; drem ≥ κ·W'/√(P!)
    // with W' ≥ max_{σ∈[0,1]} |ω'(σ)|, ω the node polynomial Π_b (σ − x_b).
    double dleb = 0.0;
    double drem = 0.0;
};

// Bounds over σ ∈ [0, 1] for P nodes x_b = b − (P/2 − 1): slope ≥ max |ω'(σ)| and weights ≥
// max Σ_a Σ_{c≠a} Π_{b∉{a,c}} |σ − x_b| / |Π_{b≠a}(a − b)|. Both are sampled at 4097 points k/4096
// (exact arguments; the rounding of each sample added from its terms' magnitudes), plus half a step
// times a bound of their slope on [0, 1] from |σ − x_b| ≤ max(|x_b|, |1 − x_b|) there.
struct SlopeBounds {
    double slope = 0.0, weights = 0.0;
};

SlopeBounds slope_bounds(int P) {
    const int p = P / 2;
    double far_[kMaxOrder], den[kMaxOrder];
    for (int b = 0; b < P; ++b) {
        const double x = b - p + 1;
        far_[b] = std::max(std::fabs(x), std::fabs(1.0 - x));
        den[b] = 1.0;
        for (int c = 0; c < P; ++c)
            if (c != b) den[b] *= std::fabs(static_cast<double>(b - c));
    }
    // Π of far_ over the nodes outside a set of up to three.
    auto rest = [&](int a, int b, int c) {
        double v = 1.0;
        for (int d = 0; d < P; ++d)
            if (d != a && d != b && d != c) v *= far_[d];
        return v;
    };
    double lip_slope = 0.0, lip_weights = 0.0;
    for (int a = 0; a < P; ++a)
        for (int c = 0; c < P; ++c) {
            if (c == a) continue;
            lip_slope += rest(a, c, -1);
            for (int e = 0; e < P; ++e)
                if (e != a && e != c) lip_weights += rest(a, c, e) / den[a];
        }
    constexpr int kSteps = 4096;
    const double slack = 1.0 + 4.0 * P * kUnit;
    SlopeBounds out;
    for (int k = 0; k <= kSteps; ++k) {
        const double sigma = static_cast<double>(k) / kSteps;
        double sum = 0.0, mag = 0.0, weights = 0.0;
        for (int a = 0; a < P; ++a) {
            double v = 1.0, w = 0.0;
            for (int c = 0; c < P; ++c)
                if (c != a) v *= sigma - static_cast<double>(c - p + 1);
            for (int c = 0; c < P; ++c) {
                if (c == a) continue;
                double t = 1.0;
                for (int b = 0; b < P; ++b)
                    if (b != a && b != c) t *= std::fabs(sigma - static_cast<double>(b - p + 1));
                w += t;
            }
            sum += v;
            mag += std::fabs(v);
            weights += w / den[a];
        }
        out.slope = std::max(out.slope, std::fabs(sum) + (slack - 1.0) * 2.0 * mag);
        out.weights = std::max(out.weights, weights * slack * slack);
    }
    out.slope = (out.slope + lip_slope * 0.5 / kSteps) * (1.0 + 1e-9) * slack;
    out.weights = (out.weights + lip_weights * 0.5 / kSteps) * (1.0 + 1e-9) * slack;
    return out;
}

// slope_bounds of every order, computed once (a few milliseconds).
const SlopeBounds& slopes_of(int P) {
    static const std::array<SlopeBounds, kMaxOrder + 1> table = [] {
        std::array<SlopeBounds, kMaxOrder + 1> v{};
        for (int q = 2; q <= kMaxOrder; q += 2) v[q] = slope_bounds(q);
        return v;
    }();
    return table[P];
}

Stencil make_stencil(int P) {
    Stencil s;
    s.order = P;
    const int p = P / 2;
    for (int a = 0; a < P; ++a) {
        double den = 1.0;  // a product of integers below 16!: exact
        for (int b = 0; b < P; ++b)
            if (b != a) den *= static_cast<double>(a - b);
        s.inv_den[a] = 1.0 / den;
    }
    double lam = 0.0;
    for (int a = 0; a < P; ++a) {
        double v = 1.0;
        for (int b = 0; b < P; ++b)
            if (b != a) v *= (0.5 - static_cast<double>(b - p + 1)) / static_cast<double>(a - b);
        lam += std::fabs(v);
    }
    s.lebesgue = lam * (1.0 + 1e-12);
    double dfact = 1.0, fact = 1.0;
    for (int k = P - 1; k > 1; k -= 2) dfact *= k;
    for (int k = 2; k <= P; ++k) fact *= k;
    s.rem = kCramer * dfact * dfact / (std::ldexp(1.0, P) * std::sqrt(fact)) * (1.0 + 1e-12);
    s.dleb = slopes_of(P).weights;
    s.drem = kCramer * slopes_of(P).slope / std::sqrt(fact) * (1.0 + 1e-12);
    return s;
}

// L_a'(σ), the derivatives of lagrange3's weights (same layout, D[4a + d]): with the prefix and
// suffix products of σ − x_b and their derivatives (product rule), L_a' = (pre_a'·suf_a +
// pre_a·suf_a')/Π_{b≠a}(a − b). Every term Π_{b∉{a,c}}(σ − x_b)/Π(a − b) of L_a' passes through at
// most 3P + 2 roundings.
template <int P>
[[gnu::always_inline]] inline void lagrange3_slope(const double* inv_den, v4d sigma, double* D) {
    constexpr int p = P / 2;
    const v4d one = {1.0, 1.0, 1.0, 1.0}, zero = {0.0, 0.0, 0.0, 0.0};
    v4d d[P], pre[P], dpre[P], suf[P], dsuf[P];
    for (int b = 0; b < P; ++b) d[b] = sigma - static_cast<double>(b - p + 1);
    pre[0] = one;
    dpre[0] = zero;
    for (int a = 1; a < P; ++a) {
        pre[a] = pre[a - 1] * d[a - 1];
        dpre[a] = dpre[a - 1] * d[a - 1] + pre[a - 1];
    }
    suf[P - 1] = one;
    dsuf[P - 1] = zero;
    for (int a = P - 2; a >= 0; --a) {
        suf[a] = suf[a + 1] * d[a + 1];
        dsuf[a] = dsuf[a + 1] * d[a + 1] + suf[a + 1];
    }
    for (int a = 0; a < P; ++a) {
        const v4d w = (dpre[a] * suf[a] + pre[a] * dsuf[a]) * inv_den[a];
        __builtin_memcpy(D + 4 * a, &w, sizeof w);
    }
}

// L_a(σ) = Π_{b≠a}(σ − x_b) / Π_{b≠a}(a − b), each with at most 2P roundings, for the three axes
// at once (lanes x, y, z; the fourth is unused): prefix and suffix products of σ − x_b.

// W[4a + d] is the weight of node a on axis d.
template <int P>
[[gnu::always_inline]] inline void lagrange3(const double* inv_den, v4d sigma, double* W) {
    constexpr int p = P / 2;
    v4d d[P], pre[P], suf[P];
    for (int b = 0; b < P; ++b) d[b] = sigma - static_cast<double>(b - p + 1);
    pre[0] = v4d{1.0, 1.0, 1.0, 1.0};
    for (int a = 1; a < P; ++a) pre[a] = pre[a - 1] * d[a - 1];
    suf[P - 1] = v4d{1.0, 1.0, 1.0, 1.0};
    for (int a = P - 2; a >= 0; --a) suf[a] = suf[a + 1] * d[a + 1];
    for (int a = 0; a < P; ++a) {
        const v4d w = (pre[a] * suf[a]) * inv_den[a];
        __builtin_memcpy(W + 4 * a, &w, sizeof w);  // no alignment assumed
    }
}

struct Axis {
    double origin = 0.0, inv = 0.0;
    std::size_t n = 0;
};

// First node f of the point's stencil on one axis and its offset σ ∈ [0, 1) in the central
// interval; false when the stencil leaves the grid (or u is not finite). The grid coordinate
// (u − origin)·inv carries at most 3 roundings, σ = x − ⌊x⌋ none.
[[gnu::always_inline]] inline bool locate(const Axis& ax, int P, double u, std::size_t& f, double& sigma) {
    const double x = (u - ax.origin) * ax.inv;
    const double k = std::floor(x);
    sigma = x - k;
    const double first = k - static_cast<double>(P / 2 - 1);
    if (!(first >= 0.0 && first + static_cast<double>(P) <= static_cast<double>(ax.n))) return false;
    f = static_cast<std::size_t>(first);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Error coefficients.

struct ErrorModel {
    // |S^_ik − S_ik| ≤ first · Σ_j |q_jk| Σ_d Φ(t_id − s_jd) Π_{d'≠d} g(t_id' − s_jd')
    //                + rest · Σ_j |q_jk| Π_d Φ(t_id − s_jd).
    double first = 0.0, rest = 0.0;
    double width = 0.0;  // w of Φ
    // The gradient of column 0 (non-negative weights), each axis a:
    // |∂_a S^_i − ∂_a S_i| ≤ grad_first · Σ_j q_j Σ_d Φ_d Π_{d'≠d} g_d' + grad_rest · Σ_j q_j Π_d Φ_d.
    double grad_first = 0.0, grad_rest = 0.0;
};

ErrorModel error_model(const Stencil& st, double spacing, double h, std::size_t taps, std::size_t max_dim,
                       double spread_depth) {
    const int P = st.order;
    const double rho = spacing / h * (1.0 + 4.0 * kUnit);
    const double lam = st.lebesgue;
    const double e_int = (1.0 + lam) * st.rem * std::pow(rho, P);
    const double t1 = static_cast<double>(taps) + 1.0;
    const double e_trunc = (taps + 1 >= max_dim) ? 0.0 : lam * lam * std::exp(-(t1 * rho) * (t1 * rho) / 4.0);
    // Grid coordinates of an evaluation point and a source are off by at most γ₃·(dims) spacings
    // each: the algorithm interpolates at displaced points, which moves g by ≤ (kSlope·δ/h)·Φ.
    const double shift = 2.0 * gam(3) * (static_cast<double>(max_dim) + 2.0);
    const double e_pos = 3.0 * kSlope * shift * rho;
    const double e = e_int + e_trunc + e_pos;
    const double e3 = e * (3.0 + e * (3.0 + e));
    // Rounding relative to the magnitude chain: basis weights and their products on the source
    // side (γ_{6P+3}) and the evaluation side with its pairwise sums (γ_{6P+3⌈log₂P⌉+3}), the
    // spread's additions, and per pass: the tap k steps out is summed from the far end inward
    // (k + 3 roundings) and weighs g(kΔ) ≤ exp(−(kΔ)²/4h²)·Φ, so (k + 3)·g(kΔ) ≤ (3 + kSlope/ρ)·Φ;
    // plus the tap values' own error (argument and exp).
    int log2p = 0;
    while ((1 << log2p) < P) ++log2p;
    const double per_pass = (3.0 + kSlope / rho) * kUnit * (1.0 + 1e-6) + kArgSlope * gam(6) + 4.0 * kUnit;
    const double eta = 1.01 * (gam(6.0 * P + 3) + gam(spread_depth) + 3.0 * per_pass + gam(6.0 * P + 3.0 * log2p + 3));
    const double lam2 = lam * lam, lam6 = lam2 * lam2 * lam2;
    // With k_d = g_d + δ_d, |δ_d| ≤ e·Φ_d: Π k_d − Π g_d is Σ_d δ_d Π_{d'≠d} g_d' (first order)
    // plus terms with two or three δ, at most (3e² + e³) Π Φ.
    ErrorModel m;
    m.first = e * (1.0 + 1e-9);
    m.rest = (e * e * (3.0 + e) + eta * lam6 * (1.0 + e3)) * (1.0 + 1e-9);
    m.width = static_cast<double>(P) * spacing + 1.01 * shift * spacing;

    // The gradient, in units of 1/h. Per axis the computed kernel's derivative in t is
    // (I_t F)'(t) with F(τ) = I_s g(τ − ·)(s): (I_t F)' − g'(t − s) = [(I_t F)' − F'] + [F' − g'(t − s)].
    // With F[x_0..x_{P−1}, t] the divided difference, (I_t F − F)' = −(F[.., t, t]·ω + F[.., t]·ω');
    // |F^(n)| ≤ Λ κ √(n!) h^−n Φ, |ω| ≤ Δ^P W, |ω'| ≤ Δ^{P−1} W' give the first bracket
    // Λ (c_P ρ^P/√(P+1) + d_P ρ^{P−1}); the second is I_s's error on g', whose P-th derivative is
    // g^(P+1): √(P+1) c_P ρ^P. Dropped taps weigh Σ|L'| ≤ dleb/Δ on the evaluation side; a
    // displaced point moves g' by at most |g''|·δ ≤ (κ√2/h²)·δ·Φ.
    const double dlam = st.dleb;
    const double sq = std::sqrt(static_cast<double>(P) + 1.0);
    const double d_int = lam * (st.rem * std::pow(rho, P) / sq + st.drem * std::pow(rho, P - 1)) +
                         sq * st.rem * std::pow(rho, P);
    const double d_trunc =
        (taps + 1 >= max_dim) ? 0.0 : dlam * lam * std::exp(-(t1 * rho) * (t1 * rho) / 4.0) / rho;
    const double d_pos = 3.0 * kCramer * std::sqrt(2.0) * shift * rho;
    const double ed = d_int + d_trunc + d_pos;
    // k_1' k_2 k_3 − g_1' g_2 g_3 = δ_1' k_2 k_3 + g_1' (k_2 k_3 − g_2 g_3) with |δ_1'| ≤ (ed/h)Φ_1,
    // |g_1'| ≤ (kSlope/h)Φ_1 and |k_2 k_3 − g_2 g_3| ≤ (2e + e²)Φ_2 Φ_3: at most
    // (1/h)[ed·Φ_1 g_2 g_3 + (ed + kSlope)(2e + e²) Π Φ]. Rounding: the evaluation side's weights
    // L' (≤ 3P + 2 roundings each, relative to the magnitudes dleb bounds) with the same products
    // and sums, against the chain Σ|L'||G||L| ≤ (dleb/ρ) Λ⁵ Π Φ (per unit of 1/h).
    const double eta_d =
        1.01 * (gam(6.0 * P + 3) + gam(spread_depth) + 3.0 * per_pass + gam(10.0 * P + 3.0 * log2p + 5));
    const double lam5 = lam2 * lam2 * lam;
    m.grad_first = ed * (1.0 + 1e-9) / h;
    m.grad_rest = ((ed + kSlope) * e * (2.0 + e) + eta_d * dlam * lam5 * (1.0 + e3) / rho) * (1.0 + 1e-9) / h;
    return m;
}

// Depth of the spread's sums at a node: a block sum of ≤ kRunBlock terms, then at most `adds`
// additions onto the node (one per direct source or per block of the cells whose stencils cover
// it), then the merge of private grids. In rounds of R sources, at most R additions per round (and
// at most `adds` plus those of the two runs a round may cut) plus one per round that reaches the
// node: from two tasks (slabs) of at most `task` sources, or one (a private grid).
double spread_depth_bound(double adds, std::size_t partials, double rounds, double task) {
    double d = adds;
    if (rounds > 0.0)
        d = std::min(adds + 2.0 * kRunDirect, rounds) + (partials ? 1.0 : 2.0) * (std::ceil(task / rounds) + 1.0);
    return static_cast<double>(kRunBlock) + d + static_cast<double>(partials) + 1.0;
}

// Round size for the spread: none (0) unless rounds at least halve the depth bound; R balances
// R against the rounds' count, and is large enough that adding each round's region back (memory
// bound) touches at most a sixteenth of the values spreading it does.
double spread_rounds(double adds, std::size_t partials, double task, int P, double region_nodes) {
    const double p3 = static_cast<double>(P) * P * P;
    const double r = std::max({std::sqrt((partials ? 1.0 : 2.0) * task), 16.0 * region_nodes / p3, 64.0});
    return spread_depth_bound(adds, partials, r, task) <= 0.5 * spread_depth_bound(adds, partials, 0.0, task) ? r : 0.0;
}

// One-sided taps for a truncation error of at most kTruncShare·e_int (per axis).
std::size_t taps_for(const Stencil& st, double rho) {
    const double e_int = (1.0 + st.lebesgue) * st.rem * std::pow(rho, st.order);
    const double target = std::max(kTruncShare * e_int, 1e-300);
    const double lam2 = st.lebesgue * st.lebesgue;
    const double reach = 2.0 * std::sqrt(std::max(std::log(lam2 / target), 0.0)) / rho;  // (T + 1) ≥ reach
    if (!(reach < 1e9)) return std::size_t{1} << 30;
    return static_cast<std::size_t>(std::ceil(reach));
}

// Per-axis taps on the coarse grid, rounded up: E_k ≥ exp(−(u − w)₊² / (a·h²)) over any two
// cells k apart, u the distance of their points (w also covers rounded cell indices).
std::vector<double> cell_pair_taps(double width, double a, double cell, double h, std::size_t max_cells,
                                   double* tail) {
    const double w = width * (1.0 + 1e-9) + 2e-9 * cell;
    std::vector<double> e;
    *tail = 0.0;
    for (std::size_t k = 0;; ++k) {
        const double dist = static_cast<double>(k > 0 ? k - 1 : 0) * cell;
        const double gap = std::max(dist - w, 0.0);
        const double v = std::exp(-(gap * gap / (a * h * h)) * (1.0 - 16.0 * kUnit)) * (1.0 + 8.0 * kUnit);
        if (k >= max_cells) break;  // no two cells are further apart
        if (v < kTail) {
            *tail = v;
            break;
        }
        e.push_back(v);
    }
    return e;
}

// The envelope Φ of width w, and the Gaussian g itself.
std::vector<double> envelope_taps(double width, double cell, double h, std::size_t max_cells, double* tail) {
    return cell_pair_taps(width, 4.0, cell, h, max_cells, tail);
}
std::vector<double> gauss_taps(double cell, double h, std::size_t max_cells, double* tail) {
    return cell_pair_taps(0.0, 2.0, cell, h, max_cells, tail);
}

// ---------------------------------------------------------------------------------------------
// Kernels.

struct GridColumn {
    std::uint32_t col = 0;  // source column of q
    bool magnitude = false; // transform |q| (the lower bound of a signed column)
};

struct SpreadCtx {
    const double* x;
    const double* y;
    const double* z;                // sorted source coordinates
    const std::uint64_t* packed;    // sorted (cell key << 32 | original index)
    const double* q;                // the columns' weights in sorted order, row i at q + i·qstride
    std::size_t qstride;
    std::size_t G;                  // grid columns
    Axis ax[3];
    int P;
    const double* inv_den;
};

// r[0, P) += w·Lz[0, P), element by element (a product, then a sum), in explicit vectors of 8, 4
// and 2 lanes: GCC left the scalar loop unvectorised for the orders that are not multiples of 8.
template <class V>
[[gnu::always_inline]] inline void axpy_chunk(double* __restrict r, double w, const double* __restrict lz) {
    V a, b;
    __builtin_memcpy(&a, r, sizeof a);
    __builtin_memcpy(&b, lz, sizeof b);
    a = a + w * b;
    __builtin_memcpy(r, &a, sizeof a);
}

template <int P>
[[gnu::always_inline]] inline void axpy_row(double* __restrict r, double w, const double* __restrict lz) {
    int c = 0;
    for (; c + 8 <= P; c += 8) axpy_chunk<v8d>(r + c, w, lz + c);
    if constexpr (P % 8 >= 4) {
        axpy_chunk<v4d>(r + c, w, lz + c);
        c += 4;
    }
    if constexpr (P % 4 >= 2) axpy_chunk<v2d>(r + c, w, lz + c);
}

// Adds q ⊗ Lx ⊗ Ly ⊗ Lz at dst (unit stride along z, sx along x, sy along y). Each term is
// ((q·Lx_a)·Ly_b)·Lz_c, added in the order of the sources.
template <int P>
[[gnu::always_inline]] inline void add_tensor(double* __restrict dst, std::size_t sx, std::size_t sy, double q,
                                              const double* W, const double* Lz) {
    for (int a = 0; a < P; ++a) {
        const double qa = q * W[4 * a];
        for (int b = 0; b < P; ++b) axpy_row<P>(dst + a * sx + b * sy, qa * W[4 * b + 1], Lz);
    }
}

// Spreads sorted sources [begin, end) onto G planes `plane` apart (one per grid column) holding
// the grid's nodes from index `offset` on. Runs of sources in one cell longer than kRunDirect are
// summed in blocks of kRunBlock first (bounded rounding depth for duplicates). `scratch` holds
// P³G doubles.
template <int P>
[[gnu::always_inline]] inline void spread_impl(const SpreadCtx& s, std::size_t begin, std::size_t end,
                                               double* __restrict grid, std::size_t plane, std::size_t offset,
                                               double* __restrict scratch) {
    const std::size_t G = s.G, n1 = s.ax[1].n, n2 = s.ax[2].n;
    const std::size_t sy = n2, sx = n1 * sy;
    constexpr std::size_t block = static_cast<std::size_t>(P) * P * P;
    double* buf = scratch;
    double W[4 * P];
    double Lz[P];
    std::size_t j = begin;
    while (j < end) {
        const std::uint64_t key = s.packed[j] >> 32;
        std::size_t r = j + 1;
        while (r < end && (s.packed[r] >> 32) == key) ++r;
        double* dst = grid + (static_cast<std::size_t>(key) - offset);
        const bool buffered = r - j > kRunDirect;
        for (std::size_t b0 = j; b0 < r; b0 += kRunBlock) {
            const std::size_t b1 = buffered ? std::min(r, b0 + kRunBlock) : r;
            if (buffered)
                for (std::size_t e = 0; e < block * G; ++e) buf[e] = 0.0;
            for (std::size_t i = b0; i < b1; ++i) {
                std::size_t f;
                v4d sig = {0.0, 0.0, 0.0, 0.0};
                double sg;
                locate(s.ax[0], P, s.x[i], f, sg);
                sig[0] = sg;
                locate(s.ax[1], P, s.y[i], f, sg);
                sig[1] = sg;
                locate(s.ax[2], P, s.z[i], f, sg);
                sig[2] = sg;
                lagrange3<P>(s.inv_den, sig, W);
                for (int cc = 0; cc < P; ++cc) Lz[cc] = W[4 * cc + 2];
                const double* qv = s.q + i * s.qstride;
                for (std::size_t g = 0; g < G; ++g) {
                    if (buffered)
                        add_tensor<P>(buf + g * block, P * P, P, qv[g], W, Lz);
                    else
                        add_tensor<P>(dst + g * plane, sx, sy, qv[g], W, Lz);
                }
            }
            if (buffered) {
                for (std::size_t g = 0; g < G; ++g)
                    for (int a = 0; a < P; ++a)
                        for (int b = 0; b < P; ++b) {
                            double* __restrict out = dst + g * plane + a * sx + b * sy;
                            const double* __restrict in = buf + g * block + (static_cast<std::size_t>(a) * P + b) * P;
                            for (int e = 0; e < P; ++e) out[e] += in[e];
                        }
            }
            if (!buffered) break;
        }
        j = r;
    }
}

TARVIC_CLONES
void spread_range(const SpreadCtx& s, std::size_t begin, std::size_t end, double* __restrict grid, std::size_t plane,
                  std::size_t offset, double* __restrict scratch) {
    switch (s.P) {
        case 4: return spread_impl<4>(s, begin, end, grid, plane, offset, scratch);
        case 6: return spread_impl<6>(s, begin, end, grid, plane, offset, scratch);
        case 8: return spread_impl<8>(s, begin, end, grid, plane, offset, scratch);
        case 10: return spread_impl<10>(s, begin, end, grid, plane, offset, scratch);
        case 12: return spread_impl<12>(s, begin, end, grid, plane, offset, scratch);
        case 14: return spread_impl<14>(s, begin, end, grid, plane, offset, scratch);
        default: return spread_impl<16>(s, begin, end, grid, plane, offset, scratch);
    }
}

// Adds a region's G planes into the destination's and zeroes them.
TARVIC_CLONES
void add_region(double* __restrict dst, std::size_t dst_plane, double* __restrict src, std::size_t len, std::size_t G) {
    for (std::size_t g = 0; g < G; ++g) {
        double* __restrict d = dst + g * dst_plane;
        double* __restrict r = src + g * len;
        for (std::size_t e = 0; e < len; ++e) {
            d[e] += r[e];
            r[e] = 0.0;
        }
    }
}

// Spreads sorted sources [begin, end) onto `dest` (G planes of `nodes`), directly or, with
// rounds > 0, `rounds` sources at a time into a zeroed region (the x-planes the round reaches)
// then added to dest: a node's sum then takes at most `rounds` additions per round plus one per
// round. `region` holds (largest x-span of a task + P − 1)·n1·n2·G doubles.
// Columns are spread kColumnBlock at a time (the nodes a slab touches in that many planes stay
// in cache); the order of the additions at any node is unchanged.
constexpr std::size_t kColumnBlock = 8;

void spread_columns(const SpreadCtx& s, std::size_t begin, std::size_t end, double* grid, std::size_t plane,
                    std::size_t offset, double* scratch, CancelFlag cancel) {
    for (std::size_t g0 = 0; g0 < s.G; g0 += kColumnBlock) {
        if (cancelled(cancel)) return;
        SpreadCtx part = s;
        part.q = s.q + g0;
        part.G = std::min(kColumnBlock, s.G - g0);
        spread_range(part, begin, end, grid + g0 * plane, plane, offset, scratch);
    }
}

void spread_task(const SpreadCtx& s, std::size_t begin, std::size_t end, double* dest, std::size_t nodes,
                 std::size_t rounds, double* scratch, double* region, CancelFlag cancel) {
    if (rounds == 0 || end - begin <= rounds) {
        spread_columns(s, begin, end, dest, nodes, 0, scratch, cancel);
        return;
    }
    const std::size_t layer = s.ax[1].n * s.ax[2].n;
    for (std::size_t r0 = begin; r0 < end; r0 += rounds) {
        const std::size_t r1 = std::min(end, r0 + rounds);
        const std::size_t x0 = (s.packed[r0] >> 32) / layer, x1 = (s.packed[r1 - 1] >> 32) / layer + s.P;
        const std::size_t len = (x1 - x0) * layer;
        spread_columns(s, r0, r1, region, len, x0 * layer, scratch, cancel);
        add_region(dest + x0 * layer, nodes, region, len, s.G);
    }
}

// Convolution of kLines lines at once: in and out are [n][kLines] (line r in column r), and
//   out[i] = Σ_{k=T..1} G_k·(in[i − k] + in[i + k]) + G₀·in[i],
// neighbours outside the line absent (not added). Per element the taps are added from the far end
// inward (one neighbour while only one exists, then both), the centre last: a tap k steps out
// takes part in at most k + 3 roundings, which the error model bounds against the tap's size.
constexpr std::size_t kLines = 32;

[[gnu::always_inline]] inline void conv_lines(const double* __restrict in, double* __restrict out, std::size_t n,
                                              const double* __restrict taps, std::size_t T) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t both = std::min({i, n - 1 - i, T});
        const std::size_t one = std::min(T, std::max(i, n - 1 - i));
        double acc[kLines] = {};
        for (std::size_t k = one; k > both; --k) {
            const double* __restrict side = i >= k ? in + (i - k) * kLines : in + (i + k) * kLines;
            const double g = taps[k];
            for (std::size_t r = 0; r < kLines; ++r) acc[r] += g * side[r];
        }
        for (std::size_t k = both; k >= 1; --k) {
            const double* __restrict lo = in + (i - k) * kLines;
            const double* __restrict hi = in + (i + k) * kLines;
            const double g = taps[k];
            for (std::size_t r = 0; r < kLines; ++r) acc[r] += g * (lo[r] + hi[r]);
        }
        const double* __restrict row = in + i * kLines;
        for (std::size_t r = 0; r < kLines; ++r) acc[r] += taps[0] * row[r];
        double* __restrict dst = out + i * kLines;
        for (std::size_t r = 0; r < kLines; ++r) dst[r] = acc[r];
    }
}

// The same for one line, stored with T zeros before it and T + kPadBlock after (pad + T is its
// first element); `out` has room for n rounded up to kPadBlock. The grid holds no −0 (sums and
// products of finite values round to +0), so an added zero term leaves every sum unchanged: the
// result equals that of the absent neighbours, bit for bit, and the rounding count is the same.
constexpr std::size_t kPadBlock = 32;

[[gnu::always_inline]] inline void conv_padded(const double* __restrict pad, double* __restrict out, std::size_t n,
                                               const double* __restrict taps, std::size_t T) {
    const double* __restrict c = pad + T;
    constexpr std::size_t B = kPadBlock;
    for (std::size_t i = 0; i < n; i += B) {
        double acc[B] = {};
        for (std::size_t k = T; k >= 1; --k) {
            const double g = taps[k];
            const double* __restrict lo = c + i - k;
            const double* __restrict hi = c + i + k;
            for (std::size_t r = 0; r < B; ++r) acc[r] += g * (lo[r] + hi[r]);
        }
        for (std::size_t r = 0; r < B; ++r) acc[r] += taps[0] * c[i + r];
        for (std::size_t r = 0; r < B; ++r) out[i + r] = acc[r];
    }
}

// Nonzero unless every value is +0 or −0 (bitwise, so the loop vectorises).
[[gnu::always_inline]] inline std::uint64_t any_nonzero(const double* v, std::size_t n) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t b;
        __builtin_memcpy(&b, v + i, sizeof b);
        bits |= b << 1;
    }
    return bits;
}

// Convolve w ≤ kLines lines in place: element i of line r at data[i·s + r]. `in` and `out` hold
// n·kLines doubles.
TARVIC_CLONES
void conv_rows(double* __restrict data, std::size_t s, std::size_t n, std::size_t w, const double* __restrict taps,
               std::size_t T, double* __restrict in, double* __restrict out) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* __restrict src = data + i * s;
        double* __restrict dst = in + i * kLines;
        for (std::size_t r = 0; r < w; ++r) dst[r] = src[r];
        for (std::size_t r = w; r < kLines; ++r) dst[r] = 0.0;
        bits |= any_nonzero(dst, kLines);
    }
    if (bits == 0) return;  // all ±0: the output is +0 (as the input, since the grid holds no −0)
    conv_lines(in, out, n, taps, T);
    for (std::size_t i = 0; i < n; ++i) {
        const double* __restrict src = out + i * kLines;
        double* __restrict dst = data + i * s;
        for (std::size_t r = 0; r < w; ++r) dst[r] = src[r];
    }
}

// Convolve one contiguous line of n values in place. `pad` holds n + 2T + kPadBlock doubles
// (zero outside the line's place), `out` n + kPadBlock.
TARVIC_CLONES
void conv_line(double* __restrict line, std::size_t n, const double* __restrict taps, std::size_t T,
               double* __restrict pad, double* __restrict out) {
    if (any_nonzero(line, n) == 0) return;
    for (std::size_t i = 0; i < n; ++i) pad[T + i] = line[i];
    conv_padded(pad, out, n, taps, T);
    for (std::size_t i = 0; i < n; ++i) line[i] = out[i];
}

struct InterpCtx {
    const double* grid;
    std::size_t G;
    Axis ax[3];
    int P;
    const double* inv_den;
};

// t[0] = Σ_i t[i] over rows of W values, added pairwise in a fixed tree (depth ⌈log₂ N⌉): the
// order is data-independent and the chains are short.
template <int N, int W>
[[gnu::always_inline]] inline void tree_sum(double (&t)[N][W]) {
    for (int len = N; len > 1; len = (len + 1) / 2) {
        for (int i = 0; i < len / 2; ++i)
            for (int w = 0; w < W; ++w) t[i][w] = t[2 * i][w] + t[2 * i + 1][w];
        if (len % 2 != 0)
            for (int w = 0; w < W; ++w) t[len / 2][w] = t[len - 1][w];
    }
}

// A row of P doubles in registers: vectors of 8, 4 and 2 lanes. Element-wise operations only, so
// every clone computes the same values as a loop over the elements would.
template <int P>
struct Row {
    static constexpr int n8 = P / 8, n4 = P % 8 / 4, n2 = P % 4 / 2;
    static_assert(P % 2 == 0);
    std::array<v8d, n8> a;
    std::array<v4d, n4> b;
    std::array<v2d, n2> c;

    [[gnu::always_inline]] static Row load(const double* p) {
        Row r;
        for (int i = 0; i < n8; ++i) __builtin_memcpy(&r.a[i], p + 8 * i, sizeof(v8d));
        for (int i = 0; i < n4; ++i) __builtin_memcpy(&r.b[i], p + 8 * n8 + 4 * i, sizeof(v4d));
        for (int i = 0; i < n2; ++i) __builtin_memcpy(&r.c[i], p + 8 * n8 + 4 * n4 + 2 * i, sizeof(v2d));
        return r;
    }
    [[gnu::always_inline]] void store(double* p) const {
        for (int i = 0; i < n8; ++i) __builtin_memcpy(p + 8 * i, &a[i], sizeof(v8d));
        for (int i = 0; i < n4; ++i) __builtin_memcpy(p + 8 * n8 + 4 * i, &b[i], sizeof(v4d));
        for (int i = 0; i < n2; ++i) __builtin_memcpy(p + 8 * n8 + 4 * n4 + 2 * i, &c[i], sizeof(v2d));
    }
    [[gnu::always_inline]] Row times(double w) const {
        Row r;
        for (int i = 0; i < n8; ++i) r.a[i] = w * a[i];
        for (int i = 0; i < n4; ++i) r.b[i] = w * b[i];
        for (int i = 0; i < n2; ++i) r.c[i] = w * c[i];
        return r;
    }
    [[gnu::always_inline]] Row plus(const Row& o) const {
        Row r;
        for (int i = 0; i < n8; ++i) r.a[i] = a[i] + o.a[i];
        for (int i = 0; i < n4; ++i) r.b[i] = b[i] + o.b[i];
        for (int i = 0; i < n2; ++i) r.c[i] = c[i] + o.c[i];
        return r;
    }
};

// tree_sum's tree over rows: t[0] = Σ_i t[i].
template <int N, int P>
[[gnu::always_inline]] inline void tree_rows(Row<P> (&t)[N]) {
#pragma GCC unroll 16
    for (int len = N; len > 1; len = (len + 1) / 2) {
#pragma GCC unroll 16
        for (int i = 0; i < len / 2; ++i) t[i] = t[2 * i].plus(t[2 * i + 1]);
        if (len % 2 != 0) t[len / 2] = t[len - 1];
    }
}

// For evaluation points [0, count): res[k·G + g] = Σ_c Lz_c Σ_b Ly_b Σ_a Lx_a V_g[f + (a, b, c)],
// each sum a fixed pairwise tree; ok[k] = 0 where the point's stencil leaves the grid. The rows of
// a point two ahead are prefetched (the grid is far larger than the caches).
template <int P>
[[gnu::always_inline]] inline void interp_impl(const InterpCtx& s, const double* x, const double* y, const double* z,
                                               std::size_t count, double* __restrict res, std::uint8_t* ok,
                                               double* __restrict weights, std::size_t* __restrict base) {
    const std::size_t n1 = s.ax[1].n, n2 = s.ax[2].n, G = s.G;
    const std::size_t sy = n2, sx = n1 * sy, plane = s.ax[0].n * sx;
    for (std::size_t k = 0; k < count; ++k) {
        std::size_t f0 = 0, f1 = 0, f2 = 0;
        v4d sig = {0.0, 0.0, 0.0, 0.0};
        double sg;
        ok[k] = locate(s.ax[0], P, x[k], f0, sg) ? 1 : 0;
        sig[0] = sg;
        ok[k] &= locate(s.ax[1], P, y[k], f1, sg) ? 1 : 0;
        sig[1] = sg;
        ok[k] &= locate(s.ax[2], P, z[k], f2, sg) ? 1 : 0;
        sig[2] = sg;
        if (!ok[k]) {
            base[k] = 0;
            continue;
        }
        lagrange3<P>(s.inv_den, sig, weights + 4 * P * k);
        base[k] = f0 * sx + f1 * sy + f2;
    }
    // Column by column (a plane's rows near these points stay in cache), point by point.
    constexpr std::size_t kAhead = 2;
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t k = 0; k < count; ++k) {
            if (k + kAhead < count && ok[k + kAhead]) {
                const double* pf = s.grid + g * plane + base[k + kAhead];
                for (int a = 0; a < P; ++a)
                    for (int b = 0; b < P; ++b) {
                        __builtin_prefetch(pf + a * sx + b * sy);
                        __builtin_prefetch(pf + a * sx + b * sy + (P - 1));
                    }
            }
            if (!ok[k]) continue;
            const double* W = weights + 4 * P * k;
            const double* v0 = s.grid + g * plane + base[k];
            Row<P> zs[P];  // [b]: Ly_b · Σ_a Lx_a V[a][b][·]
#pragma GCC unroll 16
            for (int b = 0; b < P; ++b) {
                Row<P> t[P];  // [a]
#pragma GCC unroll 16
                for (int a = 0; a < P; ++a) t[a] = Row<P>::load(v0 + a * sx + b * sy).times(W[4 * a]);
                tree_rows(t);
                zs[b] = t[0].times(W[4 * b + 1]);
            }
            tree_rows(zs);
            double z0[P];
            zs[0].store(z0);
            double r[P][1];
            for (int cc = 0; cc < P; ++cc) r[cc][0] = W[4 * cc + 2] * z0[cc];
            tree_sum(r);
            res[k * G + g] = r[0][0];
        }
}

// The gradient of grid column 0 (the group's first plane) in node units at the points of the
// block interp_block has just run on (its `weights`, `base` and `ok`), for each located point:
// res[3k + d] = Σ_c Σ_b Σ_a of V[f + (a, b, c)] times the three weights with the one of axis d
// replaced by its derivative. The x-sums along with their derivative's are taken once per (b, c)
// row, as are the y-sums per c: the rounding chain of each term is that of a value's.
template <int P>
[[gnu::always_inline]] inline void interp_grad_impl(const InterpCtx& s, const double* x, const double* y,
                                                    const double* z, std::size_t count, double* __restrict res,
                                                    const std::uint8_t* ok, const double* __restrict weights,
                                                    const std::size_t* __restrict base) {
    const std::size_t n1 = s.ax[1].n, n2 = s.ax[2].n;
    const std::size_t sy = n2, sx = n1 * sy;
    double D[4 * P];
    for (std::size_t k = 0; k < count; ++k) {
        if (!ok[k]) continue;
        std::size_t f = 0;
        v4d sig = {0.0, 0.0, 0.0, 0.0};
        double sg;
        locate(s.ax[0], P, x[k], f, sg);
        sig[0] = sg;
        locate(s.ax[1], P, y[k], f, sg);
        sig[1] = sg;
        locate(s.ax[2], P, z[k], f, sg);
        sig[2] = sg;
        lagrange3_slope<P>(s.inv_den, sig, D);
        const double* W = weights + 4 * P * k;
        const double* v0 = s.grid + base[k];
        Row<P> yl[P], yd[P], dl[P];  // [b]: Ly_b·Σ_a Lx_a V, Ly'_b·Σ_a Lx_a V, Ly_b·Σ_a Lx'_a V
        for (int b = 0; b < P; ++b) {
            Row<P> t[P], u[P];
            for (int a = 0; a < P; ++a) {
                const Row<P> row = Row<P>::load(v0 + a * sx + b * sy);
                t[a] = row.times(W[4 * a]);
                u[a] = row.times(D[4 * a]);
            }
            tree_rows(t);
            tree_rows(u);
            yl[b] = t[0].times(W[4 * b + 1]);
            yd[b] = t[0].times(D[4 * b + 1]);
            dl[b] = u[0].times(W[4 * b + 1]);
        }
        tree_rows(yl);
        tree_rows(yd);
        tree_rows(dl);
        double zl[P], zd[P], zx[P];
        yl[0].store(zl);
        yd[0].store(zd);
        dl[0].store(zx);
        double r[P][3];
        for (int cc = 0; cc < P; ++cc) {
            r[cc][0] = W[4 * cc + 2] * zx[cc];
            r[cc][1] = W[4 * cc + 2] * zd[cc];
            r[cc][2] = D[4 * cc + 2] * zl[cc];
        }
        tree_sum(r);
        for (int d = 0; d < 3; ++d) res[3 * k + d] = r[0][d];
    }
}

TARVIC_CLONES
void interp_grad_block(const InterpCtx& s, const double* x, const double* y, const double* z, std::size_t count,
                       double* __restrict res, const std::uint8_t* ok, const double* __restrict weights,
                       const std::size_t* __restrict base) {
    switch (s.P) {
        case 4: return interp_grad_impl<4>(s, x, y, z, count, res, ok, weights, base);
        case 6: return interp_grad_impl<6>(s, x, y, z, count, res, ok, weights, base);
        case 8: return interp_grad_impl<8>(s, x, y, z, count, res, ok, weights, base);
        case 10: return interp_grad_impl<10>(s, x, y, z, count, res, ok, weights, base);
        case 12: return interp_grad_impl<12>(s, x, y, z, count, res, ok, weights, base);
        case 14: return interp_grad_impl<14>(s, x, y, z, count, res, ok, weights, base);
        default: return interp_grad_impl<16>(s, x, y, z, count, res, ok, weights, base);
    }
}

// `weights` holds 4·P·count doubles, `base` count entries.
TARVIC_CLONES
void interp_block(const InterpCtx& s, const double* x, const double* y, const double* z, std::size_t count,
                  double* __restrict res, std::uint8_t* ok, double* __restrict weights, std::size_t* __restrict base) {
    switch (s.P) {
        case 4: return interp_impl<4>(s, x, y, z, count, res, ok, weights, base);
        case 6: return interp_impl<6>(s, x, y, z, count, res, ok, weights, base);
        case 8: return interp_impl<8>(s, x, y, z, count, res, ok, weights, base);
        case 10: return interp_impl<10>(s, x, y, z, count, res, ok, weights, base);
        case 12: return interp_impl<12>(s, x, y, z, count, res, ok, weights, base);
        case 14: return interp_impl<14>(s, x, y, z, count, res, ok, weights, base);
        default: return interp_impl<16>(s, x, y, z, count, res, ok, weights, base);
    }
}

// ---------------------------------------------------------------------------------------------
// Parallel helpers. Every parallel loop writes disjoint outputs computed in a fixed order, so
// the result does not depend on the thread count or the schedule.

template <class F>
void for_range(bool parallel, std::size_t n, std::size_t grain, F&& f) {
    if (n == 0) return;
    if (parallel && n > grain) {
        // Blocks of `grain` indices, so a task never gets less; fork-safe through parallel_ranges.
        const std::size_t blocks = (n + grain - 1) / grain;
        parallel_ranges(blocks, [&](std::size_t b0, std::size_t b1) { f(b0 * grain, std::min(n, b1 * grain)); });
    } else {
        f(0, n);
    }
}

// Convolve a [outer][n][s] array along its middle axis in place with symmetric taps: whole
// lines when s = 1, else runs of kLines consecutive lines of one plane.
void convolve_axis(double* data, std::size_t outer, std::size_t n, std::size_t s, const std::vector<double>& taps,
                   bool parallel, CancelFlag cancel) {
    if (n <= 1 && taps[0] == 1.0) return;
    const std::size_t T = std::min(taps.size() - 1, n - 1);
    if (s == 1) {
        for_range(parallel, outer, 8, [&](std::size_t l0, std::size_t l1) {
            std::vector<double> pad(n + 2 * T + kPadBlock, 0.0), out(n + kPadBlock);
            const FlushSubnormals ftz;
            for (std::size_t l = l0; l < l1; ++l) {
                if (cancelled(cancel)) return;
                conv_line(data + l * n, n, taps.data(), T, pad.data(), out.data());
            }
        });
        return;
    }
    const std::size_t per = (s + kLines - 1) / kLines;
    for_range(parallel, outer * per, 1, [&](std::size_t t0, std::size_t t1) {
        std::vector<double> in(n * kLines), out(n * kLines);
        const FlushSubnormals ftz;
        for (std::size_t t = t0; t < t1; ++t) {
            if (cancelled(cancel)) return;
            const std::size_t o = t / per, r0 = (t % per) * kLines;
            conv_rows(data + o * n * s + r0, s, n, std::min(kLines, s - r0), taps.data(), T, in.data(), out.data());
        }
    });
}

// Largest sum of a non-negative integer grid [n0][n1][n2] over boxes of 2r+1 cells per axis
// (exact: the sums stay below 2^53). The grid is overwritten.
double max_window_sum(std::vector<double>& v, const std::size_t n[3], std::size_t r, bool parallel) {
    const std::vector<double> ones(r + 1, 1.0);
    convolve_axis(v.data(), 1, n[0], n[1] * n[2], ones, parallel, nullptr);
    convolve_axis(v.data(), n[0], n[1], n[2], ones, parallel, nullptr);
    convolve_axis(v.data(), n[0] * n[1], n[2], 1, ones, parallel, nullptr);
    double best = 0.0;
    for (double x : v) best = std::max(best, x);
    return best;
}

// Points as (key << 32 | index) sorted by key, then index: key = index of the first node of the
// point's stencil, or `nodes` where the stencil leaves the grid. Keys in index order, then a
// stable least-significant-digit radix sort on the key.
std::vector<std::uint64_t> sorted_keys(const Points64& p, const Axis* ax, int P, std::size_t nodes, bool parallel) {
    const std::size_t n = p.n, n1 = ax[1].n, n2 = ax[2].n;
    std::vector<std::uint64_t> keys(n), tmp(n);
    for_range(parallel, (n + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t i = b0 * 4096; i < std::min(n, b1 * 4096); ++i) {
            std::size_t f[3];
            double sig;
            const bool ok = locate(ax[0], P, p.x[i], f[0], sig) && locate(ax[1], P, p.y[i], f[1], sig) &&
                            locate(ax[2], P, p.z[i], f[2], sig);
            const std::uint64_t key = ok ? (f[0] * n1 + f[1]) * n2 + f[2] : nodes;
            keys[i] = (key << 32) | i;
        }
    });
    // Each pass: digit counts per block of the array (a fixed number of blocks), offsets in
    // (digit, block) order, then every block scatters its values in order: stable, and the same
    // at any thread count.
    constexpr int kBits = 14;
    constexpr std::size_t kDigits = std::size_t{1} << kBits;
    const std::size_t blocks = std::min<std::size_t>(16, (n + 65535) / 65536);
    const std::size_t per = (n + blocks - 1) / std::max<std::size_t>(blocks, 1);
    std::vector<std::size_t> count(blocks * kDigits);
    for (int shift = 32; (std::uint64_t{1} << (shift - 32)) <= nodes; shift += kBits) {
        const std::uint64_t mask = kDigits - 1;
        for_range(parallel, blocks, 1, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t b = b0; b < b1; ++b) {
                std::size_t* c = count.data() + b * kDigits;
                std::fill(c, c + kDigits, 0);
                for (std::size_t i = b * per; i < std::min(n, (b + 1) * per); ++i) ++c[(keys[i] >> shift) & mask];
            }
        });
        std::size_t total = 0;
        for (std::size_t d = 0; d < kDigits; ++d)
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t k = count[b * kDigits + d];
                count[b * kDigits + d] = total;
                total += k;
            }
        for_range(parallel, blocks, 1, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t b = b0; b < b1; ++b) {
                std::size_t* c = count.data() + b * kDigits;
                for (std::size_t i = b * per; i < std::min(n, (b + 1) * per); ++i) tmp[c[(keys[i] >> shift) & mask]++] = keys[i];
            }
        });
        keys.swap(tmp);
    }
    return keys;
}

// ---------------------------------------------------------------------------------------------
// Geometry shared by the plan and the transform.

struct Box {
    double lo[3], hi[3];
    bool finite = true;
};

Box bounding_box(const Points64& a, const Points64& b) {
    Box box;
    for (int d = 0; d < 3; ++d) {
        box.lo[d] = std::numeric_limits<double>::infinity();
        box.hi[d] = -std::numeric_limits<double>::infinity();
    }
    for (const Points64* p : {&a, &b}) {
        const double* col[3] = {p->x, p->y, p->z};
        for (int d = 0; d < 3; ++d)
            for (std::size_t i = 0; i < p->n; ++i) {
                const double v = col[d][i];
                if (!std::isfinite(v)) box.finite = false;
                box.lo[d] = std::min(box.lo[d], v);
                box.hi[d] = std::max(box.hi[d], v);
            }
    }
    return box;
}

struct CoarseGrid {
    double cell = 0.0;
    double origin[3] = {0, 0, 0};
    double inv = 0.0;
    std::size_t n[3] = {0, 0, 0};
    std::size_t cells() const { return n[0] * n[1] * n[2]; }
    std::size_t index(double x, double y, double z) const {
        const double u[3] = {x, y, z};
        std::size_t id[3];
        for (int d = 0; d < 3; ++d) {
            const double v = std::floor((u[d] - origin[d]) * inv);
            id[d] = v <= 0.0 ? 0 : std::min(static_cast<std::size_t>(v), n[d] - 1);
        }
        return (id[0] * n[1] + id[1]) * n[2] + id[2];
    }
};

CoarseGrid coarse_grid(const Box& box, double h) {
    CoarseGrid cg;
    double ext = 0.0;
    for (int d = 0; d < 3; ++d) ext = std::max(ext, box.hi[d] - box.lo[d]);
    cg.cell = std::max(0.5 * h, ext / static_cast<double>(kCoarseMax));
    cg.inv = 1.0 / cg.cell;
    for (int d = 0; d < 3; ++d) {
        cg.origin[d] = box.lo[d];
        cg.n[d] = static_cast<std::size_t>(std::floor((box.hi[d] - box.lo[d]) / cg.cell)) + 2;
    }
    return cg;
}

// ---------------------------------------------------------------------------------------------
// Plan: the typical ratio of the envelope sum Σ_j |q_j| Π_d Φ to the sum Σ_j |q_j| K, estimated at
// a few evaluation points from coarse cell sums of the weights' magnitudes (unit weights when
// none are given).

class RatioEstimate {
public:
    static constexpr std::size_t kSamples = 24;
    static constexpr std::size_t kColumns = 8;  // weight columns examined (evenly spread)

    RatioEstimate(const Points64& targets, const Points64& sources, double h, const CoarseGrid& cg, const double* q,
                  std::size_t c, double floor)
        : h_(h), cg_(cg) {
        const std::size_t nmax = std::max({cg.n[0], cg.n[1], cg.n[2]});
        // Window of 8h: beyond it the envelope is below e^-9 of its top (for w up to 2h), and the
        // mass outside is counted at the envelope of the window's edge.
        r_ = std::min<std::size_t>(nmax - 1, static_cast<std::size_t>(std::ceil(8.0 * h / cg.cell)) + 1);
        const std::size_t side = r_ + 1;
        std::vector<std::size_t> scell(sources.n);
        counts_.assign(cg.cells(), 0.0);
        for (std::size_t j = 0; j < sources.n; ++j) {
            scell[j] = cg.index(sources.x[j], sources.y[j], sources.z[j]);
            counts_[scell[j]] += 1.0;
        }
        double gtail = 0.0;
        gauss_ = gauss_taps(cg.cell, h, r_ + 2, &gtail);
        gauss_.resize(r_ + 2, gtail);
        const std::size_t ncols = q ? std::min(c, kColumns) : 1;
        const std::size_t ns = std::min<std::size_t>(targets.n, kSamples);
        std::vector<double> mass(cg.cells());
        for (std::size_t col = 0; col < ncols; ++col) {
            const std::size_t k = ncols > 1 ? col * (c - 1) / (ncols - 1) : 0;
            std::fill(mass.begin(), mass.end(), 0.0);
            double total = 0.0;
            for (std::size_t j = 0; j < sources.n; ++j) {
                const double v = q ? std::fabs(q[j * c + k]) : 1.0;
                mass[scell[j]] += v;
                total += v;
            }
            if (!(total > 0.0)) continue;
            for (std::size_t smp = 0; smp < ns; ++smp) {
                // Golden-ratio sequence: spread over the points without following any period.
                const double frac = std::fmod(0.5 + 0.6180339887498949 * static_cast<double>(smp), 1.0);
                const std::size_t i = std::min(targets.n - 1, static_cast<std::size_t>(frac * static_cast<double>(targets.n)));
                const double t[3] = {targets.x[i], targets.y[i], targets.z[i]};
                const std::size_t cell = cg.index(t[0], t[1], t[2]);
                const std::size_t id[3] = {cell / (cg.n[1] * cg.n[2]), (cell / cg.n[2]) % cg.n[1], cell % cg.n[2]};
                std::size_t lo[3], hi[3];
                std::vector<double> gs[3];
                for (int d = 0; d < 3; ++d) {
                    lo[d] = id[d] > r_ ? id[d] - r_ : 0;
                    hi[d] = std::min(cg.n[d] - 1, id[d] + r_);
                    for (std::size_t J = lo[d]; J <= hi[d]; ++J) {
                        const double u = t[d] - (cg.origin[d] + (static_cast<double>(J) + 0.5) * cg.cell);
                        gs[d].push_back(std::exp(-u * u / (2.0 * h * h)));
                    }
                }
                // Mass by per-axis cell offset |I − J| (the envelope depends on nothing else), and
                // Σ_J mass_J Π_d g(t_d − centre_Jd): the point's own sum, to a few per cent.
                Sample s;
                s.column = col;
                s.hist.assign(side * side * side, 0.0);
                double inside = 0.0;
                for (std::size_t a = lo[0]; a <= hi[0]; ++a)
                    for (std::size_t b = lo[1]; b <= hi[1]; ++b) {
                        const double* line = mass.data() + (a * cg.n[1] + b) * cg.n[2];
                        const std::size_t ka = a > id[0] ? a - id[0] : id[0] - a;
                        const std::size_t kb = b > id[1] ? b - id[1] : id[1] - b;
                        double* hrow = s.hist.data() + (ka * side + kb) * side;
                        const double gab = gs[0][a - lo[0]] * gs[1][b - lo[1]];
                        for (std::size_t z = lo[2]; z <= hi[2]; ++z) {
                            const double v = line[z];
                            if (v == 0.0) continue;
                            hrow[z > id[2] ? z - id[2] : id[2] - z] += v;
                            s.sum += v * (gab * gs[2][z - lo[2]]);
                            inside += v;
                        }
                    }
                s.outside = std::max(total - inside, 0.0);
                if (k == 0) s.sum += floor;  // the denominator the bound of column 0 is relative to
                samples_.push_back(std::move(s));
            }
        }
        columns_ = ncols;
    }

    // The number of sources in the fullest box of the given side (the additions the spread makes
    // onto one node when the side is the stencil's reach PΔ): counted over windows of coarse cells;
    // for a box smaller than a cell, the fullest cell's count scaled by the area (clouds here are
    // mostly surfaces). A planning estimate: the transform counts exactly.
    double sources_in_box(double side) {
        if (side < cg_.cell) {
            const double fullest = *std::max_element(counts_.begin(), counts_.end());
            const double f = side / cg_.cell;
            return std::max(1.0, 2.0 * fullest * f * f);
        }
        const std::size_t cells = static_cast<std::size_t>(std::floor(side / cg_.cell)) + 2;
        const std::size_t r = (cells + 1) / 2;  // windows of 2r + 1 ≥ cells
        for (const auto& [k, v] : boxes_)
            if (k == r) return v;
        std::vector<double> work = counts_;
        const double v = max_window_sum(work, cg_.n, r, false);
        boxes_.emplace_back(r, v);
        return v;
    }

    // Width grid: w_j = unit·1.1^j. The ratio is non-decreasing in w.
    double width(int j) const { return 0.02 * h_ * std::pow(1.1, j); }
    int step_above(double w) const {
        return w <= width(0) ? 0 : static_cast<int>(std::ceil(std::log(w / width(0)) / std::log(1.1) - 1e-9));
    }

    // Typical ratios at grid width w_j of the first-order envelope sum and of the product one to
    // the point's own sum: per column the 95th percentile over the samples (a point beside a far
    // heavier weight, or far from every source, is not typical), the largest over the columns,
    // with margin.
    struct Ratios {
        double first = 1.0, rest = 1.0;
    };
    Ratios at_step(int j) {
        for (const auto& [k, r] : memo_)
            if (k == j) return r;
        Ratios ratio;
        if (!samples_.empty()) {
            double tail = 0.0;
            std::vector<double> e = envelope_taps(width(j), cg_.cell, h_, r_ + 2, &tail);
            e.resize(r_ + 2, tail);
            const std::vector<double>& g = gauss_;
            // Cells outside the window are at least r + 1 away on an axis.
            const double beyond = e[r_ + 1], beyond_first = 3.0 * std::max(e[r_ + 1], g[r_ + 1]);
            const std::size_t side = r_ + 1;
            std::vector<std::vector<double>> per_first(columns_), per_rest(columns_);
            for (const Sample& s : samples_) {
                double first = 0.0, rest = 0.0;
                for (std::size_t ka = 0; ka < side; ++ka)
                    for (std::size_t kb = 0; kb < side; ++kb) {
                        const double* hz = s.hist.data() + (ka * side + kb) * side;
                        double pe = 0.0, pg = 0.0;
                        for (std::size_t kz = 0; kz < side; ++kz) {
                            pe += hz[kz] * e[kz];
                            pg += hz[kz] * g[kz];
                        }
                        rest += e[ka] * e[kb] * pe;
                        first += (e[ka] * g[kb] + g[ka] * e[kb]) * pg + g[ka] * g[kb] * pe;
                    }
                const double a = (first + s.outside * beyond_first) / s.sum;
                const double b = (rest + s.outside * beyond) / s.sum;
                const double inf = std::numeric_limits<double>::infinity();
                per_first[s.column].push_back(a > 0.0 ? a : inf);
                per_rest[s.column].push_back(b > 0.0 ? b : inf);
            }
            auto worst = [](std::vector<std::vector<double>>& per) {
                double w = 0.0;
                for (std::vector<double>& v : per) {
                    if (v.empty()) continue;
                    std::sort(v.begin(), v.end());
                    w = std::max(w, v[(19 * (v.size() - 1)) / 20]);
                }
                return 2.0 * w;
            };
            ratio.first = worst(per_first);
            ratio.rest = worst(per_rest);
        }
        memo_.emplace_back(j, ratio);
        return ratio;
    }

private:
    struct Sample {
        std::vector<double> hist;
        double sum = 0.0, outside = 0.0;
        std::size_t column = 0;
    };
    double h_;
    CoarseGrid cg_;
    std::size_t r_ = 0, columns_ = 0;
    std::vector<Sample> samples_;
    std::vector<double> counts_;
    std::vector<double> gauss_;  // the Gaussian's maxima per cell offset (as the envelope's taps)
    std::vector<std::pair<int, Ratios>> memo_;
    std::vector<std::pair<std::size_t, double>> boxes_;
};

// Single-thread cost model (seconds). Work is counted in row operations: a point's stencil in one
// column is P² rows of P values, one vector operation per piece of 8, 4 or 2 values. Constants
// fitted by `far_bench --calibrate` to one-thread CPU times on the build machine (Xeon, Sapphire
// Rapids class, AVX-512): within a factor 1.6 of the measured times over 50 problems (2·10^4 to
// 4·10^5 surface points, h 0.08 to 1.5, c 1, 4 and 110, tolerances 1e-6 and 1e-9). per_row was
// refitted after the spread and interpolation were vectorised, on an AMD EPYC (Zen 5 class), where
// the model with these constants is within a factor 1.7 of the same problems' times.
struct CostModel {
    double per_point = 60e-9;       // locating, sorting, gathering, basis weights: per point
    double per_row = 0.75e-9;       // one row operation of the spread or the interpolation (per column)
    double per_tap = 0.129e-9;      // one tap at one node of one pass (per column)
    double per_node_col = 0.13e-9;  // zeroing and merging one node (per column, per copy)
    double per_node = 0.0;          // the depth bound's box sums (per node, once): within the above
    double per_added = 0.6e-9;      // adding one node back after a spread round (per column)
    double per_plan = 1e-3;         // fixed costs
};

double rows_of(int P) {
    const int pieces = P / 8 + (P % 8 >= 4 ? 1 : 0) + (P % 4 >= 2 ? 1 : 0);  // vectors of 8, 4, 2
    return static_cast<double>(P) * P * pieces;
}

std::size_t dims_for(double ext, double spacing, int P) {
    const double n = std::floor(ext / spacing) + static_cast<double>(P) + 2.0;
    return n < 1e9 ? static_cast<std::size_t>(n) : std::size_t{1} << 40;
}

}  // namespace

FarPlan far_plan(const Points64& targets, const Points64& sources, double h, double tolerance, std::size_t c,
                 const double* q, double floor, double gradient_scale) {
    FarPlan plan;
    const std::size_t m = sources.n, n = targets.n;
    if (!(h > 0.0) || !std::isfinite(h) || !(tolerance > 0.0 && tolerance < 1.0)) return plan;
    if (m >= kMaxPoints || n >= kMaxPoints) return plan;
    if (m == 0 || n == 0 || c == 0) {  // nothing to sum: exact zeros
        plan.feasible = true;
        return plan;
    }
    const Box box = bounding_box(targets, sources);
    if (!box.finite) return plan;
    double ext[3], ext_max = 0.0;
    for (int d = 0; d < 3; ++d) {
        ext[d] = box.hi[d] - box.lo[d];
        ext_max = std::max(ext_max, ext[d]);
    }
    if (!std::isfinite(ext_max) || ext_max / h > 1e7) return plan;

    const CoarseGrid cg = coarse_grid(box, h);
    RatioEstimate ratio(targets, sources, h, cg, q, c, std::max(floor, 0.0));
    const CostModel cost;
    // Each signed column also transforms its magnitudes. Without weights a single column is taken
    // as non-negative, several as one non-negative and the rest signed.
    std::size_t c_eff = c == 1 ? 1 : 2 * c - 1;
    if (q) {
        c_eff = c;
        for (std::size_t k = 0; k < c; ++k)
            for (std::size_t j = 0; j < m; ++j)
                if (!(q[j * c + k] >= 0.0)) {
                    ++c_eff;
                    break;
                }
    }
    const double md = static_cast<double>(m), nd = static_cast<double>(n);
    // Per point: cell keys, sorted coordinates, coarse cells (sources 40 bytes, evaluation points
    // 49 with the running bound); the depth count of every node precedes the grid.
    const double point_bytes = 40.0 * md + 49.0 * nd;
    double gauss_tail = 0.0;
    const std::size_t gauss_taps_n = gauss_taps(cg.cell, h, std::max({cg.n[0], cg.n[1], cg.n[2]}), &gauss_tail).size();

    double best = std::numeric_limits<double>::infinity();
    for (const int P : kOrders) {
        const Stencil st = make_stencil(P);
        // Predicted typical bound for spacing ρh with the ratio taken at width grid step j ≥ its w.
        auto predicted = [&](double rho, int j, std::size_t* taps_out, std::size_t dims_out[3], double* rounds_out) {
            const double spacing = rho * h;
            std::size_t dims[3], max_dim = 0;
            for (int d = 0; d < 3; ++d) {
                dims[d] = dims_for(ext[d], spacing, P);
                max_dim = std::max(max_dim, dims[d]);
            }
            const std::size_t taps = taps_for(st, rho);
            const double adds = std::min(md, ratio.sources_in_box(P * spacing));
            const bool slabs = (dims[0] + P - 1) / P >= 6;
            const std::size_t partials = slabs ? 0 : kPartials;
            // The largest slab or share: twice its even share of the sources.
            const double task = std::min(md, 2.0 * md * (slabs ? static_cast<double>(P) / static_cast<double>(dims[0])
                                                              : 1.0 / static_cast<double>(kPartials)));
            const double rounds = spread_rounds(adds, partials, task, P, (P + 1.0) * dims[1] * dims[2]);
            const ErrorModel em = error_model(st, spacing, h, taps, max_dim, spread_depth_bound(adds, partials, rounds, task));
            if (taps_out) *taps_out = taps;
            if (dims_out) std::copy(dims, dims + 3, dims_out);
            if (rounds_out) *rounds_out = rounds;
            if (j < 0) j = ratio.step_above(em.width);
            const RatioEstimate::Ratios rs = ratio.at_step(j);
            const double value = em.first * rs.first + em.rest * rs.rest;
            return std::max(value, 1.4 * gradient_scale * (em.grad_first * rs.first + em.grad_rest * rs.rest));
        };
        // Width of Φ for ρ, and ρ for a width (w ≈ PΔ, slightly more).
        auto width_of = [&](double rho) {
            return error_model(st, rho * h, h, taps_for(st, rho), 1, 1.0).width;
        };
        const double goal = kSafety * tolerance;
        // Largest grid step j whose width meets the goal, then the largest ρ with w(ρ) ≤ w_{j+1}
        // meeting it with the ratio of step j + 1.
        int jlo = -1, jhi = 160;
        while (jhi - jlo > 1) {
            const int mid = (jlo + jhi) / 2;
            const double rho = ratio.width(mid) / (P * h) / 1.001;
            ((width_of(rho) <= ratio.width(mid) && predicted(rho, mid, nullptr, nullptr, nullptr) <= goal) ? jlo : jhi) = mid;
        }
        if (jlo < 0) continue;
        double lo = ratio.width(jlo) / (P * h) / 1.001, hi = ratio.width(jlo + 1) / (P * h);
        if (!(width_of(lo) <= ratio.width(jlo) && predicted(lo, jlo, nullptr, nullptr, nullptr) <= goal)) continue;
        for (int it = 0; it < 30 && hi - lo > 1e-4 * lo; ++it) {
            const double mid = 0.5 * (lo + hi);
            const bool ok =
                width_of(mid) <= ratio.width(jlo + 1) && predicted(mid, jlo + 1, nullptr, nullptr, nullptr) <= goal;
            (ok ? lo : hi) = mid;
        }
        const double rho = lo;
        std::size_t taps = 0, dims[3];
        double rounds = 0.0;
        const double typical = predicted(rho, -1, &taps, dims, &rounds);
        const double nodes = static_cast<double>(dims[0]) * static_cast<double>(dims[1]) * static_cast<double>(dims[2]);
        const double layer = static_cast<double>(dims[1]) * static_cast<double>(dims[2]);
        const bool slabs = (dims[0] + P - 1) / P >= 6;
        const double copies = slabs ? 1.0 : static_cast<double>(kPartials);
        const double coarse_cells = static_cast<double>(cg.cells());
        // Spread rounds: a region per thread (two), and its adding back per round.
        const double region = rounds > 0.0 ? std::min<double>(dims[0], slabs ? 2 * P - 1 : dims[0]) * layer : 0.0;
        const double added_back = rounds > 0.0 ? std::ceil(md / rounds) * (P + 1.0) * layer : 0.0;
        // Per grid column: the grid (and private copies), the two coarse envelope sums, two
        // threads' round regions, the column's weights in source order; and three coarse planes
        // of work for the envelope sums.
        const double per_col_bytes = 8.0 * (nodes * copies + 2.0 * coarse_cells + 2.0 * region + md);
        const double avail = static_cast<double>(kMemoryCap) - point_bytes - 24.0 * coarse_cells;
        if (!(avail >= per_col_bytes)) continue;
        // Columns per group: within the memory cap, and as many as fill kGroupBytes of grid, two
        // at least. A group shares the per-point work (basis weights) between its columns, but on
        // large grids more than two cost more in zeroing, page faults and scattered spread writes
        // than that saves: measured 15-20% slower with five than with two at 1e5 points, h 0.04 to
        // 0.07 (grids of 11 to 30 MB per column); alike on grids of about 2 MB.
        const double grid_bytes = 8.0 * nodes * copies;
        const double fits = std::max(2.0, std::floor(kGroupBytes / grid_bytes));
        const std::size_t group = static_cast<std::size_t>(
            std::min({static_cast<double>(c_eff), std::floor(avail / per_col_bytes), fits}));
        // Seconds on one thread.
        double passes = 0.0;
        for (int d = 0; d < 3; ++d) passes += static_cast<double>(std::min(taps, dims[d] - 1) + 1);
        double ctail = 0.0;
        const std::vector<double> ctaps = envelope_taps(P * rho * h, cg.cell, h,
                                                        std::max({cg.n[0], cg.n[1], cg.n[2]}), &ctail);
        // Ten passes over the coarse grid, half with Φ's taps, half with the Gaussian's.
        const double coarse = coarse_cells * 5.0 * static_cast<double>(ctaps.size() + gauss_taps_n) * cost.per_tap;
        const double per_col = (md + nd) * rows_of(P) * cost.per_row +
                               nodes * copies * cost.per_node_col + added_back * cost.per_added +
                               nodes * passes * cost.per_tap + coarse;
        const double seconds =
            cost.per_plan + (md + nd) * cost.per_point + nodes * cost.per_node + static_cast<double>(c_eff) * per_col;
        if (seconds < best) {
            best = seconds;
            plan.feasible = true;
            plan.seconds = seconds;
            plan.typical_bound = typical;
            plan.order = P;
            plan.spacing = rho * h;
            plan.taps = taps;
            plan.group = group;
            plan.partials = slabs ? 0 : kPartials;
            plan.rounds = static_cast<std::size_t>(rounds);
            plan.bytes =
                static_cast<std::size_t>(point_bytes + 24.0 * coarse_cells + per_col_bytes * static_cast<double>(group));
            for (int d = 0; d < 3; ++d) {
                plan.dims[d] = dims[d];
                plan.origin[d] = box.lo[d] - static_cast<double>(P / 2) * plan.spacing;
            }
        }
    }
    if (plan.feasible) {
        plan.coarse_spacing = cg.cell;
        for (int d = 0; d < 3; ++d) {
            plan.coarse_dims[d] = cg.n[d];
            plan.coarse_origin[d] = cg.origin[d];
        }
    }
    return plan;
}

void far_transform(const FarPlan& plan, const Points64& targets, const Points64& sources, double h, const double* q,
                   std::size_t c, double floor, bool parallel, CancelFlag cancel, double* out, double* bound,
                   double* grad, double* grad_err) {
    const std::size_t m = sources.n, n = targets.n;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::fill(out, out + n * c, 0.0);
    if (grad) std::fill(grad, grad + 3 * n, 0.0);
    if (n == 0) return;
    if (m == 0 || c == 0) {  // empty sums are exact
        std::fill(bound, bound + n, 0.0);
        if (grad) std::fill(grad_err, grad_err + n, 0.0);
        return;
    }
    std::fill(bound, bound + n, kInf);
    if (grad) std::fill(grad_err, grad_err + n, kInf);
    if (!plan.feasible || plan.order == 0 || m >= kMaxPoints || n >= kMaxPoints) return;

    const Stencil st = make_stencil(plan.order);
    const int P = plan.order;
    Axis ax[3];
    for (int d = 0; d < 3; ++d) {
        ax[d].origin = plan.origin[d];
        ax[d].inv = 1.0 / plan.spacing;
        ax[d].n = plan.dims[d];
    }
    const std::size_t n0 = ax[0].n, n1 = ax[1].n, n2 = ax[2].n, nodes = n0 * n1 * n2;

    // Sources sorted by the cell of their stencil.
    const std::vector<std::uint64_t> packed = sorted_keys(sources, ax, P, nodes, parallel);
    if ((packed.back() >> 32) >= nodes) return;  // not the clouds the plan was made for: nothing is bounded
    std::vector<double> sx(m), sy(m), sz(m);
    // Additions the spread makes from each cell onto each node its stencil covers; their largest
    // sum over the P³ cells around a node bounds the depth of the node's sum.
    double adds_max = 0.0;
    {
        std::vector<double> adds(nodes, 0.0);
        for_range(parallel, (m + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t j = b0 * 4096; j < std::min(m, b1 * 4096); ++j) {
                const std::size_t i = packed[j] & 0xffffffffu;
                sx[j] = sources.x[i];
                sy[j] = sources.y[i];
                sz[j] = sources.z[i];
            }
        });
        for (std::size_t j = 0, run = 0; j < m; ++j) {
            run = (j > 0 && (packed[j] >> 32) == (packed[j - 1] >> 32)) ? run + 1 : 1;
            if (j + 1 == m || (packed[j + 1] >> 32) != (packed[j] >> 32))
                adds[packed[j] >> 32] = static_cast<double>(run > kRunDirect ? (run + kRunBlock - 1) / kRunBlock : run);
        }
        const std::size_t dims[3] = {n0, n1, n2};
        adds_max = max_window_sum(adds, dims, static_cast<std::size_t>(P / 2), parallel);
    }
    if (cancelled(cancel)) return;

    // Evaluation points in cell order too (locality of the interpolation).
    const std::vector<std::uint64_t> tpacked = sorted_keys(targets, ax, P, nodes, parallel);

    // Grid columns: each column's values, then for a signed column its magnitudes. The column's
    // bound is settled with its last part.
    std::vector<GridColumn> parts;
    std::vector<bool> nonneg(c, true);
    for (std::size_t k = 0; k < c; ++k) {
        for (std::size_t j = 0; j < m; ++j)
            if (!(q[j * c + k] >= 0.0)) {
                nonneg[k] = false;
                break;
            }
        parts.push_back({static_cast<std::uint32_t>(k), false});
        if (!nonneg[k]) parts.push_back({static_cast<std::uint32_t>(k), true});
    }
    const std::size_t G_max = std::max<std::size_t>(1, std::min(plan.group, parts.size()));
    const std::size_t copies = plan.partials > 0 ? plan.partials : 1;

    // Spread tasks: slabs of P x-planes (sources by the first node of their stencils; slabs of one
    // colour write disjoint nodes), or fixed shares of the sorted sources cut at cell boundaries,
    // each onto a private grid.
    const std::size_t slabs = (n0 + P - 1) / P;
    std::vector<std::size_t> start;
    if (plan.partials == 0) {
        start.resize(slabs + 1);
        for (std::size_t s = 0; s <= slabs; ++s) {
            const std::uint64_t key = static_cast<std::uint64_t>(std::min(s * P, n0) * n1 * n2) << 32;
            start[s] = static_cast<std::size_t>(std::lower_bound(packed.begin(), packed.end(), key) - packed.begin());
        }
    } else {
        start.assign(plan.partials + 1, m);
        start[0] = 0;
        for (std::size_t p = 1; p < plan.partials; ++p) {
            std::size_t j = std::max(start[p - 1], p * m / plan.partials);
            while (j > start[p - 1] && j < m && (packed[j] >> 32) == (packed[j - 1] >> 32)) ++j;
            start[p] = j;
        }
    }
    std::size_t task_max = 0;
    for (std::size_t t = 0; t + 1 < start.size(); ++t) task_max = std::max(task_max, start[t + 1] - start[t]);
    const std::size_t rounds = static_cast<std::size_t>(spread_rounds(adds_max, plan.partials, static_cast<double>(task_max), P,
                                                                      (P + 1.0) * static_cast<double>(n1 * n2)));
    const std::size_t region_len = rounds == 0 ? 0 : std::min<std::size_t>(n0, plan.partials ? n0 : 2 * P - 1) * n1 * n2;

    const ErrorModel em =
        error_model(st, plan.spacing, h, plan.taps, std::max({n0, n1, n2}),
                    spread_depth_bound(adds_max, plan.partials, static_cast<double>(rounds), static_cast<double>(task_max)));

    // Sampled Gaussian: G_k = exp(−(kΔ)²/2h²), the relative error of each tap within kArgSlope·γ₆
    // of the argument's size and 2 ulps of exp (accounted for in the error model).
    const std::size_t T = std::min(plan.taps, std::max({n0, n1, n2}));
    std::vector<double> taps(T + 1);
    for (std::size_t k = 0; k <= T; ++k) {
        const double d = static_cast<double>(k) * plan.spacing;
        taps[k] = std::exp(-(d * d) / (2.0 * (h * h)));
    }

    // Coarse grid of the envelope bound.
    CoarseGrid cg;
    cg.cell = plan.coarse_spacing;
    cg.inv = 1.0 / cg.cell;
    for (int d = 0; d < 3; ++d) {
        cg.n[d] = plan.coarse_dims[d];
        cg.origin[d] = plan.coarse_origin[d];
    }
    const std::size_t cells = cg.cells();
    double tail = 0.0;
    const std::vector<double> etaps = envelope_taps(em.width, cg.cell, h, std::max({cg.n[0], cg.n[1], cg.n[2]}), &tail);
    double gtail = 0.0;
    const std::vector<double> gtaps = gauss_taps(cg.cell, h, std::max({cg.n[0], cg.n[1], cg.n[2]}), &gtail);
    // A source beyond the taps on some axis: that axis' factor is below both tails.
    const double tail_first = 3.0 * std::max(tail, gtail);
    // Non-negative sums of ≤ m terms, then three passes (and two additions of the three first-order
    // sums): the computed envelope sums are within a relative γ of the exact ones; rounded up by
    // this factor they are upper bounds.
    const double up = 1.0 + 2.0 * gam(static_cast<double>(m + cells) +
                                      3.0 * (static_cast<double>(std::max(etaps.size(), gtaps.size())) + 3.0) + 2.0);

    std::vector<double> grid, coarse, coarse_first, qs;
    // Per evaluation point, in cell order: coordinates, coarse cell, running bound, located.
    std::vector<double> tx(n), ty(n), tz(n), b(n, 0.0);
    std::vector<std::size_t> tcell(n);
    std::vector<std::uint8_t> located(n, 1);
    for_range(parallel, (n + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t k = b0 * 4096; k < std::min(n, b1 * 4096); ++k) {
            const std::size_t i = tpacked[k] & 0xffffffffu;
            tx[k] = targets.x[i];
            ty[k] = targets.y[i];
            tz[k] = targets.z[i];
            tcell[k] = cg.index(tx[k], ty[k], tz[k]);
        }
    });
    std::vector<std::size_t> scell(m);
    for_range(parallel, (m + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t j = b0 * 4096; j < std::min(m, b1 * 4096); ++j)
            scell[j] = cg.index(sources.x[j], sources.y[j], sources.z[j]);
    });

    for (std::size_t g0 = 0; g0 < parts.size(); g0 += G_max) {
        const std::size_t G = std::min(G_max, parts.size() - g0);
        const GridColumn* gp = parts.data() + g0;
        // Columns whose bound is settled in this group (their last part is here).
        std::vector<std::size_t> owners;  // local part index
        for (std::size_t g = 0; g < G; ++g) {
            const std::size_t k = gp[g].col;
            const bool last = (g0 + g + 1 == parts.size()) || parts[g0 + g + 1].col != k;
            if (last) owners.push_back(g);
        }
        const std::size_t no = owners.size();

        // 1. Spread.
        grid.resize(nodes * G * copies);
        for_range(parallel, (grid.size() + 65535) / 65536, 1, [&](std::size_t b0, std::size_t b1) {
            std::fill(grid.begin() + b0 * 65536, grid.begin() + std::min(grid.size(), b1 * 65536), 0.0);
        });
        // The group's weights in source order (the spread then reads them sequentially).
        qs.resize(m * G);
        for_range(parallel, (m + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t j = b0 * 4096; j < std::min(m, b1 * 4096); ++j) {
                const double* row = q + (packed[j] & 0xffffffffu) * c;
                for (std::size_t g = 0; g < G; ++g) {
                    const double v = row[gp[g].col];
                    qs[j * G + g] = gp[g].magnitude ? std::fabs(v) : v;
                }
            }
        });
        SpreadCtx sc{sx.data(), sy.data(), sz.data(), packed.data(), qs.data(), G, G, {ax[0], ax[1], ax[2]}, P,
                     st.inv_den};
        const std::size_t scratch_len = static_cast<std::size_t>(P) * P * P * std::min(G, kColumnBlock);
        if (plan.partials == 0) {
            for (std::size_t colour = 0; colour < 2; ++colour) {
                const std::size_t count = (slabs + 1 - colour) / 2;
                for_range(parallel, count, 1, [&](std::size_t s0, std::size_t s1) {
                    std::vector<double> scratch(scratch_len), region(region_len * G);
                    const FlushSubnormals ftz;
                    for (std::size_t t = s0; t < s1; ++t) {
                        if (cancelled(cancel)) return;
                        const std::size_t s = 2 * t + colour;
                        spread_task(sc, start[s], start[s + 1], grid.data(), nodes, rounds, scratch.data(), region.data(),
                                    cancel);
                    }
                });
            }
        } else {
            // Private grids, merged in share order.
            for_range(parallel, copies, 1, [&](std::size_t p0, std::size_t p1) {
                std::vector<double> scratch(scratch_len), region(region_len * G);
                const FlushSubnormals ftz;
                for (std::size_t p = p0; p < p1; ++p) {
                    if (cancelled(cancel)) return;
                    spread_task(sc, start[p], start[p + 1], grid.data() + p * nodes * G, nodes, rounds, scratch.data(),
                                region.data(), cancel);
                }
            });
            const std::size_t len = nodes * G;
            for_range(parallel, (len + 4095) / 4096, 4, [&](std::size_t b0, std::size_t b1) {
                for (std::size_t e = b0 * 4096; e < std::min(len, b1 * 4096); ++e) {
                    double v = grid[e];
                    for (std::size_t p = 1; p < copies; ++p) v += grid[p * len + e];
                    grid[e] = v;
                }
            });
        }
        if (cancelled(cancel)) break;

        // 2. Convolve along x, y, z.
        convolve_axis(grid.data(), G, n0, n1 * n2, taps, parallel, cancel);
        convolve_axis(grid.data(), G * n0, n1, n2, taps, parallel, cancel);
        convolve_axis(grid.data(), G * n0 * n1, n2, 1, taps, parallel, cancel);
        if (cancelled(cancel)) break;

        // 3. Envelope sums for the columns settled here: cell sums of |q| (in source order),
        //    convolved with the per-axis envelope maxima (Π Φ), and with Φ on one axis and the
        //    Gaussian's maxima on the other two (the first-order sum, over the three axes).
        std::vector<double> total(no, 0.0);
        if (no > 0) {
            coarse.assign(cells * no, 0.0);
            coarse_first.assign(cells * no, 0.0);
            std::vector<double> x_env, x_gauss(cells), y;
            auto conv_yz = [&](std::vector<double>& v, const std::vector<double>& ty, const std::vector<double>& tz) {
                convolve_axis(v.data(), cg.n[0], cg.n[1], cg.n[2], ty, parallel, cancel);
                convolve_axis(v.data(), cg.n[0] * cg.n[1], cg.n[2], 1, tz, parallel, cancel);
            };
            for (std::size_t o = 0; o < no && !cancelled(cancel); ++o) {
                const std::size_t k = gp[owners[o]].col;
                std::fill(x_gauss.begin(), x_gauss.end(), 0.0);
                for (std::size_t j = 0; j < m; ++j) x_gauss[scell[j]] += std::fabs(q[j * c + k]);
                double sum = 0.0;
                for (std::size_t cell = 0; cell < cells; ++cell) sum += x_gauss[cell];
                total[o] = sum * up;
                x_env = x_gauss;
                convolve_axis(x_env.data(), 1, cg.n[0], cg.n[1] * cg.n[2], etaps, parallel, cancel);
                convolve_axis(x_gauss.data(), 1, cg.n[0], cg.n[1] * cg.n[2], gtaps, parallel, cancel);
                double* first = coarse_first.data() + o * cells;
                y = x_env;  // Φ G G
                conv_yz(y, gtaps, gtaps);
                std::copy(y.begin(), y.end(), first);
                y = x_gauss;  // G Φ G
                conv_yz(y, etaps, gtaps);
                for (std::size_t cell = 0; cell < cells; ++cell) first[cell] += y[cell];
                conv_yz(x_gauss, gtaps, etaps);  // G G Φ
                for (std::size_t cell = 0; cell < cells; ++cell) first[cell] += x_gauss[cell];
                conv_yz(x_env, etaps, etaps);  // Φ Φ Φ
                std::copy(x_env.begin(), x_env.end(), coarse.data() + o * cells);
            }
        }
        if (cancelled(cancel)) break;

        // 4. Interpolate, store the values, settle the bounds.
        InterpCtx ic{grid.data(), G, {ax[0], ax[1], ax[2]}, P, st.inv_den};
        const std::size_t blocks = (n + kInterpBlock - 1) / kInterpBlock;
        // The gradient of column 0, with the first group: a non-negative column 0 is part 0 alone,
        // so it owns its bound there as owners[0].
        const std::size_t grad_owner = (grad && g0 == 0 && nonneg[0]) ? 0 : no;
        for_range(parallel, blocks, 4, [&](std::size_t k0, std::size_t k1) {
            std::vector<double> res(kInterpBlock * G), weights(kInterpBlock * 4 * static_cast<std::size_t>(P));
            std::vector<double> gres(grad_owner < no ? 3 * kInterpBlock : 0);
            std::vector<std::size_t> base(kInterpBlock);
            std::vector<std::uint8_t> ok(kInterpBlock);
            const FlushSubnormals ftz;
            for (std::size_t blk = k0; blk < k1; ++blk) {
                if (cancelled(cancel)) return;
                const std::size_t s0 = blk * kInterpBlock, len = std::min(kInterpBlock, n - s0);
                interp_block(ic, tx.data() + s0, ty.data() + s0, tz.data() + s0, len, res.data(), ok.data(),
                             weights.data(), base.data());
                if (grad_owner < no)
                    interp_grad_block(ic, tx.data() + s0, ty.data() + s0, tz.data() + s0, len, gres.data(), ok.data(),
                                      weights.data(), base.data());
                for (std::size_t kk = 0; kk < len; ++kk) {
                    const std::size_t s = s0 + kk;
                    if (!ok[kk]) located[s] = 0;
                    if (!located[s]) continue;
                    const double* rs = res.data() + kk * G;
                    const std::size_t i = tpacked[s] & 0xffffffffu;
                    double worst = b[s];
                    for (std::size_t g = 0; g < G; ++g)
                        if (!gp[g].magnitude) out[i * c + gp[g].col] = rs[g];
                    for (std::size_t o = 0; o < no; ++o) {
                        if (total[o] == 0.0) continue;  // an all-zero column sums to exact zeros
                        const std::size_t g = owners[o];
                        const std::size_t k = gp[g].col;
                        const double env = (coarse[o * cells + tcell[s]] + tail * total[o]) * up;
                        const double env_first = (coarse_first[o * cells + tcell[s]] + tail_first * total[o]) * up;
                        const double err = (em.first * env_first + em.rest * env) + kAbsolute;
                        // Σ_j |q_jk| K_ij ≥ (its computed transform) − err; the owner part of a
                        // non-negative column is the column itself.
                        const double lower = (rs[g] - err) + (k == 0 ? floor : 0.0);
                        const double r = lower > 0.0 ? err / lower : kInf;  // NaN sums give NaN or ∞
                        if (!(r <= worst)) worst = r;
                        if (o == grad_owner) {
                            // Node units to length units (1/Δ rounded, and the product): 2 roundings
                            // relative to the result, plus the flushed subnormals' allowance.
                            double largest = 0.0;
                            for (int d = 0; d < 3; ++d) {
                                grad[3 * i + d] = gres[3 * kk + d] * ax[d].inv;
                                largest = std::max(largest, std::fabs(grad[3 * i + d]));
                            }
                            const double gerr = (em.grad_first * env_first + em.grad_rest * env) +
                                                kAbsolute * (1.0 + st.dleb) * ax[0].inv + 4.0 * kUnit * largest;
                            grad_err[i] = gerr == gerr ? gerr * (1.0 + 16.0 * kUnit) : kInf;
                        }
                    }
                    if (grad_owner < no && total[grad_owner] == 0.0) grad_err[i] = 0.0;  // all zeros: exact
                    b[s] = worst;
                }
            }
        });
        if (cancelled(cancel)) break;
    }
    if (cancelled(cancel)) {  // bounds stay infinite
        if (grad) std::fill(grad_err, grad_err + n, kInf);
        return;
    }
    for_range(parallel, (n + 4095) / 4096, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t s = b0 * 4096; s < std::min(n, b1 * 4096); ++s) {
            const std::size_t i = tpacked[s] & 0xffffffffu;
            const double v = b[s] * (1.0 + 64.0 * kUnit);  // the bound's own rounding
            bound[i] = (located[s] && v <= std::numeric_limits<double>::max()) ? v : kInf;
            if (!located[s]) {
                for (std::size_t k = 0; k < c; ++k) out[i * c + k] = 0.0;
                if (grad) {
                    for (int d = 0; d < 3; ++d) grad[3 * i + d] = 0.0;
                    grad_err[i] = kInf;
                }
            }
        }
    });
}

FarBasisBounds far_basis_bounds(int P) {
    FarBasisBounds b;
    if (P < 4 || P > kMaxOrder || P % 2 != 0) return b;
    const Stencil st = make_stencil(P);
    b.lebesgue = st.lebesgue;
    b.slope_lebesgue = st.dleb;
    b.node_slope = slopes_of(P).slope;
    return b;
}

}  // namespace tarvic::detail
