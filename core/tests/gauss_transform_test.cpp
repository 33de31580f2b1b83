#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../src/exp64.hpp"
#include "../src/near_field.hpp"
#include "../src/pair_sums.hpp"
#include "tarvic/fpenv.hpp"
#include "tarvic/gauss_transform.hpp"
#include "tarvic/threads.hpp"

using namespace tarvic;

namespace {

// A cloud as owned columns.
struct Cloud {
    std::vector<double> x, y, z;
    Points64 view() const { return Points64{x.data(), y.data(), z.data(), x.size()}; }
    void add(double a, double b, double c) {
        x.push_back(a);
        y.push_back(b);
        z.push_back(c);
    }
};

// The shapes the transform must handle: spread, on a surface, in tight clusters, with exact
// duplicates, and along a thin strip.
Cloud make_cloud(const std::string& shape, std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> g(0.0, 1.0);
    Cloud c;
    for (std::size_t i = 0; i < n; ++i) {
        if (shape == "uniform") {
            c.add(u(rng), u(rng), u(rng));
        } else if (shape == "surface") {
            const double th = 3.141592653589793 * (u(rng) + 1.0), ph = std::acos(u(rng));
            const double r = 0.8 + 0.2 * std::sin(3 * th) * std::sin(2 * ph);
            c.add(r * std::sin(ph) * std::cos(th), r * std::sin(ph) * std::sin(th), 0.6 * r * std::cos(ph));
        } else if (shape == "clustered") {
            const double cx = (i % 5) * 0.4 - 0.8;
            c.add(cx + 0.01 * g(rng), 0.3 * (i % 3) + 0.01 * g(rng), 0.01 * g(rng));
        } else if (shape == "duplicated") {
            if (i % 3 != 0 && i > 0) {
                c.add(c.x[i - 1], c.y[i - 1], c.z[i - 1]);
            } else {
                c.add(u(rng), u(rng), u(rng));
            }
        } else {  // strip
            c.add(u(rng), 0.02 * u(rng), 1e-4 * u(rng));
        }
    }
    return c;
}

// Weights spanning twelve orders of magnitude; signed columns after the first when asked.
std::vector<double> make_weights(std::size_t m, std::size_t c, bool signed_cols, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> e(-6.0, 6.0), s(-1.0, 1.0);
    std::vector<double> q(m * c);
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = 0; k < c; ++k) {
            const double v = std::pow(10.0, e(rng));
            q[j * c + k] = (signed_cols && k > 0 && s(rng) < 0.0) ? -v : v;
        }
    return q;
}

// Reference sums and magnitude sums of one point in extended precision, same clamped kernel.
struct RefRow {
    std::vector<long double> sum, mag;
    // Moments: what the far path bounds them by, Σ q·K·(|s_a − t_a| + D) and Σ q·K·(|s − t| + 2D)²,
    // D the diagonal of the sources' bounding box.
    std::vector<long double> far_mag;
};

RefRow reference(const Points64& t, std::size_t i, const Points64& s, double h, const std::vector<double>& q,
                 std::size_t c, bool moments) {
    const std::size_t w = c + (moments ? 4 : 0);
    RefRow r{std::vector<long double>(w, 0.0L), std::vector<long double>(w, 0.0L), std::vector<long double>(w, 0.0L)};
    long double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t j = 0; j < s.n; ++j) {
        const long double v[3] = {s.x[j], s.y[j], s.z[j]};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], v[a]);
            hi[a] = std::max(hi[a], v[a]);
        }
    }
    const long double diag = std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                       (hi[2] - lo[2]) * (hi[2] - lo[2]));
    for (std::size_t j = 0; j < s.n; ++j) {
        const long double dx = static_cast<long double>(s.x[j]) - t.x[i], dy = static_cast<long double>(s.y[j]) - t.y[i],
                          dz = static_cast<long double>(s.z[j]) - t.z[i];
        const long double d2 = dx * dx + dy * dy + dz * dz;
        const long double k = std::exp(std::max(-d2 / (2.0L * h * h), static_cast<long double>(detail::kExpMin)));
        for (std::size_t col = 0; col < c; ++col) {
            r.sum[col] += k * q[j * c + col];
            r.mag[col] += k * std::fabs(q[j * c + col]);
        }
        if (moments) {
            const long double kq = k * q[j * c];
            const long double d[3] = {dx, dy, dz};
            const long double l1 = std::fabs(dx) + std::fabs(dy) + std::fabs(dz);
            for (int a = 0; a < 3; ++a) {
                r.sum[c + a] += kq * d[a];
                r.mag[c + a] += kq * l1;
            }
            r.sum[c + 3] += kq * d2;
            r.mag[c + 3] += kq * d2;
            for (int a = 0; a < 3; ++a) r.far_mag[c + a] += kq * (std::fabs(d[a]) + diag);
            const long double st = std::sqrt(d2) + 2.0L * diag;
            r.far_mag[c + 3] += kq * st * st;
        }
    }
    return r;
}

