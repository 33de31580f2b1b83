// The far path of the Gauss transform against a direct sum: every reported bound must cover the
// observed error, typical points must meet the tolerance, and results must not depend on threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../src/far_field.hpp"
#include "tarvic/threads.hpp"

using namespace tarvic;
using tarvic::detail::far_plan;
using tarvic::detail::far_transform;
using tarvic::detail::FarPlan;

namespace {

struct Cloud {
    std::vector<double> x, y, z;
    std::size_t size() const { return x.size(); }
    Points64 view() const { return {x.data(), y.data(), z.data(), x.size()}; }
    void add(double a, double b, double c) {
        x.push_back(a);
        y.push_back(b);
        z.push_back(c);
    }
};

enum class Shape { Uniform, Surface, Clusters, Duplicates, Strip };

const char* shape_name(Shape s) {
    switch (s) {
        case Shape::Uniform: return "uniform";
        case Shape::Surface: return "surface";
        case Shape::Clusters: return "clusters";
        case Shape::Duplicates: return "duplicates";
        case Shape::Strip: return "strip";
    }
    return "?";
}

// Clouds inside roughly [−1, 1]³.
Cloud make_cloud(Shape shape, std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> g(0.0, 1.0);
    Cloud c;
    switch (shape) {
        case Shape::Uniform:
            for (std::size_t i = 0; i < n; ++i) c.add(u(rng), u(rng), u(rng));
            break;
        case Shape::Surface:  // a bumpy closed surface
            for (std::size_t i = 0; i < n; ++i) {
                const double th = M_PI * (u(rng) + 1.0), ph = std::acos(u(rng));
                const double r = 1.0 + 0.25 * std::sin(3 * th) * std::sin(2 * ph);
                c.add(0.8 * r * std::sin(ph) * std::cos(th), 0.6 * r * std::sin(ph) * std::sin(th),
                      0.5 * r * std::cos(ph));
            }
            break;
        case Shape::Clusters: {  // five tight blobs of different sizes
            const double centre[5][3] = {{-0.7, -0.6, 0.1}, {0.6, 0.5, -0.4}, {0.0, 0.8, 0.7},
                                         {-0.2, -0.1, -0.8}, {0.8, -0.7, 0.6}};
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = i % 5;
                const double s = 0.02 + 0.03 * static_cast<double>(k);
                c.add(centre[k][0] + s * g(rng), centre[k][1] + s * g(rng), centre[k][2] + s * g(rng));
            }
            break;
        }
        case Shape::Duplicates: {  // a handful of distinct points, each repeated many times
            const std::size_t distinct = std::max<std::size_t>(1, n / 200);
            std::vector<double> p(3 * distinct);
            for (double& v : p) v = 0.8 * u(rng);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = i % distinct;
                c.add(p[3 * k], p[3 * k + 1], p[3 * k + 2]);
            }
            break;
        }
        case Shape::Strip:  // long, narrow and flat
            for (std::size_t i = 0; i < n; ++i) c.add(u(rng), 0.05 * u(rng), 0.002 * u(rng));
            break;
    }
    return c;
}

enum class Weights { Ones, Spread12, Signed, Moments, Wide };

// m × c weights: ones; positive over twelve orders of magnitude; signed; q with q·x, q·y, q·z (c = 4);
// or `c` signed columns with smooth structure (a deformable model's coefficients).
std::vector<double> make_weights(Weights w, const Cloud& s, std::size_t c, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const std::size_t m = s.size();
    std::vector<double> q(m * c);
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = 0; k < c; ++k) {
            double v = 1.0;
            switch (w) {
                case Weights::Ones: v = 1.0; break;
                case Weights::Spread12: v = std::pow(10.0, 6.0 * u(rng)); break;
                case Weights::Signed: v = u(rng); break;
                case Weights::Moments: {
                    // An E-step's 1/D_n: smooth, over three orders of magnitude across the cloud.
                    const double base = std::pow(10.0, 1.5 * std::sin(2.0 * s.x[j] + s.y[j]));
                    const double coord[4] = {1.0, s.x[j], s.y[j], s.z[j]};
                    v = base * coord[k % 4];
                    break;
                }
                case Weights::Wide:
                    v = std::sin(static_cast<double>(k + 1) * s.x[j] + 0.3 * static_cast<double>(k) * s.z[j]) + 0.1 * u(rng);
                    break;
            }
            q[j * c + k] = v;
        }
    return q;
}

