// Landmark guidance and starting transforms of the rigid and deformable fits.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "../src/deform_internal.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/landmarks.hpp"
#include "tarvic/rigid.hpp"
#include "tarvic/transform.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

double det3(const double r[3][3]) {
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

Affine3 as_affine(double s, const double r[3][3], const double t[3]) {
    Affine3 a;
    for (int i = 0; i < 3; ++i) {
        a.translation[i] = t[i];
        for (int j = 0; j < 3; ++j) a.matrix[i][j] = s * r[i][j];
    }
    return a;
}

}  // namespace

TEST(Landmarks, RescueARigidFitFromTheWrongOptimum) {
    // The bumpy ellipsoid turned by 150°: from the identity CPD settles near the half-turn that
    // swaps its long axis end for end. Three known pairs steer it to the truth, on both E-steps.
    const Array2 src = surface_cloud(500, 12);
    double r[3][3];
    const double axis[3] = {0.2, 0.1, 1.0}, t[3] = {0.2, 0.1, -0.3};
    axis_angle(axis, 150.0, r);
    const Array2 tgt = similarity(src, 1.0, r, t);
    for (Method method : {Method::Exact, Method::Fast}) {
        RigidOptions o;
        o.method = method;
        const RigidResult alone = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_GT(rotation_error_deg(alone.rotation, r), 90.0);
        Landmarks lm;
        lm.pairs = {{0, 0}, {100, 100}, {200, 200}};
        const RigidResult guided = rigid_register(src.view(), tgt.view(), o, nullptr, lm).value();
        EXPECT_TRUE(guided.converged);
        EXPECT_LT(rotation_error_deg(guided.rotation, r), 1e-3);
        EXPECT_NEAR(guided.scale, 1.0, 1e-6);
    }
}

TEST(Landmarks, FastMomentsKeepTheVarianceOfTheAugmentedSums) {
    // The fast variance comes from moments about the current positions; with the pairs added
    // there too it must equal the textbook variance of the augmented sums, for any new positions.
    const Array2 src = surface_cloud(300, 2), tgt = surface_cloud(280, 3);
    tarvic::Setup s = tarvic::Setup::make(src.view(), tgt.view(), std::nullopt, 0.1);
    s.moving.keep_double_positions();
    const double sigma2 = 0.05;
    FastEStep f = estep_fast(s.moving, s.fixed, sigma2, outlier_term(sigma2, s.outlier_weight),
                             FastEStepOptions{1e-12, true, nullptr, false});
    Landmarks lm;
    lm.pairs = {{0, 5}, {7, 7}, {299, 279}, {7, 100}};
    lm.weight = 0.5;
    const double np_before = f.sums.np;
    add_landmarks(lm, s.moving, s.fixed, f.sums, &f);
    EXPECT_NEAR(f.sums.np - np_before, 0.5 * 280, 1e-9);
    std::vector<double> t(3 * s.moving.size()), x2(s.fixed.size());
    for (std::size_t i = 0; i < s.moving.size(); ++i) {
        t[3 * i] = 0.9 * s.moving.cx[i] + 0.1;
        t[3 * i + 1] = s.moving.cy[i] - 0.05 * s.moving.cz[i];
        t[3 * i + 2] = 1.1 * s.moving.cz[i];
    }
    for (std::size_t n = 0; n < s.fixed.size(); ++n)
        x2[n] = s.fixed.x[n] * s.fixed.x[n] + s.fixed.y[n] * s.fixed.y[n] + s.fixed.z[n] * s.fixed.z[n];
    const double textbook = detail::variance_update(x2, f.sums, t.data());
    EXPECT_NEAR(fast_variance(f, s.moving, t.data()), textbook, 1e-9 * textbook);
}