// Every checked point: observed error within the reported bound, the bound within the tolerance.
void expect_bounded(const GaussSums& g, const Points64& t, const Points64& s, double h, const std::vector<double>& q,
                    std::size_t c, const GaussOptions& o, std::size_t stride = 1) {
    ASSERT_EQ(g.values.size(), t.n * g.width);
    EXPECT_LE(g.max_bound, o.tolerance);
    for (std::size_t i = 0; i < t.n; i += stride) {
        const RefRow r = reference(t, i, s, h, q, c, o.moments);
        const double b = g.bound[i];
        EXPECT_LE(b, o.tolerance) << "point " << i;
        for (std::size_t k = 0; k < g.width; ++k) {
            const long double err = std::fabs(static_cast<long double>(g.values[i * g.width + k]) - r.sum[k]);
            // Moments from the far path are formed from the sum's gradient and a raw second moment
            // about the sources' low corner, and bounded relative to magnitudes that count the
            // sources' extent (wide kernels, where that is harmless).
            const long double scale = std::max(r.mag[k], k >= g.width - 4 && o.moments ? r.far_mag[k] : 0.0L) +
                                      (k == 0 ? o.floor : 0.0);
            ASSERT_LE(err, b * scale * (1.0L + 1e-9L) + 1e-300L)
                << "point " << i << " column " << k << " path " << path_name(g.path) << " value "
                << g.values[i * g.width + k] << " reference " << static_cast<double>(r.sum[k]);
        }
    }
}

struct Case {
    const char* shape;
    std::size_t m, n;
    double h;  // relative to the cloud's extent (about 2)
};

class GaussPaths : public ::testing::TestWithParam<std::tuple<Case, int>> {};

