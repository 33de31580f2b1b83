// Affine Coherent Point Drift (Myronenko & Song 2010, Fig. 3). The normalised frame, the outlier
// model, both E-steps and the endings are the rigid fit's; the M-step solves a 3 × 3 system in f64.
#include "tarvic/affine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "batch.hpp"
#include "em_step.hpp"
#include "deform_internal.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/monitor.hpp"
#include "tarvic/linalg.hpp"
#include "tarvic/threads.hpp"
#include "tarvic/transform.hpp"

namespace tarvic {

namespace {

void mat_vec(const double a[3][3], const double v[3], double out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = (a[i][0] * v[0] + a[i][1] * v[1]) + a[i][2] * v[2];
}

// B = A·C⁻¹ for the weighted source covariance C (symmetric, positive semi-definite), through the
// Cholesky factor of C: C·Bᵀ = Aᵀ. False when C is singular relative to its largest diagonal entry
// (a planar or collinear source, or posteriors that weigh only such a part of it): B would be
// unconstrained across the missing direction, and its entries there rounding noise.
bool solve_affine(const double a[3][3], const double c[3][3], double b[3][3]) {
    double l[9];
    double largest = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) l[3 * i + j] = c[i][j];
        largest = std::max(largest, c[i][i]);
    }
    if (!(largest > 0.0 && std::isfinite(largest)) || !cholesky(l, 3)) return false;
    for (int k = 0; k < 3; ++k)
        if (!(l[4 * k] * l[4 * k] > 1e-12 * largest)) return false;
    double x[9];  // Aᵀ, row j = source axis j
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) x[3 * j + i] = a[i][j];
    cholesky_solve(l, 3, x);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b[i][j] = x[3 * j + i];
    return true;
}

// The map in the caller's units: x = c + λ·x̂, so t = c + λ·t̂ − B·c and B is unchanged.
void caller_map(const Setup& setup, const double b[3][3], const double t[3], double out[3]) {
    const double* c0 = setup.centre;
    double bc[3];
    mat_vec(b, c0, bc);
    for (int a = 0; a < 3; ++a) out[a] = c0[a] + setup.norm_scale * t[a] - bc[a];
}

double caller_variance(const Setup& setup, double sigma2) {
    const double lam = setup.norm_scale, l2 = lam * lam;
    // As in the rigid fit: λ² alone may over- or underflow where λ²·σ² does not.
    return (std::isfinite(l2) && l2 >= std::numeric_limits<double>::min()) ? l2 * sigma2 : sigma2 * lam * lam;
}

// What an iteration publishes: the transform and variance the result would report if it stopped here.
FitState affine_state(const Setup& setup, std::size_t iterations, double sigma2, const double b[3][3],
                      const double t[3]) {
    FitState st;
    st.iteration = iterations;
    st.sigma2 = caller_variance(setup, sigma2);
    st.has_matrix = true;
    double tr[3];
    caller_map(setup, b, t, tr);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) st.matrix[i][j] = b[i][j];
        st.matrix[i][3] = tr[i];
    }
    return st;
}

}  // namespace

