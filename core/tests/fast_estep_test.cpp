#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "tarvic/fast_estep.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/threads.hpp"
#include "test_util.hpp"

using namespace tarvic;
using tarvic::testing::surface_cloud;

namespace {

tarvic::Setup setup_of(const Array2& s, const Array2& t, double w) {
    tarvic::Setup st = tarvic::Setup::make(s.view(), t.view(), std::nullopt, w);
    st.moving.keep_double_positions();
    return st;
}

// The exact E-step's kernel values (single precision, floored at 2^-126) with every sum in double.
EStep exact_kernel_double_sums(const Moving& mv, const Fixed& fx, float s2, double c) {
    const std::size_t m = mv.size(), n = fx.size();
    const float g = -1.442695f / (s2 + s2);
    EStep e;
    e.p1.assign(m, 0.0);
    e.px.assign(3 * m, 0.0);
    e.pt1.assign(n, 0.0);
    std::vector<double> k(m);
    for (std::size_t j = 0; j < n; ++j) {
        double col = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const float dx = fx.x32[j] - mv.x32[i], dy = fx.y32[j] - mv.y32[i], dz = fx.z32[j] - mv.z32[i];
            const float t = std::max((dz * dz + (dy * dy + dx * dx)) * g, -126.0f);
            k[i] = static_cast<double>(fast_exp2(t));
            col += k[i];
        }
        const double den = std::max(c + col, 1e-30);
        e.pt1[j] = col / den;
        for (std::size_t i = 0; i < m; ++i) {
            const double p = k[i] / den;
            e.p1[i] += p;
            e.px[3 * i] += p * fx.x32[j];
            e.px[3 * i + 1] += p * fx.y32[j];
            e.px[3 * i + 2] += p * fx.z32[j];
        }
    }
    for (double v : e.p1) e.np += v;
    return e;
}

// The posterior sums of the Gaussian floored at e^−708, in extended precision, with the
// magnitudes the fast E-step's bound refers to.
struct Reference {
    std::vector<long double> p1, pt1, px, px_mag;
    long double np = 0;
};

Reference gaussian_reference(const Moving& mv, const Fixed& fx, double sigma2, double c) {
    const std::size_t m = mv.size(), n = fx.size();
    Reference r;
    r.p1.assign(m, 0);
    r.px.assign(3 * m, 0);
    r.px_mag.assign(3 * m, 0);
    r.pt1.assign(n, 0);
    std::vector<long double> k(m);
    // The diagonal of the target cloud's box: px's bound allows for it.
    long double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t j = 0; j < n; ++j) {
        const long double x[3] = {fx.x[j], fx.y[j], fx.z[j]};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], x[a]);
            hi[a] = std::max(hi[a], x[a]);
        }
    }
    const long double diag = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                       (hi[2] - lo[2]) * (hi[2] - lo[2]));
    for (std::size_t j = 0; j < n; ++j) {
        long double col = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const long double dx = static_cast<long double>(fx.x[j]) - mv.cx[i],
                              dy = static_cast<long double>(fx.y[j]) - mv.cy[i],
                              dz = static_cast<long double>(fx.z[j]) - mv.cz[i];
            k[i] = std::exp(std::max(-(dx * dx + dy * dy + dz * dz) / (2.0L * sigma2), -708.0L));
            col += k[i];
        }
        const long double den = col + c;
        r.pt1[j] = col / den;
        for (std::size_t i = 0; i < m; ++i) {
            const long double p = k[i] / den;
            r.p1[i] += p;
            const long double x[3] = {fx.x[j], fx.y[j], fx.z[j]}, y[3] = {mv.cx[i], mv.cy[i], mv.cz[i]};
            const long double l1 = std::fabs(x[0] - y[0]) + std::fabs(x[1] - y[1]) + std::fabs(x[2] - y[2]);
            for (int a = 0; a < 3; ++a) {
                r.px[3 * i + a] += p * x[a];
                r.px_mag[3 * i + a] += p * (std::fabs(x[a]) + std::fabs(y[a]) + l1 + diag);
            }
        }
    }
    for (long double v : r.p1) r.np += v;
    return r;
}

