#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "tarvic/rigid.hpp"
#include "tarvic/threads.hpp"
#include "tarvic/transform.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

RigidOptions defaults() { return RigidOptions{}; }

double det3(const double r[3][3]) {
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

RigidTransform transform_of(const RigidResult& f) {
    RigidTransform t;
    t.scale = f.scale;
    std::memcpy(t.rotation, f.rotation, sizeof t.rotation);
    std::memcpy(t.translation, f.translation, sizeof t.translation);
    return t;
}

}  // namespace

TEST(RigidFit, RecoversSimilarityWithDifferentCounts) {
    const Array2 src = surface_cloud(600, 21);
    const double axis[3] = {0.3, -0.5, 0.8}, t[3] = {0.4, -1.2, 2.0};
    for (auto [deg, scale] : {std::pair{10.0, 0.5}, std::pair{35.0, 1.3}, std::pair{60.0, 2.0}}) {
            double r[3][3];
            axis_angle(axis, deg, r);
            // Target: a random 450-point subset of the source, moved (M ≠ N).
            Array2 sub(450, 3);
            std::copy(src.values.begin(), src.values.begin() + 450 * 3, sub.values.begin());
            const Array2 tgt = similarity(sub, scale, r, t);
            RigidOptions o = defaults();
            o.tolerance = 1e-9;
            const auto res = rigid_register(src.view(), tgt.view(), o, nullptr);
            ASSERT_TRUE(res.ok());
            const RigidResult& f = res.value();
            EXPECT_LT(rotation_error_deg(f.rotation, r), 0.1) << deg << " " << scale;
            EXPECT_NEAR(f.scale / scale, 1.0, 1e-3);
            EXPECT_GT(det3(f.rotation), 0.0);
    }
}

TEST(RigidFit, ExactCopyRecoveredTightly) {
    const Array2 src = surface_cloud(600, 5);
    double r[3][3];
    const double axis[3] = {1.0, 1.0, 0.2}, t[3] = {3.0, -1.0, 0.5};
    axis_angle(axis, 50.0, r);
    const Array2 tgt = similarity(src, 1.7, r, t);
    RigidOptions o;
    o.tolerance = 1e-12;
    o.max_iterations = 1000;
    const RigidResult f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_LT(rotation_error_deg(f.rotation, r), 0.1);
    EXPECT_NEAR(f.scale, 1.7, 1.7e-3);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(f.translation[k], t[k], 1e-3 * 3.0);
    // Applying the result reproduces the target.
    RigidTransform tf{f.scale, {}, {}};
    std::memcpy(tf.rotation, f.rotation, sizeof tf.rotation);
    std::memcpy(tf.translation, f.translation, sizeof tf.translation);
    const Array2 moved = tf.apply(src.view()).value();
    double worst = 0.0;
    for (std::size_t i = 0; i < moved.values.size(); ++i) worst = std::max(worst, std::fabs(moved.values[i] - tgt.values[i]));
    EXPECT_LT(worst, 1e-2);
}

TEST(RigidFit, ScaleOffAndBounds) {
    const Array2 src = surface_cloud(400, 2);
    double r[3][3];
    const double axis[3] = {0, 0, 1}, t[3] = {0, 0, 0};
    axis_angle(axis, 20.0, r);
    const Array2 tgt = similarity(src, 1.5, r, t);
    RigidOptions o;
    o.scale = false;
    RigidResult f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.scale, 1.0);
    o.scale = true;
    o.scale_bounds = std::make_pair(2.0, 3.0);  // the true scale 1.5 lies below the bounds
    f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.scale, 2.0);
    o.scale_bounds = std::make_pair(0.1, 1.2);
    f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.scale, 1.2);
}

TEST(RigidFit, AllCoincidentPoints) {
    Array2 a(5, 3), b(8, 3);
    for (double& v : a.values) v = 2.5;
    for (double& v : b.values) v = 2.5;
    const RigidResult f = rigid_register(a.view(), b.view(), defaults(), nullptr).value();
    EXPECT_EQ(f.scale, 1.0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f.translation[i], 0.0);
        for (int j = 0; j < 3; ++j) EXPECT_EQ(f.rotation[i][j], i == j ? 1.0 : 0.0);
    }
    EXPECT_EQ(f.sigma2, 1e-6);
    EXPECT_TRUE(std::isnan(f.nrms));
    EXPECT_EQ(f.iterations, 1u);
    EXPECT_TRUE(f.converged);
}