TEST(Landmarks, TargetSumsGetThePairsAsTheMovingSumsDo) {
    // The same E-step in both forms, pairs added to each: Σ_n (pt1_n·x_n + v_n) = Σ_m p1_m·y_m,
    // Σ_n v_n = −Σ_m u_m, Σ_n r_n = Σ_m r_m, and the same np.
    const Array2 src = surface_cloud(300, 2), tgt = surface_cloud(280, 3);
    tarvic::Setup s = tarvic::Setup::make(src.view(), tgt.view(), std::nullopt, 0.1);
    s.moving.keep_double_positions();
    const double sigma2 = 0.05, c = outlier_term(sigma2, s.outlier_weight);
    const FastEStepOptions opt{1e-12, true, nullptr, false};
    FastEStep f = estep_fast(s.moving, s.fixed, sigma2, c, opt);
    FastTargetEStep ft = estep_fast_targets(s.moving, s.fixed, sigma2, c, opt);
    Landmarks lm;
    lm.pairs = {{0, 5}, {7, 7}, {299, 279}, {7, 100}};
    lm.weight = 0.5;
    add_landmarks(lm, s.moving, s.fixed, f.sums, &f);
    add_landmarks(lm, s.moving, s.fixed, ft);
    EXPECT_NEAR(ft.np, f.sums.np, 1e-10 * f.sums.np);
    double rm = 0.0, rn = 0.0;
    for (double v : f.r) rm += v;
    for (double v : ft.r) rn += v;
    EXPECT_NEAR(rn, rm, 1e-10 * rm);
    const double* cur[3] = {s.moving.cx.data(), s.moving.cy.data(), s.moving.cz.data()};
    const double* fix[3] = {s.fixed.x.data(), s.fixed.y.data(), s.fixed.z.data()};
    for (int a = 0; a < 3; ++a) {
        double first = 0.0, moved = 0.0, vn = 0.0, um = 0.0, mag = 0.0;
        for (std::size_t j = 0; j < s.fixed.size(); ++j) {
            first += ft.pt1[j] * fix[a][j] + ft.v[3 * j + a];
            vn += ft.v[3 * j + a];
        }
        for (std::size_t i = 0; i < s.moving.size(); ++i) {
            moved += f.sums.p1[i] * cur[a][i];
            um += f.u[3 * i + a];
            mag += f.sums.p1[i] * (std::fabs(cur[a][i]) + 1.0);
        }
        EXPECT_NEAR(first, moved, 1e-10 * mag);
        EXPECT_NEAR(vn, -um, 1e-10 * mag);
    }
}

TEST(Landmarks, PullADeformableFitOntoTheKnownPairs) {
    // The target is the source shifted along x by a fifth of its size: the unlabelled fit moves
    // the source as a whole; pairs that say point i goes where point j is pull those points there.
    const Array2 src = surface_cloud(300, 4);
    Array2 tgt = src;
    for (std::size_t i = 0; i < tgt.rows; ++i) tgt(i, 0) += 0.3;
    Landmarks lm;
    lm.pairs = {{10, 40}, {20, 60}};
    lm.weight = 0.2;
    DeformOptions o;
    o.beta = 0.3;
    const DeformResult f = deform_register(src.view(), tgt.view(), o, nullptr, lm).value();
    const DeformTransform d{f.source.view(), f.w.view(), f.beta};
    const Array2 moved = d.apply(src.view()).value();
    for (const auto& [i, j] : lm.pairs) {
        double gap = 0.0, before = 0.0;
        for (std::size_t k = 0; k < 3; ++k) {
            gap += (moved(i, k) - tgt(j, k)) * (moved(i, k) - tgt(j, k));
            before += (src(i, k) - tgt(j, k)) * (src(i, k) - tgt(j, k));
        }
        EXPECT_LT(std::sqrt(gap), 0.2 * std::sqrt(before)) << "pair " << i;
    }
}

TEST(Landmarks, RefusedBeforeAnyWork) {
    const Array2 src = surface_cloud(50, 1), tgt = surface_cloud(40, 2);
    Landmarks lm;
    lm.pairs = {{0, 0}, {49, 39}, {50, 0}};
    EXPECT_EQ(check_landmarks(lm, 50, 40)->message(), "landmark 2 references source point 50, but only 50 were given");
    lm.pairs = {{0, 0}, {3, 40}};
    EXPECT_EQ(check_landmarks(lm, 50, 40)->message(), "landmark 1 references target point 40, but only 40 were given");
    lm.pairs = {};
    for (double w : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
        lm.weight = w;
        ASSERT_TRUE(check_landmarks(lm, 50, 40));
        EXPECT_EQ(check_landmarks(lm, 50, 40)->kind, Error::Kind::NotPositive);
    }
    lm.weight = 0.0;
    EXPECT_EQ(check_landmarks(lm, 50, 40)->message(), "`landmark_weight` must be finite and > 0, got 0");
    // Each fit checks them after the clouds and options, with the clouds' sizes.
    lm = Landmarks{};
    lm.pairs = {{0, 45}};
    EXPECT_EQ(rigid_register(src.view(), tgt.view(), RigidOptions{}, nullptr, lm).error().message(),
              "landmark 0 references target point 45, but only 40 were given");
    EXPECT_EQ(deform_register(src.view(), tgt.view(), DeformOptions{}, nullptr, lm).error().kind,
              Error::Kind::LandmarkOutOfRange);
    RigidOptions bad;
    bad.w = 1.0;
    EXPECT_EQ(rigid_register(src.view(), tgt.view(), bad, nullptr, lm).error().kind, Error::Kind::BadOutlierWeight);
}