void expect_within_bound(const FastEStep& f, const Reference& r) {
    const double b = f.bound * (1 + 1e-9);
    for (std::size_t i = 0; i < r.p1.size(); ++i) {
        ASSERT_LE(std::fabs(f.sums.p1[i] - r.p1[i]), b * r.p1[i] + 1e-300) << "p1 " << i;
        for (int a = 0; a < 3; ++a)
            ASSERT_LE(std::fabs(f.sums.px[3 * i + a] - r.px[3 * i + a]), b * r.px_mag[3 * i + a] + 1e-300) << "px " << i;
    }
    for (std::size_t j = 0; j < r.pt1.size(); ++j) ASSERT_LE(std::fabs(f.sums.pt1[j] - r.pt1[j]), b) << "pt1 " << j;
    EXPECT_LE(std::fabs(f.sums.np - r.np), b * r.np);
}

}  // namespace

TEST(FastEStep, OracleReproducesTheExactEStepUpToSummationOrder) {
    // The floor-cut-off near path against the exact kernel's values summed in double: equal to
    // 1e-12; against the exact E-step itself (single-precision partial sums): equal to its rounding.
    const Array2 src = surface_cloud(2500, 1), tgt = surface_cloud(3000, 2);
    for (double w : {0.0, 0.1}) {
        tarvic::Setup s = setup_of(src, tgt, w);
        for (double sigma2 : {3e-2, 1e-3, 1e-5}) {
            const double c = outlier_term(sigma2, s.outlier_weight);
            FastEStepOptions o;
            o.oracle = true;
            const FastEStep f = estep_fast(s.moving, s.fixed, sigma2, c, o);
            const EStep ref = exact_kernel_double_sums(s.moving, s.fixed, estep_sigma2(sigma2), c);
            const EStep exact = estep(s.moving, s.fixed, false, nullptr, estep_sigma2(sigma2), c);
            SCOPED_TRACE("w=" + std::to_string(w) + " sigma2=" + std::to_string(sigma2));
            EXPECT_EQ(f.path_targets, GaussPath::Near);
            for (std::size_t j = 0; j < s.fixed.size(); ++j) EXPECT_NEAR(f.sums.pt1[j], ref.pt1[j], 1e-12 * ref.pt1[j]);
            for (std::size_t i = 0; i < s.moving.size(); ++i) {
                EXPECT_NEAR(f.sums.p1[i], ref.p1[i], 1e-12 * ref.p1[i]);
                for (int a = 0; a < 3; ++a)
                    EXPECT_NEAR(f.sums.px[3 * i + a], ref.px[3 * i + a], 1e-12 * (ref.p1[i] + std::fabs(ref.px[3 * i + a])));
                EXPECT_NEAR(f.sums.p1[i], exact.p1[i], 2e-5 * (1 + exact.p1[i]));
            }
            EXPECT_NEAR(f.sums.np, ref.np, 1e-12 * ref.np);
            // The similarity fits' form: the same posterior summed at the target points.
            const FastTargetEStep ft = estep_fast_targets(s.moving, s.fixed, sigma2, c, o);
            EXPECT_EQ(ft.path, GaussPath::Near);
            for (std::size_t j = 0; j < s.fixed.size(); ++j) EXPECT_NEAR(ft.pt1[j], ref.pt1[j], 1e-12 * ref.pt1[j]);
            EXPECT_NEAR(ft.np, ref.np, 1e-12 * ref.np);
        }
    }
}

TEST(FastEStep, WithinItsBoundOfTheFloat64Posterior) {
    // A surface onto a turned copy, a partial overlap with points far from everything (w = 0:
    // their posterior is the clamp's even spread), and outliers with w > 0.
    const Array2 src = surface_cloud(1200, 3);
    Array2 tgt = surface_cloud(1500, 4);
    for (std::size_t i = 0; i < 100; ++i) tgt(i, 0) += 6.0;  // far from every moving point
    for (double w : {0.0, 0.2}) {
        tarvic::Setup s = setup_of(src, tgt, w);
        for (double sigma2 : {0.3, 1e-2, 1e-4, 1e-7}) {
            for (double tol : {1e-3, 1e-6, 1e-9}) {
                const double c = outlier_term(sigma2, s.outlier_weight);
                FastEStepOptions o;
                o.tolerance = tol;
                const FastEStep f = estep_fast(s.moving, s.fixed, sigma2, c, o);
                SCOPED_TRACE("w=" + std::to_string(w) + " sigma2=" + std::to_string(sigma2) + " tol=" + std::to_string(tol));
                EXPECT_LE(f.bound, tol);
                expect_within_bound(f, gaussian_reference(s.moving, s.fixed, sigma2, c));
                if (w == 0.0 && sigma2 <= 1e-4) {
                    EXPECT_GE(f.uniform, 100u);
                }
            }
        }
    }
}

