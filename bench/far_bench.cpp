// The far path of the Gauss transform on surface clouds: plan, time on one and two threads,
// accuracy against a compensated double-precision direct sum at sampled points, and the time of
// the library's dense paths for comparison (single-precision kernel values): the E-step, which
// forms T1 (c = 1) and T2 (c = 4) in one pass, and the kernel product G·V (c = 110).
//
//   build/bench/far_bench                 the table: 10^5 and 10^6 points, h = 0.05, 0.1, 0.3 of the
//                                         extent, c = 1, 4 (and 110 at 10^5), tolerance 1e-6 and 1e-9
//   build/bench/far_bench --quick         10^5 points only
//   build/bench/far_bench --calibrate     one-thread runs over varied problems and a least-squares
//                                         fit of the cost model's constants
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <oneapi/tbb/parallel_for.h>

#include "../core/src/far_field.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/threads.hpp"

using namespace tarvic;
using clk = std::chrono::steady_clock;

namespace {

struct Cloud {
    std::vector<double> x, y, z;
    std::size_t size() const { return x.size(); }
    Points64 view() const { return {x.data(), y.data(), z.data(), x.size()}; }
};

// A bumpy closed surface spanning [−1, 1] along x (extent 2); `moved` turns it by 8° about z,
// shifts it and adds noise (an E-step's other cloud).
Cloud surface(std::size_t n, unsigned seed, bool moved) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.003);
    const double a = 8.0 * M_PI / 180.0, ca = std::cos(a), sa = std::sin(a);
    Cloud c;
    for (std::size_t i = 0; i < n; ++i) {
        const double th = 2.0 * M_PI * u(rng), ph = std::acos(2.0 * u(rng) - 1.0);
        const double r = 1.0 + 0.2 * std::sin(3 * th) * std::sin(2 * ph);
        double p[3] = {0.83 * r * std::sin(ph) * std::cos(th), 0.55 * r * std::sin(ph) * std::sin(th),
                       0.4 * r * std::cos(ph)};
        if (moved) {
            const double x = ca * p[0] - sa * p[1], y = sa * p[0] + ca * p[1];
            p[0] = x + 0.03 + noise(rng);
            p[1] = y - 0.02 + noise(rng);
            p[2] = p[2] + 0.01 + noise(rng);
        }
        c.x.push_back(p[0]);
        c.y.push_back(p[1]);
        c.z.push_back(p[2]);
    }
    return c;
}

// c = 1: ones; c = 4: a smooth positive q over three orders of magnitude times (1, x, y, z);
// otherwise smooth signed columns (a deformable model's coefficients).
std::vector<double> weights(const Cloud& s, std::size_t c) {
    std::vector<double> q(s.size() * c);
    for (std::size_t j = 0; j < s.size(); ++j)
        for (std::size_t k = 0; k < c; ++k) {
            double v = 1.0;
            if (c == 4) {
                const double base = std::pow(10.0, 1.5 * std::sin(2.0 * s.x[j] + s.y[j]));
                const double coord[4] = {1.0, s.x[j], s.y[j], s.z[j]};
                v = base * coord[k];
            } else if (c > 1) {
                v = std::sin(static_cast<double>(k + 1) * s.x[j] + 0.3 * static_cast<double>(k) * s.z[j] + 0.1 * k);
            }
            q[j * c + k] = v;
        }
    return q;
}

double seconds_since(clk::time_point t0) { return std::chrono::duration<double>(clk::now() - t0).count(); }

// CPU time of the calling thread: the one-thread runs below stay on it, and unlike wall time it
// does not count the time other processes on a shared machine take.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <class F>
double best_of(int reps, F&& f) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = clk::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

// Direct double-precision sums with compensated (Kahan) accumulation at the given points:
// S_ik and Σ_j |q_jk| K_ij, parallel over points.
void direct_at(const Cloud& t, const std::vector<std::size_t>& idx, const Cloud& s, double h, const std::vector<double>& q,
               std::size_t c, std::vector<double>& sum, std::vector<double>& mag) {
    sum.assign(idx.size() * c, 0.0);
    mag.assign(idx.size() * c, 0.0);
    const double inv = 1.0 / (2.0 * h * h);
    run_in_pool(std::size_t{2}, [&] {
        in_current_pool([&] {
            tbb::parallel_for(std::size_t{0}, idx.size(), [&](std::size_t r) {
                const std::size_t i = idx[r];
                std::vector<double> a(c, 0.0), ac(c, 0.0), m(c, 0.0), mc(c, 0.0);
                for (std::size_t j = 0; j < s.size(); ++j) {
                    const double dx = t.x[i] - s.x[j], dy = t.y[i] - s.y[j], dz = t.z[i] - s.z[j];
                    const double k = std::exp(-(dx * dx + dy * dy + dz * dz) * inv);
                    for (std::size_t cc = 0; cc < c; ++cc) {
                        const double v = q[j * c + cc] * k, w = std::fabs(v);
                        double y = v - ac[cc], tt = a[cc] + y;
                        ac[cc] = (tt - a[cc]) - y;
                        a[cc] = tt;
                        y = w - mc[cc];
                        tt = m[cc] + y;
                        mc[cc] = (tt - m[cc]) - y;
                        m[cc] = tt;
                    }
                }
                for (std::size_t cc = 0; cc < c; ++cc) {
                    sum[r * c + cc] = a[cc];
                    mag[r * c + cc] = m[cc];
                }
            });
        });
    });
}

