// E-step throughput: kernel evaluations per second (M·N / time), the library against a tight
// hand-written loop with the same arithmetic and chunking (the ceiling for this kernel), and
// the peak memory of one parallel E-step at M = N = 100,000.
//
// Then the throughput as the variance shrinks, the way a fit that converges sees it: a smooth
// surface and a moved copy, M = N = 5,000, σ² from 1 down to 1e-6 (normalised units).
//
//   build/bench/estep_bench [--quick]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tarvic/fpenv.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/threads.hpp"


#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BENCH_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define BENCH_CLONES
#endif

using namespace tarvic;
using clk = std::chrono::steady_clock;

namespace {

std::vector<double> cloud(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> v(3 * n);
    for (double& x : v) x = g(rng);
    return v;
}

// n points on a bumpy ellipsoid, and a copy turned by 10° about z, shifted and slightly noisy.
std::vector<double> surface(std::size_t n, unsigned seed, bool moved) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.002);
    const double a = 10.0 * 3.141592653589793 / 180.0, ca = std::cos(a), sa = std::sin(a);
    std::vector<double> v(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const double th = 6.283185307179586 * u(rng), ph = std::acos(2.0 * u(rng) - 1.0);
        const double r = 1.0 + 0.3 * std::sin(3 * th) * std::sin(2 * ph);
        double p[3] = {1.5 * r * std::sin(ph) * std::cos(th), r * std::sin(ph) * std::sin(th), 0.7 * r * std::cos(ph)};
        if (moved) {
            const double x = ca * p[0] - sa * p[1], y = sa * p[0] + ca * p[1];
            p[0] = x + 0.05 + noise(rng);
            p[1] = y - 0.02 + noise(rng);
            p[2] = p[2] + 0.01 + noise(rng);
        }
        for (int k = 0; k < 3; ++k) v[3 * i + k] = p[k];
    }
    return v;
}

// ---- the ceiling: plain arrays, one function, same chunking and arithmetic --------------------
typedef float f8 __attribute__((vector_size(32)));
typedef int i8 __attribute__((vector_size(32)));
typedef double d8 __attribute__((vector_size(64)));

BENCH_CLONES
void plain_chunk(const float* __restrict mx, const float* __restrict my, const float* __restrict mz, std::size_t m,
                 const float* __restrict tx, const float* __restrict ty, const float* __restrict tz, std::size_t len,
                 std::size_t lp, float g, double c, float* __restrict blk, double* __restrict cs,
                 float* __restrict inv, double* __restrict pt1, double* __restrict p1, double* __restrict px) {
    for (std::size_t k = 0; k < lp; ++k) cs[k] = 0.0;
    const f8 lo = {-126, -126, -126, -126, -126, -126, -126, -126};
    for (std::size_t i = 0; i < m; ++i) {
        float* __restrict row = blk + i * lp;
        for (std::size_t k = 0; k < lp; k += 8) {
            f8 x, y, z;
            std::memcpy(&x, tx + k, 32);
            std::memcpy(&y, ty + k, 32);
            std::memcpy(&z, tz + k, 32);
            const f8 dx = x - mx[i], dy = y - my[i], dz = z - mz[i];
            const f8 a = (dz * dz + (dy * dy + dx * dx)) * g;
            const f8 t = a > lo ? a : lo;
            const f8 n = (t + 12582912.0f) - 12582912.0f, f = t - n;
            const i8 bits = (__builtin_convertvector(n, i8) + 127) << 23;
            f8 two;
            std::memcpy(&two, &bits, 32);
            const f8 v = two * (1.0f + f * (0.693147182f + f * (0.240226507f + f * (0.0555041097f +
                         f * (0.00961812865f + f * (0.00133335579f + f * (0.000154035297f + f * 1.52527336e-5f)))))));
            std::memcpy(row + k, &v, 32);
            d8 acc;
            std::memcpy(&acc, cs + k, 64);
            acc += __builtin_convertvector(v, d8);
            std::memcpy(cs + k, &acc, 64);
        }
    }
    for (std::size_t k = 0; k < len; ++k) {
        const double den = std::max(c + cs[k], 1e-30);
        inv[k] = static_cast<float>(1.0 / den);
        pt1[k] = cs[k] / den;
    }
    for (std::size_t k = len; k < lp; ++k) inv[k] = 0.0f;
    auto fold = [](f8 s) { return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7])); };
    auto pairs = [](f8 a, f8 b) {
        const i8 ev = {0, 2, 4, 6, 8, 10, 12, 14}, od = {1, 3, 5, 7, 9, 11, 13, 15};
        return __builtin_shuffle(a, b, ev) + __builtin_shuffle(a, b, od);
    };
    auto fold_rows = [&](const f8* r) {
        return pairs(pairs(pairs(r[0], r[1]), pairs(r[2], r[3])), pairs(pairs(r[4], r[5]), pairs(r[6], r[7])));
    };
    std::size_t i = 0;
    for (; i < m; i += 8) {
        const std::size_t rows = std::min<std::size_t>(8, m - i);
        f8 s0[8] = {}, sx[8] = {}, sy[8] = {}, sz[8] = {};
        for (std::size_t r = 0; r < rows; ++r) {
            const float* __restrict row = blk + (i + r) * lp;
            for (std::size_t k = 0; k < lp; k += 8) {
                f8 b, d, x, y, z;
                std::memcpy(&b, row + k, 32);
                std::memcpy(&d, inv + k, 32);
                std::memcpy(&x, tx + k, 32);
                std::memcpy(&y, ty + k, 32);
                std::memcpy(&z, tz + k, 32);
                const f8 w = b * d;
                s0[r] += w;
                sx[r] += w * x;
                sy[r] += w * y;
                sz[r] += w * z;
            }
        }
        if (rows == 8) {
            const f8 a = fold_rows(s0), bx = fold_rows(sx), by = fold_rows(sy), bz = fold_rows(sz);
            for (std::size_t r = 0; r < 8; ++r) {
                p1[i + r] += a[r];
                px[3 * (i + r)] += bx[r];
                px[3 * (i + r) + 1] += by[r];
                px[3 * (i + r) + 2] += bz[r];
            }
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                p1[i + r] += fold(s0[r]);
                px[3 * (i + r)] += fold(sx[r]);
                px[3 * (i + r) + 1] += fold(sy[r]);
                px[3 * (i + r) + 2] += fold(sz[r]);
            }
        }
    }
}

