// Rigid and similarity Coherent Point Drift (Myronenko & Song 2010, Fig. 2).
#include "tarvic/rigid.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "batch.hpp"
#include "em_step.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/monitor.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {

namespace {

bool sign_bit_clear(double v) { return !std::signbit(v); }

// IEEE 754 total order for the values that occur here (no NaN payload games): −0 < +0.
bool total_less(double a, double b) {
    if (a == b) return std::signbit(a) && !std::signbit(b);
    return a < b;
}

void mat_vec(const double a[3][3], const double v[3], double out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = a[i][0] * v[0] + a[i][1] * v[1] + a[i][2] * v[2];
}

void cross(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

double dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

double det_cols(const double a[3], const double b[3], const double c[3]) {
    double bc[3];
    cross(b, c, bc);
    return dot(a, bc);
}

// u = A·v / |A·v| when that length is positive and finite.
bool left_vector(const double a[3][3], const double v[3], double u[3]) {
    double av[3];
    mat_vec(a, v, av);
    const double sq = dot(av, av);
    if (!(sq > 0.0)) return false;
    const double len = std::sqrt(sq);
    if (std::isinf(len)) return false;
    for (int i = 0; i < 3; ++i) u[i] = av[i] / len;
    return true;
}

// u = (A·v − (u1·A·v)·u1) normalised, when that length is finite and above `tau`. In exact
// arithmetic A·v2 is orthogonal to u1 already; when σ2 sits near the rounding floor of AᵀA
// (collinear or planar clouds, whose A has rank one or two) A·v2 is mostly noise, partly along
// u1, and a left basis that is not orthonormal makes R no rotation at all.
bool orthogonal_left_vector(const double a[3][3], const double v[3], const double u1[3], double tau, double u[3]) {
    double av[3];
    mat_vec(a, v, av);
    const double c = dot(u1, av);
    for (int i = 0; i < 3; ++i) av[i] -= c * u1[i];
    const double sq = dot(av, av);
    if (!(sq > 0.0)) return false;
    const double len = std::sqrt(sq);
    if (std::isinf(len) || !(len > tau)) return false;
    for (int i = 0; i < 3; ++i) u[i] = av[i] / len;
    return true;
}

// The translation in the caller's units of the normalised fit x' ↦ s·R·x' + t', where
// x' = (x − c₀)/λ: x ↦ s·R·x + c₀ + λ·t' − s·R·c₀.
void caller_translation(const Setup& setup, double s, const double rot[3][3], const double t[3], double out[3]) {
    const double lam = setup.norm_scale;
    const double* c0 = setup.centre;
    double rc[3];
    mat_vec(rot, c0, rc);
    for (int a = 0; a < 3; ++a) out[a] = c0[a] + lam * t[a] - s * rc[a];
}

// A normalised variance in squared caller units.
double caller_sigma2(const Setup& setup, double sigma2) {
    const double lam = setup.norm_scale;
    const double l2 = lam * lam;
    // λ² alone overflows (or underflows) for coordinates beyond about 1e154 (below 1e-154), where
    // λ²·σ² itself may still be representable.
    return (std::isfinite(l2) && l2 >= std::numeric_limits<double>::min()) ? l2 * sigma2 : sigma2 * lam * lam;
}

// What an iteration publishes: the transform and variance the result would report if it stopped here.
FitState rigid_state(const Setup& setup, std::size_t iterations, double sigma2, double s, const double rot[3][3],
                     const double t[3]) {
    FitState st;
    st.iteration = iterations;
    st.sigma2 = caller_sigma2(setup, sigma2);
    st.has_matrix = true;
    double tr[3];
    caller_translation(setup, s, rot, t, tr);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) st.matrix[i][j] = s * rot[i][j];
        st.matrix[i][3] = tr[i];
    }
    return st;
}

