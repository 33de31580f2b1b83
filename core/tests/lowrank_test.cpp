// Kernel eigenmodes: reproducibility, accuracy against the kernel, mode counts and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <vector>

#include "tarvic/linalg.hpp"
#include "tarvic/lowrank.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {
namespace {

// Points uniform in the unit cube, the normalised frame's scale.
PointsF32 random_cloud(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> ud(-1.0, 1.0);
    std::vector<double> x(n), y(n), z(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = ud(gen);
        y[i] = ud(gen);
        z[i] = ud(gen);
    }
    return PointsF32::from_columns(x, y, z);
}

// Dense f64 kernel matrix of the cloud (reference; the library never forms it).
std::vector<double> dense_kernel(const PointsF32& p, double beta) {
    const std::size_t n = p.size();
    std::vector<double> k(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double dx = double(p.x[i]) - p.x[j], dy = double(p.y[i]) - p.y[j], dz = double(p.z[i]) - p.z[j];
            k[i * n + j] = std::exp(-(dx * dx + dy * dy + dz * dz) / (2.0 * beta * beta));
        }
    return k;
}

void expect_orthonormal_columns(const Eigenmodes& e, std::size_t n_pts, double tol) {
    for (std::size_t a = 0; a < e.m; ++a)
        for (std::size_t b = 0; b < e.m; ++b) {
            double dot = 0.0;
            for (std::size_t i = 0; i < n_pts; ++i) dot += e.vectors[i * e.m + a] * e.vectors[i * e.m + b];
            EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, tol) << a << "," << b;
        }
}

TEST(LowrankEigenmodes, RepeatedCallsAreBitIdenticalAtAnyThreadCount) {
    const PointsF32 cloud = random_cloud(500, 1);
    const Eigenmodes ref = kernel_eigenmodes(cloud, 0.4f, 30, nullptr);
    ASSERT_EQ(ref.m, 30u);
    for (std::size_t threads : {1u, 2u, 5u}) {
        const Eigenmodes again =
            run_in_pool(threads, [&] { return kernel_eigenmodes(cloud, 0.4f, 30, nullptr); });
        EXPECT_EQ(again.m, ref.m);
        EXPECT_EQ(again.values, ref.values) << threads << " threads";
        EXPECT_EQ(again.vectors, ref.vectors) << threads << " threads";
    }
}

TEST(LowrankEigenmodes, LeadingModesAreEigenpairsOfTheKernel) {
    const std::size_t n = 250;
    const double beta = 0.5;
    const PointsF32 cloud = random_cloud(n, 2);
    const Eigenmodes e = kernel_eigenmodes(cloud, static_cast<float>(beta), 12, nullptr);
    ASSERT_EQ(e.m, 12u);
    ASSERT_EQ(e.vectors.size(), n * e.m);
    expect_orthonormal_columns(e, n, 1e-12);
    for (std::size_t a = 0; a + 1 < e.m; ++a) EXPECT_GE(e.values[a], e.values[a + 1]);

    // Against a dense decomposition: two power steps with ten columns of oversampling pin the
    // leading Ritz values to a relative 1e-3 and the residuals ‖K·u − λ·u‖ to about 1e-3·λ₀.
    const auto k = dense_kernel(cloud, beta);
    const Eigh exact = jacobi_eigh(k, n);
    for (std::size_t a = 0; a < 6; ++a) {
        EXPECT_NEAR(e.values[a], exact.values[a], 1e-3 * exact.values[a]) << "mode " << a;
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double ku = 0.0;
            for (std::size_t j = 0; j < n; ++j) ku += k[i * n + j] * e.vectors[j * e.m + a];
            const double r = ku - e.values[a] * e.vectors[i * e.m + a];
            res += r * r;
        }
        EXPECT_LT(std::sqrt(res), 3e-3 * e.values[0]) << "mode " << a;
    }
}

TEST(LowrankEigenmodes, FullWidthReproducesTheKernel) {
    // num_modes ≥ M: p = M, Q spans everything, and U·Λ·Uᵀ is K apart from the dropped tail.
    const std::size_t n = 40;
    const double beta = 0.3;
    const PointsF32 cloud = random_cloud(n, 3);
    const Eigenmodes e = kernel_eigenmodes(cloud, static_cast<float>(beta), 100, nullptr);
    ASSERT_GE(e.m, 1u);
    ASSERT_LE(e.m, n);
    for (double v : e.values) EXPECT_GT(v, 1e-10 * e.values[0]);
    expect_orthonormal_columns(e, n, 1e-12);
    const auto k = dense_kernel(cloud, beta);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double r = 0.0;
            for (std::size_t a = 0; a < e.m; ++a) r += e.vectors[i * e.m + a] * e.values[a] * e.vectors[j * e.m + a];
            EXPECT_NEAR(r, k[i * n + j], 1e-6);
        }
}

TEST(LowrankEigenmodes, SinglePoint) {
    const PointsF32 one = PointsF32::from_columns({0.25}, {-0.5}, {0.0});
    const Eigenmodes e = kernel_eigenmodes(one, 1.0f, 100, nullptr);
    ASSERT_EQ(e.m, 1u);
    EXPECT_NEAR(e.values[0], 1.0, 1e-6);
    EXPECT_NEAR(std::fabs(e.vectors[0]), 1.0, 1e-12);
}

TEST(LowrankEigenmodes, NarrowKernelIsTheIdentity) {
    // Points 0.1 apart on a grid, β = 1e-4: every off-diagonal weight is the 2^-126 floor,
    // dropped below 1e-12, so K·V = V and every eigenvalue is 1.
    std::vector<double> x, y, z;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 6; ++j) {
            x.push_back(0.1 * i);
            y.push_back(0.1 * j);
            z.push_back(0.0);
        }
    const PointsF32 grid = PointsF32::from_columns(x, y, z);
    for (std::size_t num_modes : {std::size_t{8}, std::size_t{30}, std::size_t{200}}) {
        const Eigenmodes e = kernel_eigenmodes(grid, 1e-4f, num_modes, nullptr);
        EXPECT_EQ(e.m, std::min(num_modes, grid.size()));
        for (double v : e.values) EXPECT_NEAR(v, 1.0, 1e-12);
        expect_orthonormal_columns(e, grid.size(), 1e-12);
    }
}

TEST(LowrankEigenmodes, CancelledBeforeTheCallGivesNoModes) {
    std::atomic<bool> flag{true};
    const PointsF32 cloud = random_cloud(100, 4);
    const Eigenmodes e = kernel_eigenmodes(cloud, 0.5f, 10, &flag);
    EXPECT_EQ(e.m, 0u);
    EXPECT_TRUE(e.vectors.empty());
    EXPECT_TRUE(e.values.empty());
}

}  // namespace
}  // namespace tarvic