TEST_P(GaussPaths, ErrorWithinBoundWithinTolerance) {
    const auto [cs, force] = GetParam();
    const Cloud src = make_cloud(cs.shape, cs.m, 3), tgt = make_cloud(cs.shape, cs.n, 4);
    const double h = 2.0 * cs.h;
    for (double tol : {1e-3, 1e-6, 1e-9}) {
        for (std::size_t c : {std::size_t{1}, std::size_t{3}}) {
            const std::vector<double> q = make_weights(cs.m, c, c > 1, 5);
            GaussOptions o;
            o.tolerance = tol;
            o.force = force;
            o.moments = c == 1;
            o.floor = c == 1 ? 0.0 : 1e-3;
            const GaussSums g = gauss_transform(tgt.view(), src.view(), h, q.data(), c, o);
            SCOPED_TRACE(std::string(cs.shape) + " h=" + std::to_string(h) + " tol=" + std::to_string(tol));
            expect_bounded(g, tgt.view(), src.view(), h, q, c, o, cs.n > 400 ? 7 : 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, GaussPaths,
    ::testing::Combine(::testing::Values(Case{"uniform", 700, 500, 0.05}, Case{"surface", 900, 800, 0.02},
                                         Case{"surface", 600, 700, 1e-4}, Case{"clustered", 500, 400, 0.003},
                                         Case{"duplicated", 400, 300, 0.01}, Case{"strip", 800, 600, 0.01},
                                         Case{"uniform", 300, 200, 10.0}, Case{"surface", 1, 1, 0.1},
                                         Case{"surface", 1, 50, 0.2}, Case{"uniform", 60, 1, 0.05}),
                       ::testing::Values(static_cast<int>(GaussPath::Direct), static_cast<int>(GaussPath::Near),
                                         static_cast<int>(GaussPath::Far), -1)),
    [](const ::testing::TestParamInfo<std::tuple<Case, int>>& info) {
        // Readable names in ctest's list: shape, sizes, width and the forced path.
        const Case& c = std::get<0>(info.param);
        const int path = std::get<1>(info.param);
        char width[32];
        std::snprintf(width, sizeof width, "%g", c.h);
        std::string name = std::string(c.shape) + "_" + std::to_string(c.m) + "x" + std::to_string(c.n) + "_h";
        for (const char* p = width; *p; ++p) name += *p == '.' ? 'p' : *p == '-' ? 'm' : *p;
        name += "_";
        return name + (path < 0 ? std::string("auto") : std::string(path_name(static_cast<GaussPath>(path))));
    });

// One weight column with its moments on the near path: every point within its bound.
void expect_near_moments_bounded(const Cloud& tgt, const Cloud& src, double h, const std::vector<double>& q, double tol) {
    GaussOptions o;
    o.tolerance = tol;
    o.force = static_cast<int>(GaussPath::Near);
    o.moments = true;
    const GaussSums g = gauss_transform(tgt.view(), src.view(), h, q.data(), 1, o);
    SCOPED_TRACE("tol " + std::to_string(tol));
    expect_bounded(g, tgt.view(), src.view(), h, q, 1, o);
}

TEST(GaussTransform, NearPathBoundHoldsForPointsOnCellFaces) {
    // Evaluation points a hair below a cell face (in the near path's cell frame), where the cell a
    // point is bucketed in and its distance to the cells beyond the face are closest to
    // disagreeing: no source within a point's exclusion radius may be left out.
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double tol : {1e-6, 1e-9}) {
        const double h = 0.01, side = detail::near_cell_side(h, tol), step = side / 3.0;
        Cloud src, tgt;
        for (int i = 0; i < 24; ++i)
            for (int j = 0; j < 24; ++j)
                for (int k = 0; k < 12; ++k) src.add(i * step, j * step, k * step);
        // The frame starts two cells below the clouds' low corner (the origin here). Enough points
        // per cell for tiles of eight, whose box then lies a hair from the face.
        for (int face = 3; face < 9; ++face)
            for (double below : {1e-7, 1e-9, 1e-12})
                for (int r = 0; r < 24; ++r)
                    tgt.add((face - 2 - below) * side, 8.0 * side * u(rng), (face - 2 - below) * side);
        const std::vector<double> q = make_weights(src.x.size(), 1, false, 9);
        expect_near_moments_bounded(tgt, src, h, q, tol);
        // A point with a NaN coordinate among them (in a tile with seven others): the kernel maps
        // a NaN distance to its clamp, so it gets clamp × Σq, and its neighbours stay within
        // their bounds.
        Cloud bad = tgt;
        bad.add(bad.x[0], NAN, bad.z[0]);
        GaussOptions o;
        o.tolerance = tol;
        o.force = static_cast<int>(GaussPath::Near);
        o.moments = true;
        const GaussSums g = gauss_transform(bad.view(), src.view(), h, q.data(), 1, o);
        double total = 0.0;
        for (double v : q) total += v;
        const double clamped = std::exp(detail::kExpMin) * total;
        EXPECT_NEAR(g.values[(bad.x.size() - 1) * g.width], clamped, 1e-12 * clamped);
        for (std::size_t i = 0; i + 1 < bad.x.size(); i += 5) {
            const RefRow r = reference(bad.view(), i, src.view(), h, q, 1, true);
            ASSERT_LE(std::fabs(g.values[i * g.width] - static_cast<double>(r.sum[0])),
                      g.bound[i] * static_cast<double>(r.mag[0]) * (1.0 + 1e-9))
                << "point " << i;
        }
    }
}

TEST(GaussTransform, NearAndFarAgreeWhereEitherCouldBeChosen) {
    // Widths around the switch between the two on a dense surface: each within its own bound of
    // the truth, so within the sum of both bounds of each other.
    const Cloud src = make_cloud("surface", 6000, 51), tgt = make_cloud("surface", 5000, 52);
    std::vector<double> q(src.x.size() * 2);
    for (std::size_t j = 0; j < src.x.size(); ++j) {
        q[2 * j] = 1.0 + static_cast<double>(j % 5);
        q[2 * j + 1] = src.x[j];
    }
    for (double h : {0.03, 0.06, 0.12}) {
        GaussOptions o;
        o.force = static_cast<int>(GaussPath::Near);
        const GaussSums near = gauss_transform(tgt.view(), src.view(), h, q.data(), 2, o);
        o.force = static_cast<int>(GaussPath::Far);
        const GaussSums far = gauss_transform(tgt.view(), src.view(), h, q.data(), 2, o);
        ASSERT_EQ(far.path, GaussPath::Far) << h;
        for (std::size_t i = 0; i < tgt.x.size(); i += 13) {
            const RefRow r = reference(tgt.view(), i, src.view(), h, q, 2, false);
            for (std::size_t k = 0; k < 2; ++k)
                EXPECT_LE(std::fabs(near.values[2 * i + k] - far.values[2 * i + k]),
                          (near.bound[i] + far.bound[i]) * static_cast<double>(r.mag[k]) * (1 + 1e-9))
                    << "h " << h << " point " << i;
        }
    }
}

TEST(GaussTransform, IsolatedPointsAndHugeWeightsStayBounded) {
    // A target far from every source (its sum is many orders below its neighbours') and a
    // source with a weight 1e12 times the others: the bound must still hold point by point.
    Cloud src = make_cloud("surface", 1500, 8), tgt = make_cloud("surface", 1200, 9);
    tgt.add(5.0, 5.0, 5.0);
    tgt.add(0.0, 0.0, 0.0);
    src.add(0.9, 0.0, 0.0);
    std::vector<double> q(src.x.size(), 1.0);
    q.back() = 1e12;
    GaussOptions o;
    o.force = static_cast<int>(GaussPath::Near);
    const GaussSums g = gauss_transform(tgt.view(), src.view(), 0.03, q.data(), 1, o);
    expect_bounded(g, tgt.view(), src.view(), 0.03, q, 1, o, 11);
    const std::size_t far = tgt.x.size() - 2;
    const RefRow r = reference(tgt.view(), far, src.view(), 0.03, q, 1, false);
    // Every source is beyond the kernel's clamp: the sum is the clamp times the total weight.
    double total = 0.0;
    for (double v : q) total += v;
    EXPECT_NEAR(g.values[far], std::exp(detail::kExpMin) * total, 1e-12 * std::exp(detail::kExpMin) * total);
    EXPECT_NEAR(g.values[far], static_cast<double>(r.sum[0]), g.bound[far] * static_cast<double>(r.mag[0]));
}

TEST(GaussTransform, NearPathAtTheClampCountsTakenCellsOnce) {
    // Heavy and light sources scattered just inside and just outside the kernel's clamp radius
    // (37.6h) around a few evaluation points, light filler far away: points grow to the clamp
    // radius, where the sources left out are added as clamp × weight from the cell sums of what
    // was not taken. A taken cell counted there too, or a left-out one missed, errs by far more
    // than the bound.
    const double h = 1.0;
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> u(-1.0, 1.0), r(37.2, 38.6);
    Cloud src, tgt;
    for (int t = 0; t < 11; ++t) tgt.add(0.05 * t, 0.02 * t, 0.0);  // a tile of eight, and three more
    std::vector<double> q;
    for (int s = 0; s < 400; ++s) {
        double d[3] = {u(rng), u(rng), u(rng)};
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) + 1e-12, rad = r(rng);
        src.add(d[0] / len * rad, d[1] / len * rad, d[2] / len * rad);
        q.push_back(s % 3 == 0 ? 1e12 : 1e6);  // sums far above the reference's absolute slack
    }
    for (int s = 0; s < 300; ++s) {
        src.add(300.0 + 0.01 * s, 0.0, 0.0);
        q.push_back(1e6);
    }
    for (double tol : {1e-6, 1e-12}) {
        expect_near_moments_bounded(tgt, src, h, q, tol);
    }
}

TEST(GaussTransform, LeftOutMassNearTheClampIsNotFlushedAway) {
    // A point's sources left out just inside the clamp radius, with a narrow kernel (h = 1e-3): the
    // kernel there times a distance is below the normal range, which the near path's loops flush
    // to zero. The bound must weigh the left-out weight against the kept magnitudes before such a
    // product forms, or a huge left-out weight over tiny kept moments would pass as bounded.
    const detail::FlushSubnormals ftz;
    detail::PairLayout l;
    l.c = 1;
    l.moments = true;
    l.h = 1e-3;
    l.inv_2h2 = 1.0 / (2.0 * l.h * l.h);
    std::vector<double> sums(l.slots(), 0.0);
    sums[0] = 1e-125;                  // Σq·K: the kept terms, all near the clamp, times 2^600
    sums[1] = sums[2] = sums[3] = 0.0;  // first moments cancel
    sums[4] = 1e-131;                  // Σq·K·|d|²
    sums[5] = 1e-128;                  // Σq·K·|d|₁
    const double outside = 1e180, rho = 0.03762;  // 37.62 widths: K(ρ)·ρ ≈ 5e-308·0.04, subnormal
    const double b = detail::point_bound(l, sums.data(), &outside, rho, nullptr, INFINITY, 0.1, 1e170, 10);
    EXPECT_GT(b, 1.0);  // the left-out moments dwarf the kept ones
}

TEST(GaussTransform, LargeCloudNearPathAgreesWithReferenceOnSampledPoints) {
    const Cloud src = make_cloud("surface", 20000, 21), tgt = make_cloud("surface", 20000, 22);
    const std::vector<double> q = make_weights(src.x.size(), 1, false, 23);
    GaussOptions o;
    o.moments = true;
    const GaussSums g = gauss_transform(tgt.view(), src.view(), 0.01, q.data(), 1, o);
    EXPECT_EQ(g.path, GaussPath::Near);
    expect_bounded(g, tgt.view(), src.view(), 0.01, q, 1, o, 997);
}

TEST(GaussTransform, SameBitsForOneTwoAndThreeThreads) {
    const Cloud src = make_cloud("surface", 3000, 31), tgt = make_cloud("uniform", 2000, 32);
    const Cloud dense = make_cloud("surface", 6000, 34);  // cells of many points: tiles of eight
    const std::vector<double> q2 = make_weights(src.x.size(), 2, true, 33), q1 = make_weights(src.x.size(), 1, false, 35);
    for (int moments : {0, 1})
        for (int force : {0, 1, -1}) {
            GaussOptions o;
            o.force = force;
            o.moments = moments == 1;
            o.floor = moments == 1 ? 1e-3 : 0.0;
            const Cloud& t = moments == 1 ? dense : tgt;
            std::vector<std::vector<double>> runs;
            for (std::size_t threads : {1, 2, 3}) {
                std::optional<GaussSums> g;
                run_in_pool(threads, [&] {
                    g.emplace(moments == 1 ? gauss_transform(t.view(), src.view(), 0.02, q1.data(), 1, o)
                                           : gauss_transform(t.view(), src.view(), 0.05, q2.data(), 2, o));
                });
                runs.push_back(g->values);
                runs.back().insert(runs.back().end(), g->bound.begin(), g->bound.end());
            }
            EXPECT_EQ(runs[0], runs[1]) << "moments " << moments << " path " << force;
            EXPECT_EQ(runs[0], runs[2]) << "moments " << moments << " path " << force;
        }
}

TEST(GaussTransform, TilesOfEightPointsSumWhatThePairLoopSums) {
    // Eight evaluation points in the lanes of one tile against runs of sources: one source gives
    // each point the pair loop's own bits in every slot (the same kernel value, the same moment
    // terms, in the point's own lane); longer runs agree with a long double sum to rounding.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.3, 0.3), w(1e-3, 1e3);
    detail::PairLayout l;
    l.c = 1;
    l.moments = true;
    l.h = 0.1;
    l.inv_2h2 = 1.0 / (2.0 * l.h * l.h);
    ASSERT_TRUE(detail::tile_layout(l));
    for (std::size_t run : {1, 3, 8, 29}) {
        std::vector<double> sx(run), sy(run), sz(run), q(run);
        for (std::size_t j = 0; j < run; ++j) {
            sx[j] = u(rng);
            sy[j] = u(rng);
            sz[j] = u(rng);
            q[j] = w(rng);
        }
        const detail::SourceArrays src = detail::gather_sources(sx.data(), sy.data(), sz.data(), q.data(), 1, nullptr, run);
        double t[24], tile[48] = {};
        for (double& v : t) v = u(rng);
        detail::add_moments_tile(src, 0, run, t, l.inv_2h2, tile);
        std::vector<double> acc(l.slots() * 8), sums(l.slots());
        for (std::size_t lane = 0; lane < 8; ++lane) {
            const double tx = t[lane], ty = t[8 + lane], tz = t[16 + lane];
            detail::reset_lanes(l, acc.data());
            detail::add_pairs(l, src, 0, run, tx, ty, tz, acc.data());
            detail::fold_lanes(l, acc.data(), sums.data());
            long double ref[6] = {};
            for (std::size_t j = 0; j < run; ++j) {
                const long double dx = sx[j] - tx, dy = sy[j] - ty, dz = sz[j] - tz, d2 = dx * dx + dy * dy + dz * dz;
                const long double kq = std::exp(-d2 / (2.0L * l.h * l.h)) * q[j];
                const long double terms[6] = {kq, kq * dx, kq * dy, kq * dz, kq * d2,
                                              kq * (std::fabs(dx) + std::fabs(dy) + std::fabs(dz))};
                for (int k = 0; k < 6; ++k) ref[k] += terms[k];
            }
            for (std::size_t k = 0; k < 6; ++k) {
                const double got = tile[k * 8 + lane];
                if (run == 1) {
                    EXPECT_EQ(got, sums[k]) << "lane " << lane << " slot " << k;
                } else {
                    // Relative to the magnitudes: slot 0 for the sum, slot 5 bounds |moments|·√3.
                    const long double scale = k == 0 ? ref[0] : k == 4 ? ref[4] : ref[5];
                    EXPECT_LE(std::fabs(got - ref[k]), 1e-14L * scale) << "run " << run << " lane " << lane << " slot " << k;
                }
            }
        }
    }
}

TEST(GaussTransform, CancellationStopsPromptly) {
    const Cloud src = make_cloud("uniform", 40000, 41), tgt = make_cloud("uniform", 40000, 42);
    const std::vector<double> q(src.x.size(), 1.0);
    std::atomic<bool> flag{true};
    GaussOptions o;
    o.cancel = &flag;
    o.force = static_cast<int>(GaussPath::Direct);
    GaussSums g = gauss_transform(tgt.view(), src.view(), 0.1, q.data(), 1, o);
    for (double v : g.values) EXPECT_EQ(v, 0.0);
    // Set while running: a direct transform of 1.6e9 pairs stops long before it would finish.
    flag = false;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        flag = true;
    });
    const auto t0 = std::chrono::steady_clock::now();
    g = gauss_transform(tgt.view(), src.view(), 0.1, q.data(), 1, o);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    setter.join();
    EXPECT_LT(secs, 1.0);
}