// A similarity fit's M-step sums from its posterior at the target points. The moving points sit
// at c_m = s0·R0·y_m + t0 (the current map of the source y): the sums are formed about c, where
// the E-step's moments are, and carried back to y by that map's inverse,
// y − μy = R0ᵀ·(c − μc)/s0.
void target_msums(const FastTargetEStep& e, const Fixed& fx, double s0, const double r0[3][3], const double t0[3],
                  double mux[3], double muy[3], double acov[3][3], double& wsum) {
    const std::size_t n = fx.size();
    double sx[3] = {0, 0, 0}, sc[3] = {0, 0, 0};
    for (std::size_t j = 0; j < n; ++j) {
        const double x[3] = {fx.x[j], fx.y[j], fx.z[j]};
        const double p = e.pt1[j];
        for (int a = 0; a < 3; ++a) {
            sx[a] += p * x[a];
            sc[a] += p * x[a] + e.v[3 * j + a];
        }
    }
    double muc[3];
    for (int a = 0; a < 3; ++a) {
        mux[a] = sx[a] / e.np;
        muc[a] = sc[a] / e.np;
    }
    // Σ_mn P_mn (x_n − μx)(c_m − μc)ᵀ and Σ_mn P_mn |c_m − μc|², each c_m − μc taken as
    // (x_n − μc) + (c_m − x_n) so that the sums about x_n enter as they are.
    double ac[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double wc = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double x[3] = {fx.x[j], fx.y[j], fx.z[j]};
        const double p = e.pt1[j];
        const double* v = e.v.data() + 3 * j;
        const double dx[3] = {x[0] - mux[0], x[1] - mux[1], x[2] - mux[2]};
        const double dc[3] = {x[0] - muc[0], x[1] - muc[1], x[2] - muc[2]};
        const double g[3] = {p * dc[0] + v[0], p * dc[1] + v[1], p * dc[2] + v[2]};
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) ac[i][k] += dx[i] * g[k];
        wc += (p * dot(dc, dc) + 2.0 * dot(dc, v)) + e.r[j];
    }
    double back[3] = {muc[0] - t0[0], muc[1] - t0[1], muc[2] - t0[2]};
    for (int i = 0; i < 3; ++i) {
        muy[i] = (r0[0][i] * back[0] + r0[1][i] * back[1] + r0[2][i] * back[2]) / s0;
        for (int k = 0; k < 3; ++k) acov[i][k] = (ac[i][0] * r0[0][k] + ac[i][1] * r0[1][k] + ac[i][2] * r0[2][k]) / s0;
    }
    wsum = wc / (s0 * s0);
}

// Σ_mn P_mn |x_n − T(y_m)|² / (3·np) for the new map T = (s, R, t), from the sums about each
// target point: T(y_m) = L·c_m + b with L = (s/s0)·R·R0ᵀ and b = t − L·t0, and with
// c_m = x_n + d, x_n − T(y_m) = e_n − L·d where e_n = (I − L)·x_n − b, whose square sums to
// pt1_n·|e_n|² − 2·e_n·L·v_n + (s/s0)²·r_n: no cancellation as σ² → 0.
double target_variance(const FastTargetEStep& e, const Fixed& fx, double s0, const double r0[3][3],
                       const double t0[3], double s, const double rot[3][3], const double t[3]) {
    const double k = s / s0;
    double l[3][3], il[3][3], b[3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            l[i][j] = k * ((rot[i][0] * r0[j][0] + rot[i][1] * r0[j][1]) + rot[i][2] * r0[j][2]);
            il[i][j] = (i == j ? 1.0 : 0.0) - l[i][j];
        }
    }
    for (int i = 0; i < 3; ++i) b[i] = t[i] - ((l[i][0] * t0[0] + l[i][1] * t0[1]) + l[i][2] * t0[2]);
    double sum = 0.0;
    for (std::size_t j = 0; j < fx.size(); ++j) {
        const double x[3] = {fx.x[j], fx.y[j], fx.z[j]};
        double en[3], lv[3];
        mat_vec(il, x, en);
        mat_vec(l, e.v.data() + 3 * j, lv);
        for (int a = 0; a < 3; ++a) en[a] -= b[a];
        sum += (e.pt1[j] * dot(en, en) - 2.0 * dot(en, lv)) + (k * k) * e.r[j];
    }
    return sum / (3.0 * e.np);
}

}  // namespace

