// The Gauss transform's dispatcher: a cost model picks the direct, near or far path per call, and
// every point the chosen path could not bound within the tolerance is summed again on a path that can.
#include "tarvic/gauss_transform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "cell_grid.hpp"
#include "far_field.hpp"
#include "near_field.hpp"

namespace tarvic {

namespace {

using detail::NearSources;
using detail::PairLayout;

// Seconds per kernel pair on one thread, by accumulator slots (measured on an AVX-512 Xeon with
// bench/gauss_bench; only their ratios to the far path's estimates matter).
double pair_seconds(std::size_t slots) { return 1.1e-9 + 0.25e-9 * static_cast<double>(slots); }
// The near path's tiles (one column with moments, a rigid fit's E-step) ran in 0.62 to 0.67 of
// the estimate above at the widths where the far path competes (rigid fits of a surface of 1e5
// points, widths 0.025 to 0.045, on a 2-core AMD EPYC of the Zen 4 class).
constexpr double kTileShare = 0.65;
// Per point of the near path's cell structures (bucketing, gathering) and per target cell.
constexpr double kNearPointSeconds = 6e-8;
// The far plan's estimate against measured times on a Sapphire Rapids Xeon (bench/gauss_bench, a
// surface of 1e5 points, widths where the two paths cross): it ran 1.4 to 2 times short, while the
// near estimate held within a tenth, so the comparison scales it.
constexpr double kFarModelRatio = 1.7;
// Sources an occupied near-path cell should hold on average. Measured on a surface of 1e5 points
// (bench/scale_profile.py, 2 threads): a whole fit took 18.3 s with 4, 15.3 s with 16 (the
// iterations at σ below 0.2% of the diagonal: 181 against 113 ms each, with a third of the cells
// visited per point), a surface of 1e4 points 2.1 s against 1.5 s; LiDAR scans, a volume of 1e5
// points and horse.ply were as fast as with 4.
constexpr std::size_t kSourcesPerCell = 16;
// Below this many pairs the direct path is taken without planning the others.
constexpr double kSmallPairs = 1 << 18;
// The far path's grid needs the kernel wider than about 1/160 of the clouds' extent at 1e-6 (finer
// tolerances need wider kernels), and it only won against the near path from about 1/60 on (a
// surface of 1e5 points; on volumes the near path does better still): beyond 1/100 it is not
// planned at all, which saves its planning (tens of milliseconds at 1e5 points).
constexpr double kFarMaxExtent = 100.0;

// The larger side of the two clouds' joint bounding box, in kernel widths.
double extent_over(const double lo[3], const double hi[3], double h) {
    double e = 0.0;
    for (int k = 0; k < 3; ++k) e = std::max(e, hi[k] - lo[k]);
    return e / h;
}

// Target-source pairs certainly closer than r: in the same or neighbouring cells of side r/2√3,
// counted on a dense grid over the box [lo, hi] (0 where that grid would exceed 2^22 cells). The
// near path evaluates at least these, so this bounds its estimate from below at a fraction of the
// estimate's cost (no cells of the near path's own are built).
double close_pairs(const Points64& targets, const Points64& sources, const double lo[3], const double hi[3],
                   double r) {
    const double side = r / (2.0 * std::sqrt(3.0)) * (1.0 - 1e-9), inv = 1.0 / side;
    std::size_t dims[3];
    double cells = 1.0;
    for (int k = 0; k < 3; ++k) {
        const double d = std::floor((hi[k] - lo[k]) * inv) + 1.0;
        if (!(d < 1e6)) return 0.0;
        dims[k] = static_cast<std::size_t>(d);
        cells *= d;
    }
    if (!(cells <= 4194304.0)) return 0.0;
    auto cell_of = [&](const Points64& p, std::size_t i) {
        const double u[3] = {p.x[i], p.y[i], p.z[i]};
        std::size_t id[3];
        for (int k = 0; k < 3; ++k)
            id[k] = std::min(dims[k] - 1, static_cast<std::size_t>(std::max((u[k] - lo[k]) * inv, 0.0)));
        return (id[0] * dims[1] + id[1]) * dims[2] + id[2];
    };
    std::vector<double> nt(static_cast<std::size_t>(cells), 0.0), ns(nt.size(), 0.0), tmp(nt.size());
    for (std::size_t i = 0; i < targets.n; ++i) nt[cell_of(targets, i)] += 1.0;
    for (std::size_t j = 0; j < sources.n; ++j) ns[cell_of(sources, j)] += 1.0;
    // Sources over each cell's 3 × 3 × 3 neighbourhood: a window of three along each axis.
    const std::size_t stride[3] = {dims[1] * dims[2], dims[2], 1};
    for (int k = 0; k < 3; ++k) {
        for (std::size_t c = 0; c < ns.size(); ++c) {
            const std::size_t at = (c / stride[k]) % dims[k];
            double v = ns[c];
            if (at > 0) v += ns[c - stride[k]];
            if (at + 1 < dims[k]) v += ns[c + stride[k]];
            tmp[c] = v;
        }
        ns.swap(tmp);
    }
    double pairs = 0.0;
    for (std::size_t c = 0; c < nt.size(); ++c) pairs += nt[c] * ns[c];
    return pairs;
}

PairLayout layout_for(const double* q, std::size_t m, std::size_t c, double h, const GaussOptions& o) {
    PairLayout l;
    l.c = c;
    l.moments = o.moments;
    l.track_max = o.nearest;
    l.h = h;
    l.inv_2h2 = 1.0 / (2.0 * h * h);
    if (o.kernel32_sigma2 > 0.0f) {
        l.g32 = -1.442695f / (o.kernel32_sigma2 + o.kernel32_sigma2);
        l.h = std::sqrt(static_cast<double>(o.kernel32_sigma2));
        l.inv_2h2 = 1.0 / (2.0 * static_cast<double>(o.kernel32_sigma2));
    }
    for (std::size_t k = 0; k < c; ++k)
        for (std::size_t j = 0; j < m; ++j)
            if (q[j * c + k] < 0.0) {
                l.signed_cols.push_back(k);
                break;
            }
    return l;
}

}  // namespace

const char* path_name(GaussPath p) {
    switch (p) {
        case GaussPath::Direct: return "direct";
        case GaussPath::Near: return "near";
        case GaussPath::Far: return "far";
    }
    return "direct";
}

namespace {

// The far path's moments of one evaluation point from its column-0 sum S, the raw second moment
// R2 = Σ q·|s − o|²·K, the gradient ∇S with its per-axis error bound, the columns' bound b and the
// point's offset T = t − o from the sources' low corner: writes u = h²·∇S and
// r = max(R2 − 2T·u − |T|²·S, 0) to m[0..3] and returns the point's bound, the largest of b and
//   |Δu_a| / (D·S)  ≤  what Σ q·K·(|s_a − t_a| + D) allows,
//   |Δr| / (max(2D, |T| + D)²·S)  ≤  what Σ q·K·(|s − t| + 2D)² allows
// (D the box's diagonal, so |s − o| ≤ D and |s − t| + 2D ≥ max(2D, |T| + D)), S bounded from below
// and the errors from above by b: column 0 within b·(S + floor), R2 (non-negative) within b·R2.
double far_moments(double s, double r2, const double* grad, double grad_err, double b, double hh, double tx,
                   double ty, double tz, double diag, double floor, double* m) {
    constexpr double u = 0x1p-53, inf = std::numeric_limits<double>::infinity();
    const double t[3] = {tx, ty, tz};
    double du = 0.0, tu = 0.0, tdu = 0.0, tmag = 0.0;
    for (int a = 0; a < 3; ++a) {
        m[a] = hh * grad[a];
        const double e = hh * grad_err * (1.0 + 4.0 * u) + 2.0 * u * std::fabs(m[a]);
        du = std::max(du, e);
        tu += t[a] * m[a];
        tdu += std::fabs(t[a]) * e;
        tmag += std::fabs(t[a] * m[a]);
    }
    const double tt = (t[0] * t[0] + t[1] * t[1]) + t[2] * t[2];
    m[3] = std::max((r2 - 2.0 * tu) - tt * s, 0.0);
    if (!(b < 1.0)) return inf;
    const double s_low = (s - b * floor) / (1.0 + b), s_up = (s + b * floor) / (1.0 - b);
    if (!(s_low > 0.0)) return inf;
    const double ds = b * (s_up + floor);
    // The rounding of T (each axis u relative), of the products, sums and the clamp's argument.
    const double round = 16.0 * u * ((std::fabs(r2) + 2.0 * tmag) + tt * std::fabs(s));
    const double dr = ((b * std::fabs(r2) / (1.0 - b) + 2.0 * tdu) + tt * (1.0 + 8.0 * u) * ds) + round;
    const double reach = std::max(2.0 * diag, std::sqrt(tt) * (1.0 - 8.0 * u) + diag);
    const double bu = du / (diag * s_low), br = dr / (reach * reach * s_low);
    const double worst = std::max({b, bu, br}) * (1.0 + 32.0 * u);
    return worst == worst ? worst : inf;
}

}  // namespace

GaussSums gauss_transform(const Points64& targets, const Points64& sources, double h, const double* q,
                          std::size_t c, const GaussOptions& opts_in) {
    GaussOptions opts = opts_in;
    GaussSums res;
    res.width = c + (opts.moments ? 4 : 0) + (opts.nearest ? 1 : 0);
    const std::size_t n = targets.n, m = sources.n;
    res.values.assign(n * res.width, 0.0);
    res.bound.assign(n, 0.0);
    if (n == 0 || m == 0 || c == 0) return res;

    const PairLayout layout = layout_for(q, m, c, h, opts);
    const double pairs = static_cast<double>(n) * static_cast<double>(m);
    const double direct_s = pairs * pair_seconds(layout.slots());
    // With tiles, at most this per pair (a lower bound for close_pairs; the estimate below weighs
    // it by the share of points in cells that hold a whole tile).
    const double near_pair_s = pair_seconds(layout.slots()) * (detail::tile_layout(layout) ? kTileShare : 1.0);

    // Plan: the direct path alone for small problems, else the cheapest estimate.
    GaussPath path = GaussPath::Direct;
    // Both clouds' bounding box, found once for the cells and the dispatcher.
    double box_lo[3], box_hi[3];
    bool boxed = false;
    auto clouds_box = [&] {
        if (!boxed) detail::bounding_box({&targets, &sources}, box_lo, box_hi);
        boxed = true;
    };
    std::optional<NearSources> ns;
    detail::FarPlan far;
    auto near_sources = [&] {
        if (!ns) {
            // Cells much sparser than the kernel's reach cost more in lookups and per-cell work
            // (box distance, weight totals, a call of the pair loop, which sums eight lanes at a
            // time) than they save in pairs: widen them until an occupied cell holds, on average,
            // kSourcesPerCell sources. The narrowest of five sides (doubling) at which that holds,
            // by bisection; occupied cells are counted without building a grid, and only up to the
            // count that fails.
            const double side = detail::near_cell_side(layout.h, opts.tolerance);
            clouds_box();
            auto frame_at = [&](int widen) { return detail::CellFrame::over_box(box_lo, box_hi, std::ldexp(side, widen)); };
            const std::size_t most_cells = m / kSourcesPerCell;
            auto dense = [&](int widen) {
                return detail::CellGrid::count_cells(sources, frame_at(widen), most_cells) <= most_cells;
            };
            int lo = -1, hi = 4;  // dense(hi) is taken as true: no wider cells are tried
            while (hi - lo > 1) {
                const int mid = (lo + hi) / 2;
                (dense(mid) ? hi : lo) = mid;
            }
            ns.emplace(detail::near_sources(sources, q, layout, frame_at(hi), opts));
        }
        return &*ns;
    };
    // The evaluation points on the same cells: built once for the estimate and the run.
    std::optional<detail::CellGrid> tg;
    auto target_grid = [&] {
        if (!tg) tg.emplace(detail::CellGrid::build(targets, near_sources()->grid.frame));
        return &*tg;
    };
    // With moments the far path sums one more column, Σ q·|s − o|² with o the low corner of the
    // sources' bounding box (non-negative), and column 0's gradient: u = Σ q·K·(s − t) = h²·∇_t S
    // comes from the grid's derivative, and Σ q·K·|s − t|² = R2 − 2(t − o)·u − |t − o|²·S.
    std::vector<double> far_q;
    const std::size_t far_c = c + (opts.moments ? 1 : 0);
    double corner[3] = {0.0, 0.0, 0.0};
    double diagonal = 0.0;  // of the sources' bounding box
    auto far_weights = [&]() -> const double* {
        if (!opts.moments) return q;
        double top[3];
        detail::bounding_box({&sources}, corner, top);
        // Rounded down: the bounds below divide by it.
        const double w[3] = {top[0] - corner[0], top[1] - corner[1], top[2] - corner[2]};
        diagonal = std::sqrt((w[0] * w[0] + w[1] * w[1]) + w[2] * w[2]) * (1.0 - 8.0 * 0x1p-53);
        far_q.resize(m * far_c);
        for (std::size_t j = 0; j < m; ++j) {
            const double* in = q + j * c;
            double* o = far_q.data() + j * far_c;
            std::copy(in, in + c, o);
            const double x = sources.x[j] - corner[0], y = sources.y[j] - corner[1], z = sources.z[j] - corner[2];
            o[c] = in[0] * ((x * x + y * y) + z * z);
        }
        return far_q.data();
    };
    auto plan_far = [&] {
        const double* fq = far_weights();
        // The first moments' error, h²·|∇ error|, is bounded against at least diagonal·S (below).
        const double gscale = !opts.moments ? 0.0 : diagonal > 0.0 ? h * h / diagonal : std::numeric_limits<double>::infinity();
        far = detail::far_plan(targets, sources, h, opts.tolerance, far_c, fq, opts.floor, gscale);
        return far.feasible;
    };
    if (opts.kernel32_sigma2 > 0.0f && opts.force == static_cast<int>(GaussPath::Far)) opts.force = -1;
    if (opts.force >= 0) {
        path = static_cast<GaussPath>(opts.force);
        if (path == GaussPath::Far && !plan_far()) path = GaussPath::Near;
    } else if (pairs > kSmallPairs) {
        // Not for kernels so narrow that the far path's grid could not hold the clouds within its
        // memory cap.
        clouds_box();
        const bool far_possible = opts.kernel32_sigma2 <= 0.0f && extent_over(box_lo, box_hi, h) < kFarMaxExtent;
        const double near_floor = static_cast<double>(n + m) * kNearPointSeconds;
        // Where even a lower bound of the near path's cost is high, the far path is planned first:
        // when it wins against that bound, the near path's cells (a few tenths of a second at 1e6
        // points) need not be built for the estimate.
        bool planned = false;
        if (far_possible) {
            const double r0 = detail::near_cutoff(layout.h, opts.tolerance);
            const double near_low = std::min(
                direct_s, close_pairs(targets, sources, box_lo, box_hi, r0) * near_pair_s + near_floor);
            if (near_low > 0.05) {
                planned = true;
                if (plan_far() && kFarModelRatio * far.seconds < near_low) path = GaussPath::Far;
            }
        }
        if (path != GaussPath::Far) {
            double best = direct_s;
            double tiled = 0.0;
            if (detail::tile_layout(layout)) {
                const detail::CellGrid& g = *target_grid();
                std::size_t in_tiles = 0;
                for (std::size_t cell = 0; cell < g.size(); ++cell)
                    if (g.count(cell) >= detail::kPairLanes) in_tiles += g.count(cell);
                tiled = static_cast<double>(in_tiles) / static_cast<double>(n);
            }
            const double near_s = detail::near_pairs_estimate(*near_sources(), targets, *target_grid()) *
                                      pair_seconds(layout.slots()) * (1.0 - (1.0 - kTileShare) * tiled) +
                                  near_floor;
            if (near_s < best) {
                best = near_s;
                path = GaussPath::Near;
            }
            // Planning costs up to a tenth of a second: only where the far path could win.
            if (far_possible && best > 0.05 && (planned ? far.feasible : plan_far()) &&
                kFarModelRatio * far.seconds < best)
                path = GaussPath::Far;
        }
    }
    res.path = path;

    double* out = res.values.data();
    double* bound = res.bound.data();
    // The targets' cells served the estimate: only the near path needs them now.
    if (path != GaussPath::Near) tg.reset();
    switch (path) {
        case GaussPath::Direct: {
            const detail::SourceArrays src = detail::gather_sources(sources.x, sources.y, sources.z, q, c, nullptr, m);
            detail::direct_run(src, layout, targets, nullptr, opts.floor, opts.parallel, opts.cancel, out, bound);
            break;
        }
        case GaussPath::Near:
            res.redone =
                detail::near_run(*near_sources(), targets, target_grid(), nullptr, opts.parallel, opts.cancel, out, bound);
            break;
        case GaussPath::Far: {
            // Where the raw sums have the output's layout they are written in place (at 1e6 points
            // a second n × width array is tens of MiB at the far path's peak).
            const bool in_place = far_c == res.width;
            std::vector<double> raw(in_place ? 0 : n * far_c), row(far_c);
            std::vector<double> grad(opts.moments ? 3 * n : 0), gerr(opts.moments ? n : 0);
            detail::far_transform(far, targets, sources, h, far_q.empty() ? q : far_q.data(), far_c, opts.floor,
                                  opts.parallel, opts.cancel, in_place ? out : raw.data(), bound,
                                  opts.moments ? grad.data() : nullptr, opts.moments ? gerr.data() : nullptr);
            std::vector<unsigned> redo;
            const double hh = h * h;
            for (std::size_t i = 0; i < n; ++i) {
                double* o = out + i * res.width;
                const double* src_row = in_place ? o : raw.data() + i * far_c;
                std::copy(src_row, src_row + far_c, row.begin());
                const double* r = row.data();
                std::copy(r, r + c, o);
                if (opts.moments) bound[i] = far_moments(r[0], r[c], grad.data() + 3 * i, gerr[i], bound[i], hh,
                                                         targets.x[i] - corner[0], targets.y[i] - corner[1],
                                                         targets.z[i] - corner[2], diagonal, opts.floor, o + c);
                if (opts.nearest) o[res.width - 1] = 0.0;  // not known here: never at the clamp
                if (!(bound[i] <= opts.tolerance)) redo.push_back(static_cast<unsigned>(i));
            }
            // Points the grid could not bound (isolated, beside a heavy weight, off the grid):
            // again on the near path, which meets the tolerance everywhere.
            if (!redo.empty() && !cancelled(opts.cancel)) {
                std::vector<double> rx(redo.size()), ry(redo.size()), rz(redo.size());
                for (std::size_t k = 0; k < redo.size(); ++k) {
                    rx[k] = targets.x[redo[k]];
                    ry[k] = targets.y[redo[k]];
                    rz[k] = targets.z[redo[k]];
                }
                const Points64 sub{rx.data(), ry.data(), rz.data(), redo.size()};
                detail::near_run(*near_sources(), sub, nullptr, redo.data(), opts.parallel, opts.cancel, out, bound);
                res.redone = redo.size();
            }
            break;
        }
    }
    res.max_bound = 0.0;
    for (double b : res.bound) res.max_bound = std::max(res.max_bound, b);
    return res;
}

}  // namespace tarvic
