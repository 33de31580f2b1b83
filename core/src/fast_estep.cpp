// The E-step through two Gauss transforms, with its error bound.
#include "tarvic/fast_estep.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "exp64.hpp"
#include "pair_sums.hpp"

namespace tarvic {

namespace {

// Targets whose weight exceeds this many times the median are summed pair by pair in T2.
constexpr double kHeavyRatio = 1e3;

Points64 current(const Moving& m) { return Points64{m.cx.data(), m.cy.data(), m.cz.data(), m.size()}; }
Points64 target(const Fixed& f) { return Points64{f.x.data(), f.y.data(), f.z.data(), f.size()}; }

// A subset of a cloud, owned.
struct Subset {
    std::vector<double> x, y, z, q;
    Points64 view() const { return Points64{x.data(), y.data(), z.data(), x.size()}; }
    void add(double a, double b, double c, double w) {
        x.push_back(a);
        y.push_back(b);
        z.push_back(c);
        q.push_back(w);
    }
};

// The first n single-precision coordinates of a cloud, widened (exactly) to double.
Subset widened(const std::vector<float>& x, const std::vector<float>& y, const std::vector<float>& z, std::size_t n) {
    Subset s;
    s.x.assign(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
    s.y.assign(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n));
    s.z.assign(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(n));
    return s;
}

// The test oracle's transform: the exact E-step's single-precision kernel, every pair above its
// floor summed and the floor's share added exactly. Returns the kernel's width.
double oracle_options(GaussOptions& o, double sigma2) {
    o.tolerance = std::ldexp(1.0, -126);
    o.force = static_cast<int>(GaussPath::Near);
    o.kernel32_sigma2 = estep_sigma2(sigma2);
    return std::sqrt(static_cast<double>(o.kernel32_sigma2));
}

// The E-step on the exact kernel's single-precision values, every sum in double precision.
FastEStep oracle_estep(const Moving& mv, const Fixed& fx, double sigma2, double c, const FastEStepOptions& opts) {
    const std::size_t m = mv.size(), n = fx.size();
    const Subset ms = widened(mv.x32, mv.y32, mv.z32, m), fs = widened(fx.x32, fx.y32, fx.z32, n);
    const Points64 moving = ms.view(), fixed = fs.view();
    GaussOptions o;
    const double h = oracle_options(o, sigma2);
    o.parallel = opts.parallel;
    o.cancel = opts.cancel;
    const std::vector<double> ones(m, 1.0);
    const GaussSums t1 = gauss_transform(fixed, moving, h, ones.data(), 1, o);
    FastEStep out;
    out.sums.pt1.resize(n);
    std::vector<double> w(4 * n);
    for (std::size_t j = 0; j < n; ++j) {
        const double col = t1.values[j];
        const double den = std::max(c + col, 1e-30);
        out.sums.pt1[j] = col / den;
        const double q = 1.0 / den;
        w[4 * j] = q;
        w[4 * j + 1] = q * fs.x[j];
        w[4 * j + 2] = q * fs.y[j];
        w[4 * j + 3] = q * fs.z[j];
    }
    const GaussSums t2 = gauss_transform(moving, fixed, h, w.data(), 4, o);
    out.sums.p1.resize(m);
    out.sums.px.resize(3 * m);
    double np = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        out.sums.p1[i] = t2.values[4 * i];
        for (int k = 0; k < 3; ++k) out.sums.px[3 * i + k] = t2.values[4 * i + 1 + k];
        np += out.sums.p1[i];
    }
    out.sums.np = np;
    out.bound = std::max(t1.max_bound, t2.max_bound);
    out.path_targets = t1.path;
    out.path_moving = t2.path;
    return out;
}

}  // namespace