TEST(RigidFit, EndingsCapAndCancel) {
    const Array2 src = surface_cloud(300, 1), tgt = surface_cloud(320, 2);
    RigidOptions o;
    o.max_iterations = 1;
    o.tolerance = 0.0;
    RigidResult f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.iterations, 1u);
    EXPECT_FALSE(f.converged);
    o.max_iterations = 7;
    f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.iterations, 7u);
    EXPECT_FALSE(f.converged);

    std::atomic<bool> flag{true};
    o.sigma2 = 2.0;
    f = rigid_register(src.view(), tgt.view(), o, &flag).value();
    EXPECT_EQ(f.iterations, 0u);
    EXPECT_FALSE(f.converged);
    EXPECT_DOUBLE_EQ(f.sigma2, 2.0);  // the initial variance, back in caller units
    EXPECT_EQ(f.scale, 1.0);
    EXPECT_EQ(f.translation[0], 0.0);
}

TEST(RigidFit, ReflectedTargetGivesProperRotation) {
    const Array2 src = surface_cloud(500, 8);
    Array2 tgt = src;
    for (std::size_t i = 0; i < tgt.rows; ++i) tgt(i, 0) = -tgt(i, 0);
    const RigidResult f = rigid_register(src.view(), tgt.view(), defaults(), nullptr).value();
    EXPECT_NEAR(det3(f.rotation), 1.0, 1e-9);
}

TEST(RigidFit, ValidationOrder) {
    Array2 empty(0, 3), good = surface_cloud(10);
    RigidOptions o;
    o.w = 2.0;
    auto r = rigid_register(empty.view(), good.view(), o, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "`source` has no points");
    r = rigid_register(good.view(), empty.view(), o, nullptr);
    EXPECT_EQ(r.error().message(), "`target` has no points");
    r = rigid_register(good.view(), good.view(), o, nullptr);
    EXPECT_EQ(r.error().kind, Error::Kind::BadOutlierWeight);
}

TEST(RigidFit, ThreadCountsAgreeAndOutliersHandled) {
    const Array2 src = surface_cloud(800, 31);
    double r[3][3];
    const double axis[3] = {0.2, 0.9, 0.1}, t[3] = {1, 2, 3};
    axis_angle(axis, 30.0, r);
    Array2 tgt = similarity(src, 1.0, r, t);
    // Replace 20% of the target with uniform clutter in its bounding box.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-3.0, 6.0);
    for (std::size_t i = 0; i < tgt.rows; i += 5)
        for (int k = 0; k < 3; ++k) tgt(i, k) = u(rng);
    RigidOptions o;
    o.w = 0.2;
    o.threads = 1;
    const RigidResult a = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    o.threads = 2;
    const RigidResult b = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_LT(rotation_error_deg(a.rotation, r), 1.0);
    EXPECT_NEAR(a.scale, b.scale, 1e-9);
    EXPECT_LT(rotation_error_deg(a.rotation, b.rotation), 1e-4);  // summation order only
}

// A fit without `threads` runs on the process-wide pool, which fixes its size, even when its target is
// short enough for a single E-step chunk and so never enters the pool.
TEST(RigidFit, TinyFitOnTheDefaultPoolFixesItsSize) {
    const Array2 src = surface_cloud(8, 4);
    RigidOptions o = defaults();
    o.threads = 0;  // 0 means no dedicated pool, as absent does
    ASSERT_TRUE(rigid_register(src.view(), src.view(), o, nullptr).ok());
    const auto err = set_num_threads(default_num_threads() + 1);
    ASSERT_TRUE(err);
    EXPECT_EQ(num_threads(), default_num_threads());
}