void fit_rotation(const double a[3][3], double r[3][3]) {
    // B = AᵀA; its eigenvectors are A's right singular vectors.
    double b[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b[i][j] = a[0][i] * a[0][j] + a[1][i] * a[1][j] + a[2][i] * a[2][j];
    double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    constexpr int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int sweep = 0; sweep < 24; ++sweep) {
        const double off = std::fabs(b[0][1]) + std::fabs(b[0][2]) + std::fabs(b[1][2]);
        const double diag = std::fabs(b[0][0]) + std::fabs(b[1][1]) + std::fabs(b[2][2]);
        if (off <= 2.220446049250313e-16 * diag) break;
        for (const auto& pq : pairs) {
            const int p = pq[0], q = pq[1];
            if (b[p][q] == 0.0) continue;
            const double theta = (b[q][q] - b[p][p]) / (2.0 * b[p][q]);
            const double t = (sign_bit_clear(theta) ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
            const double c = 1.0 / std::sqrt(t * t + 1.0);
            const double s = t * c;
            b[p][p] -= t * b[p][q];
            b[q][q] += t * b[p][q];
            b[p][q] = b[q][p] = 0.0;
            const int o = 3 - p - q;
            const double rp = b[o][p], rq = b[o][q];
            b[o][p] = b[p][o] = c * rp - s * rq;
            b[o][q] = b[q][o] = s * rp + c * rq;
            for (int k = 0; k < 3; ++k) {
                const double vp = v[k][p], vq = v[k][q];
                v[k][p] = c * vp - s * vq;
                v[k][q] = s * vp + c * vq;
            }
        }
    }
    int idx[3] = {0, 1, 2};
    std::stable_sort(idx, idx + 3, [&](int x, int y) { return total_less(b[y][y], b[x][x]); });
    double sig[3], vk[3][3];
    for (int k = 0; k < 3; ++k) {
        sig[k] = std::sqrt(std::max(b[idx[k]][idx[k]], 0.0));
        for (int i = 0; i < 3; ++i) vk[k][i] = v[i][idx[k]];
    }
    const double tau = 1e-12 * sig[0];
    auto identity = [&] {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) r[i][j] = i == j ? 1.0 : 0.0;
    };
    double u[3][3];
    if (sig[0] <= tau || !left_vector(a, vk[0], u[0])) {
        identity();
        return;
    }
    if (sig[1] > tau && orthogonal_left_vector(a, vk[1], u[0], tau, u[1])) {
        // A·v3 / σ3 is ±(u1 × u2) in exact arithmetic, but pure noise when σ3 is at the rounding
        // floor (planar clouds); the cross product has no such noise, and the handedness rule
        // below picks its sign.
        cross(u[0], u[1], u[2]);
    } else {
        // Rank one: any unit vector orthogonal to u1 completes the basis.
        const double e[3] = {std::fabs(u[0][0]) < 0.9 ? 1.0 : 0.0, std::fabs(u[0][0]) < 0.9 ? 0.0 : 1.0, 0.0};
        double ue[3];
        cross(u[0], e, ue);
        const double len = std::sqrt(dot(ue, ue));
        for (int i = 0; i < 3; ++i) u[1][i] = ue[i] / len;
        cross(u[0], u[1], u[2]);
    }
    // No reflections: flip the least significant left vector when the bases disagree in handedness.
    if (det_cols(u[0], u[1], u[2]) * det_cols(vk[0], vk[1], vk[2]) < 0.0)
        for (int i = 0; i < 3; ++i) u[2][i] = -u[2][i];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = u[0][i] * vk[0][j] + u[1][i] * vk[1][j] + u[2][i] * vk[2][j];
}

RigidTransform nearest_similarity(const Affine3& t) {
    RigidTransform out;
    fit_rotation(t.matrix, out.rotation);
    double tr = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) tr += t.matrix[i][j] * out.rotation[i][j];
    out.scale = tr / 3.0;
    std::memcpy(out.translation, t.translation, sizeof out.translation);
    return out;
}