// Direct sums in extended precision: S (n × c) and Σ_j |q_jk| K_ij; and column 0's gradient in the
// evaluation point, Σ_j q_j0 K_ij (s_j − t_i)/h² (n × 3), with Σ_j |q_j0| K_ij |s_j − t_i|₁/h².
struct Reference {
    std::vector<double> sum, mag, grad, grad_mag;
};

Reference direct(const Cloud& t, const Cloud& s, double h, const std::vector<double>& q, std::size_t c) {
    const std::size_t n = t.size(), m = s.size();
    Reference r;
    r.sum.assign(n * c, 0.0);
    r.mag.assign(n * c, 0.0);
    r.grad.assign(3 * n, 0.0);
    r.grad_mag.assign(n, 0.0);
    const long double hh = static_cast<long double>(h) * static_cast<long double>(h), inv = 1.0L / (2.0L * hh);
    std::vector<long double> acc(c), mag(c);
    for (std::size_t i = 0; i < n; ++i) {
        std::fill(acc.begin(), acc.end(), 0.0L);
        std::fill(mag.begin(), mag.end(), 0.0L);
        long double g[3] = {0.0L, 0.0L, 0.0L}, gm = 0.0L;
        for (std::size_t j = 0; j < m; ++j) {
            const long double dx = static_cast<long double>(t.x[i]) - s.x[j];
            const long double dy = static_cast<long double>(t.y[i]) - s.y[j];
            const long double dz = static_cast<long double>(t.z[i]) - s.z[j];
            const long double k = std::exp(-(dx * dx + dy * dy + dz * dz) * inv);
            for (std::size_t cc = 0; cc < c; ++cc) {
                acc[cc] += q[j * c + cc] * k;
                mag[cc] += std::fabs(static_cast<long double>(q[j * c + cc])) * k;
            }
            const long double kq = q[j * c] * k / hh;
            g[0] -= kq * dx;
            g[1] -= kq * dy;
            g[2] -= kq * dz;
            gm += std::fabs(kq) * (std::fabs(dx) + std::fabs(dy) + std::fabs(dz));
        }
        for (std::size_t cc = 0; cc < c; ++cc) {
            r.sum[i * c + cc] = static_cast<double>(acc[cc]);
            r.mag[i * c + cc] = static_cast<double>(mag[cc]);
        }
        for (int a = 0; a < 3; ++a) r.grad[3 * i + a] = static_cast<double>(g[a]);
        r.grad_mag[i] = static_cast<double>(gm);
    }
    return r;
}

struct Result {
    FarPlan plan;
    std::vector<double> out, bound, grad, grad_err;
};

// With `gradient` > 0, column 0's gradient too, planned for errors weighed `gradient` times their size.
Result run(const Cloud& t, const Cloud& s, double h, const std::vector<double>& q, std::size_t c, double tol,
           double floor = 0.0, bool parallel = true, CancelFlag cancel = nullptr, double gradient = 0.0) {
    Result r;
    r.plan = far_plan(t.view(), s.view(), h, tol, c, q.data(), floor, gradient);
    r.out.assign(t.size() * c, -1.0);
    r.bound.assign(t.size(), -1.0);
    if (gradient > 0.0) {
        r.grad.assign(3 * t.size(), -1.0);
        r.grad_err.assign(t.size(), -1.0);
    }
    far_transform(r.plan, t.view(), s.view(), h, q.data(), c, floor, parallel, cancel, r.out.data(), r.bound.data(),
                  gradient > 0.0 ? r.grad.data() : nullptr, gradient > 0.0 ? r.grad_err.data() : nullptr);
    return r;
}

// Largest observed gradient error over its bound (≤ 1 when every bound holds), the reference's own
// rounding allowed for.
double worst_grad_violation(const Result& r, const Reference& ref) {
    double worst = 0.0;
    for (std::size_t i = 0; i < r.grad_err.size(); ++i)
        for (int a = 0; a < 3; ++a) {
            const double err = std::fabs(r.grad[3 * i + a] - ref.grad[3 * i + a]);
            const double allowed = r.grad_err[i] + 1e-15 * ref.grad_mag[i];
            if (err == 0.0) continue;
            worst = std::max(worst, allowed > 0.0 ? err / allowed : std::numeric_limits<double>::infinity());
        }
    return worst;
}