TEST(StartingTransform, RigidFitFromASimilarityReportsTheWholeMap) {
    const Array2 src = surface_cloud(500, 8);
    double r[3][3], r0[3][3];
    const double axis[3] = {0.3, -0.5, 0.8}, t[3] = {0.4, -1.2, 2.0};
    axis_angle(axis, 150.0, r);
    const Array2 tgt = similarity(src, 1.4, r, t);
    // A start 20° short of the truth: past the wrong optimum the identity falls into.
    axis_angle(axis, 130.0, r0);
    const double t0[3] = {0.5, -1.0, 1.8};
    RigidOptions o;
    o.init = as_affine(1.3, r0, t0);
    o.tolerance = 1e-9;
    const RigidResult f = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_TRUE(f.converged);
    EXPECT_LT(rotation_error_deg(f.rotation, r), 1e-3);
    EXPECT_NEAR(f.scale, 1.4, 1e-5);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(f.translation[k], t[k], 1e-4);
    EXPECT_NEAR(det3(f.rotation), 1.0, 1e-12);

    // From the truth with a small starting variance, the fit is done at once.
    o.init = as_affine(1.4, r, t);
    o.sigma2 = 1e-4;
    o.tolerance = 1e-3;
    const RigidResult g = rigid_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_TRUE(g.converged);
    EXPECT_LE(g.iterations, 5u);
    EXPECT_LT(rotation_error_deg(g.rotation, r), 1e-3);
}

TEST(StartingTransform, RigidFitRefusesWhatIsNoSimilarity) {
    const Array2 src = surface_cloud(50, 1);
    double r[3][3];
    const double axis[3] = {1, 2, 3}, t[3] = {1, 2, 3};
    axis_angle(axis, 40.0, r);
    RigidOptions o;
    Affine3 a = as_affine(2.0, r, t);
    a.matrix[0][0] *= 1.001;  // anisotropic by 1e-3
    o.init = a;
    EXPECT_EQ(rigid_register(src.view(), src.view(), o, nullptr).error().message(),
              "`init` of a rigid fit must be a similarity (a positive scale times a rotation, to 1e-6)");
    a = as_affine(2.0, r, t);
    for (int j = 0; j < 3; ++j) a.matrix[1][j] = -a.matrix[1][j];  // a reflection
    o.init = a;
    EXPECT_EQ(rigid_register(src.view(), src.view(), o, nullptr).error().kind, Error::Kind::NotSimilarity);
    a = as_affine(0.0, r, t);
    o.init = a;
    EXPECT_EQ(rigid_register(src.view(), src.view(), o, nullptr).error().kind, Error::Kind::SingularTransform);
    a = as_affine(1.0, r, t);
    a.translation[2] = HUGE_VAL;
    o.init = a;
    EXPECT_EQ(rigid_register(src.view(), src.view(), o, nullptr).error().kind, Error::Kind::NonFiniteTransform);
    // Rounding is no reason to refuse: a similarity written to seven digits passes.
    a = as_affine(2.0, r, t);
    for (auto& row : a.matrix)
        for (double& v : row) v = std::round(v * 1e7) / 1e7;
    o.init = a;
    EXPECT_TRUE(rigid_register(src.view(), src.view(), o, nullptr).ok());
}

TEST(StartingTransform, DeformableFitAfterAPriorPlacesItsCentres) {
    const Array2 src = surface_cloud(200, 3), tgt = surface_cloud(220, 4);
    double r[3][3];
    const double axis[3] = {0, 1, 0}, t[3] = {0.1, 0.2, 0.3};
    axis_angle(axis, 30.0, r);
    DeformOptions o;
    o.max_iterations = 20;
    o.num_modes = 20;
    // One thread: on several, the E-step's sums are grouped as work stealing falls, so two equal
    // fits agree only to rounding, and this compares bit for bit.
    o.threads = 1;
    o.prior = as_affine(1.2, r, t);
    const DeformResult f = deform_register(src.view(), tgt.view(), o, nullptr).value();
    // The same fit as one of the source placed beforehand: the prior is its start, nothing more.
    const Array2 placed = apply_affine(*o.prior, src.view()).value();
    DeformOptions plain = o;
    plain.prior.reset();
    const DeformResult g = deform_register(placed.view(), tgt.view(), plain, nullptr).value();
    EXPECT_EQ(f.iterations, g.iterations);
    EXPECT_EQ(f.source.values, g.source.values);
    EXPECT_EQ(f.w.values, g.w.values);
    o.prior->matrix[2][2] = std::nan("");
    EXPECT_EQ(deform_register(src.view(), tgt.view(), o, nullptr).error().message(),
              "`prior` contains NaN or infinite values");
}
