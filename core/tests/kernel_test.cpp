#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "tarvic/kernel.hpp"
#include "tarvic/threads.hpp"
#include "test_util.hpp"

using namespace tarvic;
using tarvic::testing::surface_cloud;

namespace {

// Naive double-precision reference of the posterior sums with the same kernel values.
EStep reference_estep(const Moving& mv, const Fixed& fx, float s2, double c) {
    const std::size_t m = mv.size(), n = fx.size();
    const float g = -1.442695f / (s2 + s2);
    EStep e;
    e.p1.assign(m, 0.0);
    e.pt1.assign(n, 0.0);
    e.px.assign(3 * m, 0.0);
    std::vector<double> k(m);
    for (std::size_t j = 0; j < n; ++j) {
        double col = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const float dx = fx.x32[j] - mv.x32[i], dy = fx.y32[j] - mv.y32[i], dz = fx.z32[j] - mv.z32[i];
            const float t = std::max((dz * dz + (dy * dy + dx * dx)) * g, -126.0f);
            k[i] = std::exp2(static_cast<double>(t));
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

tarvic::Setup setup_of(const Array2& s, const Array2& t, std::optional<double> sigma2 = std::nullopt, double w = 0.0) {
    return Setup::make(s.view(), t.view(), sigma2, w);
}

}  // namespace

TEST(Setup, CoincidentSinglePoints) {
    Array2 a(1, 3), b(1, 3);
    a(0, 0) = b(0, 0) = 3.0;
    a(0, 1) = b(0, 1) = -2.0;
    const tarvic::Setup s = setup_of(a, b);
    EXPECT_EQ(s.norm_scale, 1.0);
    EXPECT_EQ(s.moving.x[0], 0.0);
    EXPECT_EQ(s.fixed.y[0], 0.0);
    EXPECT_EQ(s.sigma2, 1e-6);
    EXPECT_EQ(s.target_rms, 0.0);
}

TEST(Setup, FarApartCloudsFrameFromUnion) {
    Array2 a(2, 3), b(2, 3);
    a(1, 0) = 1.0;             // source near the origin
    b(0, 0) = 100.0;           // target far along x
    b(1, 0) = 101.0;
    const tarvic::Setup s = setup_of(a, b);
    EXPECT_DOUBLE_EQ(s.centre[0], 202.0 / 4.0);
    EXPECT_DOUBLE_EQ(s.norm_scale, 101.0 - 50.5);  // reach along x from the union's centre
    EXPECT_DOUBLE_EQ(s.moving.x[0], -1.0);
}

TEST(Setup, GivenSigma2AndOutlierWeight) {
    // Normalised target bounding box 2 × 1 × 0.5 with norm_scale 1, M = 100, w = 0.5.
    Array2 t(2, 3);
    t(0, 0) = -1.0; t(0, 1) = -0.5; t(0, 2) = -0.25;
    t(1, 0) = 1.0;  t(1, 1) = 0.5;  t(1, 2) = 0.25;
    Array2 src(100, 3);  // all at the origin
    tarvic::Setup s = setup_of(src, t, std::nullopt, 0.5);
    EXPECT_DOUBLE_EQ(s.norm_scale, 1.0);
    EXPECT_DOUBLE_EQ(s.outlier_weight, 100.0);
    // sigma2 = 4 with norm_scale 2 gives exactly 1.
    Array2 t2 = t;
    for (double& v : t2.values) v *= 2.0;
    s = setup_of(src, t2, 4.0, 0.0);
    EXPECT_EQ(s.norm_scale, 2.0);
    EXPECT_EQ(s.sigma2, 1.0);
    EXPECT_EQ(s.outlier_weight, 0.0);
}

TEST(Setup, PlanarTargetGetsVolumeFloor) {
    Array2 t = surface_cloud(50);
    for (std::size_t i = 0; i < t.rows; ++i) t(i, 2) = 0.0;
    const tarvic::Setup s = setup_of(surface_cloud(40, 3), t, std::nullopt, 0.1);
    EXPECT_TRUE(std::isfinite(s.outlier_weight));
    EXPECT_GT(s.outlier_weight, 0.0);
}

TEST(Setup, InvariantToScaleAndTranslation) {
    const Array2 a = surface_cloud(60, 1), b = surface_cloud(70, 2);
    Array2 a2 = a, b2 = b;
    for (std::size_t i = 0; i < a2.values.size(); ++i) a2.values[i] = a2.values[i] * 37.0 + (i % 3) * 5.0;
    for (std::size_t i = 0; i < b2.values.size(); ++i) b2.values[i] = b2.values[i] * 37.0 + (i % 3) * 5.0;
    const tarvic::Setup s1 = setup_of(a, b, std::nullopt, 0.2), s2 = setup_of(a2, b2, std::nullopt, 0.2);
    EXPECT_NEAR(s1.sigma2, s2.sigma2, 1e-12);
    EXPECT_NEAR(s1.outlier_weight, s2.outlier_weight, 1e-9 * s1.outlier_weight);
    EXPECT_NEAR(s1.target_rms, s2.target_rms, 1e-12);
    for (std::size_t i = 0; i < a.rows; ++i) EXPECT_NEAR(s1.moving.x[i], s2.moving.x[i], 1e-12);
}

TEST(Setup, DerivedVarianceIsMeanPairDistanceOverThree) {
    const Array2 a = surface_cloud(20, 4), b = surface_cloud(30, 5);
    const tarvic::Setup s = setup_of(a, b);
    double sum = 0.0;
    for (std::size_t i = 0; i < 20; ++i)
        for (std::size_t j = 0; j < 30; ++j) {
            const double dx = s.moving.x[i] - s.fixed.x[j], dy = s.moving.y[i] - s.fixed.y[j],
                         dz = s.moving.z[i] - s.fixed.z[j];
            sum += dx * dx + dy * dy + dz * dz;
        }
    EXPECT_NEAR(s.sigma2, sum / (3.0 * 600.0), 1e-12);
}

TEST(EStep, ChunkSizes) {
    EXPECT_EQ(estep_chunk(100000, 10), 8u);
    EXPECT_EQ(estep_chunk(100, 100000), 256u);
    EXPECT_EQ(estep_chunk(1, 1000), 16u);  // ceil(1000 / 64) = 16
    EXPECT_EQ(estep_chunk(1, 100000), 256u);
    EXPECT_EQ(estep_chunk(5000, 5000), 24u);  // 131072 / 5000 = 26 → 24
    EXPECT_EQ(estep_chunk(0, 0), 8u);
    for (std::size_t m : {1u, 7u, 300u, 20000u, 200000u})
        for (std::size_t n : {1u, 9u, 513u, 70000u}) {
            const std::size_t c = estep_chunk(m, n);
            EXPECT_EQ(c % 8, 0u);
            EXPECT_GE(c, 8u);
            EXPECT_LE(c, 256u);
        }
}

TEST(EStep, OneMovingPointNoOutliersGivesUnitPt1) {
    Array2 src(1, 3);
    const Array2 tgt = surface_cloud(100, 9);
    const tarvic::Setup s = setup_of(src, tgt);
    const EStep e = estep(s.moving, s.fixed, false, nullptr, estep_sigma2(s.sigma2), 0.0);
    for (double v : e.pt1) EXPECT_EQ(v, 1.0);
    EXPECT_NEAR(e.p1[0], 100.0, 1e-4);
    EXPECT_EQ(e.np, e.p1[0]);
    double sx = 0.0;
    for (std::size_t j = 0; j < 100; ++j) sx += s.fixed.x[j];
    EXPECT_NEAR(e.px[0], sx, 1e-4);
}

TEST(EStep, FarPointKeepsFloorWeight) {
    Moving mv;
    mv.x = {0.0, 100.0};
    mv.y = mv.z = {0.0, 0.0};
    mv.x32 = {0, 100, 0, 0, 0, 0, 0, 0};
    mv.y32 = mv.z32 = std::vector<float>(8, 0.0f);
    Fixed fx;
    fx.x = fx.y = fx.z = {0.0};
    fx.x32 = fx.y32 = fx.z32 = std::vector<float>(8, 0.0f);
    const EStep e = estep(mv, fx, false, nullptr, 1.0f, 0.0);
    // The far point's kernel value is 2^-126, not 0: its posterior is tiny but positive.
    EXPECT_GT(e.p1[1], 0.0);
    EXPECT_NEAR(e.p1[1], std::ldexp(1.0, -126), 1e-45);
    EXPECT_NEAR(e.p1[0], 1.0, 1e-6);
}

TEST(EStep, RowGroupsAndTailRowsSumIdentically) {
    // Moving point 8 falls in the single-row tail, point 0 in an eight-row group: a copy must
    // get bit-identical sums whichever path folded its lanes.
    Array2 src = surface_cloud(9, 13);
    for (std::size_t k = 0; k < 3; ++k) src(8, k) = src(0, k);
    const tarvic::Setup s = setup_of(src, surface_cloud(203, 14));
    const EStep e = estep(s.moving, s.fixed, false, nullptr, estep_sigma2(s.sigma2 * 0.1), 0.0);
    EXPECT_EQ(e.p1[8], e.p1[0]);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(e.px[3 * 8 + k], e.px[k]);
}

TEST(EStep, CancelBeforeCallSkipsEverything) {
    const tarvic::Setup s = setup_of(surface_cloud(300, 1), surface_cloud(900, 2));
    std::atomic<bool> flag{true};
    for (bool parallel : {false, true}) {
        const EStep e = estep(s.moving, s.fixed, parallel, &flag, estep_sigma2(s.sigma2), 0.0);
        EXPECT_EQ(e.np, 0.0);
        for (double v : e.pt1) EXPECT_EQ(v, 0.0);
        for (double v : e.p1) EXPECT_EQ(v, 0.0);
        for (double v : e.px) EXPECT_EQ(v, 0.0);
    }
}

class EStepModes : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(EStepModes, SequentialParallelAndReferenceAgree) {
    const auto [m, n] = GetParam();
    tarvic::Setup s = setup_of(surface_cloud(m, 11), surface_cloud(n, 12), std::nullopt, 0.1);
    const float s2 = estep_sigma2(s.sigma2 * 0.05);
    const double c = outlier_term(s.sigma2 * 0.05, s.outlier_weight);
    const EStep seq = estep(s.moving, s.fixed, false, nullptr, s2, c);
    const EStep ref = reference_estep(s.moving, s.fixed, s2, c);
    std::optional<EStep> par;
    run_in_pool(std::size_t{2}, [&] { par.emplace(estep(s.moving, s.fixed, true, nullptr, s2, c)); });
    for (std::size_t j = 0; j < n; ++j) {
        EXPECT_EQ(seq.pt1[j], par->pt1[j]);  // pt1 is computed within one chunk: exact
        EXPECT_NEAR(seq.pt1[j], ref.pt1[j], 1e-5 * (1 + ref.pt1[j]));
    }
    for (std::size_t i = 0; i < m; ++i) {
        EXPECT_NEAR(seq.p1[i], par->p1[i], 1e-12 * (1 + seq.p1[i]));
        EXPECT_NEAR(seq.p1[i], ref.p1[i], 1e-4 * (1 + ref.p1[i]));
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(seq.px[3 * i + k], ref.px[3 * i + k], 1e-4 * (1 + ref.p1[i]));
    }
    EXPECT_NEAR(seq.np, ref.np, 1e-5 * ref.np);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EStepModes,
                         ::testing::Values(std::make_pair(1u, 1u), std::make_pair(7u, 13u), std::make_pair(300u, 1000u),
                                           std::make_pair(2000u, 517u), std::make_pair(40u, 5000u)));

TEST(FastExp2, AccurateOnClampedRange) {
    double worst = 0.0;
    for (int i = 0; i <= 126000; ++i) {
        const float t = -static_cast<float>(i) / 1000.0f;
        const double rel = std::fabs(fast_exp2(t) / std::exp2(static_cast<double>(t)) - 1.0);
        worst = std::max(worst, rel);
    }
    EXPECT_LT(worst, 5e-7);
    EXPECT_EQ(fast_exp2(0.0f), 1.0f);
    EXPECT_EQ(fast_exp2(-126.0f), std::ldexp(1.0f, -126));
}

TEST(GaussMul, MatchesNaiveKernelAndHandlesCancel) {
    const Array2 a = surface_cloud(37, 3), b = surface_cloud(53, 4);
    auto cols = [](const Array2& p) {
        std::vector<double> x(p.rows), y(p.rows), z(p.rows);
        for (std::size_t i = 0; i < p.rows; ++i) x[i] = p(i, 0), y[i] = p(i, 1), z[i] = p(i, 2);
        return PointsF32::from_columns(x, y, z);
    };
    const PointsF32 pa = cols(a), pb = cols(b);
    const std::size_t c = 5;
    std::vector<double> vals(53 * c);
    for (std::size_t i = 0; i < vals.size(); ++i) vals[i] = std::sin(0.3 * i);
    std::vector<double> out(37 * c, 99.0);
    const float beta = 0.7f;
    gauss_mul(pa, pb, beta, vals.data(), vals.size(), c, out.data(), out.size(), nullptr);
    for (std::size_t i = 0; i < 37; ++i)
        for (std::size_t k = 0; k < c; ++k) {
            double ref = 0.0;
            for (std::size_t j = 0; j < 53; ++j) {
                const double d2 = std::pow(a(i, 0) - b(j, 0), 2) + std::pow(a(i, 1) - b(j, 1), 2) +
                                  std::pow(a(i, 2) - b(j, 2), 2);
                const double wgt = std::exp(-d2 / (2.0 * beta * beta));
                if (wgt >= 1e-12) ref += wgt * vals[j * c + k];
            }
            EXPECT_NEAR(out[i * c + k], ref, 1e-5);
        }
    std::atomic<bool> flag{true};
    gauss_mul(pa, pb, beta, vals.data(), vals.size(), c, out.data(), out.size(), &flag);
    for (double v : out) EXPECT_EQ(v, 0.0);
}

TEST(GaussMul, TinyZeroAndNaNBetaAreIdentity) {
    const Array2 a = surface_cloud(45, 3);
    std::vector<double> x(45), y(45), z(45);
    for (std::size_t i = 0; i < 45; ++i) x[i] = a(i, 0), y[i] = a(i, 1), z[i] = a(i, 2);
    const PointsF32 p = PointsF32::from_columns(x, y, z);
    std::vector<double> v(45 * 3), out(45 * 3);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1.0 + i;
    gauss_mul(p, p, 1e-4f, v.data(), v.size(), 3, out.data(), out.size(), nullptr);
    EXPECT_EQ(out, v);
    // Zero and NaN widths clamp to the smallest one, as the kernel's other clamps treat NaN.
    for (float beta : {0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        std::fill(out.begin(), out.end(), -1.0);
        gauss_mul(p, p, beta, v.data(), v.size(), 3, out.data(), out.size(), nullptr);
        EXPECT_EQ(out, v) << beta;
    }
}

// Coordinates near the top of the range: the plain sum of M + N values overflows, the mean does not.
TEST(Setup, HugeCoordinatesKeepFiniteFrame) {
    const Array2 a = surface_cloud(200, 6), b = surface_cloud(150, 7);
    Array2 a2 = a, b2 = b;
    for (double& v : a2.values) v = v * 1e305 + 1e307;
    for (double& v : b2.values) v = v * 1e305 + 1e307;
    const tarvic::Setup s1 = setup_of(a, b), s2 = setup_of(a2, b2);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(s2.centre[k] / 1e305, s1.centre[k] + 100.0, 1e-9);
    EXPECT_NEAR(s2.norm_scale / 1e305, s1.norm_scale, 1e-9);
    EXPECT_NEAR(s2.sigma2, s1.sigma2, 1e-9);
    for (std::size_t i = 0; i < a.rows; ++i) EXPECT_NEAR(s2.moving.x[i], s1.moving.x[i], 1e-9);
}

// A given σ² with a frame whose λ² over- or underflows is still divided by λ², not replaced by 1e-6.
TEST(Setup, GivenSigma2WithExtremeFrame) {
    const Array2 a = surface_cloud(40, 8), b = surface_cloud(30, 9);
    // (coordinate scale, σ² in those units, the same σ² at unit scale)
    for (auto [scale, given, unit] : {std::tuple{1e160, 0.25e300, 0.25e-20}, std::tuple{1e-160, 0.25e-300, 0.25e20}}) {
        const tarvic::Setup ref = setup_of(a, b, unit);
        Array2 a2 = a, b2 = b;
        for (double& v : a2.values) v *= scale;
        for (double& v : b2.values) v *= scale;
        const tarvic::Setup s = setup_of(a2, b2, given);
        EXPECT_NEAR(s.sigma2, ref.sigma2, 1e-12 * ref.sigma2) << scale;
    }
}
