// Gauss transform paths on a smooth surface: time per transform and the bound reached, for the
// direct, near and (when feasible) far paths and the automatic choice, at several widths.
// Also prints the per-pair cost the dispatcher's model assumes.
//
//   build/bench/gauss_bench [--quick] [--widths h1,h2,...] [--moments-only] [points]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tarvic/gauss_transform.hpp"
#include "tarvic/threads.hpp"

using namespace tarvic;
using clk = std::chrono::steady_clock;

namespace {

struct Cloud {
    std::vector<double> x, y, z;
    Points64 view() const { return Points64{x.data(), y.data(), z.data(), x.size()}; }
};

// n points on a bumpy ellipsoid within [−1, 1]³ (normalised units, as the fits see them).
Cloud surface(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Cloud c;
    for (std::size_t i = 0; i < n; ++i) {
        const double th = 6.283185307179586 * u(rng), ph = std::acos(2.0 * u(rng) - 1.0);
        const double r = 1.0 + 0.3 * std::sin(3 * th) * std::sin(2 * ph);
        c.x.push_back(0.75 * r * std::sin(ph) * std::cos(th));
        c.y.push_back(0.5 * r * std::sin(ph) * std::sin(th));
        c.z.push_back(0.35 * r * std::cos(ph));
    }
    return c;
}

double seconds_of(const std::function<void()>& f) {
    const auto t0 = clk::now();
    f();
    return std::chrono::duration<double>(clk::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rows appear as they are measured
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    std::size_t n = quick ? 20000 : 100000;
    std::vector<double> widths = quick ? std::vector<double>{0.003, 0.03} : std::vector<double>{0.001, 0.003, 0.01, 0.03, 0.1, 0.3};
    std::vector<int> columns = {1, 4};
    std::size_t threads = 2;
    bool far_only = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--widths" && a + 1 < argc) {
            widths.clear();
            std::istringstream list(argv[++a]);
            for (std::string w; std::getline(list, w, ',');) widths.push_back(std::stod(w));
        } else if (arg == "--threads" && a + 1 < argc) {
            threads = std::stoul(argv[++a]);
        } else if (arg == "--far-only") {
            far_only = true;  // for profiling the far path alone
        } else if (arg == "--moments-only") {
            columns = {1};  // one weight column with its moments, as a rigid fit's E-step runs it
        } else if (std::isdigit(static_cast<unsigned char>(arg[0]))) {
            n = std::stoul(arg);
        }
    }
    const Cloud src = surface(n, 1), tgt = surface(n, 2);
    std::vector<double> ones(n, 1.0), four(4 * n);
    for (std::size_t j = 0; j < n; ++j) {
        four[4 * j] = 1.0 + j % 7;
        four[4 * j + 1] = src.x[j];
        four[4 * j + 2] = src.y[j];
        four[4 * j + 3] = src.z[j];
    }
    std::printf("M = N = %zu surface points, %zu threads, tolerance 1e-6\n", n, threads);
    std::printf("%8s %4s %6s | %10s %10s %10s | %10s %6s %9s\n", "h", "cols", "moment", "direct s", "near s", "far s",
                "auto s", "path", "bound");
    run_in_pool(threads, [&] {
        for (double h : widths)
            for (int cols : columns) {
                GaussOptions o;
                o.moments = cols == 1;
                const double* q = cols == 1 ? ones.data() : four.data();
                double t[3] = {NAN, NAN, NAN};
                const double pairs = static_cast<double>(n) * static_cast<double>(n);
                for (int path = 0; path < 3; ++path) {
                    if (path == 0 && pairs > 2e9) continue;  // too slow to be worth it
                    if (far_only && path != 2) continue;
                    o.force = path;
                    GaussSums g;
                    t[path] = seconds_of([&] { g = gauss_transform(tgt.view(), src.view(), h, q, cols, o); });
                    if (static_cast<int>(g.path) != path) t[path] = NAN;  // not feasible
                    if (path == 1 && t[path] > 60.0) break;           // the far path is what matters here
                }
                o.force = -1;
                GaussSums g;
                const double ta = seconds_of([&] { g = gauss_transform(tgt.view(), src.view(), h, q, cols, o); });
                std::printf("%8.3g %4d %6s | %10.3f %10.3f %10.3f | %10.3f %6s %9.2e %zu\n", h, cols, o.moments ? "yes" : "no",
                            t[0], t[1], t[2], ta, path_name(g.path), g.max_bound, g.redone);
            }
    });
    return 0;
}