// Largest observed error over the reported bound (≤ 1 when every bound holds). The reference's
// own rounding (extended precision, converted to double) is allowed for.
double worst_violation(const Result& r, const Reference& ref, std::size_t c, double floor) {
    double worst = 0.0;
    for (std::size_t i = 0; i < r.bound.size(); ++i)
        for (std::size_t k = 0; k < c; ++k) {
            const double scale = ref.mag[i * c + k] + (k == 0 ? floor : 0.0);
            const double err = std::fabs(r.out[i * c + k] - ref.sum[i * c + k]);
            const double allowed = r.bound[i] * scale + 1e-15 * ref.mag[i * c + k];
            if (err == 0.0) continue;
            worst = std::max(worst, allowed > 0.0 ? err / allowed : std::numeric_limits<double>::infinity());
        }
    return worst;
}

double share_within(const std::vector<double>& bound, double tol) {
    std::size_t ok = 0;
    for (double b : bound) ok += b <= tol;
    return static_cast<double>(ok) / static_cast<double>(bound.size());
}

// ---------------------------------------------------------------------------------------------

// The code takes the Lebesgue constant of the local basis at σ = 1/2. The Lebesgue function is a
// polynomial of degree P − 1 on [0, 1] (no basis function changes sign there); sampled densely and
// widened by Markov's inequality, its maximum must not exceed the midpoint value.
TEST(FarField, LebesgueConstantAtMidpoint) {
    for (int P = 4; P <= 16; P += 2) {
        const int p = P / 2;
        auto lebesgue = [&](double s) {
            double total = 0.0;
            for (int a = 0; a < P; ++a) {
                double v = 1.0;
                for (int b = 0; b < P; ++b)
                    if (b != a) v *= (s - (b - p + 1)) / static_cast<double>(a - b);
                total += std::fabs(v);
            }
            return total;
        };
        const int samples = 1 << 16;
        double sampled = 0.0;
        for (int k = 0; k <= samples; ++k) sampled = std::max(sampled, lebesgue(static_cast<double>(k) / samples));
        const double markov = static_cast<double>((P - 1) * (P - 1)) / samples;  // |λ'| ≤ 2(P−1)²·max λ
        EXPECT_LE(sampled, lebesgue(0.5) * (1.0 + 1e-13)) << "P = " << P;
        EXPECT_LE(sampled / (1.0 - markov), lebesgue(0.5) * (1.0 + 2.0 * markov)) << "P = " << P;
    }
}

// The gradient's constants: the node polynomial's slope and the derivative weights' magnitudes,
// sampled densely on [0, 1] (the worst case between samples widened by Markov's inequality for
// polynomials of degree P − 1), stay within the bounds the code takes, and the slope bound is not
// loose by more than 2% (it scales the gradient's main error term).
TEST(FarField, GradientConstantsBoundTheBasis) {
    for (int P = 4; P <= 16; P += 2) {
        const int p = P / 2;
        const detail::FarBasisBounds b = detail::far_basis_bounds(P);
        auto node = [&](int k) { return static_cast<long double>(k - p + 1); };
        auto sampled = [&](auto&& f) {
            const int samples = 1 << 14;
            long double best = 0.0L;
            for (int k = 0; k <= samples; ++k) best = std::max(best, f(static_cast<long double>(k) / samples));
            return best / (1.0L - 2.0L * (P - 1) * (P - 1) / (2.0L * samples));
        };
        const long double slope = sampled([&](long double x) {
            long double sum = 0.0L;
            for (int a = 0; a < P; ++a) {
                long double v = 1.0L;
                for (int c = 0; c < P; ++c)
                    if (c != a) v *= x - node(c);
                sum += v;
            }
            return std::fabs(sum);
        });
        const long double weights = sampled([&](long double x) {
            long double total = 0.0L;
            for (int a = 0; a < P; ++a) {
                long double den = 1.0L, d = 0.0L;
                for (int b2 = 0; b2 < P; ++b2)
                    if (b2 != a) den *= static_cast<long double>(a - b2);
                for (int c = 0; c < P; ++c) {
                    if (c == a) continue;
                    long double v = 1.0L;
                    for (int b2 = 0; b2 < P; ++b2)
                        if (b2 != a && b2 != c) v *= x - node(b2);
                    d += v;
                }
                total += std::fabs(d / den);
            }
            return total;
        });
        EXPECT_LE(slope, b.node_slope) << "P = " << P;
        EXPECT_LE(b.node_slope, 1.02 * slope) << "P = " << P;
        EXPECT_LE(weights, b.slope_lebesgue) << "P = " << P;
        EXPECT_GT(b.lebesgue, 1.0) << "P = " << P;
    }
}

