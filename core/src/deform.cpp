// Deformable Coherent Point Drift (Myronenko & Song 2010, non-rigid algorithm of Fig. 4),
// with the M-step solved through the kernel's leading eigenmodes (their fast low-rank variant).
//
// The displacement field is v(y) = Σ_j K(y, y_j)·w_j over the source points. The M×M system
// (G + λσ²·diag(P1)⁻¹)·W = diag(P1)⁻¹·PX − Y is replaced by K ≈ U·Λ·Uᵀ and the Woodbury identity,
// an m×m Cholesky solve per iteration. All M-step arithmetic is f64 in a fixed order: on the
// calling thread for the exact path, so a fit's result depends only on the E-step's reduction
// order; in fixed blocks of points on the pool for the fast path, whose results never depend on
// the number of threads.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "batch.hpp"
#include "em_step.hpp"
#include "deform_internal.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/linalg.hpp"
#include "tarvic/monitor.hpp"
#include "tarvic/threads.hpp"
#include "tarvic/transform.hpp"

namespace tarvic {

namespace detail {

std::size_t mstep_blocks(std::size_t points, std::size_t modes) {
    // At least 2048 points per block, at most 64 blocks, and their partial sums within 64 MiB.
    const std::size_t per_block = std::max<std::size_t>(1, (modes * modes + 3 * modes) * sizeof(double));
    const std::size_t by_memory = std::max<std::size_t>(1, (std::size_t{64} << 20) / per_block);
    return std::max<std::size_t>(1, std::min({points / 2048, std::size_t{64}, by_memory}));
}

namespace {

// Points [begin, end) of block b of `blocks` over n points.
std::size_t block_start(std::size_t b, std::size_t blocks, std::size_t n) { return n / blocks * b + std::min(b, n % blocks); }

// Adds the points [i0, i1) to G = Uᵀ·F and the lower triangle of S = Uᵀ·diag(P1)·U, in point order.
void add_gram(const double* u, const double* p1, const double* f, std::size_t m, std::size_t i0, std::size_t i1,
              double* arow, double* g, double* s) {
    for (std::size_t i = i0; i < i1; ++i) {
        const double* ui = u + i * m;
        const double p = p1[i];
        for (std::size_t b = 0; b < m; ++b) arow[b] = ui[b] * p;
        const double* fi = f + 3 * i;
        for (std::size_t a = 0; a < m; ++a) {
            const double ua = ui[a];
            if (ua == 0.0) continue;
            g[3 * a + 0] += ua * fi[0];
            g[3 * a + 1] += ua * fi[1];
            g[3 * a + 2] += ua * fi[2];
            double* sa = s + a * m;
            for (std::size_t b = 0; b <= a; ++b) sa[b] += ua * arow[b];
        }
    }
}

// Runs body(begin, end) over [0, n): on the current pool when `spread`, else once on this thread.
template <class Body>
void over_range(bool spread, std::size_t n, Body&& body) {
    if (spread)
        parallel_ranges(n, body);
    else if (n > 0)
        body(std::size_t{0}, n);
}

}  // namespace

MStepStatus lowrank_mstep(const Moving& moving, const Eigenmodes& modes, const EStep& e, double lambda_sigma2,
                          MStepWork& work, double* w) {
    const std::size_t n_pts = moving.size();
    const std::size_t m = modes.m;
    const double* u = modes.vectors.data();
    double* f = work.f.data();
    double* g = work.g.data();
    double* s = work.s.data();
    const std::size_t blocks = work.blocks;
    const bool spread = blocks > 1 && work.parallel;

    // F = diag(P1)·(diag(P1)⁻¹·PX − Y₀), the right-hand side scaled back so no division by p1
    // is needed (p1 may be tiny for points far from the target).
    over_range(spread, n_pts, [&](std::size_t i0, std::size_t i1) {
        for (std::size_t i = i0; i < i1; ++i) {
            const double p = e.p1[i];
            f[3 * i + 0] = e.px[3 * i + 0] - moving.x[i] * p;
            f[3 * i + 1] = e.px[3 * i + 1] - moving.y[i] * p;
            f[3 * i + 2] = e.px[3 * i + 2] - moving.z[i] * p;
        }
    });

    // G = Uᵀ·F and S = Uᵀ·diag(P1)·U in one pass over the points; S's lower triangle only.
    // A = diag(P1)·U is formed one row at a time instead of stored: M×m doubles would be read
    // twice per iteration, and the row is recomputed bit for bit where it is needed again.
    std::fill(work.g.begin(), work.g.end(), 0.0);
    std::fill(work.s.begin(), work.s.end(), 0.0);
    if (blocks <= 1) {
        add_gram(u, e.p1.data(), f, m, 0, n_pts, work.row.data(), g, s);
    } else {
        // Per block, then the blocks' sums added in block order.
        const std::size_t stride = m * m + 3 * m;
        over_range(spread, blocks, [&](std::size_t b0, std::size_t b1) {
            std::vector<double> row(m);
            for (std::size_t b = b0; b < b1; ++b) {
                double* ps = work.part.data() + b * stride;
                std::fill(ps, ps + stride, 0.0);
                add_gram(u, e.p1.data(), f, m, block_start(b, blocks, n_pts), block_start(b + 1, blocks, n_pts),
                         row.data(), ps + m * m, ps);
            }
        });
        for (std::size_t b = 0; b < blocks; ++b) {
            const double* ps = work.part.data() + b * stride;
            for (std::size_t a = 0; a < m; ++a)
                for (std::size_t c = 0; c <= a; ++c) s[a * m + c] += ps[a * m + c];
            for (std::size_t k = 0; k < 3 * m; ++k) g[k] += ps[m * m + k];
        }
    }
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < a; ++b) s[b * m + a] = s[a * m + b];
    for (std::size_t a = 0; a < m; ++a) s[a * m + a] += lambda_sigma2 / modes.values[a];

