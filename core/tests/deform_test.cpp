// Deformable registration: the low-rank M-step against a dense solve, the loop's endings,
// unit handling, and recovery of a known smooth deformation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "../src/deform_internal.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/lowrank.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {
namespace {

// A wavy sheet z = 0.3·sin(2x)·cos(2y) sampled on a jittered grid over [−1, 1]², row-major n × 3.
Array2 wavy_sheet(std::size_t side, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> jitter(-0.3, 0.3);
    Array2 a(side * side, 3);
    const double step = 2.0 / static_cast<double>(side - 1);
    for (std::size_t i = 0; i < side; ++i)
        for (std::size_t j = 0; j < side; ++j) {
            const double x = -1.0 + step * (static_cast<double>(i) + jitter(gen));
            const double y = -1.0 + step * (static_cast<double>(j) + jitter(gen));
            const std::size_t r = i * side + j;
            a(r, 0) = x;
            a(r, 1) = y;
            a(r, 2) = 0.3 * std::sin(2.0 * x) * std::cos(2.0 * y);
        }
    return a;
}

// A smooth bend-and-twist of the whole space.
Array2 deformed(const Array2& p) {
    Array2 q(p.rows, 3);
    for (std::size_t i = 0; i < p.rows; ++i) {
        const double x = p(i, 0), y = p(i, 1), z = p(i, 2);
        q(i, 0) = x + 0.12 * std::sin(1.5 * y);
        q(i, 1) = y + 0.10 * std::cos(1.2 * x);
        q(i, 2) = z + 0.15 * x * y;
    }
    return q;
}

// Source + K(source, source)·w with the absolute width, in f64: the fitted positions.
Array2 moved(const DeformResult& r) {
    const std::size_t n = r.source.rows;
    Array2 out = r.source;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double d2 = 0.0;
            for (std::size_t k = 0; k < 3; ++k) d2 += (r.source(i, k) - r.source(j, k)) * (r.source(i, k) - r.source(j, k));
            const double g = std::exp(-d2 / (2.0 * r.beta * r.beta));
            for (std::size_t k = 0; k < 3; ++k) out(i, k) += g * r.w(j, k);
        }
    return out;
}

double rms_distance(const Array2& a, const Array2& b) {
    double s = 0.0;
    for (std::size_t k = 0; k < a.values.size(); ++k) s += (a.values[k] - b.values[k]) * (a.values[k] - b.values[k]);
    return std::sqrt(s / static_cast<double>(a.rows));
}

DeformOptions options() {
    DeformOptions o;
    o.alpha = 2.0;
    o.beta = 1.0;
    o.w = 0.0;
    o.tolerance = 1e-6;
    o.max_iterations = 200;
    o.num_modes = 100;
    return o;
}

// Dense Gaussian elimination with partial pivoting in long double: A (n×n) X = B (n×3).
std::vector<double> dense_solve(std::vector<long double> a, std::vector<long double> b, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[piv * n + c])) piv = r;
        for (std::size_t k = 0; k < n; ++k) std::swap(a[c * n + k], a[piv * n + k]);
        for (std::size_t k = 0; k < 3; ++k) std::swap(b[c * 3 + k], b[piv * 3 + k]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const long double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            for (std::size_t k = 0; k < 3; ++k) b[r * 3 + k] -= f * b[c * 3 + k];
        }
    }
    std::vector<double> x(3 * n);
    for (std::size_t r = n; r-- > 0;)
        for (std::size_t k = 0; k < 3; ++k) {
            long double s = b[r * 3 + k];
            for (std::size_t c = r + 1; c < n; ++c) s -= a[r * n + c] * static_cast<long double>(x[c * 3 + k]);
            x[r * 3 + k] = static_cast<double>(s / a[r * n + r]);
        }
    return x;
}

double relative_error(const std::vector<double>& got, const std::vector<double>& want) {
    double num = 0.0, den = 0.0;
    for (std::size_t k = 0; k < got.size(); ++k) {
        num += (got[k] - want[k]) * (got[k] - want[k]);
        den += want[k] * want[k];
    }
    return std::sqrt(num / den);
}