TEST(FastEStep, MovingPointsBeyondEveryTargetKeepTheirClampedSums) {
    // Moving points 37.6σ and more from every target: each of their kernel values is the clamp
    // e^−708, so their p1 and px are some 1e-305 and made of terms below the normal range. They
    // must still be within the bound relative to their own size, with no absolute slack.
    Array2 src = surface_cloud(900, 5);
    const Array2 tgt = surface_cloud(1000, 6);
    for (std::size_t i = 0; i < 40; ++i) src(i, 1) += 30.0;
    for (double w : {0.0, 0.2}) {
        tarvic::Setup s = setup_of(src, tgt, w);
        for (double sigma2 : {1e-3, 1e-5}) {
            const double c = outlier_term(sigma2, s.outlier_weight);
            FastEStepOptions o;
            o.tolerance = 1e-6;
            const FastEStep f = estep_fast(s.moving, s.fixed, sigma2, c, o);
            const Reference r = gaussian_reference(s.moving, s.fixed, sigma2, c);
            SCOPED_TRACE("w=" + std::to_string(w) + " sigma2=" + std::to_string(sigma2));
            const long double b = f.bound * (1 + 1e-9);
            for (std::size_t i = 0; i < 40; ++i) {
                ASSERT_GT(r.p1[i], 0.0L);
                ASSERT_LE(std::fabs(f.sums.p1[i] - r.p1[i]), b * r.p1[i]) << "p1 " << i;
                for (int a = 0; a < 3; ++a)
                    ASSERT_LE(std::fabs(f.sums.px[3 * i + a] - r.px[3 * i + a]), b * r.px_mag[3 * i + a]) << "px " << i;
            }
        }
    }
}

TEST(FastEStep, TargetSumsWithinTheirBoundOfTheFloat64Posterior) {
    // The clouds of the test above. The bound of v and r is relative to Σ_m P_mn·|y_m − x_n|^k where
    // they were summed pair by pair, and to the larger Σ_m P_mn·(|y_ma − x_na| + d) (each axis) and
    // Σ_m P_mn·(|y_m − x_n| + 2d)² where the far path formed them, d the diagonal of the moving
    // points' box.
    const Array2 src = surface_cloud(1200, 3);
    Array2 tgt = surface_cloud(1500, 4);
    for (std::size_t i = 0; i < 100; ++i) tgt(i, 0) += 6.0;
    for (double w : {0.0, 0.2}) {
        tarvic::Setup s = setup_of(src, tgt, w);
        const Moving& mv = s.moving;
        const Fixed& fx = s.fixed;
        const std::size_t m = mv.size(), n = fx.size();
        long double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t i = 0; i < m; ++i) {
            const long double y[3] = {mv.cx[i], mv.cy[i], mv.cz[i]};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], y[a]);
                hi[a] = std::max(hi[a], y[a]);
            }
        }
        const long double diag = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                           (hi[2] - lo[2]) * (hi[2] - lo[2]));
        for (double sigma2 : {0.3, 1e-2, 1e-4, 1e-7}) {
            const double c = outlier_term(sigma2, s.outlier_weight);
            // The float64 posterior's sums at each target point and their magnitudes, both kinds.
            std::vector<long double> pt1(n), v(3 * n), r(n), near1(3 * n), near2(n), far1(3 * n), far2(n);
            std::vector<long double> k(m);
            for (std::size_t j = 0; j < n; ++j) {
                const long double x[3] = {fx.x[j], fx.y[j], fx.z[j]};
                long double col = 0;
                for (std::size_t i = 0; i < m; ++i) {
                    const long double dx = mv.cx[i] - x[0], dy = mv.cy[i] - x[1], dz = mv.cz[i] - x[2];
                    k[i] = std::exp(std::max(-(dx * dx + dy * dy + dz * dz) / (2.0L * sigma2), -708.0L));
                    col += k[i];
                }
                const long double den = col + c;
                pt1[j] = col / den;
                for (std::size_t i = 0; i < m; ++i) {
                    const long double p = k[i] / den, y[3] = {mv.cx[i], mv.cy[i], mv.cz[i]};
                    for (int a = 0; a < 3; ++a) {
                        const long double d = y[a] - x[a];
                        v[3 * j + a] += p * d;
                        r[j] += p * d * d;
                        for (int b = 0; b < 3; ++b) near1[3 * j + b] += p * std::fabs(d);  // |d|₁ on each axis
                        far1[3 * j + a] += p * (std::fabs(d) + diag);
                    }
                    const long double d2 = (y[0] - x[0]) * (y[0] - x[0]) + (y[1] - x[1]) * (y[1] - x[1]) +
                                           (y[2] - x[2]) * (y[2] - x[2]);
                    near2[j] += p * d2;
                    const long double l = std::sqrt(d2) + 2.0L * diag;
                    far2[j] += p * l * l;
                }
            }
            for (double tol : {1e-3, 1e-6, 1e-9}) {
                FastEStepOptions opt;
                opt.tolerance = tol;
                const FastTargetEStep f = estep_fast_targets(mv, fx, sigma2, c, opt);
                SCOPED_TRACE("w=" + std::to_string(w) + " sigma2=" + std::to_string(sigma2) + " tol=" + std::to_string(tol));
                EXPECT_GT(f.bound, 0.0);
                EXPECT_LE(f.bound, tol);
                const bool far = f.path == GaussPath::Far;
                const double b = f.bound * (1 + 1e-9);
                long double np = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    ASSERT_LE(std::fabs(f.pt1[j] - pt1[j]), b) << "pt1 " << j;
                    for (int a = 0; a < 3; ++a)
                        ASSERT_LE(std::fabs(f.v[3 * j + a] - v[3 * j + a]), b * (far ? far1 : near1)[3 * j + a] + 1e-300)
                            << "v " << j;
                    ASSERT_LE(std::fabs(f.r[j] - r[j]), b * (far ? far2 : near2)[j] + 1e-300) << "r " << j;
                    np += pt1[j];
                }
                EXPECT_LE(std::fabs(f.np - np), b * static_cast<long double>(n));
            }
        }
    }
}