    if (!cholesky(s, m)) return MStepStatus::CholeskyFailed;
    cholesky_solve(s, m, g);  // Z = S⁻¹·G

    // Woodbury: W = (F − A·Z) / λσ². Each row on its own: the same bits wherever it runs.
    const double inv = 1.0 / lambda_sigma2;
    std::atomic<bool> finite{true};
    over_range(spread, n_pts, [&](std::size_t i0, std::size_t i1) {
        bool ok = true;
        for (std::size_t i = i0; i < i1; ++i) {
            const double* ui = u + i * m;
            const double p = e.p1[i];
            double r0 = f[3 * i + 0];
            double r1 = f[3 * i + 1];
            double r2 = f[3 * i + 2];
            for (std::size_t a = 0; a < m; ++a) {
                const double aa = ui[a] * p;
                r0 -= aa * g[3 * a + 0];
                r1 -= aa * g[3 * a + 1];
                r2 -= aa * g[3 * a + 2];
            }
            w[3 * i + 0] = r0 * inv;
            w[3 * i + 1] = r1 * inv;
            w[3 * i + 2] = r2 * inv;
            ok = ok && std::isfinite(w[3 * i + 0]) && std::isfinite(w[3 * i + 1]) && std::isfinite(w[3 * i + 2]);
        }
        if (!ok) finite.store(false, std::memory_order_relaxed);
    });
    return finite.load() ? MStepStatus::Ok : MStepStatus::NonFinite;
}

void modes_product(const Eigenmodes& modes, const double* w, bool scale_by_values, std::vector<double>& h,
                   double* out, std::size_t blocks, bool parallel) {
    const std::size_t m = modes.m;
    const std::size_t n_pts = m == 0 ? 0 : modes.vectors.size() / m;
    const double* u = modes.vectors.data();
    h.assign(3 * m, 0.0);
    auto add_h = [&](std::size_t i0, std::size_t i1, double* hh) {
        for (std::size_t i = i0; i < i1; ++i) {
            const double* ui = u + i * m;
            const double* wi = w + 3 * i;
            for (std::size_t a = 0; a < m; ++a) {
                const double ua = ui[a];
                if (ua == 0.0) continue;
                hh[3 * a + 0] += ua * wi[0];
                hh[3 * a + 1] += ua * wi[1];
                hh[3 * a + 2] += ua * wi[2];
            }
        }
    };
    const bool spread = blocks > 1 && parallel;
    if (blocks <= 1) {
        add_h(0, n_pts, h.data());
    } else {
        std::vector<double> part(blocks * 3 * m, 0.0);
        over_range(spread, blocks, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t b = b0; b < b1; ++b)
                add_h(block_start(b, blocks, n_pts), block_start(b + 1, blocks, n_pts), part.data() + b * 3 * m);
        });
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::size_t k = 0; k < 3 * m; ++k) h[k] += part[b * 3 * m + k];
    }
    if (scale_by_values)
        for (std::size_t a = 0; a < m; ++a) {
            h[3 * a + 0] *= modes.values[a];
            h[3 * a + 1] *= modes.values[a];
            h[3 * a + 2] *= modes.values[a];
        }
    // H is complete, so each output row depends on its own row of U only: `out` may alias `w`.
    over_range(spread, n_pts, [&](std::size_t i0, std::size_t i1) {
        for (std::size_t i = i0; i < i1; ++i) {
            const double* ui = u + i * m;
            double v0 = 0.0, v1 = 0.0, v2 = 0.0;
            for (std::size_t a = 0; a < m; ++a) {
                const double ua = ui[a];
                if (ua == 0.0) continue;
                v0 += ua * h[3 * a + 0];
                v1 += ua * h[3 * a + 1];
                v2 += ua * h[3 * a + 2];
            }
            out[3 * i + 0] = v0;
            out[3 * i + 1] = v1;
            out[3 * i + 2] = v2;
        }
    });
}

