#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>

#include "tarvic/affine.hpp"
#include "tarvic/transform.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

// A shear with anisotropic scale, far from any similarity.
const Affine3 kTruth = {{{1.3, 0.4, -0.1}, {0.05, 0.8, 0.3}, {-0.2, 0.1, 1.1}}, {0.5, -0.3, 0.8}};

Array2 moved(const Array2& p, const Affine3& t) { return apply_affine(t, p.view()).value(); }

double max_entry_error(const AffineResult& f, const Affine3& t) {
    double worst = 0.0;
    for (int i = 0; i < 3; ++i) {
        worst = std::max(worst, std::fabs(f.translation[i] - t.translation[i]));
        for (int j = 0; j < 3; ++j) worst = std::max(worst, std::fabs(f.matrix[i][j] - t.matrix[i][j]));
    }
    return worst;
}

// The target: the moved source with noise, 10% of its points replaced by clutter in its box.
Array2 noisy_target(const Array2& src, std::uint32_t seed) {
    Array2 tgt = moved(src, kTruth);
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.005);
    std::uniform_real_distribution<double> u(-2.5, 2.5);
    for (std::size_t i = 0; i < tgt.rows; ++i)
        for (std::size_t k = 0; k < 3; ++k) tgt(i, k) = i % 10 == 0 ? u(rng) : tgt(i, k) + noise(rng);
    return tgt;
}

}  // namespace

TEST(AffineFit, RecoversShearAndAnisotropicScaleOnBothPaths) {
    const Array2 src = surface_cloud(700, 3);
    const Array2 tgt = noisy_target(src, 4);
    for (Method method : {Method::Exact, Method::Fast}) {
        AffineOptions o;
        o.w = 0.1;
        o.method = method;
        const AffineResult f = affine_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_TRUE(f.converged);
        EXPECT_FALSE(f.singular);
        EXPECT_EQ(f.fast, method == Method::Fast);
        EXPECT_LT(max_entry_error(f, kTruth), 0.01);
    }
}

TEST(AffineFit, ExactAndFastPathsAgreeOnACleanCopy) {
    const Array2 src = surface_cloud(400, 9);
    const Array2 tgt = moved(src, kTruth);
    AffineOptions o;
    o.tolerance = 1e-10;
    o.max_iterations = 500;
    const AffineResult exact = affine_register(src.view(), tgt.view(), o, nullptr).value();
    o.method = Method::Fast;
    o.gauss_tolerance = 1e-10;
    const AffineResult fast = affine_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_LT(max_entry_error(exact, kTruth), 1e-4);
    // Double precision throughout: the fast path resolves the copy far below the exact one's floor.
    EXPECT_LT(max_entry_error(fast, kTruth), 1e-7);
    EXPECT_TRUE(fast.converged);
    EXPECT_GT(fast.error_bound, 0.0);
    EXPECT_LE(fast.error_bound, 1e-10);
}

TEST(AffineFit, PlanarOrCollinearSourceEndsAsSingular) {
    Array2 plane = surface_cloud(300, 5);
    for (std::size_t i = 0; i < plane.rows; ++i) plane(i, 2) = 0.25;
    Array2 line(200, 3);
    for (std::size_t i = 0; i < line.rows; ++i) line(i, 0) = line(i, 1) = line(i, 2) = 0.01 * static_cast<double>(i);
    const Array2 tgt = surface_cloud(300, 6);
    for (const Array2* src : {&plane, &line}) {
        const AffineResult f = affine_register(src->view(), tgt.view(), AffineOptions{}, nullptr).value();
        EXPECT_TRUE(f.singular);
        EXPECT_FALSE(f.converged);
        EXPECT_EQ(f.iterations, 0u);
        // The last accepted transform: the identity, finite.
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(f.translation[i], 0.0);
            for (int j = 0; j < 3; ++j) EXPECT_EQ(f.matrix[i][j], i == j ? 1.0 : 0.0);
        }
        EXPECT_TRUE(std::isfinite(f.sigma2));
    }
}