TEST(FastEStep, VarianceFromMomentsStaysExactWhereTheTextbookFormCancels) {
    // A noise-free copy moved by a known shift: the true variance after moving onto the target
    // is tiny; the moment form gets it to full relative precision.
    const Array2 tgt = surface_cloud(800, 5);
    Array2 src = tgt;
    for (std::size_t i = 0; i < src.rows; ++i) src(i, 0) += 1e-9;
    tarvic::Setup s = setup_of(src, tgt, 0.0);
    const double sigma2 = 1e-16;
    const FastEStep f = estep_fast(s.moving, s.fixed, sigma2, 0.0, FastEStepOptions{});
    // Move every point exactly onto its target counterpart: the variance must come out ~0 (the
    // posterior is one-to-one), and moving by half the gap leaves a quarter of the squared gap.
    std::vector<double> t(3 * s.moving.size());
    for (std::size_t i = 0; i < s.moving.size(); ++i) {
        const double d = (s.fixed.x[i] - s.moving.cx[i]) * 0.5;
        t[3 * i] = s.moving.cx[i] + d;
        t[3 * i + 1] = s.fixed.y[i];
        t[3 * i + 2] = s.fixed.z[i];
    }
    double expect = 0.0;
    for (std::size_t i = 0; i < s.moving.size(); ++i) {
        const double d = s.fixed.x[i] - t[3 * i];
        expect += d * d;
    }
    expect /= 3.0 * static_cast<double>(s.moving.size());
    EXPECT_NEAR(fast_variance(f, s.moving, t.data()), expect, 1e-6 * expect);
}

TEST(FastEStep, SameBitsOnOneTwoAndThreeThreads) {
    tarvic::Setup s = setup_of(surface_cloud(3000, 6), surface_cloud(2800, 7), 0.1);
    std::vector<std::vector<double>> runs;
    for (std::size_t threads : {1, 2, 3}) {
        std::optional<FastEStep> f;
        run_in_pool(threads, [&] { f.emplace(estep_fast(s.moving, s.fixed, 1e-3, 1e-3, FastEStepOptions{})); });
        std::vector<double> all = f->sums.p1;
        all.insert(all.end(), f->sums.px.begin(), f->sums.px.end());
        all.insert(all.end(), f->sums.pt1.begin(), f->sums.pt1.end());
        all.insert(all.end(), f->r.begin(), f->r.end());
        all.push_back(f->sums.np);
        std::optional<FastTargetEStep> ft;
        run_in_pool(threads, [&] { ft.emplace(estep_fast_targets(s.moving, s.fixed, 1e-3, 1e-3, FastEStepOptions{})); });
        all.insert(all.end(), ft->pt1.begin(), ft->pt1.end());
        all.insert(all.end(), ft->v.begin(), ft->v.end());
        all.insert(all.end(), ft->r.begin(), ft->r.end());
        runs.push_back(all);
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(runs[0], runs[2]);
}