double variance_update(const std::vector<double>& x2, const EStep& e, const double* t) {
    // σ² = (tr(Xᵀ·d(Pᵀ1)·X) − 2·tr((PX)ᵀ·T) + tr(Tᵀ·d(P1)·T)) / (3·Np), Fig. 4 of the CPD paper.
    double sxx = 0.0;
    for (std::size_t n = 0; n < x2.size(); ++n) sxx += e.pt1[n] * x2[n];
    double stx = 0.0;
    double stt = 0.0;
    const std::size_t n_pts = e.p1.size();
    for (std::size_t i = 0; i < n_pts; ++i) {
        const double* ti = t + 3 * i;
        const double* pxi = e.px.data() + 3 * i;
        stx += ti[0] * pxi[0] + ti[1] * pxi[1] + ti[2] * pxi[2];
        stt += e.p1[i] * (ti[0] * ti[0] + ti[1] * ti[1] + ti[2] * ti[2]);
    }
    return (sxx - 2.0 * stx + stt) / (3.0 * e.np);
}

}  // namespace detail

namespace {


bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

// What an iteration publishes: its count and variance (the field itself is too large to copy).
FitState deform_state(const Setup& st, std::size_t iterations, double sigma2) {
    FitState out;
    out.iteration = iterations;
    out.sigma2 = (sigma2 * st.norm_scale) * st.norm_scale;
    return out;
}

// T = Y₀ + D for row-major displacements D (M × 3), in place.
void add_source(const Moving& moving, double* d) {
    for (std::size_t i = 0; i < moving.size(); ++i) {
        d[3 * i + 0] = moving.x[i] + d[3 * i + 0];
        d[3 * i + 1] = moving.y[i] + d[3 * i + 1];
        d[3 * i + 2] = moving.z[i] + d[3 * i + 2];
    }
}

}  // namespace