struct Row {
    std::size_t n, c;
    double rel_h, tol;
};

void table(bool quick) {
    std::printf("Far path on surface clouds (extent 2): N targets = M sources (c = 110: the same cloud).\n");
    std::printf("est 1t: the plan's estimate; cpu 1t: thread CPU time on one thread; far 1t, far 2t: wall times.\n");
    std::printf("dense 2t: the library's dense path on 2 threads (c <= 4: the E-step, T1 and T2 in one pass; c = 110: "
                "gauss_mul), timed on 2000 targets and scaled to N.\n");
    std::printf("err/b: largest observed error over the reported bound at %s sampled points; max rel: largest error "
                "relative to sum |q| K there.\n", "300 (c = 110: 40)");
    std::printf("%8s %5s %4s %6s | %3s %6s %15s %4s | %7s %7s %7s %7s %7s | %8s | %9s %8s %9s %9s\n", "N", "h/ext", "c",
                "tol", "P", "rho", "grid", "taps", "plan ms", "est 1t", "cpu 1t", "far 1t", "far 2t", "dense 2t",
                "max b", "b<=tol", "err/b", "max rel");
    std::vector<Row> rows;
    for (std::size_t n : quick ? std::vector<std::size_t>{100000} : std::vector<std::size_t>{100000, 1000000})
        for (double rel : {0.05, 0.1, 0.3})
            for (std::size_t c : {1, 4, 110}) {
                if (c == 110 && n > 100000) continue;  // 10^6 × 110 weights and sums: 1.8 GB
                rows.push_back({n, c, rel, 1e-6});
                if (c != 110) rows.push_back({n, c, rel, 1e-9});
            }
    for (const Row& row : rows) {
        const Cloud s = surface(row.n, 1, false);
        const Cloud t = row.c == 110 ? s : surface(row.n, 2, true);
        const double h = row.rel_h * 2.0;
        const std::vector<double> q = weights(s, row.c);
        auto t0 = clk::now();
        const detail::FarPlan plan = detail::far_plan(t.view(), s.view(), h, row.tol, row.c, q.data());
        const double plan_s = seconds_since(t0);
        if (!plan.feasible) {
            std::printf("%8zu %5.2f %4zu %6.0e | infeasible\n", row.n, row.rel_h, row.c, row.tol);
            continue;
        }
        std::vector<double> out(row.n * row.c), bound(row.n);
        const int reps = row.n >= 1000000 || row.c > 4 ? 1 : 2;
        double cpu1 = 1e300;
        const double far1 = run_in_pool(std::size_t{1}, [&] {
            return best_of(reps, [&] {
                const double c0 = thread_seconds();
                detail::far_transform(plan, t.view(), s.view(), h, q.data(), row.c, 0.0, false, nullptr, out.data(),
                                      bound.data());
                cpu1 = std::min(cpu1, thread_seconds() - c0);
            });
        });
        const double far2 = run_in_pool(std::size_t{2}, [&] {
            return best_of(reps, [&] {
                detail::far_transform(plan, t.view(), s.view(), h, q.data(), row.c, 0.0, true, nullptr, out.data(),
                                      bound.data());
            });
        });
        // The dense path over 2000 targets, scaled to N.
        const std::size_t nd = std::min<std::size_t>(2000, row.n);
        Cloud sub;
        for (std::size_t i = 0; i < nd; ++i) {
            const std::size_t k = i * row.n / nd;
            sub.x.push_back(t.x[k]);
            sub.y.push_back(t.y[k]);
            sub.z.push_back(t.z[k]);
        }
        double direct2 = 0.0;
        if (row.c > 4) {
            const PointsF32 pts = PointsF32::from_columns(sub.x, sub.y, sub.z);
            const PointsF32 ctr = PointsF32::from_columns(s.x, s.y, s.z);
            std::vector<double> dense(nd * row.c);
            direct2 = run_in_pool(std::size_t{2}, [&] {
                return best_of(1, [&] {
                    gauss_mul(pts, ctr, static_cast<float>(h), q.data(), q.size(), row.c, dense.data(), dense.size(),
                              nullptr);
                });
            });
        } else {
            Moving mv;
            Fixed fx;
            mv.x = s.x;
            mv.y = s.y;
            mv.z = s.z;
            fx.x = sub.x;
            fx.y = sub.y;
            fx.z = sub.z;
            auto f32 = [](const std::vector<double>& v) {
                std::vector<float> o((v.size() + 7) / 8 * 8, 0.0f);
                for (std::size_t i = 0; i < v.size(); ++i) o[i] = static_cast<float>(v[i]);
                return o;
            };
            mv.x32 = f32(mv.x);
            mv.y32 = f32(mv.y);
            mv.z32 = f32(mv.z);
            fx.x32 = f32(fx.x);
            fx.y32 = f32(fx.y);
            fx.z32 = f32(fx.z);
            direct2 = run_in_pool(std::size_t{2}, [&] {
                return best_of(1, [&] { (void)estep(mv, fx, true, nullptr, static_cast<float>(h * h), 0.0); });
            });
        }
        direct2 *= static_cast<double>(row.n) / static_cast<double>(nd);
        // Accuracy at sampled points against the compensated direct sum.
        const std::size_t ns = row.c > 4 ? 40 : 300;
        std::vector<std::size_t> idx;
        for (std::size_t i = 0; i < ns; ++i) idx.push_back((2 * i + 1) * row.n / (2 * ns));
        std::vector<double> ref, mag;
        direct_at(t, idx, s, h, q, row.c, ref, mag);
        double worst = 0.0, rel = 0.0;
        for (std::size_t r = 0; r < idx.size(); ++r)
            for (std::size_t k = 0; k < row.c; ++k) {
                const std::size_t i = idx[r];
                const double err = std::fabs(out[i * row.c + k] - ref[r * row.c + k]);
                const double allowed = bound[i] * mag[r * row.c + k] + 4e-16 * mag[r * row.c + k];
                worst = std::max(worst, err / allowed);
                rel = std::max(rel, err / mag[r * row.c + k]);
            }
        double maxb = 0.0;
        std::size_t within = 0;
        for (double b : bound) {
            maxb = std::max(maxb, b);
            within += b <= row.tol;
        }
        char grid[40];
        std::snprintf(grid, sizeof grid, "%zux%zux%zu", plan.dims[0], plan.dims[1], plan.dims[2]);
        std::printf("%8zu %5.2f %4zu %6.0e | %3d %6.3f %15s %4zu | %7.1f %7.3f %7.3f %7.3f %7.3f | %8.2f | %9.2e %7.2f%% %9.2e %9.2e\n",
                    row.n, row.rel_h, row.c, row.tol, plan.order, plan.spacing / h, grid, plan.taps, 1e3 * plan_s,
                    plan.seconds, cpu1, far1, far2, direct2, maxb,
                    100.0 * static_cast<double>(within) / static_cast<double>(row.n), worst, rel);
        std::fflush(stdout);
    }
}