// Static split of the chunks over `threads` std::threads, each with its own scratch.
double plain_estep(const Moving& mv, const Fixed& fx, float s2, double c, unsigned threads) {
    const std::size_t m = mv.size(), n = fx.size(), chunk = estep_chunk(m, n), nch = (n + chunk - 1) / chunk;
    const float g = -1.442695f / (s2 + s2);
    std::vector<double> pt1(n);
    std::vector<std::vector<double>> p1(threads, std::vector<double>(m)), px(threads, std::vector<double>(3 * m));
    auto work = [&](unsigned t) {
        const detail::FlushSubnormals ftz;  // as the library's kernels do
        std::vector<float> blk(m * chunk), inv(chunk);
        std::vector<double> cs(chunk);
        for (std::size_t i = nch * t / threads; i < nch * (t + 1) / threads; ++i) {
            const std::size_t b = i * chunk, len = std::min(chunk, n - b), lp = (len + 7) / 8 * 8;
            plain_chunk(mv.x32.data(), mv.y32.data(), mv.z32.data(), m, fx.x32.data() + b, fx.y32.data() + b,
                        fx.z32.data() + b, len, lp, g, c, blk.data(), cs.data(), inv.data(), pt1.data() + b,
                        p1[t].data(), px[t].data());
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (auto& th : pool) th.join();
    double np = 0.0;
    for (unsigned t = 0; t < threads; ++t)
        for (double v : p1[t]) np += v;
    return np;
}

template <class F>
double median_seconds(F&& f, int reps) {
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const auto a = clk::now();
        f();
        t.push_back(std::chrono::duration<double>(clk::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

long rss_kib(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

const char* simd_path() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return "avx512f";
    if (__builtin_cpu_supports("avx2")) return "avx2";
#endif
    return "default";
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rows appear as they are measured
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    std::printf("SIMD path: %s, CPUs available: %zu\n", simd_path(), default_num_threads());
    std::printf("%8s %8s | %12s %12s | %12s %12s | %8s %8s\n", "M=N", "chunk", "lib 1 thr", "ceiling 1", "lib 2 thr",
                "ceiling 2", "ratio1", "ratio2");
    const std::vector<std::size_t> sizes = quick ? std::vector<std::size_t>{2000} : std::vector<std::size_t>{2000, 5000, 20000};
    for (std::size_t n : sizes) {
        const auto a = cloud(n, 1), b = cloud(n, 2);
        const Setup s = Setup::make(view_rows3(a.data(), n), view_rows3(b.data(), n), std::nullopt, 0.1);
        const double sig = s.sigma2 * 0.01;
        const float s2 = estep_sigma2(sig);
        const double c = outlier_term(sig, s.outlier_weight);
        const int reps = n >= 20000 ? 3 : 7;
        const double evals = static_cast<double>(n) * static_cast<double>(n);
        // Pools are built once per measurement, as a fit builds its pool once for all iterations.
        const double lib1 = run_in_pool(std::size_t{1}, [&] {
            return median_seconds([&] { (void)estep(s.moving, s.fixed, false, nullptr, s2, c); }, reps);
        });
        const double lib2 = run_in_pool(std::size_t{2}, [&] {
            (void)estep(s.moving, s.fixed, true, nullptr, s2, c);  // wakes the workers
            return median_seconds([&] { (void)estep(s.moving, s.fixed, true, nullptr, s2, c); }, reps);
        });
        const double pl1 = median_seconds([&] { (void)plain_estep(s.moving, s.fixed, s2, c, 1); }, reps);
        const double pl2 = median_seconds([&] { (void)plain_estep(s.moving, s.fixed, s2, c, 2); }, reps);
        std::printf("%8zu %8zu | %12.3e %12.3e | %12.3e %12.3e | %7.1f%% %7.1f%%\n", n, estep_chunk(n, n), evals / lib1,
                    evals / pl1, evals / lib2, evals / pl2, 100 * pl1 / lib1, 100 * pl2 / lib2);
    }
    {
        const std::size_t n = 5000;
        const auto a = surface(n, 11, false), b = surface(n, 11, true);
        const Setup s = Setup::make(view_rows3(a.data(), n), view_rows3(b.data(), n), std::nullopt, 0.1);
        const double evals = static_cast<double>(n) * static_cast<double>(n);
        std::printf("\nSurface onto its moved copy, M = N = %zu, w = 0.1: kernel evaluations per second\n", n);
        std::printf("%10s | %12s %12s\n", "sigma2", "1 thread", "2 threads");
        const std::vector<double> sweep = quick ? std::vector<double>{1.0, 0.3, 1e-4}
                                                : std::vector<double>{1.0, 0.3, 0.1, 3e-2, 1e-2, 3e-3, 1e-3, 1e-4, 1e-5, 1e-6};
        for (double sig : sweep) {
            const float s2 = estep_sigma2(sig);
            const double c = outlier_term(sig, s.outlier_weight);
            const double t1 = run_in_pool(std::size_t{1}, [&] {
                return median_seconds([&] { (void)estep(s.moving, s.fixed, false, nullptr, s2, c); }, 5);
            });
            const double t2 = run_in_pool(std::size_t{2}, [&] {
                (void)estep(s.moving, s.fixed, true, nullptr, s2, c);
                return median_seconds([&] { (void)estep(s.moving, s.fixed, true, nullptr, s2, c); }, 5);
            });
            std::printf("%10.0e | %12.3e %12.3e\n", sig, evals / t1, evals / t2);
        }
    }
    if (!quick) {
        const std::size_t n = 100000;
        const auto a = cloud(n, 3), b = cloud(n, 4);
        const Setup s = Setup::make(view_rows3(a.data(), n), view_rows3(b.data(), n), std::nullopt, 0.0);
        const long before = rss_kib("VmRSS:");
        { std::ofstream("/proc/self/clear_refs") << "5"; }  // reset the peak to the current size
        const auto t0 = clk::now();
        run_in_pool(std::size_t{2}, [&] { (void)estep(s.moving, s.fixed, true, nullptr, estep_sigma2(s.sigma2 * 0.01), 0.0); });
        const double secs = std::chrono::duration<double>(clk::now() - t0).count();
        const long peak = rss_kib("VmHWM:");
        std::printf("M=N=100000, 2 threads: %.2f s, RSS before %ld KiB, peak %ld KiB, growth %.1f MiB "
                    "(result arrays alone: %.1f MiB; an M×N f32 buffer would be %.0f MiB)\n",
                    secs, before, peak, (peak - before) / 1024.0, (5.0 * n * 8) / (1 << 20),
                    static_cast<double>(n) * n * 4 / (1 << 20));
    }
    return 0;
}