// Column 0's gradient against the direct sum on every shape, widths from 1/40 of the extent to ten
// times it, evaluation points inside and outside the sources' box: every bound holds, and with the
// gradient in the plan (weighed as the moments weigh it, h²/diagonal) almost every point's
// gradient error is within the tolerance of diagonal·S/h². (At ten times the extent and 1e-9 the
// plan declines: the gradient's rounding, weighed by h/diagonal, stays above it.)
TEST(FarField, GradientWithinItsBound) {
    struct G {
        Shape src, tgt;
        double h, tol, shift;
        Weights w;
    };
    for (const G& k : {G{Shape::Surface, Shape::Surface, 0.05, 1e-6, 0.0, Weights::Ones},
                       G{Shape::Surface, Shape::Surface, 0.2, 1e-8, 0.0, Weights::Moments},
                       G{Shape::Clusters, Shape::Clusters, 0.1, 1e-6, 0.0, Weights::Spread12},
                       G{Shape::Strip, Shape::Strip, 0.05, 1e-6, 0.0, Weights::Ones},
                       G{Shape::Duplicates, Shape::Uniform, 1.0, 1e-9, 0.0, Weights::Ones},
                       G{Shape::Uniform, Shape::Surface, 0.3, 1e-6, 1.5, Weights::Spread12},
                       G{Shape::Surface, Shape::Uniform, 3.0, 1e-9, 0.0, Weights::Ones},
                       G{Shape::Surface, Shape::Uniform, 20.0, 1e-6, 0.0, Weights::Ones}}) {
        const Cloud s = make_cloud(k.src, 2000, 51);
        Cloud t = make_cloud(k.tgt, 1200, 52);
        for (double& x : t.x) x += k.shift;
        const std::vector<double> q = make_weights(k.w, s, k.w == Weights::Moments ? 4 : 1, 53);
        const std::size_t c = k.w == Weights::Moments ? 4 : 1;
        double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
        for (std::size_t j = 0; j < s.size(); ++j) {
            const double v[3] = {s.x[j], s.y[j], s.z[j]};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], v[a]);
                hi[a] = std::max(hi[a], v[a]);
            }
        }
        const double diag = std::hypot(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]);
        const double scale = k.h * k.h / diag;
        const Result r = run(t, s, k.h, q, c, k.tol, 0.0, true, nullptr, scale);
        SCOPED_TRACE(std::string(shape_name(k.src)) + " h=" + std::to_string(k.h));
        ASSERT_TRUE(r.plan.feasible);
        const Reference ref = direct(t, s, k.h, q, c);
        EXPECT_LE(worst_grad_violation(r, ref), 1.0);
        EXPECT_LE(worst_violation(r, ref, c, 0.0), 1.0);
        // Points outside the sources' box are not typical (their sums are small against the
        // envelopes): there the bound only has to hold.
        if (k.shift != 0.0) continue;
        std::size_t ok = 0;
        for (std::size_t i = 0; i < t.size(); ++i) ok += r.grad_err[i] * scale <= k.tol * ref.sum[i * c];
        EXPECT_GE(static_cast<double>(ok), 0.9 * static_cast<double>(t.size()));
    }
}

struct Case {
    Shape src, tgt;
    std::size_t m, n;
    double h;
    double tol;
    Weights w;
    std::size_t c;
    double floor;
    double typical_share;  // share of evaluation points that must meet the tolerance
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    const Case& k = info.param;
    return std::string(shape_name(k.src)) + "_" + shape_name(k.tgt) + "_" + std::to_string(info.index);
}