// One-thread CPU times over varied problems, and a least-squares fit (relative residuals) of
//   t = a·(M + N) + b·(M + N)·P²·pieces(P)·c' + d·nodes·passes·c' + e·(nodes·copies + added)·c' + f·nodes
// (c' grid columns, pieces the vectors of 8, 4, 2 in P values, passes = Σ_axes (taps + 1), copies
// the private grids or 1, added the nodes added back after spread rounds), beside the model's
// current prediction.
constexpr int kFeatures = 5;

void calibrate() {
    struct Sample {
        double f[kFeatures];
        double t, est;
    };
    std::vector<Sample> samples;
    std::printf("%8s %6s %4s %6s | %3s %15s %4s | %9s %9s\n", "N", "h", "c", "tol", "P", "grid", "taps", "measured", "model");
    struct Config {
        std::size_t n;
        double h;
        std::size_t c;
        double tol;
    };
    std::vector<Config> configs;
    for (std::size_t n : {20000, 100000, 400000})
        for (double h : {0.08, 0.15, 0.4, 1.5})
            for (std::size_t c : {1, 4})
                for (double tol : {1e-6, 1e-9}) configs.push_back({n, h, c, tol});
    for (double h : {0.3, 1.0}) configs.push_back({20000, h, 110, 1e-6});
    for (const Config& cf : configs) {
                {
                    const std::size_t n = cf.n, c = cf.c;
                    const double h = cf.h, tol = cf.tol;
                    const Cloud s = surface(n, 1, false), t = surface(n, 2, true);
                    const std::vector<double> q = weights(s, c);
                    const detail::FarPlan plan = detail::far_plan(t.view(), s.view(), h, tol, c, q.data());
                    if (!plan.feasible) continue;
                    std::vector<double> out(n * c), bound(n);
                    double sec = 1e300;
                    for (int rep = 0; rep < 2; ++rep) {
                        const double t0 = thread_seconds();
                        detail::far_transform(plan, t.view(), s.view(), h, q.data(), c, 0.0, false, nullptr, out.data(),
                                              bound.data());
                        sec = std::min(sec, thread_seconds() - t0);
                    }
                    std::size_t ce = c;
                    for (std::size_t k = 0; k < c; ++k)
                        for (std::size_t j = 0; j < n; ++j)
                            if (q[j * c + k] < 0.0) {
                                ++ce;
                                break;
                            }
                    const int P = plan.order;
                    const int pieces = P / 8 + (P % 8 >= 4 ? 1 : 0) + (P % 4 >= 2 ? 1 : 0);
                    const double rows = static_cast<double>(P) * P * pieces;
                    const double layer = static_cast<double>(plan.dims[1]) * plan.dims[2];
                    const double added = plan.rounds ? std::ceil(static_cast<double>(n) / plan.rounds) * (P + 1.0) * layer : 0.0;
                    const double nodes = static_cast<double>(plan.dims[0]) * plan.dims[1] * plan.dims[2];
                    double passes = 0.0;
                    for (int d = 0; d < 3; ++d) passes += static_cast<double>(std::min(plan.taps, plan.dims[d] - 1) + 1);
                    const double copies = plan.partials ? static_cast<double>(plan.partials) : 1.0;
                    const double dn = static_cast<double>(n), dc = static_cast<double>(ce);
                    samples.push_back({{2.0 * dn, 2.0 * dn * rows * dc, nodes * passes * dc, (nodes * copies + added) * dc, nodes},
                                       sec, plan.seconds});
                    char grid[40];
                    std::snprintf(grid, sizeof grid, "%zux%zux%zu", plan.dims[0], plan.dims[1], plan.dims[2]);
                    std::printf("%8zu %6.2f %4zu %6.0e | %3d %15s %4zu | %9.4f %9.4f\n", n, h, c, tol, plan.order, grid,
                                plan.taps, sec, plan.seconds);
                    std::fflush(stdout);
                }
    }
    const int K = kFeatures;
    double A[K][K] = {}, B[K] = {};
    for (const Sample& s : samples) {
        const double* f = s.f;
        for (int i = 0; i < K; ++i) {
            B[i] += f[i] * s.t / (s.t * s.t);  // relative residuals
            for (int j = 0; j < K; ++j) A[i][j] += f[i] * f[j] / (s.t * s.t);
        }
    }
    for (int i = 0; i < K; ++i) {  // Gaussian elimination with partial pivoting
        int piv = i;
        for (int r = i + 1; r < K; ++r)
            if (std::fabs(A[r][i]) > std::fabs(A[piv][i])) piv = r;
        std::swap(A[i], A[piv]);
        std::swap(B[i], B[piv]);
        for (int r = i + 1; r < K; ++r) {
            const double m = A[r][i] / A[i][i];
            for (int j = i; j < K; ++j) A[r][j] -= m * A[i][j];
            B[r] -= m * B[i];
        }
    }
    double x[K];
    for (int i = K - 1; i >= 0; --i) {
        double v = B[i];
        for (int j = i + 1; j < K; ++j) v -= A[i][j] * x[j];
        x[i] = v / A[i][i];
    }
    std::printf("fit (seconds per unit): per point %.3g, per row %.3g, per tap %.3g, per node and column %.3g, "
                "per node %.3g\n", x[0], x[1], x[2], x[3], x[4]);
    double worst_fit = 0.0, worst_model = 0.0;
    for (const Sample& s : samples) {
        double fit = 0.0;
        for (int i = 0; i < K; ++i) fit += x[i] * s.f[i];
        worst_fit = std::max(worst_fit, std::fabs(std::log(fit / s.t)));
        worst_model = std::max(worst_model, std::fabs(std::log(s.est / s.t)));
    }
    std::printf("largest ratio measured/predicted: fit %.2f, current model %.2f\n", std::exp(worst_fit),
                std::exp(worst_model));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--calibrate") {
        calibrate();
        return 0;
    }
    table(mode == "--quick");
    return 0;
}
