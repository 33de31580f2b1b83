#include <gtest/gtest.h>

#include <oneapi/tbb/parallel_for.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <thread>

#include "tarvic/fpenv.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/threads.hpp"
#include "test_util.hpp"

using namespace tarvic;
using tarvic::testing::surface_cloud;

namespace {

// A product whose IEEE result is subnormal; volatile so it is computed at run time, here.
bool makes_subnormals() {
    volatile float a = 1e-38f, b = 1e-3f;
    volatile double c = 1e-310, d = 1.0;
    const float f = a * b;
    const double g = c * d;  // a subnormal operand: zero under denormals-are-zero
    return f > 0.0f && f < std::numeric_limits<float>::min() && g == 1e-310;
}

// Whether every thread of the current pool still produces subnormals.
bool pool_makes_subnormals() {
    std::atomic<int> bad{0};
    in_current_pool([&] {
        tbb::parallel_for(0, 256, [&](int) {
            if (!makes_subnormals()) bad.fetch_add(1);
            std::this_thread::yield();
        });
    });
    return bad.load() == 0;
}

}  // namespace

TEST(FlushSubnormals, ScopedAndRestored) {
    ASSERT_TRUE(makes_subnormals());
    {
        const detail::FlushSubnormals outer;
        EXPECT_FALSE(makes_subnormals());
        {
            const detail::FlushSubnormals inner;
            EXPECT_FALSE(makes_subnormals());
        }
        EXPECT_FALSE(makes_subnormals());  // the inner guard restores the outer state, not IEEE
    }
    EXPECT_TRUE(makes_subnormals());
}

TEST(FlushSubnormals, KernelsLeaveCallerAndPoolThreadsAlone) {
    // σ² tiny: nearly every kernel value sits at the floor and the old kernels formed subnormals.
    const tarvic::Setup s = tarvic::Setup::make(surface_cloud(700, 3).view(), surface_cloud(900, 4).view(), 1e-6, 0.1);
    const PointsF32 pts = PointsF32::from_columns(s.moving.x, s.moving.y, s.moving.z);
    std::vector<double> v(3 * pts.size(), 1e-30), out(3 * pts.size());
    auto kernels = [&] {
        (void)estep(s.moving, s.fixed, true, nullptr, estep_sigma2(1e-6), outlier_term(1e-6, s.outlier_weight));
        (void)estep(s.moving, s.fixed, false, nullptr, estep_sigma2(1e-6), 0.0);
        gauss_mul(pts, pts, 1e-3f, v.data(), v.size(), 3, out.data(), out.size(), nullptr);
    };
    kernels();  // process-wide pool
    EXPECT_TRUE(makes_subnormals());
    EXPECT_TRUE(pool_makes_subnormals());
    run_in_pool(std::size_t{2}, [&] {
        kernels();
        EXPECT_TRUE(makes_subnormals());
        EXPECT_TRUE(pool_makes_subnormals());
    });
    EXPECT_TRUE(makes_subnormals());
}

TEST(FlushSubnormals, TinyVarianceEStepMatchesReferenceAcrossModes) {
    // At σ² = 1e-5 most posteriors are kernel floors (2^-126) over denominators above 1: they are
    // flushed to zero now, which moves no sum by more than its terms below 1.2e-38.
    const tarvic::Setup s =
        tarvic::Setup::make(surface_cloud(500, 5).view(), surface_cloud(600, 6).view(), std::nullopt, 0.0);
    const std::size_t m = s.moving.size(), n = s.fixed.size();
    const float s2 = estep_sigma2(1e-5);
    const EStep seq = estep(s.moving, s.fixed, false, nullptr, s2, 0.0);
    std::optional<EStep> par;
    run_in_pool(std::size_t{3}, [&] { par.emplace(estep(s.moving, s.fixed, true, nullptr, s2, 0.0)); });
    // Double-precision reference with the same kernel values and gradual underflow.
    const float g = -1.442695f / (s2 + s2);
    std::vector<double> p1(m, 0.0), k(m);
    for (std::size_t j = 0; j < n; ++j) {
        double col = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const float dx = s.fixed.x32[j] - s.moving.x32[i], dy = s.fixed.y32[j] - s.moving.y32[i],
                        dz = s.fixed.z32[j] - s.moving.z32[i];
            k[i] = std::exp2(static_cast<double>(std::max((dz * dz + (dy * dy + dx * dx)) * g, -126.0f)));
            col += k[i];
        }
        const double den = std::max(col, 1e-30);
        EXPECT_NEAR(seq.pt1[j], col / den, 1e-5 * (col / den));
        EXPECT_EQ(seq.pt1[j], par->pt1[j]);
        for (std::size_t i = 0; i < m; ++i) p1[i] += k[i] / den;
    }
    for (std::size_t i = 0; i < m; ++i) {
        EXPECT_NEAR(seq.p1[i], par->p1[i], 1e-12 * seq.p1[i]);
        EXPECT_NEAR(seq.p1[i], p1[i], 1e-5 * p1[i] + 1e-37);
    }
}
