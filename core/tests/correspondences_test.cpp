// Correspondences against a brute-force evaluation of the same posteriors, on permutations, and
// under thread counts and cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "tarvic/correspondences.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

/// Every posterior P_mn by the formulas, O(M·N), in long double.
struct Brute {
    const Array2& y;
    const Array2& x;
    long double sigma2, c = 0.0L;
    std::vector<long double> den;

    Brute(const Array2& y_, const Array2& x_, double s2, double w) : y(y_), x(x_), sigma2(s2), den(x_.rows) {
        const std::size_t m = y.rows, n = x.rows;
        // The outlier term over the target's bounding box (with the floor on thin boxes).
        double ext[3], largest = 0.0;
        for (int a = 0; a < 3; ++a) {
            double lo = x(0, a), hi = x(0, a);
            for (std::size_t j = 0; j < n; ++j) {
                lo = std::min(lo, x(j, a));
                hi = std::max(hi, x(j, a));
            }
            ext[a] = hi - lo;
            largest = std::max(largest, ext[a]);
        }
        double v = 1.0;
        for (double e : ext) v *= std::max(e, 0.001 * largest);
        if (w > 0.0) c = std::pow(2.0L * M_PIl * sigma2, 1.5L) * static_cast<long double>(m) * w / (1.0 - w) / v;
        for (std::size_t j = 0; j < n; ++j) {
            den[j] = c;
            for (std::size_t i = 0; i < m; ++i) den[j] += k(i, j);
        }
    }
    long double k(std::size_t i, std::size_t j) const {
        long double d2 = 0.0L;
        for (int a = 0; a < 3; ++a) d2 += (static_cast<long double>(x(j, a)) - y(i, a)) * (x(j, a) - y(i, a));
        return std::max(std::exp(-d2 / (2.0L * sigma2)), std::exp(-708.0L));
    }
    double p(std::size_t i, std::size_t j) const { return static_cast<double>(k(i, j) / den[j]); }
    double outlier(std::size_t j) const { return static_cast<double>(c / den[j]); }
};

Array2 random_cloud(std::size_t n, std::uint32_t seed, double spread = 1.0) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> g(0.0, spread);
    Array2 a(n, 3);
    for (double& v : a.values) v = g(gen);
    return a;
}

Correspondences find(const Array2& y, const Array2& x, double sigma2, double w, std::size_t threads = 0,
                     double tolerance = 1e-10) {
    CorrespondenceOptions o;
    o.sigma2 = sigma2;
    o.w = w;
    o.tolerance = tolerance;
    if (threads) o.threads = threads;
    auto r = find_correspondences(y.view(), x.view(), o, nullptr);
    EXPECT_TRUE(r.ok());
    return r.value();
}

bool close(double a, double b) { return std::fabs(a - b) <= 1e-8 * b + 1e-300; }

/// Checks every match; returns how many source points matched a target point other than their nearest.
std::size_t expect_matches_brute_force(const Array2& y, const Array2& x, double sigma2, double w) {
    const Correspondences got = find(y, x, sigma2, w);
    const Brute want(y, x, sigma2, w);
    EXPECT_LE(got.error_bound, 1e-10);
    // Each match is a most probable one (ties, as on the kernel's floor, may go either way) and
    // carries its posterior.
    for (std::size_t j = 0; j < x.rows; ++j) {
        double best = 0.0;
        for (std::size_t i = 0; i < y.rows; ++i) best = std::max(best, want.p(i, j));
        const auto i = static_cast<std::size_t>(got.target_match[j]);
        EXPECT_TRUE(close(want.p(i, j), best)) << "target " << j << " sigma2 " << sigma2 << " w " << w;
        EXPECT_TRUE(close(got.target_probability[j], best)) << got.target_probability[j] << " vs " << best;
        EXPECT_TRUE(close(got.target_outlier[j], want.outlier(j))) << got.target_outlier[j];
    }
    std::size_t not_nearest = 0;
    for (std::size_t i = 0; i < y.rows; ++i) {
        double best = 0.0;
        std::size_t nearest = 0;
        for (std::size_t j = 0; j < x.rows; ++j) {
            best = std::max(best, want.p(i, j));
            if (want.k(i, j) > want.k(i, nearest)) nearest = j;
        }
        const auto j = static_cast<std::size_t>(got.source_match[i]);
        EXPECT_TRUE(close(want.p(i, j), best)) << "source " << i << " sigma2 " << sigma2 << " w " << w;
        EXPECT_TRUE(close(got.source_probability[i], best)) << got.source_probability[i] << " vs " << best;
        not_nearest += j != nearest && want.p(i, nearest) < best;
    }
    return not_nearest;
}

}  // namespace