TEST(DeformMStep, LowRankAgreesWithDenseSolve) {
    const std::size_t n = 60;
    const float beta = 0.35f;
    const double lambda_sigma2 = 0.3;
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> ud(-1.0, 1.0), up(0.2, 2.0);

    Moving y0;
    for (std::size_t i = 0; i < n; ++i) {
        y0.x.push_back(ud(gen));
        y0.y.push_back(ud(gen));
        y0.z.push_back(ud(gen));
    }
    EStep e;
    e.p1.resize(n);
    e.px.resize(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        e.p1[i] = up(gen);
        e.px[3 * i + 0] = e.p1[i] * (y0.x[i] + 0.1 * ud(gen));
        e.px[3 * i + 1] = e.p1[i] * (y0.y[i] + 0.1 * ud(gen));
        e.px[3 * i + 2] = e.p1[i] * (y0.z[i] + 0.1 * ud(gen));
    }
    const PointsF32 pts = PointsF32::from_columns(y0.x, y0.y, y0.z);
    const Eigenmodes modes = kernel_eigenmodes(pts, beta, 100, nullptr);
    ASSERT_GT(modes.m, 0u);
    ASSERT_LE(modes.m, n);

    detail::MStepWork work(n, modes.m);
    std::vector<double> w(3 * n);
    ASSERT_EQ(detail::lowrank_mstep(y0, modes, e, lambda_sigma2, work, w.data()), detail::MStepStatus::Ok);

    // G = the kernel the library uses (single-precision weights), column by column via K·I.
    std::vector<double> eye(n * n, 0.0), g(n * n);
    for (std::size_t i = 0; i < n; ++i) eye[i * n + i] = 1.0;
    gauss_mul(pts, pts, beta, eye.data(), eye.size(), n, g.data(), g.size(), nullptr);

    // (G + λσ²·diag(p1)⁻¹)·W = diag(p1)⁻¹·px − Y₀.
    std::vector<long double> a(n * n), rhs(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) a[i * n + j] = g[i * n + j];
        a[i * n + i] += lambda_sigma2 / static_cast<long double>(e.p1[i]);
        const double y[3] = {y0.x[i], y0.y[i], y0.z[i]};
        for (std::size_t k = 0; k < 3; ++k) rhs[3 * i + k] = e.px[3 * i + k] / static_cast<long double>(e.p1[i]) - y[k];
    }
    const std::vector<double> w_ref = dense_solve(a, rhs, n);
    EXPECT_LT(relative_error(w, w_ref), 1e-6);

    // The low-rank displacement U·Λ·Uᵀ·W is G·W.
    std::vector<double> v(3 * n), h, v_ref(3 * n, 0.0);
    detail::modes_product(modes, w.data(), true, h, v.data());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < 3; ++k) v_ref[3 * i + k] += g[i * n + j] * w[3 * j + k];
    EXPECT_LT(relative_error(v, v_ref), 1e-6);
}

TEST(DeformMStep, BlockedSumsAgreeAndDoNotDependOnThreads) {
    // The fast path's M-step sums over fixed blocks of points: the same bits serially and on pools
    // of 1, 2 and 3 threads, and the unblocked M-step's values up to the grouping of the sums.
    const std::size_t n = 9000;
    std::mt19937 gen(23);
    std::uniform_real_distribution<double> ud(-1.0, 1.0), up(0.05, 2.0);
    Moving y0;
    EStep e;
    for (std::size_t i = 0; i < n; ++i) {
        y0.x.push_back(ud(gen));
        y0.y.push_back(ud(gen));
        y0.z.push_back(ud(gen));
        e.p1.push_back(up(gen));
        e.px.push_back(e.p1[i] * (y0.x[i] + 0.1 * ud(gen)));
        e.px.push_back(e.p1[i] * (y0.y[i] + 0.1 * ud(gen)));
        e.px.push_back(e.p1[i] * (y0.z[i] + 0.1 * ud(gen)));
    }
    const PointsF32 pts = PointsF32::from_columns(y0.x, y0.y, y0.z);
    const Eigenmodes modes = kernel_eigenmodes(pts, 0.8f, 20, nullptr);
    ASSERT_GT(modes.m, 0u);
    const std::size_t blocks = detail::mstep_blocks(n, modes.m);
    ASSERT_GT(blocks, 1u);

    auto solve = [&](std::size_t b, bool parallel) {
        detail::MStepWork work(n, modes.m, b, parallel);
        std::vector<double> w(3 * n), v(3 * n), h;
        EXPECT_EQ(detail::lowrank_mstep(y0, modes, e, 0.3, work, w.data()), detail::MStepStatus::Ok);
        detail::modes_product(modes, w.data(), true, h, v.data(), b, parallel);
        w.insert(w.end(), v.begin(), v.end());
        return w;
    };
    const std::vector<double> serial = solve(blocks, false), plain = solve(1, false);
    for (std::size_t threads : {1u, 2u, 3u}) {
        std::vector<double> pooled;
        run_in_pool(std::optional<std::size_t>(threads), [&] { pooled = solve(blocks, true); });
        EXPECT_EQ(pooled, serial) << threads << " threads";
    }
    EXPECT_LT(relative_error(serial, plain), 1e-12);
}