DeformResult deform_register_inner(const CloudView& source, const CloudView& target, const DeformOptions& opts,
                                   bool parallel, CancelFlag cancel, const Landmarks& landmarks) {
    if (opts.prior) {
        const Array2 placed = apply_affine(*opts.prior, source).value();
        DeformOptions rest = opts;
        rest.prior.reset();
        return deform_register_inner(placed.view(), target, rest, parallel, cancel, landmarks);
    }
    Setup st = Setup::make(source, target, opts.sigma2, opts.w);
    Moving& moving = st.moving;
    const Fixed& fixed = st.fixed;
    const std::size_t n_src = moving.size();
    const std::size_t len = 3 * n_src;

    // The set-up divides by the joint radius, so `beta` is already a width in normalised units.
    const PointsF32 points = PointsF32::from_columns(moving.x, moving.y, moving.z);
    const float beta = static_cast<float>(opts.beta);
    const bool fast = runs_fast(opts.method, n_src, fixed.size());
    if (fast) moving.keep_double_positions();
    double bound = 0.0;
    // Products with the source's kernel: single-precision blocks, or a bounded Gauss transform.
    const Points64 source64{moving.x.data(), moving.y.data(), moving.z.data(), n_src};
    auto product = [&](const double* in, std::size_t c, double* out) {
        if (!fast) {
            gauss_mul(points, points, beta, in, n_src * c, c, out, n_src * c, cancel);
            return;
        }
        GaussOptions o;
        o.tolerance = opts.gauss_tolerance;
        o.cancel = cancel;
        const GaussSums g = gauss_transform(source64, source64, opts.beta, in, c, o);
        std::copy(g.values.begin(), g.values.end(), out);
        bound = std::max(bound, g.max_bound);
    };
    const Eigenmodes modes = fast ? kernel_eigenmodes(n_src, opts.num_modes, cancel, product)
                                  : kernel_eigenmodes(points, beta, opts.num_modes, cancel);
    const std::size_t m = modes.m;
    // One E-step at σ², exact or fast; the fast one keeps its moments for the variance.
    detail::EStepRunner step(fast, opts.gauss_tolerance, parallel, cancel);
    const FastEStep& fe = step.fe;
    auto estep_at = [&](double s2) -> const EStep& {
        return step.run(moving, fixed, s2, outlier_term(s2, st.outlier_weight), landmarks);
    };

    double sigma2 = st.sigma2;
    std::size_t iterations = 0;
    bool converged = false;
    std::vector<double> w(len, 0.0);

    if (m > 0 && opts.max_iterations > 0) {
        std::vector<double> w_next(len);
        std::vector<double> t(len);
        std::vector<double> h;
        // The fast path spreads the M-step's sums over the pool in fixed blocks of points; the exact
        // path keeps its sums on the calling thread, in point order.
        const std::size_t blocks = fast ? detail::mstep_blocks(n_src, m) : 1;
        detail::MStepWork work(n_src, m, blocks, parallel);
        std::vector<double> x2(fixed.size());
        for (std::size_t n = 0; n < fixed.size(); ++n)
            x2[n] = fixed.x[n] * fixed.x[n] + fixed.y[n] * fixed.y[n] + fixed.z[n] * fixed.z[n];

        // A variance that oscillates at its floor instead of descending never meets the
        // tolerance; the stall window ends such a loop as converged.
        detail::StallWindow window(sigma2);

        for (;;) {
            if (cancelled(cancel)) {
                converged = false;
                break;
            }
            const EStep& e = estep_at(sigma2);
            if (!finite_positive(e.np)) {
                converged = false;
                break;
            }
            const double lambda_sigma2 = opts.alpha * sigma2;
            converged = true;
            if (!finite_positive(lambda_sigma2)) break;

            // A non-finite W is not adopted: the coefficients stay those of the last accepted
            // step, consistent with the variance and positions the fit reports.
            if (detail::lowrank_mstep(moving, modes, e, lambda_sigma2, work, w_next.data()) !=
                detail::MStepStatus::Ok) {
                converged = false;
                break;
            }
            w.swap(w_next);

            // T = Y₀ + U·Λ·Uᵀ·W, the low-rank G·W.
            detail::modes_product(modes, w.data(), true, h, t.data(), blocks, parallel);
            add_source(moving, t.data());
            // The fast path's variance comes from the posterior moments about the positions the
            // E-step saw, so it is formed before the points move.
            const double sigma2_new = fast ? fast_variance(fe, moving, t.data()) : detail::variance_update(x2, e, t.data());
            moving.move_by_rows(t.data(), len);
            ++iterations;
            // A variance that is no longer positive and finite ends the fit, which keeps the last one.
            const bool degenerate = !finite_positive(sigma2_new);
            double rel = 0.0;
            bool stalled = false;
            if (!degenerate) {
                rel = std::fabs(sigma2_new - sigma2) / sigma2;
                stalled = window.stalled(sigma2, sigma2_new);
                sigma2 = sigma2_new;
            }
            if (!publish(opts.monitor, [&] { return deform_state(st, iterations, sigma2); })) {
                converged = false;
                break;
            }
            if (degenerate || (fast && sigma2 < kFastResolvedSigma2) || opts.tolerance >= rel || stalled) break;
            if (iterations == opts.max_iterations) {
                converged = false;
                break;
            }
        }

        // Final stage: project W onto the modes, then place the points with the exact kernel
        // rather than its low-rank approximation and re-estimate the variance there.
        detail::modes_product(modes, w.data(), false, h, w.data(), blocks, parallel);
        if (!cancelled(cancel)) {
            product(w.data(), 3, t.data());
            add_source(moving, t.data());
            moving.move_by_rows(t.data(), len);
            const EStep& e = estep_at(sigma2);
            if (finite_positive(e.np)) {
                const double sigma2_final = fast ? fast_variance(fe, moving, t.data()) : detail::variance_update(x2, e, t.data());
                if (finite_positive(sigma2_final)) sigma2 = sigma2_final;
            }
        }
    }

    // Back to the caller's units: positions Y₀·s + c, coefficients and width times s, variance times s².
    const double s = st.norm_scale;
    DeformResult out;
    out.source = Array2(n_src, 3);
    for (std::size_t i = 0; i < n_src; ++i) {
        out.source(i, 0) = moving.x[i] * s + st.centre[0];
        out.source(i, 1) = moving.y[i] * s + st.centre[1];
        out.source(i, 2) = moving.z[i] * s + st.centre[2];
    }
    out.w = Array2(n_src, 3);
    for (std::size_t k = 0; k < len; ++k) out.w.values[k] = w[k] * s;
    out.beta = opts.beta * s;
    out.sigma2 = (sigma2 * s) * s;
    out.nrms = st.target_rms > 0.0 ? std::sqrt(3.0 * sigma2) / st.target_rms : std::nan("");
    out.iterations = iterations;
    // The loop only adopts finite coefficients, but W·s, Y₀·s + c and beta·s can still overflow in
    // the caller's units; a transform the caller cannot use is not reported as converged.
    const auto all_finite = [](const std::vector<double>& v) {
        return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    out.converged = converged && std::isfinite(out.beta) && all_finite(out.w.values) && all_finite(out.source.values);
    out.modes = m;
    out.fast = fast;
    out.error_bound = std::max(bound, step.bound);
    return out;
}

Result<DeformResult> deform_register(const CloudView& source, const CloudView& target, const DeformOptions& opts,
                                     CancelFlag cancel, const Landmarks& landmarks) {
    if (auto err = check_cloud(source, "source")) return *err;
    if (auto err = check_cloud(target, "target")) return *err;
    if (auto err = check_deform_options(opts)) return *err;
    if (opts.prior)
        if (auto err = check_reach(*opts.prior, source, "prior")) return *err;
    if (auto err = check_landmarks(landmarks, source.rows, target.rows)) return *err;
    return run_in_pool(opts.threads,
                       [&] { return deform_register_inner(source, target, opts, true, cancel, landmarks); });
}

Result<std::vector<DeformResult>> deform_register_batch(const std::vector<CloudView>& sources,
                                                        const std::vector<CloudView>& targets,
                                                        const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                        const DeformOptions& opts, bool progress, CancelFlag cancel) {
    if (auto err = check_deform_options(opts)) return *err;
    if (opts.prior)
        for (const CloudView& s : sources)
            if (auto err = check_reach(*opts.prior, s, "prior")) return *err;
    return run_batch<DeformResult>(sources, targets, pairs, opts.threads, progress, cancel, "Registering",
                                   [&](const CloudView& s, const CloudView& t) {
                                       DeformOptions local = opts;
                                       local.monitor = nullptr;  // one record cannot follow many fits
                                       return deform_register_inner(s, t, local, false, cancel);
                                   });
}

}  // namespace tarvic