TEST(RotationFit, DegenerateCrossCovariances) {
    double zero[3][3] = {}, r[3][3];
    fit_rotation(zero, r);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(r[i][j], i == j ? 1.0 : 0.0);
    // Rank one (collinear clouds): still a proper rotation mapping the one direction.
    double a[3][3] = {{0, 0, 0}, {2, 0, 0}, {0, 0, 0}};
    fit_rotation(a, r);
    EXPECT_NEAR(det3(r), 1.0, 1e-12);
    EXPECT_NEAR(r[1][0], 1.0, 1e-12);
    // A pure reflection is turned into the nearest proper rotation.
    double refl[3][3] = {{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    fit_rotation(refl, r);
    EXPECT_NEAR(det3(r), 1.0, 1e-12);
}

// Planar clouds give a cross-covariance of rank two, collinear ones rank one: the small singular
// values then sit at the rounding floor of AᵀA, and their vectors are noise. The fit must still
// return a proper rotation, and for rank two the rotation is fully determined.
TEST(RotationFit, RankDeficientCrossCovariancesGiveRotations) {
    const double axes[][3] = {{1, 2, 3}, {-0.3, 0.1, 0.9}, {0.7, -0.7, 0.1}, {5, -1, 2}};
    const double angles[] = {17.0, 93.0, 151.0, 260.0};
    const double v_axis[3] = {0.2, -1.0, 0.4};
    double v0[3][3];
    axis_angle(v_axis, 37.0, v0);
    for (const auto& axis : axes)
        for (double deg : angles) {
            double r0[3][3];
            axis_angle(axis, deg, r0);
            for (double s2 : {2.0, 0.0}) {  // rank two, then rank one
                // A = R0·diag(3, s2, 0)·V0ᵀ: tr(Aᵀ·R) is largest at R = R0·V0ᵀ.
                const double d[3] = {3.0, s2, 0.0};
                double a[3][3], want[3][3], r[3][3];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) {
                        a[i][j] = 0.0;
                        want[i][j] = 0.0;
                        for (int k = 0; k < 3; ++k) {
                            a[i][j] += r0[i][k] * d[k] * v0[j][k];
                            want[i][j] += r0[i][k] * v0[j][k];
                        }
                    }
                fit_rotation(a, r);
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) {
                        const double dot = r[i][0] * r[j][0] + r[i][1] * r[j][1] + r[i][2] * r[j][2];
                        EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12) << "axis " << axis[0] << " deg " << deg << " s2 " << s2;
                    }
                EXPECT_NEAR(det3(r), 1.0, 1e-12);
                if (s2 > 0.0) {
                    for (int i = 0; i < 3; ++i)
                        for (int j = 0; j < 3; ++j) EXPECT_NEAR(r[i][j], want[i][j], 1e-9);
                } else {
                    // Only the first right singular vector is constrained: R·v1 = R0·e1.
                    for (int i = 0; i < 3; ++i)
                        EXPECT_NEAR(r[i][0] * v0[0][0] + r[i][1] * v0[1][0] + r[i][2] * v0[2][0], r0[i][0], 1e-9);
                }
            }
        }
}

TEST(RigidApply, ConventionsAndShapes) {
    RigidTransform id;
    Array2 p = surface_cloud(10);
    EXPECT_EQ(id.apply(p.view()).value().values, p.values);
    Array2 none(0, 3);
    EXPECT_EQ(id.apply(none.view()).value().rows, 0u);
    Array2 two(4, 2), four(4, 4);
    EXPECT_EQ(id.apply(two.view()).error().message(), "expected an (N, 3) array, got (N, 2)");
    EXPECT_EQ(id.apply(four.view()).error().count, 4u);

    RigidTransform tf;
    double r[3][3];
    const double axis[3] = {1, 2, 3};
    axis_angle(axis, 40.0, r);
    std::memcpy(tf.rotation, r, sizeof r);
    tf.scale = 2.0;
    tf.translation[1] = 5.0;
    const Array2 want = tf.apply(p.view()).value();
    // Column-major and every-other-row views give the same values as contiguous copies.
    std::vector<double> colmajor(30);
    for (std::size_t i = 0; i < 10; ++i)
        for (std::size_t k = 0; k < 3; ++k) colmajor[k * 10 + i] = p(i, k);
    EXPECT_EQ(tf.apply(CloudView{colmajor.data(), 10, 3, 1, 10}).value().values, want.values);
    const CloudView every_other{p.values.data(), 5, 3, 6, 1};
    const Array2 half = tf.apply(every_other).value();
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(half(i, k), want(2 * i, k));
}