class FarAccuracy : public ::testing::TestWithParam<Case> {};

TEST_P(FarAccuracy, BoundCoversErrorAndMeetsTolerance) {
    const Case& k = GetParam();
    const Cloud s = make_cloud(k.src, k.m, 11), t = make_cloud(k.tgt, k.n, 12);
    const std::vector<double> q = make_weights(k.w, s, k.c, 13);
    const Result r = run(t, s, k.h, q, k.c, k.tol, k.floor);
    ASSERT_TRUE(r.plan.feasible);
    EXPECT_LE(r.plan.typical_bound, k.tol);
    EXPECT_GT(r.plan.seconds, 0.0);
    EXPECT_LE(r.plan.bytes, std::size_t{512} << 20);
    const Reference ref = direct(t, s, k.h, q, k.c);
    EXPECT_LE(worst_violation(r, ref, k.c, k.floor), 1.0);
    EXPECT_GE(share_within(r.bound, k.tol), k.typical_share);
    for (double b : r.bound) ASSERT_GE(b, 0.0);
}

// Widths from 1/40 of the extent (≈ 2) to ten times it.
INSTANTIATE_TEST_SUITE_P(
    Far, FarAccuracy,
    ::testing::Values(
        Case{Shape::Uniform, Shape::Uniform, 2000, 1500, 0.15, 1e-6, Weights::Ones, 1, 0.0, 0.99},
        Case{Shape::Surface, Shape::Surface, 3000, 1500, 0.05, 1e-6, Weights::Ones, 1, 0.0, 0.99},
        Case{Shape::Uniform, Shape::Uniform, 1500, 1500, 0.3, 1e-9, Weights::Ones, 1, 0.0, 1.0},
        Case{Shape::Surface, Shape::Surface, 3000, 2500, 0.1, 1e-6, Weights::Ones, 1, 0.0, 0.99},
        Case{Shape::Surface, Shape::Surface, 2500, 2000, 0.2, 1e-9, Weights::Moments, 4, 0.0, 0.95},
        Case{Shape::Surface, Shape::Uniform, 2000, 1000, 1.0, 1e-9, Weights::Spread12, 1, 0.0, 0.95},
        Case{Shape::Clusters, Shape::Clusters, 2000, 1500, 0.08, 1e-6, Weights::Spread12, 2, 1e-3, 0.85},
        Case{Shape::Clusters, Shape::Uniform, 1500, 1500, 0.5, 1e-6, Weights::Signed, 3, 0.0, 0.95},
        Case{Shape::Duplicates, Shape::Duplicates, 3000, 1000, 0.1, 1e-9, Weights::Ones, 1, 0.5, 1.0},
        Case{Shape::Duplicates, Shape::Uniform, 2000, 800, 2.0, 1e-6, Weights::Moments, 4, 0.0, 0.95},
        Case{Shape::Strip, Shape::Strip, 2000, 2000, 0.05, 1e-6, Weights::Ones, 1, 0.0, 0.99},
        Case{Shape::Strip, Shape::Surface, 1500, 1500, 20.0, 1e-9, Weights::Signed, 2, 0.0, 1.0},
        Case{Shape::Surface, Shape::Surface, 400, 400, 0.6, 1e-6, Weights::Wide, 110, 0.0, 0.95},
        Case{Shape::Uniform, Shape::Surface, 1, 700, 0.3, 1e-6, Weights::Ones, 1, 0.0, 0.0},
        Case{Shape::Surface, Shape::Uniform, 900, 1, 0.3, 1e-9, Weights::Signed, 2, 0.0, 1.0}),
    case_name);

// A single source and a single evaluation point at several distances: the bound holds and is
// small where the kernel is not tiny; a point 7 widths away is left to the other paths.
TEST(FarField, SinglePairAtDistances) {
    for (const double d : {0.0, 0.01, 0.3, 1.0, 2.5}) {
        Cloud s, t;
        s.add(0.1, -0.2, 0.3);
        t.add(0.1 + d, -0.2, 0.3 - 0.5 * d);
        const double h = 0.4;
        const std::vector<double> q = {2.5};
        const Result r = run(t, s, h, q, 1, 1e-9);
        EXPECT_EQ(r.plan.feasible, d < 2.0) << "d = " << d;
        if (!r.plan.feasible) continue;
        const Reference ref = direct(t, s, h, q, 1);
        EXPECT_LE(worst_violation(r, ref, 1, 0.0), 1.0) << "d = " << d;
        EXPECT_LE(r.bound[0], 1e-9) << "d = " << d;
    }
}