FastEStep estep_fast(const Moving& moving, const Fixed& fixed, double sigma2, double c, const FastEStepOptions& opts) {
    if (opts.oracle) return oracle_estep(moving, fixed, sigma2, c, opts);
    const std::size_t m = moving.size(), n = fixed.size();
    const double h = std::sqrt(sigma2);
    // T1 gets tolerance/2.2 and T2 half that (px may double T2's bound, see below): the E-step's
    // bound, about b1 + 2·b2, stays within the tolerance.
    const double part = opts.tolerance / 2.2;
    FastEStep out;
    EStep& e = out.sums;

    // T1: the denominators at the target points, and whether any moving point is within reach.
    GaussOptions o1;
    o1.tolerance = part;
    o1.floor = c;
    o1.nearest = true;
    o1.parallel = opts.parallel;
    o1.cancel = opts.cancel;
    const std::vector<double> ones(m, 1.0);
    const GaussSums t1 = gauss_transform(target(fixed), current(moving), h, ones.data(), 1, o1);
    out.path_targets = t1.path;
    const double b1 = t1.max_bound;

    e.pt1.resize(n);
    std::vector<double> q(n);
    std::vector<char> uniform(n, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const double s = t1.values[2 * j];
        const double den = s + c;
        e.pt1[j] = s / den;
        q[j] = 1.0 / den;
        // Every kernel value at the clamp: this point's posterior is the same for every moving point.
        uniform[j] = t1.path != GaussPath::Far && t1.values[2 * j + 1] <= detail::kExpMin;
    }

    // Split T2's sources: clamp-level points in closed form, heavy ones pair by pair, the rest.
    std::vector<double> typical;
    for (std::size_t j = 0; j < n; ++j)
        if (!uniform[j]) typical.push_back(q[j]);
    double heavy_above = std::numeric_limits<double>::infinity();
    if (!typical.empty()) {
        auto mid = typical.begin() + static_cast<std::ptrdiff_t>(typical.size() / 2);
        std::nth_element(typical.begin(), mid, typical.end());
        heavy_above = *mid * kHeavyRatio;
        // Pair by pair costs M per point: keep it to a small share of the targets.
        const std::size_t cap = std::max<std::size_t>(256, n / 64);
        if (typical.size() > cap) {
            auto top = typical.end() - static_cast<std::ptrdiff_t>(cap);
            std::nth_element(typical.begin(), top, typical.end());
            heavy_above = std::max(heavy_above, *top);
        }
    }
    // T2's weights are scaled by 2^k (exactly; the results are scaled back exactly): a moving point
    // far from every target sums terms at the kernel's clamp (e^−708 ≈ 3e−308) times q and times
    // offsets, below the normal range where the kernels flush them to zero. The largest k up to
    // 600 keeps every sum, moments included, far from overflow.
    double qmax = 0.0, reach2 = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        if (!uniform[j]) qmax = std::max(qmax, q[j]);
        reach2 = std::max(reach2, (fixed.x[j] * fixed.x[j] + fixed.y[j] * fixed.y[j]) + fixed.z[j] * fixed.z[j]);
    }
    for (std::size_t i = 0; i < m; ++i)
        reach2 = std::max(reach2, (moving.cx[i] * moving.cx[i] + moving.cy[i] * moving.cy[i]) + moving.cz[i] * moving.cz[i]);
    int k2 = 0;
    if (qmax > 0.0 && std::isfinite(qmax) && std::isfinite(reach2)) {
        const double room = 1000.0 - std::log2(qmax) - std::log2(static_cast<double>(n) + 1.0) - std::log2(1.0 + 4.0 * reach2);
        k2 = static_cast<int>(std::clamp(std::floor(room), 0.0, 600.0));
    }
    const double up = std::ldexp(1.0, k2), down = std::ldexp(1.0, -k2);
    Subset light, heavy;
    const double clamp = detail::exp64(detail::kExpMin);
    double u0 = 0.0, u1[3] = {0.0, 0.0, 0.0}, u2 = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double x = fixed.x[j], y = fixed.y[j], z = fixed.z[j];
        if (uniform[j]) {
            const double w = q[j] * clamp;
            u0 += w;
            u1[0] += w * x;
            u1[1] += w * y;
            u1[2] += w * z;
            u2 += w * ((x * x + y * y) + z * z);
            ++out.uniform;
        } else if (q[j] > heavy_above) {
            heavy.add(x, y, z, q[j] * up);
        } else {
            light.add(x, y, z, q[j] * up);
        }
    }
    out.heavy = heavy.x.size();

    // T2: p1 and the moments about each moving point.
    GaussOptions o2;
    o2.tolerance = part / 2.0;
    o2.moments = true;
    o2.parallel = opts.parallel;
    o2.cancel = opts.cancel;
    const GaussSums t2 = gauss_transform(current(moving), light.view(), h, light.q.data(), 1, o2);
    o2.force = static_cast<int>(GaussPath::Direct);
    const GaussSums t2h = gauss_transform(current(moving), heavy.view(), h, heavy.q.data(), 1, o2);
    out.path_moving = light.x.empty() ? t2h.path : t2.path;
    double b2 = std::max(t2.max_bound, t2h.max_bound);

    e.p1.resize(m);
    e.px.resize(3 * m);
    out.u.resize(3 * m);
    out.r.resize(m);
    double np = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double z[3] = {moving.cx[i], moving.cy[i], moving.cz[i]};
        double a[5], b[5];
        for (int k = 0; k < 5; ++k) {
            a[k] = t2.values[5 * i + k] * down;
            b[k] = t2h.values[5 * i + k] * down;
        }
        double p1 = a[0] + b[0] + u0;
        double zz = (z[0] * z[0] + z[1] * z[1]) + z[2] * z[2];
        double uz = 0.0;
        for (int k = 0; k < 3; ++k) {
            out.u[3 * i + k] = (a[1 + k] + b[1 + k]) + (u1[k] - u0 * z[k]);
            uz += u1[k] * z[k];
        }
        out.r[i] = (a[4] + b[4]) + std::max((u2 - 2.0 * uz) + u0 * zz, 0.0);
        for (int k = 0; k < 3; ++k) e.px[3 * i + k] = p1 * z[k] + out.u[3 * i + k];
        e.p1[i] = p1;
        np += p1;
    }
    e.np = np;
    // The closed-form share rounds like any sum of n terms.
    if (out.uniform > 0) b2 = std::max(b2, detail::rounding_allowance(n));
    // On the far path u is within b2·Σ P (|x − y| + d) per axis, d the diagonal of the light
    // targets' box (at most the target cloud's): px = p1·y + u within b2·Σ P (|y| + |x − y| + d),
    // inside the magnitudes px is bounded against.
    // D has relative error ≤ b1, so each weight q within b1/(1 − b1); T2 adds b2 relative to the
    // sums of its (non-negative) terms: p1 and px are within (1 + b2)/(1 − b1) − 1, and
    // pt1 = S/D within b1/(1 − b1) absolutely.
    out.bound = b1 < 1.0 ? std::max((1.0 + b2) / (1.0 - b1) - 1.0, b1 / (1.0 - b1)) : std::numeric_limits<double>::infinity();
    return out;
}