TEST(GaussTransform, EmptyInputsAndExp64Accuracy) {
    const Cloud one = make_cloud("uniform", 3, 1), none;
    const std::vector<double> q(3, 1.0);
    GaussOptions o;
    GaussSums g = gauss_transform(none.view(), one.view(), 0.1, q.data(), 1, o);
    EXPECT_TRUE(g.values.empty());
    g = gauss_transform(one.view(), none.view(), 0.1, q.data(), 1, o);
    for (double v : g.values) EXPECT_EQ(v, 0.0);
    // The kernel's exponential: within 2 ulp of the C library's over its whole range.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(detail::kExpMin, 0.0);
    for (int i = 0; i < 200000; ++i) {
        const double x = i < 4 ? std::vector<double>{0.0, -1e-300, detail::kExpMin, -0.5}[i] : u(rng);
        const double ref = std::exp(static_cast<long double>(x));
        EXPECT_LE(std::fabs(detail::exp64(x) - ref), 4.5e-16 * ref) << x;
    }
    // The pair loops' own exponential, vector lanes: the same contract on every lane.
    detail::PairLayout l;
    l.c = 1;
    l.inv_2h2 = 0.5;
    std::uniform_real_distribution<double> d(0.0, std::sqrt(-2.0 * detail::kExpMin));
    std::vector<double> xs(8), zero(8, 0.0), ones(8, 1.0), acc(8);
    for (int i = 0; i < 25000; ++i) {
        for (double& v : xs) v = d(rng);
        const detail::SourceArrays src = detail::gather_sources(xs.data(), zero.data(), zero.data(), ones.data(), 1,
                                                                nullptr, 8);
        detail::reset_lanes(l, acc.data());
        detail::add_pairs(l, src, 0, 8, 0.0, 0.0, 0.0, acc.data());  // lane k holds source k's value
        for (std::size_t lane = 0; lane < 8; ++lane) {
            const double got = acc[lane];
            const double x = -(xs[lane] * xs[lane]) * 0.5;  // the argument as the loop forms it
            const long double ref = std::exp(static_cast<long double>(std::max(x, detail::kExpMin)));
            EXPECT_LE(std::fabs(got - ref), 4.5e-16 * ref) << x;
        }
    }
}

}  // namespace