TEST(Correspondences, AgreeWithEveryPosteriorEvaluated) {
    const Array2 y = random_cloud(180, 1);
    const Array2 x = random_cloud(150, 2);
    std::size_t not_nearest = 0;
    for (double sigma2 : {1e-4, 0.01, 0.3, 30.0})
        for (double w : {0.0, 0.2}) not_nearest += expect_matches_brute_force(y, x, sigma2, w);
    // The source side is a search over the posteriors, not for the nearest point.
    EXPECT_GT(not_nearest, 10u);
}

TEST(Correspondences, AgreeWhereTheKernelIsAtItsFloor) {
    // A target cluster far from every source point: without outliers its posteriors come from
    // kernel values at the floor, tiny denominators whose logarithms steer the source side.
    const Array2 y = random_cloud(120, 3);
    Array2 x = random_cloud(100, 4);
    for (std::size_t j = 0; j < 30; ++j) x(j, 0) += 40.0;
    for (double sigma2 : {0.05, 2.0})
        for (double w : {0.0, 0.1}) {
            const std::size_t not_nearest = expect_matches_brute_force(y, x, sigma2, w);
            if (w == 0.0) {
                EXPECT_GT(not_nearest, 0u) << sigma2;
            }
        }
}

TEST(Correspondences, RecoverAPermutationOfAnExactCopy) {
    const Array2 y = surface_cloud(3000, 9);
    std::vector<std::size_t> perm(y.rows);
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), std::mt19937(5));
    Array2 x(y.rows, 3);
    for (std::size_t j = 0; j < y.rows; ++j)
        for (int a = 0; a < 3; ++a) x(j, a) = y(perm[j], a);
    for (double sigma2 : {1e-20, 1e-5}) {
        const Correspondences got = find(y, x, sigma2, 0.05, 0, 1e-6);
        for (std::size_t j = 0; j < x.rows; ++j) {
            ASSERT_EQ(got.target_match[j], static_cast<std::int64_t>(perm[j]));
            ASSERT_EQ(got.source_match[perm[j]], static_cast<std::int64_t>(j));
            // Certain at a variance far below every spacing (at 1e-5 close pairs share posteriors).
            if (sigma2 < 1e-10) {
                EXPECT_EQ(got.target_probability[j], 1.0);
            }
            EXPECT_LT(got.target_outlier[j], 1e-4);
        }
    }
}

TEST(Correspondences, SameForAnyThreadCount) {
    const Array2 y = surface_cloud(2500, 2);
    const Array2 x = random_cloud(2000, 7, 0.8);
    const Correspondences one = find(y, x, 0.01, 0.1, 1, 1e-6);
    for (std::size_t threads : {2u, 3u}) {
        const Correspondences more = find(y, x, 0.01, 0.1, threads, 1e-6);
        EXPECT_EQ(more.source_match, one.source_match);
        EXPECT_EQ(more.source_probability, one.source_probability);
        EXPECT_EQ(more.target_match, one.target_match);
        EXPECT_EQ(more.target_probability, one.target_probability);
        EXPECT_EQ(more.target_outlier, one.target_outlier);
    }
}

TEST(Correspondences, RefusedInputsAndCancellation) {
    const Array2 y = random_cloud(40, 1), x = random_cloud(30, 2);
    CorrespondenceOptions o;
    o.w = 1.0;
    EXPECT_EQ(find_correspondences(y.view(), x.view(), o, nullptr).error().message(), "`w` must be in [0, 1), got 1");
    o.w = 0.0;
    o.sigma2 = 0.0;
    EXPECT_EQ(find_correspondences(y.view(), x.view(), o, nullptr).error().message(),
              "`sigma2` must be finite and > 0, got 0");
    const Array2 empty(0, 3);
    EXPECT_EQ(find_correspondences(empty.view(), x.view(), o, nullptr).error().message(), "`moved` has no points");
    o.sigma2 = 0.1;
    std::atomic<bool> stop{true};
    const auto r = find_correspondences(y.view(), x.view(), o, &stop);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().source_match.empty() && r.value().target_match.empty());
}