// A heavy source next to evaluation points whose own sums are light: their bounds grow, honestly.
// Planned with the weights, the far path declines; planned for unit weights, it runs and says so.
TEST(FarField, HugeWeightGivesHonestLargeBounds) {
    const Cloud s0 = make_cloud(Shape::Uniform, 1500, 3), t = make_cloud(Shape::Uniform, 1000, 4);
    Cloud s = s0;
    s.add(0.0, 0.0, 0.0);
    std::vector<double> q(s.size(), 1e-3);
    q.back() = 1e12;
    const double h = 0.1;
    EXPECT_FALSE(far_plan(t.view(), s.view(), h, 1e-6, 1, q.data()).feasible);
    Result r;
    r.plan = far_plan(t.view(), s.view(), h, 1e-6, 1);
    ASSERT_TRUE(r.plan.feasible);
    r.out.resize(t.size());
    r.bound.resize(t.size());
    far_transform(r.plan, t.view(), s.view(), h, q.data(), 1, 0.0, true, nullptr, r.out.data(), r.bound.data());
    const Reference ref = direct(t, s, h, q, 1);
    EXPECT_LE(worst_violation(r, ref, 1, 0.0), 1.0);
    double largest = 0.0;
    for (double b : r.bound) largest = std::max(largest, b);
    EXPECT_GT(largest, 1e-6);
}

// Coordinates far from the origin and at another scale: same relative accuracy.
TEST(FarField, ArbitraryFrame) {
    const Cloud s0 = make_cloud(Shape::Surface, 1500, 5), t0 = make_cloud(Shape::Surface, 1000, 6);
    const double scale = 3e-4, shift[3] = {1e3, -2e4, 5e2};
    auto moved = [&](const Cloud& c) {
        Cloud o;
        for (std::size_t i = 0; i < c.size(); ++i)
            o.add(shift[0] + scale * c.x[i], shift[1] + scale * c.y[i], shift[2] + scale * c.z[i]);
        return o;
    };
    const Cloud s = moved(s0), t = moved(t0);
    const std::vector<double> q = make_weights(Weights::Moments, s0, 4, 7);
    const double h = 0.15 * scale;
    const Result r = run(t, s, h, q, 4, 1e-6);
    ASSERT_TRUE(r.plan.feasible);
    const Reference ref = direct(t, s, h, q, 4);
    EXPECT_LE(worst_violation(r, ref, 4, 0.0), 1.0);
    EXPECT_GE(share_within(r.bound, 1e-6), 0.95);
}

// Identical bits with 1, 2 and 3 threads and without the pool, on the slab spread (narrow
// width), the private-grid spread (wide width) and several signed columns.
TEST(FarField, SameBitsAtAnyThreadCount) {
    const Cloud s = make_cloud(Shape::Surface, 4000, 21), t = make_cloud(Shape::Surface, 2000, 22);
    for (const double h : {0.06, 1.5}) {
        const std::size_t c = 3;
        const std::vector<double> q = make_weights(Weights::Signed, s, c, 23);
        std::vector<double> qg = q;
        for (std::size_t j = 0; j < s.size(); ++j) qg[j * c] = std::fabs(qg[j * c]);  // the gradient's column
        const Result serial = run(t, s, h, qg, c, 1e-6, 0.0, false, nullptr, 0.01);
        ASSERT_TRUE(serial.plan.feasible);
        EXPECT_EQ(serial.plan.partials != 0, h > 1.0);
        for (const std::size_t threads : {1, 2, 3}) {
            const Result par = run_in_pool(threads, [&] { return run(t, s, h, qg, c, 1e-6, 0.0, true, nullptr, 0.01); });
            EXPECT_EQ(0, std::memcmp(par.grad.data(), serial.grad.data(), par.grad.size() * sizeof(double)));
            EXPECT_EQ(0, std::memcmp(par.grad_err.data(), serial.grad_err.data(), par.grad_err.size() * sizeof(double)));
            ASSERT_EQ(par.out.size(), serial.out.size());
            EXPECT_EQ(0, std::memcmp(par.out.data(), serial.out.data(), par.out.size() * sizeof(double)))
                << "h = " << h << ", threads = " << threads;
            EXPECT_EQ(0, std::memcmp(par.bound.data(), serial.bound.data(), par.bound.size() * sizeof(double)))
                << "h = " << h << ", threads = " << threads;
        }
    }
}