TEST(DeformMStep, ModesProductMayOverwriteItsInput) {
    const PointsF32 pts = PointsF32::from_columns({0, 0.3, 0.9, -0.4}, {0, 0.1, -0.2, 0.5}, {0, 0, 0.3, 0.1});
    const Eigenmodes modes = kernel_eigenmodes(pts, 0.5f, 2, nullptr);
    ASSERT_EQ(modes.m, 2u);
    std::vector<double> w = {1, 2, 3, -1, 0, 2, 0.5, 0.5, 0.5, 3, -2, 1};
    std::vector<double> separate(w.size()), h;
    detail::modes_product(modes, w.data(), false, h, separate.data());
    detail::modes_product(modes, w.data(), false, h, w.data());
    EXPECT_EQ(w, separate);
}

TEST(DeformStallWindow, OscillationStopsAndDescentDoesNot) {
    detail::StallWindow osc(1.0);
    double s = 1.0;
    for (int k = 1; k <= 16; ++k) {
        const double next = (k % 2) ? 1.1 : 1.0;
        EXPECT_EQ(osc.stalled(s, next), k == 16) << k;
        s = next;
    }

    detail::StallWindow desc(1.0);
    s = 1.0;
    for (int k = 1; k <= 64; ++k) {
        const double next = s * 0.9;
        ASSERT_FALSE(desc.stalled(s, next)) << k;
        s = next;
    }
    EXPECT_EQ(desc.len, 0u);  // four full windows, reset each time
    EXPECT_EQ(desc.reference, s);
}

TEST(DeformRegister, ValidationOrder) {
    const Array2 good = wavy_sheet(5, 1);
    Array2 empty(0, 3);
    Array2 bad_target = good;
    bad_target(3, 1) = std::nan("");
    DeformOptions o = options();
    o.w = 1.0;

    auto r = deform_register(empty.view(), good.view(), o, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Error::Kind::EmptyCloud);
    EXPECT_STREQ(r.error().name, "source");

    r = deform_register(good.view(), bad_target.view(), o, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Error::Kind::NonFinite);
    EXPECT_STREQ(r.error().name, "target");

    r = deform_register(good.view(), good.view(), o, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Error::Kind::BadOutlierWeight);

    o = options();
    o.alpha = 0.0;
    o.beta = 0.0;
    r = deform_register(good.view(), good.view(), o, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, Error::Kind::NotPositive);
    EXPECT_STREQ(r.error().name, "alpha");
}

class DeformEndings : public ::testing::Test {
protected:
    Array2 source = wavy_sheet(12, 2);
    Array2 target = deformed(source);
};

TEST_F(DeformEndings, CancelledBeforeTheCall) {
    std::atomic<bool> flag{true};
    DeformOptions o = options();
    o.sigma2 = 0.25;
    auto r = deform_register(source.view(), target.view(), o, &flag);
    ASSERT_TRUE(r.ok());
    const DeformResult& d = r.value();
    EXPECT_EQ(d.modes, 0u);
    EXPECT_EQ(d.iterations, 0u);
    EXPECT_FALSE(d.converged);
    for (double v : d.w.values) EXPECT_EQ(v, 0.0);
    EXPECT_NEAR(d.sigma2, 0.25, 1e-15);  // the initial variance, back in caller units
    EXPECT_LT(rms_distance(d.source, source), 1e-14);
}

TEST_F(DeformEndings, IterationCapIsNotConvergence) {
    DeformOptions o = options();
    o.max_iterations = 1;
    o.tolerance = 0.0;
    auto r = deform_register(source.view(), target.view(), o, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().iterations, 1u);
    EXPECT_FALSE(r.value().converged);
    EXPECT_GT(r.value().modes, 0u);
}