RigidResult rigid_register_inner(const CloudView& source, const CloudView& target, const RigidOptions& opts,
                                 bool parallel, CancelFlag cancel, const Landmarks& landmarks) {
    if (opts.init) {
        // Fit the source where the initial similarity puts it (frame and starting variance
        // included), then report p ↦ s·R·(s0·R0·p + t0) + t.
        const RigidTransform start = nearest_similarity(*opts.init);
        const Array2 placed = start.apply(source).value();
        if (opts.monitor) {
            double m[4][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}};
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) m[i][j] = start.scale * start.rotation[i][j];
                m[i][3] = start.translation[i];
            }
            opts.monitor->set_start(m);
        }
        RigidOptions rest = opts;
        rest.init.reset();
        RigidResult res = rigid_register_inner(placed.view(), target, rest, parallel, cancel, landmarks);
        double rot[3][3], t0[3];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                rot[i][j] = (res.rotation[i][0] * start.rotation[0][j] + res.rotation[i][1] * start.rotation[1][j]) +
                            res.rotation[i][2] * start.rotation[2][j];
            t0[i] = (res.rotation[i][0] * start.translation[0] + res.rotation[i][1] * start.translation[1]) +
                    res.rotation[i][2] * start.translation[2];
        }
        bool finite = true;
        for (int i = 0; i < 3; ++i) {
            res.translation[i] = res.scale * t0[i] + res.translation[i];
            finite = finite && std::isfinite(res.translation[i]);
        }
        std::memcpy(res.rotation, rot, sizeof rot);
        res.scale *= start.scale;
        res.converged = res.converged && finite && std::isfinite(res.scale);
        return res;
    }
    Setup setup = Setup::make(source, target, opts.sigma2, opts.w);
    Moving& mv = setup.moving;
    const Fixed& fx = setup.fixed;
    const std::size_t m = mv.size(), n = fx.size();

    double s = 1.0, rot[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, t[3] = {0, 0, 0};
    double sigma2 = setup.sigma2;
    std::size_t iterations = 0;
    bool converged = false;

    const bool fast = runs_fast(opts.method, m, n);
    if (fast) mv.keep_double_positions();
    detail::EStepRunner step(fast, opts.gauss_tolerance, parallel, cancel);
    const FastEStep& fe = step.fe;
    std::vector<double> moved(fast ? 3 * m : 0);

    while (true) {
        if (cancelled(cancel)) break;
        const double c = outlier_term(sigma2, setup.outlier_weight);
        // The fast path sums at the target points alone while the current map can be undone (a
        // scale of zero, where the fit has collapsed every point onto one, cannot).
        const bool at_targets = fast && s > 0.0 && std::isfinite(s);
        double mux[3], muy[3];
        double acov[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
        double wsum = 0.0, np;
        if (at_targets) {
            const FastTargetEStep& e = step.run_targets(mv, fx, sigma2, c, landmarks);
            np = e.np;
            if (!(std::isfinite(np) && np > 0.0)) break;
            target_msums(e, fx, s, rot, t, mux, muy, acov, wsum);
        } else {
            const EStep& e = step.run(mv, fx, sigma2, c, landmarks);
            np = e.np;
            if (!(std::isfinite(np) && np > 0.0)) break;

            // M-step (eqs. for μx, μy, A, the rotation, scale and translation).
            detail::weighted_means(e, mv, fx, mux, muy);
            for (std::size_t k = 0; k < m; ++k) {
                const double d[3] = {mv.x[k] - muy[0], mv.y[k] - muy[1], mv.z[k] - muy[2]};
                const double p1 = e.p1[k];
                const double av[3] = {e.px[3 * k] - p1 * mux[0], e.px[3 * k + 1] - p1 * mux[1],
                                      e.px[3 * k + 2] - p1 * mux[2]};
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) acov[i][j] += av[i] * d[j];
                wsum += p1 * (d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            }
        }
        double nr[3][3];
        fit_rotation(acov, nr);
        double tr = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) tr += acov[i][j] * nr[i][j];
        double ns = 1.0;
        if (opts.scale) {
            ns = (wsum > 0.0 && std::isfinite(tr)) ? tr / wsum : 1.0;
            if (opts.scale_bounds) ns = std::min(std::max(ns, opts.scale_bounds->first), opts.scale_bounds->second);
        }
        double rmu[3], nt[3];
        mat_vec(nr, muy, rmu);
        for (int a = 0; a < 3; ++a) nt[a] = mux[a] - ns * rmu[a];
        bool finite = std::isfinite(ns);
        for (int i = 0; i < 3; ++i) {
            finite = finite && std::isfinite(nt[i]);
            for (int j = 0; j < 3; ++j) finite = finite && std::isfinite(nr[i][j]);
        }
        if (!finite) break;
        const double s0 = s;
        double r0[3][3], t0[3];
        std::memcpy(r0, rot, sizeof r0);
        std::memcpy(t0, t, sizeof t0);
        s = ns;
        std::memcpy(rot, nr, sizeof rot);
        std::memcpy(t, nt, sizeof t);

        double s2new;
        if (fast) {
            for (std::size_t k = 0; k < m; ++k) {
                const double y[3] = {mv.x[k], mv.y[k], mv.z[k]};
                double ry[3];
                mat_vec(rot, y, ry);
                for (int a = 0; a < 3; ++a) moved[3 * k + a] = s * ry[a] + t[a];
            }
            // The residual from the posterior's moments about each point: no cancellation as σ² → 0.
            s2new = at_targets ? target_variance(step.ft, fx, s0, r0, t0, s, rot, t) : fast_variance(fe, mv, moved.data());
            mv.move_by_rows(moved.data(), moved.size());
        } else {
            for (std::size_t k = 0; k < m; ++k) {
                const double y[3] = {mv.x[k], mv.y[k], mv.z[k]};
                double ry[3];
                mat_vec(rot, y, ry);
                mv.move_point(k, s * ry[0] + t[0], s * ry[1] + t[1], s * ry[2] + t[2]);
            }
            // Full weighted residual of the fitted transform, valid for a held or clamped scale too.
            double sxx = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double dx = fx.x[k] - mux[0], dy = fx.y[k] - mux[1], dz = fx.z[k] - mux[2];
                sxx += step.exact.pt1[k] * (dx * dx + dy * dy + dz * dz);
            }
            s2new = ((s * s) * wsum + (sxx - tr * (s + s))) / (np * 3.0);
        }
        ++iterations;
        // A variance that is no longer positive and finite ends the fit, which keeps the last one.
        const bool degenerate = !(std::isfinite(s2new) && s2new > 0.0);
        double rel = 0.0;
        if (!degenerate) {
            rel = std::fabs(s2new - sigma2) / sigma2;
            sigma2 = s2new;
        }
        if (!publish(opts.monitor, [&] { return rigid_state(setup, iterations, sigma2, s, rot, t); })) break;
        if (degenerate || (fast && sigma2 < kFastResolvedSigma2) || rel <= opts.tolerance) {
            converged = true;
            break;
        }
        if (iterations >= opts.max_iterations) break;
    }

    RigidResult res;
    res.scale = s;
    std::memcpy(res.rotation, rot, sizeof rot);
    caller_translation(setup, s, rot, t, res.translation);
    res.sigma2 = caller_sigma2(setup, sigma2);
    res.nrms = setup.target_rms > 0.0 ? std::sqrt(3.0 * sigma2) / setup.target_rms : std::nan("");
    res.iterations = iterations;
    // The fit is checked finite in the normalised frame; its caller-unit form can still overflow
    // (coordinates near the top of the range). A transform the caller cannot use is not converged.
    bool finite = std::isfinite(res.scale);
    for (int i = 0; i < 3; ++i) {
        finite = finite && std::isfinite(res.translation[i]);
        for (int j = 0; j < 3; ++j) finite = finite && std::isfinite(res.rotation[i][j]);
    }
    res.converged = converged && finite;
    res.fast = fast;
    res.error_bound = step.bound;
    return res;
}

Result<RigidResult> rigid_register(const CloudView& source, const CloudView& target, const RigidOptions& opts,
                                   CancelFlag cancel, const Landmarks& landmarks) {
    return checked_single_fit(source, target, opts, check_rigid_options(opts), landmarks,
                              [&] { return rigid_register_inner(source, target, opts, true, cancel, landmarks); });
}

Result<std::vector<RigidResult>> rigid_register_batch(const std::vector<CloudView>& sources,
                                                      const std::vector<CloudView>& targets,
                                                      const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                                      const RigidOptions& opts, bool progress, CancelFlag cancel) {
    return checked_batch<RigidResult>(sources, targets, pairs, opts, check_rigid_options(opts), progress, cancel,
                                      "Aligning", [&](const CloudView& s, const CloudView& t, const RigidOptions& o) {
                                          return rigid_register_inner(s, t, o, false, cancel);
                                      });
}

}  // namespace tarvic