// Every order the kernels are built for (rows of 4 to 16 values: vectors of 8, 4 and 2 lanes in
// every combination) on one grid: the plan's spacing and taps with another order. The bound is
// computed from the parameters actually used, so it must cover the error whatever the order; and it
// must be small enough at most points for that to mean something (the plan takes P = 16 here; with
// its spacing P = 4 is bounded within about 1%, P = 8 within 1e-4).
TEST(FarField, EveryOrderOnOneGrid) {
    const Cloud s = make_cloud(Shape::Surface, 2500, 41), t = make_cloud(Shape::Surface, 1200, 42);
    const std::size_t c = 4;
    const double h = 0.15;
    const std::vector<double> q = make_weights(Weights::Moments, s, c, 43);
    const FarPlan base = far_plan(t.view(), s.view(), h, 1e-6, c, q.data());
    ASSERT_TRUE(base.feasible);
    const Reference ref = direct(t, s, h, q, c);
    for (int P = 4; P <= 16; P += 2) {
        Result r;
        r.plan = base;
        r.plan.order = P;
        r.out.assign(t.size() * c, -1.0);
        r.bound.assign(t.size(), -1.0);
        r.grad.assign(3 * t.size(), -1.0);
        r.grad_err.assign(t.size(), -1.0);
        far_transform(r.plan, t.view(), s.view(), h, q.data(), c, 0.0, true, nullptr, r.out.data(), r.bound.data(),
                      r.grad.data(), r.grad_err.data());
        EXPECT_LE(worst_violation(r, ref, c, 0.0), 1.0) << "P = " << P;
        EXPECT_LE(worst_grad_violation(r, ref), 1.0) << "P = " << P;
        EXPECT_GE(share_within(r.bound, 0.05), 0.5) << "P = " << P;
    }
}

TEST(FarField, Infeasible) {
    const Cloud s = make_cloud(Shape::Uniform, 500, 31), t = make_cloud(Shape::Uniform, 500, 32);
    EXPECT_FALSE(far_plan(t.view(), s.view(), 1e-5, 1e-6, 1).feasible);   // the grid would not fit
    EXPECT_FALSE(far_plan(t.view(), s.view(), 0.0, 1e-6, 1).feasible);
    EXPECT_FALSE(far_plan(t.view(), s.view(), -1.0, 1e-6, 1).feasible);
    EXPECT_FALSE(far_plan(t.view(), s.view(), std::nan(""), 1e-6, 1).feasible);
    EXPECT_FALSE(far_plan(t.view(), s.view(), 0.2, 0.0, 1).feasible);
    EXPECT_FALSE(far_plan(t.view(), s.view(), 0.2, 1.0, 1).feasible);
    Cloud far = s;
    far.add(1e9, 0.0, 0.0);  // one distant point makes the box enormous
    EXPECT_FALSE(far_plan(t.view(), far.view(), 0.2, 1e-6, 1).feasible);
    Cloud bad = s;
    bad.add(std::numeric_limits<double>::infinity(), 0.0, 0.0);
    EXPECT_FALSE(far_plan(t.view(), bad.view(), 0.2, 1e-6, 1).feasible);
    // An infeasible plan is reported through infinite bounds, not a crash.
    const std::vector<double> q(s.size(), 1.0);
    const Result r = run(t, s, 1e-5, q, 1, 1e-6);
    EXPECT_FALSE(r.plan.feasible);
    for (double b : r.bound) EXPECT_EQ(b, std::numeric_limits<double>::infinity());
    for (double v : r.out) EXPECT_EQ(v, 0.0);
}