// Far from 1: the fit is unit-free, and its caller-unit variance must not overflow through λ² alone.
TEST(RigidFit, ExtremeMagnitudesGiveTheSameFit) {
    const Array2 src = surface_cloud(300, 31);
    double r[3][3];
    const double axis[3] = {0.2, 1.0, -0.4}, t[3] = {0.3, -0.2, 0.1};
    axis_angle(axis, 20.0, r);
    const Array2 tgt = similarity(surface_cloud(250, 32), 1.1, r, t);
    const auto base = rigid_register(src.view(), tgt.view(), defaults(), nullptr);
    ASSERT_TRUE(base.ok());
    const RigidResult& f0 = base.value();
    ASSERT_TRUE(f0.converged);
    for (auto [scale, offset] : {std::pair{1e155, 0.0}, std::pair{1e300, 5e307}, std::pair{1e-155, 0.0},
                                 std::pair{1e-300, 0.0}}) {
        Array2 s2 = src, t2 = tgt;
        for (double& v : s2.values) v = v * scale + offset;
        for (double& v : t2.values) v = v * scale + offset;
        const auto res = rigid_register(s2.view(), t2.view(), defaults(), nullptr);
        ASSERT_TRUE(res.ok());
        const RigidResult& f = res.value();
        EXPECT_TRUE(f.converged) << scale;
        EXPECT_NEAR(f.scale, f0.scale, 1e-6) << scale;
        EXPECT_LT(rotation_error_deg(f.rotation, f0.rotation), 1e-4) << scale;
        // The fitted transform moves the scaled source where the unit fit moves the unit source.
        const Array2 moved = transform_of(f).apply(s2.view()).value();
        const Array2 moved0 = transform_of(f0).apply(src.view()).value();
        double worst = 0.0;
        for (std::size_t k = 0; k < moved.values.size(); ++k)
            worst = std::max(worst, std::fabs((moved.values[k] - offset) / scale - moved0.values[k]));
        EXPECT_LT(worst, 1e-5) << scale;
        EXPECT_NEAR(f.nrms, f0.nrms, 1e-6 * f0.nrms) << scale;
        if (scale == 1e155 || scale == 1e-155) {  // λ² overflows or underflows, λ²·σ² does not
            EXPECT_NEAR(f.sigma2 / scale / scale, f0.sigma2, 1e-6 * f0.sigma2) << scale;
        }
    }
}

// A fit whose translation does not fit in a double in the caller's units is not reported as converged.
TEST(RigidFit, OverflowingTransformIsNotConverged) {
    Array2 src(3, 3), tgt(3, 3);
    const double xs[3] = {1.7e308, 1.0e308, 1.3e308};
    for (std::size_t i = 0; i < 3; ++i) {
        src(i, 0) = xs[i];
        src(i, 1) = i == 2 ? 1e307 : 0.0;
        for (int k = 0; k < 3; ++k) tgt(i, static_cast<std::size_t>(k)) = -src(i, static_cast<std::size_t>(k));
    }
    RigidOptions o = defaults();
    o.scale = false;
    const auto res = rigid_register(src.view(), tgt.view(), o, nullptr);
    ASSERT_TRUE(res.ok());
    const RigidResult& f = res.value();
    const bool finite = std::isfinite(f.translation[0]) && std::isfinite(f.translation[1]) &&
                        std::isfinite(f.translation[2]);
    EXPECT_FALSE(finite);  // −2.7e308 along x
    EXPECT_FALSE(f.converged);
}