AffineResult affine_register_inner(const CloudView& source, const CloudView& target, const AffineOptions& opts,
                                   bool parallel, CancelFlag cancel, const Landmarks& landmarks) {
    if (opts.init) {
        // Fit the source where the initial transform puts it, then report p ↦ B·(B0·p + t0) + t.
        const Array2 placed = apply_affine(*opts.init, source).value();
        if (opts.monitor) {
            double m[4][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}};
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) m[i][j] = opts.init->matrix[i][j];
                m[i][3] = opts.init->translation[i];
            }
            opts.monitor->set_start(m);
        }
        AffineOptions rest = opts;
        rest.init.reset();
        AffineResult res = affine_register_inner(placed.view(), target, rest, parallel, cancel, landmarks);
        const Affine3& s = *opts.init;
        double b[3][3], t0[3];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                b[i][j] = (res.matrix[i][0] * s.matrix[0][j] + res.matrix[i][1] * s.matrix[1][j]) +
                          res.matrix[i][2] * s.matrix[2][j];
        }
        mat_vec(res.matrix, s.translation, t0);
        bool finite = true;
        for (int i = 0; i < 3; ++i) {
            res.translation[i] = t0[i] + res.translation[i];
            finite = finite && std::isfinite(res.translation[i]);
            for (int j = 0; j < 3; ++j) finite = finite && std::isfinite(b[i][j]);
        }
        std::memcpy(res.matrix, b, sizeof b);
        res.converged = res.converged && finite;
        return res;
    }

    Setup setup = Setup::make(source, target, opts.sigma2, opts.w);
    Moving& mv = setup.moving;
    const Fixed& fx = setup.fixed;
    const std::size_t m = mv.size(), n = fx.size();

    double bm[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, t[3] = {0, 0, 0};
    double sigma2 = setup.sigma2;
    std::size_t iterations = 0;
    bool converged = false;
    bool singular = false;

    const bool fast = runs_fast(opts.method, m, n);
    if (fast) mv.keep_double_positions();
    detail::EStepRunner step(fast, opts.gauss_tolerance, parallel, cancel);
    const FastEStep& fe = step.fe;
    std::vector<double> moved(fast ? 3 * m : 0);
    // The rigid fit's endings, and the deformable fit's stall window: with twelve parameters the
    // transform follows the single-precision E-step's rounding, and the variance then wanders at
    // its floor (relative steps near 1e-4 on noisy clouds) instead of meeting the tolerance.
    detail::StallWindow window(sigma2);

    while (true) {
        if (cancelled(cancel)) break;
        const EStep& e = step.run(mv, fx, sigma2, outlier_term(sigma2, setup.outlier_weight), landmarks);
        if (!(std::isfinite(e.np) && e.np > 0.0)) break;

        // M-step: μx, μy, A = X̂ᵀPᵀŶ, C = Ŷᵀd(P1)Ŷ, B = A·C⁻¹, t = μx − B·μy.
        double mux[3], muy[3];
        detail::weighted_means(e, mv, fx, mux, muy);
        double acov[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        double ycov[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        for (std::size_t k = 0; k < m; ++k) {
            const double d[3] = {mv.x[k] - muy[0], mv.y[k] - muy[1], mv.z[k] - muy[2]};
            const double p1 = e.p1[k];
            const double av[3] = {e.px[3 * k] - p1 * mux[0], e.px[3 * k + 1] - p1 * mux[1],
                                  e.px[3 * k + 2] - p1 * mux[2]};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    acov[i][j] += av[i] * d[j];
                    ycov[i][j] += (p1 * d[i]) * d[j];
                }
        }
        double nb[3][3];
        if (!solve_affine(acov, ycov, nb)) {
            singular = true;
            break;
        }
        double bmu[3], nt[3];
        mat_vec(nb, muy, bmu);
        bool finite = true;
        for (int a = 0; a < 3; ++a) {
            nt[a] = mux[a] - bmu[a];
            finite = finite && std::isfinite(nt[a]);
            for (int j = 0; j < 3; ++j) finite = finite && std::isfinite(nb[a][j]);
        }
        if (!finite) break;
        std::memcpy(bm, nb, sizeof bm);
        std::memcpy(t, nt, sizeof t);

        double s2new;
        if (fast) {
            // The residual about each point's own posterior moments: no cancellation as σ² → 0.
            for (std::size_t k = 0; k < m; ++k) {
                const double y[3] = {mv.x[k], mv.y[k], mv.z[k]};
                double by[3];
                mat_vec(bm, y, by);
                for (int a = 0; a < 3; ++a) moved[3 * k + a] = by[a] + t[a];
            }
            s2new = fast_variance(fe, mv, moved.data());
            mv.move_by_rows(moved.data(), moved.size());
        } else {
            for (std::size_t k = 0; k < m; ++k) {
                const double y[3] = {mv.x[k], mv.y[k], mv.z[k]};
                double by[3];
                mat_vec(bm, y, by);
                mv.move_point(k, by[0] + t[0], by[1] + t[1], by[2] + t[2]);
            }
            // The full weighted residual tr(X̂ᵀd(Pᵀ1)X̂) − 2·tr(A·Bᵀ) + tr(B·C·Bᵀ); at the exact
            // solution the last two terms are Fig. 3's −tr(A·Bᵀ).
            double sxx = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double dx = fx.x[k] - mux[0], dy = fx.y[k] - mux[1], dz = fx.z[k] - mux[2];
                sxx += e.pt1[k] * (dx * dx + dy * dy + dz * dz);
            }
            double ab = 0.0, bcb = 0.0;
            for (int i = 0; i < 3; ++i) {
                double cb[3];
                mat_vec(ycov, bm[i], cb);
                for (int j = 0; j < 3; ++j) {
                    ab += acov[i][j] * bm[i][j];
                    bcb += bm[i][j] * cb[j];
                }
            }
            s2new = (sxx - 2.0 * ab + bcb) / (e.np * 3.0);
        }
        ++iterations;
        // A variance that is no longer positive and finite ends the fit, which keeps the last one.
        const bool degenerate = !(std::isfinite(s2new) && s2new > 0.0);
        double rel = 0.0;
        bool stalled = false;
        if (!degenerate) {
            rel = std::fabs(s2new - sigma2) / sigma2;
            stalled = window.stalled(sigma2, s2new);
            sigma2 = s2new;
        }
        if (!publish(opts.monitor, [&] { return affine_state(setup, iterations, sigma2, bm, t); })) break;
        if (degenerate || (fast && sigma2 < kFastResolvedSigma2) || rel <= opts.tolerance || stalled) {
            converged = true;
            break;
        }
        if (iterations >= opts.max_iterations) break;
    }

    AffineResult res;
    std::memcpy(res.matrix, bm, sizeof bm);
    caller_map(setup, bm, t, res.translation);
    res.sigma2 = caller_variance(setup, sigma2);
    res.nrms = setup.target_rms > 0.0 ? std::sqrt(3.0 * sigma2) / setup.target_rms : std::nan("");
    res.iterations = iterations;
    bool finite = true;
    for (int i = 0; i < 3; ++i) finite = finite && std::isfinite(res.translation[i]);
    res.converged = converged && finite;
    res.singular = singular;
    res.fast = fast;
    res.error_bound = step.bound;
    return res;
}

Result<AffineResult> affine_register(const CloudView& source, const CloudView& target, const AffineOptions& opts,
                                     CancelFlag cancel, const Landmarks& landmarks) {
    return checked_single_fit(source, target, opts, check_affine_options(opts), landmarks,
                              [&] { return affine_register_inner(source, target, opts, true, cancel, landmarks); });
}

Result<std::vector<AffineResult>> affine_register_batch(const std::vector<CloudView>& sources,
                                                        const std::vector<CloudView>& targets,
                                                        const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                        const AffineOptions& opts, bool progress, CancelFlag cancel) {
    return checked_batch<AffineResult>(sources, targets, pairs, opts, check_affine_options(opts), progress, cancel,
                                       "Aligning", [&](const CloudView& s, const CloudView& t, const AffineOptions& o) {
                                           return affine_register_inner(s, t, o, false, cancel);
                                       });
}

}  // namespace tarvic