// Points the plan was not made for are not bounded: evaluation points outside its grid get infinite
// bounds; sources outside it leave every bound infinite.
TEST(FarField, PointsOutsideThePlan) {
    const Cloud s = make_cloud(Shape::Uniform, 800, 41), t = make_cloud(Shape::Uniform, 800, 42);
    const std::vector<double> q(s.size(), 1.0);
    const FarPlan plan = far_plan(t.view(), s.view(), 0.2, 1e-6, 1);
    ASSERT_TRUE(plan.feasible);
    Cloud t2 = t;
    t2.add(50.0, 0.0, 0.0);
    std::vector<double> out(t2.size()), bound(t2.size());
    far_transform(plan, t2.view(), s.view(), 0.2, q.data(), 1, 0.0, true, nullptr, out.data(), bound.data());
    EXPECT_EQ(bound.back(), std::numeric_limits<double>::infinity());
    EXPECT_LE(bound.front(), 1e-6);
    Cloud s2 = s;
    s2.add(-50.0, 0.0, 0.0);
    std::vector<double> q2(s2.size(), 1.0);
    far_transform(plan, t.view(), s2.view(), 0.2, q2.data(), 1, 0.0, true, nullptr, out.data(), bound.data());
    for (std::size_t i = 0; i < t.size(); ++i) EXPECT_EQ(bound[i], std::numeric_limits<double>::infinity());
}

TEST(FarField, EmptyInputs) {
    const Cloud s = make_cloud(Shape::Uniform, 10, 51), t = make_cloud(Shape::Uniform, 5, 52), none;
    const std::vector<double> q(s.size(), 1.0);
    const FarPlan plan = far_plan(t.view(), none.view(), 0.2, 1e-6, 1);
    EXPECT_TRUE(plan.feasible);
    std::vector<double> out(t.size(), 7.0), bound(t.size(), 7.0);
    far_transform(plan, t.view(), none.view(), 0.2, q.data(), 1, 0.0, true, nullptr, out.data(), bound.data());
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(out[i], 0.0);
        EXPECT_EQ(bound[i], 0.0);
    }
    // An all-zero column sums to exact zeros beside a non-zero one.
    std::vector<double> q2(2 * s.size(), 0.0);
    for (std::size_t j = 0; j < s.size(); ++j) q2[2 * j + 1] = 1.0;
    const Result r = run(t, s, 0.5, q2, 2, 1e-6);
    const Reference ref = direct(t, s, 0.5, q2, 2);
    for (std::size_t i = 0; i < t.size(); ++i) EXPECT_EQ(r.out[2 * i], 0.0);
    EXPECT_LE(worst_violation(r, ref, 2, 0.0), 1.0);
}

// A set flag stops the transform within a fraction of its running time; nothing is bounded then.
TEST(FarField, CancelReturnsPromptly) {
    const Cloud s = make_cloud(Shape::Surface, 30000, 61), t = make_cloud(Shape::Surface, 30000, 62);
    const std::vector<double> q = make_weights(Weights::Moments, s, 4, 63);
    const double h = 0.05;
    using clk = std::chrono::steady_clock;
    const FarPlan plan = far_plan(t.view(), s.view(), h, 1e-6, 4);
    ASSERT_TRUE(plan.feasible);
    std::vector<double> out(4 * t.size()), bound(t.size());
    auto t0 = clk::now();
    far_transform(plan, t.view(), s.view(), h, q.data(), 4, 0.0, true, nullptr, out.data(), bound.data());
    const double full = std::chrono::duration<double>(clk::now() - t0).count();

    std::atomic<bool> flag{true};
    t0 = clk::now();
    far_transform(plan, t.view(), s.view(), h, q.data(), 4, 0.0, true, &flag, out.data(), bound.data());
    const double preset = std::chrono::duration<double>(clk::now() - t0).count();
    EXPECT_LT(preset, 0.25 * full);
    for (double b : bound) ASSERT_EQ(b, std::numeric_limits<double>::infinity());

    flag = false;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(0.1 * full));
        flag = true;
    });
    t0 = clk::now();
    far_transform(plan, t.view(), s.view(), h, q.data(), 4, 0.0, true, &flag, out.data(), bound.data());
    const double stopped = std::chrono::duration<double>(clk::now() - t0).count();
    setter.join();
    EXPECT_LT(stopped, 0.5 * full);
    for (double b : bound) ASSERT_EQ(b, std::numeric_limits<double>::infinity());
}

}  // namespace