TEST(AffineFit, EndingsCapAndCancel) {
    const Array2 src = surface_cloud(300, 1), tgt = surface_cloud(320, 2);
    AffineOptions o;
    o.max_iterations = 5;
    o.tolerance = 0.0;
    AffineResult f = affine_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_EQ(f.iterations, 5u);
    EXPECT_FALSE(f.converged);
    std::atomic<bool> flag{true};
    o.sigma2 = 2.0;
    f = affine_register(src.view(), tgt.view(), o, &flag).value();
    EXPECT_EQ(f.iterations, 0u);
    EXPECT_FALSE(f.converged);
    EXPECT_DOUBLE_EQ(f.sigma2, 2.0);
}

TEST(AffineFit, InitialTransformIsPartOfTheResult) {
    const Array2 src = surface_cloud(500, 12);
    const Array2 tgt = moved(src, kTruth);
    // Start from a 10° turn about z followed by a shift: the fit must carry the source the rest
    // of the way and report the whole map, which is the truth again.
    Affine3 start;
    const double axis[3] = {0, 0, 1};
    axis_angle(axis, 10.0, start.matrix);
    start.translation[0] = 0.3;
    AffineOptions o;
    o.init = start;
    o.tolerance = 1e-9;
    const AffineResult f = affine_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_LT(max_entry_error(f, kTruth), 1e-3);

    // From the truth itself with a small starting variance, the fit is done at once.
    o.init = kTruth;
    o.sigma2 = 1e-4;
    o.tolerance = 1e-3;
    const AffineResult g = affine_register(src.view(), tgt.view(), o, nullptr).value();
    EXPECT_TRUE(g.converged);
    EXPECT_LE(g.iterations, 5u);
    EXPECT_LT(max_entry_error(g, kTruth), 1e-4);
}

TEST(AffineFit, RefusesBadInitialTransforms) {
    const Array2 src = surface_cloud(50, 1);
    AffineOptions o;
    Affine3 bad = kTruth;
    bad.matrix[1][2] = std::nan("");
    o.init = bad;
    EXPECT_EQ(affine_register(src.view(), src.view(), o, nullptr).error().message(),
              "`init` contains NaN or infinite values");
    bad = kTruth;
    for (int j = 0; j < 3; ++j) bad.matrix[2][j] = bad.matrix[0][j] + bad.matrix[1][j];  // rank two
    o.init = bad;
    EXPECT_EQ(affine_register(src.view(), src.view(), o, nullptr).error().message(),
              "`init` is singular: its 3 x 3 part has no inverse");
    bad = kTruth;
    bad.matrix[0][0] = 1.7e308;  // finite, but not once it multiplies coordinates near 2
    o.init = bad;
    EXPECT_EQ(affine_register(src.view(), src.view(), o, nullptr).error().message(),
              "`init` carries the source beyond the floating-point range");
    // Any invertible map is a valid start for an affine fit, a reflection included.
    bad = Affine3{};
    bad.matrix[0][0] = -1.0;
    o.init = bad;
    EXPECT_TRUE(affine_register(src.view(), src.view(), o, nullptr).ok());
}

TEST(AffineBatch, MatchesSingleFitsInPairOrder) {
    const Array2 a = surface_cloud(200, 1), b = moved(a, kTruth), c = surface_cloud(150, 3);
    const std::vector<CloudView> clouds = {a.view(), b.view(), c.view()};
    const std::vector<std::pair<std::size_t, std::size_t>> pairs = {{0, 1}, {2, 1}, {1, 0}};
    AffineOptions o;
    o.threads = 2;
    const auto batch = affine_register_batch(clouds, clouds, pairs, o, false, nullptr);
    ASSERT_TRUE(batch.ok());
    ASSERT_EQ(batch.value().size(), 3u);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        AffineOptions one = o;
        one.threads = 1;
        const AffineResult s =
            affine_register(clouds[pairs[k].first], clouds[pairs[k].second], one, nullptr).value();
        const AffineResult& r = batch.value()[k];
        EXPECT_EQ(r.iterations, s.iterations);
        EXPECT_EQ(r.sigma2, s.sigma2);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) EXPECT_EQ(r.matrix[i][j], s.matrix[i][j]);
    }
    const auto bad = affine_register_batch(clouds, clouds, {{0, 3}}, o, false, nullptr);
    EXPECT_EQ(bad.error().message(), "pair 0 references cloud 3, but only 3 were given");
}