TEST(RigidFit, FastPathWithScaleOutliersAndLandmarksAgreesWithExact) {
    // The fast E-step sums at the target points about the current positions and maps its M-step
    // sums back through the current transform: a scale far from 1, a large turn about an oblique
    // axis, scattered outliers and landmark pairs all pass through that map from the second
    // iteration on (a transposed rotation or a missing 1/s would show here).
    const Array2 src = surface_cloud(1200, 61);
    double r[3][3];
    const double axis[3] = {0.5, -0.3, 0.8}, t[3] = {0.4, -0.2, 0.25};
    axis_angle(axis, 60.0, r);
    Array2 tgt = similarity(src, 1.5, r, t);
    std::mt19937 rng(62);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (int k = 0; k < 240; ++k) tgt.values.insert(tgt.values.end(), {u(rng), u(rng), u(rng)});
    tgt.rows += 240;
    Landmarks lm;
    lm.pairs = {{0, 0}, {400, 400}, {900, 900}};
    lm.weight = 0.05;
    RigidOptions o;
    o.w = 0.2;
    o.threads = 1;
    o.tolerance = 0.0;
    o.max_iterations = 150;
    const RigidResult exact = rigid_register(src.view(), tgt.view(), o, nullptr, lm).value();
    o.method = Method::Fast;
    o.tolerance = 1e-10;
    o.max_iterations = 400;
    const RigidResult fast = rigid_register(src.view(), tgt.view(), o, nullptr, lm).value();
    ASSERT_TRUE(fast.fast);
    EXPECT_TRUE(fast.converged);
    EXPECT_LT(rotation_error_deg(exact.rotation, r), 0.1);  // the fit found the motion
    EXPECT_LT(rotation_error_deg(fast.rotation, exact.rotation), 1e-3);
    EXPECT_NEAR(fast.scale, exact.scale, 1e-5);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(fast.translation[k], exact.translation[k], 1e-5);
}

TEST(RigidFit, FastPathAgreesWithExactAndBoundsItsEStep) {
    const Array2 src = surface_cloud(1500, 41);
    double r[3][3];
    const double axis[3] = {0.2, 1.0, -0.4}, t[3] = {0.3, 0.1, -0.2};
    axis_angle(axis, 25.0, r);
    Array2 tgt = similarity(surface_cloud(1300, 42), 1.2, r, t);
    for (std::size_t i = 0; i < tgt.values.size(); ++i) tgt.values[i] += 1e-3 * std::sin(1.7 * static_cast<double>(i));
    // Both run to the same optimum: the exact fit for a fixed number of iterations (its variance
    // jitters at the single-precision floor before a tight tolerance is met), the fast one to 1e-10.
    RigidOptions o;
    o.w = 0.05;
    o.threads = 1;
    o.tolerance = 0.0;
    o.max_iterations = 300;
    const RigidResult exact = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_FALSE(exact.fast);
    EXPECT_EQ(exact.error_bound, 0.0);
    for (double tol : {1e-4, 1e-8}) {
        o.method = Method::Fast;
        o.gauss_tolerance = tol;
        o.tolerance = 1e-10;
        const RigidResult fast = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_TRUE(fast.fast);
        EXPECT_GT(fast.error_bound, 0.0);
        EXPECT_LE(fast.error_bound, tol);
        EXPECT_TRUE(fast.converged);
        EXPECT_LT(rotation_error_deg(fast.rotation, exact.rotation), 1e-3);
        EXPECT_NEAR(fast.scale, exact.scale, 1e-5);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(fast.translation[k], exact.translation[k], 1e-5);
    }
    o.tolerance = 1e-6;
    o.method = Method::Exact;
    const RigidResult exact6 = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    // Auto: exact below the pair threshold, so small fits return exactly the exact fit.
    o.method = Method::Auto;
    const RigidResult automatic = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_FALSE(automatic.fast);
    EXPECT_EQ(automatic.sigma2, exact6.sigma2);
    EXPECT_EQ(automatic.iterations, exact6.iterations);
}

TEST(RigidFit, FastPathResolvesANoiseFreeCopyToDoublePrecision) {
    // The fast path has no single-precision floor: on a noise-free copy it runs until the variance
    // has resolved the coordinates to double precision, and stops there as converged.
    const Array2 src = surface_cloud(2000, 43);
    double r[3][3];
    const double axis[3] = {1.0, 0.3, 0.2}, t[3] = {0.5, -0.25, 0.125};
    axis_angle(axis, 30.0, r);
    const Array2 tgt = similarity(src, 1.25, r, t);
    RigidOptions o;
    o.tolerance = 1e-6;
    o.max_iterations = 300;
    o.method = Method::Fast;
    const RigidResult fast = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_TRUE(fast.converged);
    EXPECT_LT(fast.sigma2, 1e-25);
    EXPECT_LT(fast.iterations, 300u);
    EXPECT_LT(rotation_error_deg(fast.rotation, r), 1e-6);
    EXPECT_NEAR(fast.scale, 1.25, 1e-9);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(fast.translation[k], t[k], 1e-9);
}