FastTargetEStep estep_fast_targets(const Moving& moving, const Fixed& fixed, double sigma2, double c,
                                   const FastEStepOptions& opts) {
    const std::size_t m = moving.size(), n = fixed.size();
    // The transform's bound b gives the outputs 2b/(1 − b) (below): b = t/(2.2 + t) keeps that
    // within the tolerance t with room for rounding.
    // Every weight is 2^600 instead of 1, and the floor likewise: the ratios below are unchanged
    // (a power of two scales exactly), but a kernel value at its clamp (e^−708 ≈ 3e−308) times an
    // offset no longer falls below the normal range, where the kernels flush it to zero. A target
    // point far from every moving point, whose posterior is all at the clamp, keeps its moments.
    constexpr double kScale = 0x1p600;
    GaussOptions o;
    o.tolerance = opts.tolerance / (2.2 + opts.tolerance);
    o.floor = c * kScale;
    o.moments = true;
    o.parallel = opts.parallel;
    o.cancel = opts.cancel;
    const std::vector<double> ones(m, kScale);
    double h = std::sqrt(sigma2);
    // The test oracle: the exact E-step's single-precision kernel and coordinates.
    Subset ms, fs;
    Points64 src = current(moving), tgt = target(fixed);
    if (opts.oracle) {
        ms = widened(moving.x32, moving.y32, moving.z32, m);
        fs = widened(fixed.x32, fixed.y32, fixed.z32, n);
        src = ms.view();
        tgt = fs.view();
        h = oracle_options(o, sigma2);
    }
    const GaussSums t = gauss_transform(tgt, src, h, ones.data(), 1, o);

    FastTargetEStep out;
    out.path = t.path;
    out.pt1.resize(n);
    out.v.resize(3 * n);
    out.r.resize(n);
    double np = -0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double* a = t.values.data() + 5 * j;
        // The oracle follows the exact E-step, which keeps its denominators above 1e-30. Else
        // S = 0 with c = 0 only where a cancel left the sums partial.
        const double den = opts.oracle ? std::max(a[0] + o.floor, 1e-30 * kScale) : a[0] + o.floor;
        const double q = den > 0.0 ? 1.0 / den : 0.0;
        out.pt1[j] = a[0] * q;
        for (int k = 0; k < 3; ++k) out.v[3 * j + k] = a[1 + k] * q;
        out.r[j] = a[4] * q;
        np += out.pt1[j];
    }
    out.np = np;
    // D = S + c within b relative, so 1/D within b/(1 − b); a moment within b of its magnitude sum
    // divided by D then errs by at most 2b/(1 − b) of Σ_m P_mn·|…|^k, and pt1 = S/D by
    // c·b·D/(D·D^) ≤ b/(1 − b) absolutely.
    const double b = t.max_bound;
    out.bound = b < 1.0 ? 2.0 * b / (1.0 - b) : std::numeric_limits<double>::infinity();
    return out;
}

double fast_variance(const FastEStep& e, const Moving& moving, const double* t) {
    const std::size_t m = moving.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double d[3] = {t[3 * i] - moving.cx[i], t[3 * i + 1] - moving.cy[i], t[3 * i + 2] - moving.cz[i]};
        const double du = (d[0] * e.u[3 * i] + d[1] * e.u[3 * i + 1]) + d[2] * e.u[3 * i + 2];
        const double dd = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
        sum += (e.r[i] - 2.0 * du) + e.sums.p1[i] * dd;
    }
    return sum / (3.0 * e.sums.np);
}

}  // namespace tarvic