TEST_F(DeformEndings, LooseToleranceConvergesAfterOneStep) {
    DeformOptions o = options();
    o.tolerance = 1e6;
    auto r = deform_register(source.view(), target.view(), o, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().iterations, 1u);
    EXPECT_TRUE(r.value().converged);
}

TEST_F(DeformEndings, VanishingRegularisationEndsConverged) {
    // α = 5e-324 passes validation but α·σ² underflows to 0: the loop ends before any M-step,
    // reported as converged, and the final stage re-estimates σ² at the unmoved source.
    DeformOptions o = options();
    o.alpha = 5e-324;
    o.sigma2 = 0.5;
    auto r = deform_register(source.view(), target.view(), o, nullptr);
    ASSERT_TRUE(r.ok());
    const DeformResult& d = r.value();
    EXPECT_TRUE(d.converged);
    EXPECT_EQ(d.iterations, 0u);
    EXPECT_GT(d.modes, 0u);
    for (double v : d.w.values) EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(std::isfinite(d.sigma2));
    EXPECT_NE(d.sigma2, 0.5);
}

TEST_F(DeformEndings, CollapsedVarianceKeepsTheLastAccepted) {
    // One point on top of one point: the first update gives σ² = 0 exactly, which ends the loop
    // as converged with the initial variance (1e-6, the floor for a zero derived variance).
    Array2 one(1, 3);
    one(0, 0) = 5.0;
    one(0, 1) = -2.0;
    one(0, 2) = 3.0;
    auto r = deform_register(one.view(), one.view(), options(), nullptr);
    ASSERT_TRUE(r.ok());
    const DeformResult& d = r.value();
    EXPECT_TRUE(d.converged);
    EXPECT_EQ(d.iterations, 1u);
    EXPECT_EQ(d.modes, 1u);
    EXPECT_EQ(d.sigma2, 1e-6);
    EXPECT_TRUE(std::isnan(d.nrms));
    EXPECT_EQ(d.w.values, (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(d.source.values, one.values);
}

TEST_F(DeformEndings, ModesCappedByPointCount) {
    const Array2 small = wavy_sheet(4, 3);  // 16 points
    DeformOptions o = options();
    o.num_modes = 500;
    auto r = deform_register(small.view(), deformed(small).view(), o, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_GE(r.value().modes, 1u);
    EXPECT_LE(r.value().modes, small.rows);
}

TEST(DeformRegister, ScalingBothCloudsScalesWidthAndVariance) {
    // Differently sampled target, so σ² stays well above rounding after a few iterations.
    const Array2 source = wavy_sheet(10, 4);
    const Array2 target = deformed(wavy_sheet(12, 8));
    Array2 source10 = source, target10 = target;
    for (double& v : source10.values) v *= 10.0;
    for (double& v : target10.values) v *= 10.0;
    DeformOptions o = options();
    o.max_iterations = 15;
    auto a = deform_register(source.view(), target.view(), o, nullptr);
    auto b = deform_register(source10.view(), target10.view(), o, nullptr);
    ASSERT_TRUE(a.ok() && b.ok());
    const DeformResult& r1 = a.value();
    const DeformResult& r10 = b.value();
    EXPECT_NEAR(r10.beta, 10.0 * r1.beta, 1e-12 * r10.beta);
    EXPECT_NEAR(r10.sigma2, 100.0 * r1.sigma2, 1e-6 * r10.sigma2);
    EXPECT_NEAR(r10.nrms, r1.nrms, 1e-6 * r1.nrms);
    EXPECT_EQ(r10.modes, r1.modes);
    EXPECT_EQ(r10.iterations, r1.iterations);
    double wmax = 0.0;
    for (double v : r1.w.values) wmax = std::max(wmax, std::fabs(v));
    for (std::size_t k = 0; k < r1.w.values.size(); ++k)
        EXPECT_NEAR(r10.w.values[k], 10.0 * r1.w.values[k], 1e-5 * wmax);
    Array2 moved1 = moved(r1);
    for (double& v : moved1.values) v *= 10.0;
    EXPECT_LT(rms_distance(moved(r10), moved1), 1e-6);
}

TEST(DeformRegister, RecoversSmoothDeformation) {
    const Array2 source = wavy_sheet(30, 5);  // 900 points
    const Array2 truth = deformed(source);
    // The target is the deformed sheet with a little noise and its points in another order.
    std::mt19937 gen(6);
    std::normal_distribution<double> noise(0.0, 0.005);
    std::vector<std::size_t> perm(truth.rows);
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), gen);
    Array2 target(truth.rows, 3);
    for (std::size_t i = 0; i < perm.size(); ++i)
        for (std::size_t k = 0; k < 3; ++k) target(i, k) = truth(perm[i], k) + noise(gen);

    const double before = rms_distance(source, truth);
    for (std::size_t threads : {1u, 4u}) {
        DeformOptions o = options();
        o.beta = 2.0;
        o.threads = threads;
        auto r = deform_register(source.view(), target.view(), o, nullptr);
        ASSERT_TRUE(r.ok());
        const DeformResult& d = r.value();
        const double after = rms_distance(moved(d), truth);
        EXPECT_LT(after, 0.1 * before) << threads << " threads: " << after << " of " << before;
        EXPECT_TRUE(d.converged);
        EXPECT_GT(d.modes, 0u);
        EXPECT_LT(d.nrms, 0.1);
    }
    // The fast path (bounded Gauss transforms for the E-steps and the kernel products) fits the
    // same deformation.
    DeformOptions o = options();
    o.beta = 2.0;
    const DeformResult exact = deform_register(source.view(), target.view(), o, nullptr).value();
    o.method = Method::Fast;
    o.gauss_tolerance = 1e-7;
    const DeformResult fast = deform_register(source.view(), target.view(), o, nullptr).value();
    EXPECT_TRUE(fast.fast);
    EXPECT_GT(fast.error_bound, 0.0);
    EXPECT_LE(fast.error_bound, 1e-7);
    EXPECT_LT(rms_distance(moved(fast), truth), 0.1 * before);
    EXPECT_LT(rms_distance(moved(fast), moved(exact)), 0.01 * before);
}

}  // namespace
// Coefficients that overflow in the caller's units (clouds spanning the whole double range) leave a
// fit that is not reported as converged.
TEST(DeformRegister, OverflowingCoefficientsAreNotConverged) {
    constexpr double big = 1.7e308;
    Array2 src(2, 3), tgt(2, 3);
    const double s[2][3] = {{big, big, big}, {-big, -big, -big}};
    const double t[2][3] = {{big, -big, big}, {-big, big, -big}};
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            src(i, k) = s[i][k];
            tgt(i, k) = t[i][k];
        }
    auto r = deform_register(src.view(), tgt.view(), options(), nullptr);
    ASSERT_TRUE(r.ok());
    bool finite = std::isfinite(r.value().beta);
    for (double v : r.value().w.values) finite = finite && std::isfinite(v);
    for (double v : r.value().source.values) finite = finite && std::isfinite(v);
    EXPECT_TRUE(finite || !r.value().converged);
    EXPECT_FALSE(finite);  // the case is built to overflow; if it no longer does, it tests nothing
}

// Coordinates near the top of the range fit as they do at unit scale.
TEST(DeformRegister, HugeCoordinatesFitAsAtUnitScale) {
    const Array2 source = wavy_sheet(8, 3);
    const Array2 target = deformed(wavy_sheet(9, 5));
    Array2 source_big = source, target_big = target;
    for (double& v : source_big.values) v = v * 1e305 + 1e307;
    for (double& v : target_big.values) v = v * 1e305 + 1e307;
    DeformOptions o = options();
    o.max_iterations = 20;
    auto a = deform_register(source.view(), target.view(), o, nullptr);
    auto b = deform_register(source_big.view(), target_big.view(), o, nullptr);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(b.value().converged, a.value().converged);
    EXPECT_EQ(b.value().modes, a.value().modes);
    EXPECT_NEAR(b.value().nrms, a.value().nrms, 1e-4 * a.value().nrms);
    double wmax = 0.0;
    for (double v : a.value().w.values) wmax = std::max(wmax, std::fabs(v));
    for (std::size_t k = 0; k < a.value().w.values.size(); ++k)
        EXPECT_NEAR(b.value().w.values[k] / 1e305, a.value().w.values[k], 1e-3 * wmax);
}

}  // namespace tarvic
