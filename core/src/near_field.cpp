// Truncated Gauss transforms on sparse cells, and the direct sum they fall back on.
#include "near_field.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "exp64.hpp"
#include "simd.hpp"
#include "tarvic/fpenv.hpp"
#include "tarvic/threads.hpp"

namespace tarvic::detail {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxOffsets = 40000;  // beyond this stencil a cell is summed directly
// A tile of eight points takes whole the cells of fewer blocks than this (checking each block
// against eight points pays from two blocks on).
constexpr std::size_t kTileCullBlocks = 2;
// Cells of fewer blocks are taken whole: with the sphere cutting most of them, checking their
// blocks cost more than the pairs it saved (a surface of 1e5 points, cells of 5 blocks).
constexpr std::size_t kCullBlocks = 8;

// A run's length rounded up to whole groups of lanes: lane 0 adds the first source of every run,
// so a point's lanes each add at most padded(terms)/8 terms, which rounding_allowance covers.
std::size_t padded(std::size_t len) { return (len + kPairLanes - 1) / kPairLanes * kPairLanes; }

// exp(−ρ²/2h²), never below the kernel's clamp.
double tail_kernel(double rho, double inv_2h2) {
    if (!(rho < kInf)) return 0.0;
    return exp64(std::max(-(rho * rho) * inv_2h2, kExpMin));
}

// The magnitude each column's bound is relative to, column by column in increasing order: the
// column's own sum, or for a signed column its magnitudes' slot; column 0 plus the caller's floor.
class ColumnMagnitude {
public:
    ColumnMagnitude(const PairLayout& l, const double* sums, double floor) : l_(l), sums_(sums), floor_(floor) {}
    double operator()(std::size_t k) {
        double mag = sums_[k];
        if (next_signed_ < l_.signed_cols.size() && l_.signed_cols[next_signed_] == k)
            mag = sums_[l_.value_slots() + next_signed_++];
        return k == 0 ? mag + floor_ : mag;
    }

private:
    const PairLayout& l_;
    const double* sums_;
    double floor_;
    std::size_t next_signed_ = 0;
};

std::vector<CellOffset> sorted_offsets(double side, double reach) {
    const int r = static_cast<int>(std::min(std::ceil(reach / side) + 1.0, 24.0));
    std::vector<CellOffset> out;
    out.reserve(static_cast<std::size_t>(2 * r + 1) * (2 * r + 1) * (2 * r + 1));
    for (int k = -r; k <= r; ++k)
        for (int j = -r; j <= r; ++j)
            for (int i = -r; i <= r; ++i) {
                auto gap = [](int d) { return static_cast<double>(std::max(std::abs(d) - 1, 0)); };
                const double g = gap(i) * gap(i) + gap(j) * gap(j) + gap(k) * gap(k);
                out.push_back(CellOffset{i, j, k, side * std::sqrt(g)});
            }
    std::stable_sort(out.begin(), out.end(), [](const CellOffset& a, const CellOffset& b) { return a.dist < b.dist; });
    return out;
}

// Everything beyond a list of offsets that covers a cube of half-width R cells is at least
// R·side away.
double beyond_list(const std::vector<CellOffset>& offs, double side) {
    int r = 0;
    for (const CellOffset& o : offs) r = std::max({r, std::abs(o.di), std::abs(o.dj), std::abs(o.dk)});
    return side * r;
}

// Squared distance, in cell units, from the box [ulo, uhi] at frame coordinates (a point when
// ulo = uhi) to the cell box whose lower corner is lo, each axis's gap reduced by `margin` first.
double box_gap2(const double* ulo, const double* uhi, const double* lo, double margin) {
    double g2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double g = std::max(std::max(lo[a] - uhi[a], ulo[a] - (lo[a] + 1.0)) - margin, 0.0);
        g2 += g * g;
    }
    return g2;
}

// Squared distance, in cell units, across the farthest corners of the same two boxes, each axis's
// span raised by `margin`.
double box_far2(const double* ulo, const double* uhi, const double* lo, double margin) {
    double g2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double g = std::max(uhi[a] - lo[a], lo[a] + 1.0 - ulo[a]) + margin;
        g2 += g * g;
    }
    return g2;
}

// A point's position on a Z-order curve over 32³ sub-cells of the cell whose lower corner is lo
// (frame units; NaN counts as 0).
std::uint32_t z_code(const double* u, const double* lo) {
    auto spread_bits = [](std::uint32_t v) {  // 5 bits to every third of 15
        std::uint32_t r = 0;
        for (int b = 0; b < 5; ++b) r |= ((v >> b) & 1u) << (3 * b);
        return r;
    };
    std::uint32_t code = 0;
    for (int a = 0; a < 3; ++a) {
        const double f = (u[a] - lo[a]) * 32.0;
        const double g = f > 0.0 ? (f < 31.0 ? f : 31.0) : 0.0;
        code |= spread_bits(static_cast<std::uint32_t>(g)) << a;
    }
    return code;
}

// Reorders each cell's points along a Z-order curve (ties by index, so the order is a function of
// the points alone): consecutive points then lie close together, and a block of kPairLanes of
// them has a small bounding box.
void z_order_within_cells(CellGrid& grid, const Points64& pts, std::size_t first, std::size_t last) {
    const double inv = 1.0 / grid.frame.side;
    std::vector<std::uint64_t> keyed;  // (code, index) in one word: one comparison each
    for (std::size_t cell = first; cell < last; ++cell) {
        const std::size_t b = grid.start[cell], e = grid.start[cell + 1];
        if (e - b <= (kCullBlocks - 1) * kPairLanes) continue;  // taken whole: order does not matter
        const CellCoord cc = grid.cells[cell];
        const double lo[3] = {static_cast<double>(cc.i), static_cast<double>(cc.j), static_cast<double>(cc.k)};
        keyed.clear();
        for (std::size_t p = b; p < e; ++p) {
            const std::uint32_t i = grid.order[p];
            const double u[3] = {(pts.x[i] - grid.frame.origin[0]) * inv, (pts.y[i] - grid.frame.origin[1]) * inv,
                                 (pts.z[i] - grid.frame.origin[2]) * inv};
            keyed.push_back(static_cast<std::uint64_t>(z_code(u, lo)) << 32 | i);
        }
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t p = b; p < e; ++p) grid.order[p] = static_cast<std::uint32_t>(keyed[p - b]);
    }
}

// A lower bound on the squared distance from t to a block's bounding box, floored at `floor2`.
// Each gap is a rounded difference of two doubles (relative error ≤ u), squared and summed with a
// few more roundings: 1e-12 covers them all. The same operations on one block or on eight lanes
// (a NaN gap counts as zero: such a block is always near).
template <class F>
[[gnu::always_inline]] inline F block_gap2(const F* lo, const F* hi, const double* t, double floor2) {
    F g2{};
    for (int a = 0; a < 3; ++a) {
        const F u = lo[a] - t[a], w = t[a] - hi[a];
        F g = u > w ? u : w;
        g = g > 0.0 ? g : 0.0;
        g2 = g2 + g * g;
    }
    g2 = g2 * (1.0 - 1e-12);
    return g2 > floor2 ? g2 : floor2;
}

double block_dist2(const NearSources& ns, std::size_t b, const double* t, double floor2) {
    const double* box = ns.block_box.data() + b;
    const std::size_t st = ns.box_stride;
    const double lo[3] = {box[0], box[st], box[2 * st]}, hi[3] = {box[3 * st], box[4 * st], box[5 * st]};
    return block_gap2(lo, hi, t, floor2);
}

[[gnu::always_inline]] inline v8d load8(const double* p) {
    v8d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Of the blocks [b0, b0 + n), n ≤ 64: bit k set where block b0 + k lies in [taken2, limit2)
// (distances as block_dist2 gives them); `beyond` set where any lies at limit2 or more.
TARVIC_CLONES
std::uint64_t blocks_between(const double* box, std::size_t stride, std::size_t b0, std::size_t n, const double* t,
                             double floor2, double taken2, double limit2, bool* beyond) {
    std::uint64_t take = 0, far = 0;
    for (std::size_t k = 0; k < n; k += 8) {
        const double* p = box + b0 + k;
        const v8d lo[3] = {load8(p), load8(p + stride), load8(p + 2 * stride)};
        const v8d hi[3] = {load8(p + 3 * stride), load8(p + 4 * stride), load8(p + 5 * stride)};
        const v8d d2 = block_gap2(lo, hi, t, floor2);
        // d2 < x as the sign bit of d2 − x (the same for finite values, which these are; FTZ keeps
        // the sign): integer lanes throughout, since GCC lowers a double comparison that selects
        // integers lane by lane. Lane l then contributes 2^l to the masks.
        typedef unsigned long long v8u __attribute__((vector_size(64)));
        const v8d a = d2 - limit2, b = d2 - taken2;
        v8u below, before;
        std::memcpy(&below, &a, sizeof a);
        std::memcpy(&before, &b, sizeof b);
        const v8u lane = {0, 1, 2, 3, 4, 5, 6, 7};
        below = (below >> 63) << lane;
        before = (before >> 63) << lane;
        const v8u in = below & ~before, out = below ^ (v8u{1, 1, 1, 1, 1, 1, 1, 1} << lane);
        const v8u s4 = __builtin_shufflevector(in, out, 0, 1, 2, 3, 8, 9, 10, 11) |
                       __builtin_shufflevector(in, out, 4, 5, 6, 7, 12, 13, 14, 15);
        const v8u s2 = s4 | __builtin_shufflevector(s4, s4, 2, 3, 0, 1, 6, 7, 4, 5);
        take |= (s2[0] | s2[1]) << k;
        far |= (s2[4] | s2[5]) << k;
    }
    const std::uint64_t live = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
    *beyond = (far & live) != 0;
    return take & live;
}

// Whether block b lies nearer than √limit2 to any of eight points (x lanes, y lanes, z lanes in
// t): gaps rounded down as block_gap2 rounds them, never below floor2.
TARVIC_CLONES
bool block_near_points(const double* box, std::size_t stride, std::size_t b, const double* t, double floor2,
                       double limit2) {
    v8d g2{};
    for (int a = 0; a < 3; ++a) {
        const v8d p = load8(t + 8 * a);
        const v8d u = box[a * stride + b] - p, w = p - box[(a + 3) * stride + b];
        v8d g = u > w ? u : w;
        g = g > 0.0 ? g : 0.0;
        g2 = g2 + g * g;
    }
    g2 = g2 * (1.0 - 1e-12);
    g2 = g2 > floor2 ? g2 : floor2;
    const v8d m4 = __builtin_shufflevector(g2, g2, 4, 5, 6, 7, 0, 1, 2, 3);
    const v8d s4 = g2 < m4 ? g2 : m4;
    const v8d m2 = __builtin_shufflevector(s4, s4, 2, 3, 0, 1, 6, 7, 4, 5);
    const v8d s2 = s4 < m2 ? s4 : m2;
    return std::min(s2[0], s2[1]) < limit2;
}

}  // namespace

double near_cutoff(double h, double tolerance) { return h * std::sqrt(2.0 * std::log(1.0 / tolerance)); }

double near_cell_side(double h, double tolerance) { return 0.5 * near_cutoff(h, tolerance); }

double farthest_source(const NearSources& ns, double x, double y, double z) {
    const double t[3] = {x, y, z};
    double d2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double d = std::max(std::fabs(t[a] - ns.lo[a]), std::fabs(t[a] - ns.hi[a]));
        d2 += d * d;
    }
    return std::sqrt(d2) * (1.0 + 1e-12);
}

ShellKernels shell_kernels(const PairLayout& layout, double rho, double rho_far, bool has_far) {
    ShellKernels k;
    k.none = !(rho < kInf);
    k.far = has_far && rho_far < kInf;
    k.k0 = k.none ? 0.0 : tail_kernel(rho, layout.inv_2h2);
    k.kf = k.far ? tail_kernel(rho_far, layout.inv_2h2) : 0.0;
    if (layout.moments && !k.none) {
        // Beyond r a term's moments K·d and K·d² peak at h and √2·h.
        auto moments = [&](double r, double* r1, double* r2, double* k1, double* k2) {
            *r1 = std::max(r, layout.h);
            *r2 = std::max(r, std::sqrt(2.0) * layout.h);
            *k1 = tail_kernel(*r1, layout.inv_2h2);
            *k2 = tail_kernel(*r2, layout.inv_2h2);
        };
        moments(rho, &k.r1, &k.r2, &k.k1, &k.k2);
        if (k.far) moments(rho_far, &k.r1_far, &k.r2_far, &k.k1_far, &k.k2_far);
    }
    return k;
}

double point_bound(const PairLayout& layout, const ShellKernels& sk, const double* sums, const double* outside,
                   const double* outside_far, double farthest, double floor, std::size_t terms) {
    const std::size_t c = layout.c, vs = layout.value_slots();
    // Weight over magnitude first, then the kernel's factors: near the clamp (e^−708) a kernel
    // value times a distance is below the normal range, where the pair loops flush it to zero,
    // while that weight may be 2^600 or more. A term that still underflows is below 1e-300 of
    // the magnitude.
    auto ratio = [](double w, double mag, double f1, double f2) {
        if (w == 0.0 || f1 == 0.0) return 0.0;
        return mag > 0.0 ? ((w / mag) * f1) * f2 : kInf;
    };
    // Beyond rho a term is at most K(rho).
    const bool far = sk.far;
    double b = 0.0;
    ColumnMagnitude magnitude(layout, sums, floor);
    for (std::size_t k = 0; k < c; ++k) {
        const double mag = magnitude(k);
        b = std::max(b, ratio(outside[k], mag, sk.k0, 1.0) + (far ? ratio(outside_far[k], mag, sk.kf, 1.0) : 0.0));
    }
    if (layout.moments && !sk.none) {
        // The floored kernel stops falling at its clamp while |d| keeps growing: terms there are at
        // most clamp·farthest^k, whatever the radius.
        const double kc = layout.g32 != 0.0f ? std::ldexp(1.0, -126) : exp64(kExpMin);
        const double fa = std::max(farthest, 0.0);
        const double mag1 = sums[vs + layout.signed_cols.size()], mag2 = sums[c + 3];
        auto shell = [&](double w, double r1, double r2, double k1, double k2, double* b1, double* b2) {
            *b1 += ratio(w, mag1, k1, r1) + ratio(w, mag1, kc, fa);
            *b2 += ratio(w, mag2, k2, r2 * r2) + ratio(w, mag2, kc, fa * fa);
        };
        double b1 = 0.0, b2 = 0.0;
        shell(outside[0], sk.r1, sk.r2, sk.k1, sk.k2, &b1, &b2);
        if (far) shell(outside_far[0], sk.r1_far, sk.r2_far, sk.k1_far, sk.k2_far, &b1, &b2);
        b = std::max({b, b1, b2});
    }
    return b + rounding_allowance(terms);
}

double point_bound(const PairLayout& layout, const double* sums, const double* outside, double rho,
                   const double* outside_far, double rho_far, double farthest, double floor, std::size_t terms) {
    return point_bound(layout, shell_kernels(layout, rho, rho_far, outside_far != nullptr), sums, outside, outside_far,
                       farthest, floor, terms);
}

// Cells [first, last) of `ns`: each block's bounding box and weight sums, and each cell's
// magnitudes. Out of line: the caller holds FlushSubnormals around it.
[[gnu::noinline]] static void block_sums(NearSources& ns, std::size_t first, std::size_t last) {
    const std::size_t c = ns.layout.c, cs = c + 4, st = ns.box_stride;
    for (std::size_t cell = first; cell < last; ++cell)
        for (std::size_t b = ns.cell_blocks[cell]; b < ns.cell_blocks[cell + 1]; ++b) {
            const std::size_t p0 = ns.grid.start[cell] + (b - ns.cell_blocks[cell]) * kPairLanes;
            const std::size_t p1 = std::min<std::size_t>(p0 + kPairLanes, ns.grid.start[cell + 1]);
            double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
            double* mag = ns.block_mag.data() + b * c;
            double* sum = ns.block_sum.data() + b * cs;
            for (std::size_t p = p0; p < p1; ++p) {
                const double x = ns.src.x[p], y = ns.src.y[p], z = ns.src.z[p];
                const double v[3] = {x, y, z};
                for (int a = 0; a < 3; ++a) {
                    // A NaN coordinate makes the box all of space: the block is then always near.
                    lo[a] = v[a] >= lo[a] ? lo[a] : (v[a] < lo[a] ? v[a] : -kInf);
                    hi[a] = v[a] <= hi[a] ? hi[a] : (v[a] > hi[a] ? v[a] : kInf);
                }
                for (std::size_t k = 0; k < c; ++k) {
                    mag[k] += std::fabs(ns.src.column(k)[p]);
                    sum[k] += ns.src.column(k)[p];
                }
                const double q0 = ns.src.column(0)[p];
                sum[c] += q0 * x;
                sum[c + 1] += q0 * y;
                sum[c + 2] += q0 * z;
                sum[c + 3] += q0 * ((x * x + y * y) + z * z);
            }
            for (int a = 0; a < 3; ++a) {
                ns.block_box[a * st + b] = lo[a];
                ns.block_box[(a + 3) * st + b] = hi[a];
            }
            for (std::size_t k = 0; k < c; ++k) ns.cell_mag[cell * c + k] += mag[k];
        }
}

NearSources near_sources(const Points64& sources, const double* q, const PairLayout& layout, const CellFrame& frame,
                         const GaussOptions& opts) {
    NearSources ns;
    const std::size_t c = layout.c;
    ns.h = layout.h;
    ns.side = frame.side;
    ns.tolerance = opts.tolerance;
    ns.floor = opts.floor;
    ns.r0 = near_cutoff(layout.h, opts.tolerance);
    ns.grid = CellGrid::build(sources, frame);
    const std::size_t cells = ns.grid.size();
    // Cells are independent until the totals, which are summed in cell order below: the same
    // bits on any number of threads.
    auto over_cells = [&](auto&& body) {
        if (opts.parallel)
            parallel_ranges(cells, body);
        else
            body(std::size_t{0}, cells);
    };
    over_cells([&](std::size_t first, std::size_t last) { z_order_within_cells(ns.grid, sources, first, last); });
    bounding_box({&sources}, ns.lo, ns.hi);
    ns.src = gather_sources(sources.x, sources.y, sources.z, q, c, ns.grid.order.data(), sources.n);
    ns.layout = layout;
    ns.cell_blocks.assign(cells + 1, 0);
    for (std::size_t cell = 0; cell < cells; ++cell)
        ns.cell_blocks[cell + 1] =
            ns.cell_blocks[cell] + static_cast<std::uint32_t>((ns.grid.count(cell) + kPairLanes - 1) / kPairLanes);
    const std::size_t blocks = ns.cell_blocks[cells], cs = c + 4;
    // Boxes padded by a whole vector past the last chunk of 64 blocks a cell may start.
    ns.box_stride = blocks + 64;
    const std::size_t st = ns.box_stride;
    ns.block_box.assign(6 * st, 0.0);
    ns.block_mag.assign(blocks * c, 0.0);
    ns.cell_mag.assign(cells * c, 0.0);
    ns.block_sum.assign(blocks * cs, 0.0);
    ns.total_mag.assign(c, 0.0);
    ns.total_sum.assign(cs, 0.0);
    over_cells([&](std::size_t first, std::size_t last) {
        const FlushSubnormals ftz;  // the same state on every thread
        block_sums(ns, first, last);
    });
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < c; ++k) ns.total_mag[k] += ns.block_mag[b * c + k];
        for (std::size_t k = 0; k < cs; ++k) ns.total_sum[k] += ns.block_sum[b * cs + k];
    }
    // Offsets out to where the kernel reaches its clamp: no wider stencil can tighten a bound.
    ns.offsets = sorted_offsets(frame.side, layout.h * std::sqrt(-2.0 * kExpMin));
    ns.beyond_offsets = beyond_list(ns.offsets, frame.side);
    if (layout.g32 != 0.0f) {
        // The single-precision kernel's floor 2^-126, reached once d²·g ≤ −126; the margin covers
        // the rounding of d² in single precision.
        ns.clamp_radius = std::sqrt(-126.0 / static_cast<double>(layout.g32)) * (1.0 + 1e-5);
        ns.clamp_value = std::ldexp(1.0, -126);
    } else {
        // A margin keeps rounding of |t − s|²/2h² from landing a term just inside the clamp.
        ns.clamp_radius = layout.h * std::sqrt(-2.0 * kExpMin) * (1.0 + 1e-9);
        ns.clamp_value = exp64(kExpMin);
    }
    return ns;
}

double near_pairs_estimate(const NearSources& ns, const Points64& targets, const CellGrid& tg) {
    // Points end near the radius where the sources left out, bounded by their total, fall within
    // the tolerance of the point's own sum: a tenth beyond the cut-off is typical.
    const double rho = 1.1 * ns.r0;
    std::size_t last = 0;
    while (last < ns.offsets.size() && ns.offsets[last].dist < rho) ++last;
    const std::size_t cells = tg.size();
    const std::size_t step = std::max<std::size_t>(1, cells / 2048);
    const double inv = 1.0 / ns.side, rho2 = rho * rho;
    double pairs = 0.0, sampled = 0.0;
    std::vector<std::pair<std::uint32_t, CellCoord>> found;
    for (std::size_t tc = 0; tc < cells; tc += step) {
        const CellCoord c0 = tg.cells[tc];
        found.clear();
        for (std::size_t o = 0; o < last; ++o) {
            const CellOffset& off = ns.offsets[o];
            const CellCoord cc{c0.i + off.di, c0.j + off.dj, c0.k + off.dk};
            const std::uint32_t sc = ns.grid.find(cc);
            if (sc != CellGrid::npos) found.emplace_back(sc, cc);
        }
        // A few of the cell's points, each against the cells within its own reach, and of a cell
        // the sphere cuts, the blocks it reaches; runs are summed eight lanes at a time, so count
        // padded lengths.
        const std::size_t count = tg.count(tc), take = std::min<std::size_t>(count, 4);
        double near = 0.0;
        for (std::size_t p = 0; p < take; ++p) {
            const std::size_t i = tg.order[tg.start[tc] + p * count / take];
            const double u[3] = {(targets.x[i] - ns.grid.frame.origin[0]) * inv,
                                 (targets.y[i] - ns.grid.frame.origin[1]) * inv,
                                 (targets.z[i] - ns.grid.frame.origin[2]) * inv};
            const double t[3] = {targets.x[i], targets.y[i], targets.z[i]};
            for (const auto& [sc, cc] : found) {
                const double lo[3] = {static_cast<double>(cc.i), static_cast<double>(cc.j), static_cast<double>(cc.k)};
                if (!(box_gap2(u, u, lo, 0.0) * ns.side * ns.side < rho2)) continue;
                if (ns.cell_blocks[sc + 1] - ns.cell_blocks[sc] < kCullBlocks ||
                    box_far2(u, u, lo, 0.0) * ns.side * ns.side < rho2) {
                    near += static_cast<double>(padded(ns.grid.count(sc)));
                } else {
                    for (std::size_t b = ns.cell_blocks[sc]; b < ns.cell_blocks[sc + 1]; ++b)
                        if (block_dist2(ns, b, t, 0.0) < rho2) near += static_cast<double>(kPairLanes);
                }
            }
        }
        pairs += static_cast<double>(count) * near / static_cast<double>(take);
        sampled += static_cast<double>(count);
    }
    return sampled > 0.0 ? pairs * static_cast<double>(targets.n) / sampled : 0.0;
}

namespace {

// One cell of evaluation points against its stencil. Source cells are found once per target cell,
// in order of their distance from it (the candidates); each point then takes, from the candidates,
// the cells whose box lies within its own radius ρ_p, so a point near one face of its cell does not
// pay for the sources beyond the opposite face. A point whose bound misses the tolerance widens ρ_p
// to the radius its bound asks for and takes the cells in between.
struct CellWork {
    const NearSources& ns;
    const double* sx;  // the evaluation points in the order of tg (contiguous per cell)
    const double* sy;
    const double* sz;
    const CellGrid& tg;
    const unsigned* rows;
    double* out;
    double* bound;
    std::size_t slots, width, c;
    double tol;
    std::vector<double> slack;  // per column: the rounding of total − inside, Σ|q|·(2·blocks + 8)·u

    struct Candidate {
        std::uint32_t cell;
        double dist;        // smallest distance between points of this cell and of the target cell
        double lo[3];       // the cell's lower corner in frame units (cell indices)
    };
    struct Scratch {
        std::vector<double> acc, sums, inside, inside_sum, dropped, dropped_far, d2;
        std::vector<double> cand_mag;      // per column: Σ|q| over the candidates' cells
        std::vector<unsigned char> whole;  // per candidate: every block taken
        std::vector<Candidate> cand;
        std::vector<std::uint64_t> zord;  // the cell's points by Z-code, (code, point) in one word
        std::vector<std::uint32_t> pending;  // points the tiles left to the point-by-point rounds
        double tile_acc[6 * kPairLanes];
    };

    // Distance² from the box [ulo, uhi] at frame coordinates (cell units; a point when ulo = uhi)
    // to the cell box starting at lo, in squared length units, less a margin for the rounding of
    // the coordinates. The caller never lets it fall below the cells' own distance, which (like
    // every stencil here) takes the bucketing of the points and the sources as exact.
    double box_dist2(const double* ulo, const double* uhi, const double* lo) const {
        return box_gap2(ulo, uhi, lo, 1e-6) * ns.side * ns.side;
    }

    // Squared distance across the farthest corners of the same two boxes, in squared length units,
    // rounded up: below the radius², every point of the cell is within it of every point of the box.
    double far_dist2(const double* ulo, const double* uhi, const double* lo) const {
        return box_far2(ulo, uhi, lo, 1e-6) * ns.side * ns.side * (1.0 + 1e-9);
    }

    // The radius at which the near shell's terms (the candidates' sources left out, at ≥ ρ) would
    // meet the goal once the far shell (everything beyond the candidates, at ≥ rho_far) has its
    // share, from the point's present sums (the bound only shrinks as sources are added). Sets
    // `widen_far` where the far shell alone takes half the goal or more: the candidates must reach
    // further before a wider ρ can help.
    double radius_for(const double* sum, const double* near, const double* far, double rho_far, double farthest,
                      bool* widen_far) const {
        const double goal = 0.9 * tol;
        const double two_h2 = 2.0 * ns.h * ns.h;
        const double kf = tail_kernel(rho_far, ns.layout.inv_2h2);
        double r2 = 0.0;
        *widen_far = false;
        const std::size_t vs = ns.layout.value_slots();
        ColumnMagnitude magnitude(ns.layout, sum, ns.floor);
        for (std::size_t k = 0; k < c; ++k) {
            const double mag = magnitude(k);
            if (!(near[k] > 0.0) && !(far[k] > 0.0)) continue;
            if (!(mag > 0.0)) return kInf;
            const double avail = goal * mag - far[k] * kf;
            if (!(avail > 0.5 * goal * mag)) *widen_far = true;
            if (near[k] > 0.0 && avail > 0.0) r2 = std::max(r2, two_h2 * std::log(near[k] / avail));
        }
        if (ns.layout.moments && (near[0] > 0.0 || far[0] > 0.0)) {
            const double m1 = sum[vs + ns.layout.signed_cols.size()], m2 = sum[c + 3];
            // Only a kept sum says what the clamp's share weighs against: with nothing kept yet
            // (or all of it at zero offset) the radius grows as usual.
            const double kc = (near[0] + far[0]) * ns.clamp_value;
            if ((m1 > 0.0 && kc * farthest >= goal * m1) || (m2 > 0.0 && kc * farthest * farthest >= goal * m2))
                return kInf;
            const double r1f = std::max(rho_far, ns.h), r2f = std::max(rho_far, std::sqrt(2.0) * ns.h);
            const double a1 = goal * m1 - far[0] * tail_kernel(r1f, ns.layout.inv_2h2) * r1f;
            const double a2 = goal * m2 - far[0] * tail_kernel(r2f, ns.layout.inv_2h2) * r2f * r2f;
            if ((m1 > 0.0 && !(a1 > 0.5 * goal * m1)) || (m2 > 0.0 && !(a2 > 0.5 * goal * m2))) *widen_far = true;
            for (int it = 0; it < 3 && near[0] > 0.0; ++it) {
                const double r = std::max(std::sqrt(r2), std::sqrt(2.0) * ns.h);
                if (m1 > 0.0 && a1 > 0.0) r2 = std::max(r2, two_h2 * std::log(near[0] * r / a1));
                if (m2 > 0.0 && a2 > 0.0) r2 = std::max(r2, two_h2 * std::log(near[0] * r * r / a2));
            }
        }
        return std::sqrt(std::max(r2, 0.0));
    }

    // The radius the far shell must lie beyond for its terms to take at most a quarter of the goal.
    double far_radius_for(const double* sum, const double* far) const {
        const double goal = 0.25 * 0.9 * tol;
        const double two_h2 = 2.0 * ns.h * ns.h;
        double r2 = 0.0;
        const std::size_t vs = ns.layout.value_slots();
        ColumnMagnitude magnitude(ns.layout, sum, ns.floor);
        for (std::size_t k = 0; k < c; ++k) {
            const double mag = magnitude(k);
            if (!(far[k] > 0.0)) continue;
            if (!(mag > 0.0)) return kInf;
            r2 = std::max(r2, two_h2 * std::log(far[k] / (goal * mag)));
        }
        if (ns.layout.moments && far[0] > 0.0) {
            const double m1 = sum[vs + ns.layout.signed_cols.size()], m2 = sum[c + 3];
            for (int it = 0; it < 3; ++it) {
                const double r = std::max(std::sqrt(r2), std::sqrt(2.0) * ns.h);
                if (m1 > 0.0) r2 = std::max(r2, two_h2 * std::log(far[0] * r / (goal * m1)));
                if (m2 > 0.0) r2 = std::max(r2, two_h2 * std::log(far[0] * r * r / (goal * m2)));
            }
        }
        return std::sqrt(std::max(r2, 0.0));
    }

    // Returns how many points of the cell fell back on the direct sum.
    std::size_t run(std::size_t tc, Scratch& s) const {
        const std::size_t first = tg.start[tc], count = tg.count(tc);
        const CellCoord c0 = tg.cells[tc];
        const auto& offs = ns.offsets;
        const std::size_t source_blocks = ns.cell_blocks.back();
        const std::size_t stride = slots * kPairLanes;
        s.acc.resize(stride);
        s.sums.resize(slots);
        s.cand.clear();
        s.cand_mag.assign(c, 0.0);
        std::size_t next = 0;
        // Candidates out to `reach`; everything else is then at least excluded() away.
        auto extend = [&](double reach) {
            while (next < offs.size() && offs[next].dist < reach && next <= kMaxOffsets) {
                const CellOffset& o = offs[next++];
                const CellCoord cc{c0.i + o.di, c0.j + o.dj, c0.k + o.dk};
                const std::uint32_t sc = ns.grid.find(cc);
                if (sc == CellGrid::npos) continue;
                for (std::size_t k = 0; k < c; ++k) s.cand_mag[k] += ns.cell_mag[sc * c + k];
                s.cand.push_back(Candidate{sc, o.dist,
                                           {static_cast<double>(cc.i), static_cast<double>(cc.j),
                                            static_cast<double>(cc.k)}});
            }
        };
        auto excluded = [&] {
            if (next < offs.size()) return offs[next].dist;
            return ns.beyond_offsets;
        };
        const double inv = 1.0 / ns.side;
        std::size_t fell_back = 0;
        double start_reach = ns.r0;  // a point's neighbour in the cell usually needs what it needed
        // Candidates are found out to this radius at least (no pairs taken there): their weight is
        // then bounded at their own distance, and only the rest at the candidates' edge.
        double far_reach = 0.0;
        const bool tiled = tile_layout(ns.layout) && count >= kPairLanes;
        if (tiled) run_tiles(tc, s, extend, excluded, far_reach);
        const std::size_t todo = tiled ? s.pending.size() : count;
        for (std::size_t pi = 0; pi < todo; ++pi) {
            const std::size_t p = tiled ? s.pending[pi] : pi;
            const std::size_t i = tg.order[first + p];
            const double tx = sx[first + p], ty = sy[first + p], tz = sz[first + p];
            const double u[3] = {(tx - ns.grid.frame.origin[0]) * inv, (ty - ns.grid.frame.origin[1]) * inv,
                                 (tz - ns.grid.frame.origin[2]) * inv};
            double* acc = s.acc.data();
            double* sum = s.sums.data();
            reset_lanes(ns.layout, acc);
            s.inside.assign(c, 0.0);
            s.dropped.assign(c, 0.0);
            s.dropped_far.assign(c, 0.0);
            const double t[3] = {tx, ty, tz};
            std::size_t terms = 0, blocks_taken = 0;
            double taken = 0.0;      // sources within this radius of the point are in
            double reach = start_reach;  // the radius asked for
            double rho_p = 0.0;      // everything left out is at least this far
            bool direct = false, all = false, clamped = false;
            const double farthest = ns.layout.moments ? farthest_source(ns, tx, ty, tz) : 0.0;
            double b = kInf;
            s.d2.clear();
            s.whole.clear();
            for (;;) {
                extend(std::max(reach, far_reach));
                const double limit = std::min(reach, excluded());
                const double taken2 = taken * taken, limit2 = limit * limit;
                for (std::size_t ci = 0; ci < s.cand.size(); ++ci) {
                    const Candidate& cd = s.cand[ci];
                    if (cd.dist >= limit) break;  // sorted by distance from the cell: none nearer
                    // Never below the cells' own distance: a cell is then taken in the round
                    // that first reaches it, whatever the rounding of the point's position.
                    if (ci == s.d2.size()) {
                        s.d2.push_back(std::max(box_dist2(u, u, cd.lo), cd.dist * cd.dist));
                        s.whole.push_back(0);
                    }
                    const double d2 = s.d2[ci];
                    if (d2 >= limit2 || s.whole[ci]) continue;
                    const std::size_t sc = cd.cell, b0 = ns.cell_blocks[sc], b1 = ns.cell_blocks[sc + 1];
                    const std::size_t first_src = ns.grid.start[sc], end_src = ns.grid.start[sc + 1];
                    if (d2 >= taken2 && (b1 - b0 < kCullBlocks || far_dist2(u, u, cd.lo) < limit2)) {
                        // Reached in this round and inside the radius whole (or too small to be
                        // worth culling): all of it at once.
                        s.whole[ci] = 1;
                        blocks_taken += b1 - b0;
                        terms += padded(end_src - first_src);
                        for (std::size_t k = 0; k < c; ++k) s.inside[k] += ns.cell_mag[sc * c + k];
                        add_pairs(ns.layout, ns.src, first_src, end_src, tx, ty, tz, acc);
                        continue;
                    }
                    // Cut by the sphere: the blocks it reaches, each run of consecutive ones at
                    // once. A block's distance is never below its cell's, so it is taken in the
                    // round that first reaches it (those below `taken` are in already).
                    bool rest = false;
                    for (std::size_t c0 = b0; c0 < b1; c0 += 64) {
                        bool beyond = false;
                        std::uint64_t m = blocks_between(ns.block_box.data(), ns.box_stride, c0,
                                                         std::min<std::size_t>(64, b1 - c0), t, d2, taken2, limit2,
                                                         &beyond);
                        rest = rest || beyond;
                        while (m != 0) {
                            const int first = __builtin_ctzll(m);
                            const std::uint64_t after = ~(m >> first);
                            const int len = after == 0 ? 64 - first : __builtin_ctzll(after);
                            const std::size_t r0 = c0 + first, r1 = r0 + len;
                            const std::size_t p0 = first_src + (r0 - b0) * kPairLanes;
                            const std::size_t p1 = std::min(first_src + (r1 - b0) * kPairLanes, end_src);
                            blocks_taken += r1 - r0;
                            terms += padded(p1 - p0);
                            for (std::size_t k = 0; k < c; ++k) {
                                double w = 0.0;
                                for (std::size_t b = r0; b < r1; ++b) w += ns.block_mag[b * c + k];
                                s.inside[k] += w;
                            }
                            add_pairs(ns.layout, ns.src, p0, p1, tx, ty, tz, acc);
                            m = first + len >= 64 ? 0 : m & (~std::uint64_t{0} << (first + len));
                        }
                    }
                    if (!rest) s.whole[ci] = 1;
                }
                taken = limit;
                all = blocks_taken == source_blocks;
                rho_p = all ? kInf : limit;
                // Left out: the candidates' other sources (at ≥ ρ_p), and every source beyond the
                // candidates (at ≥ rho_far).
                const double rho_far = all ? kInf : excluded();
                for (std::size_t k = 0; k < c; ++k) {
                    s.dropped[k] = all ? 0.0 : std::max(s.cand_mag[k] - s.inside[k], 0.0) + slack[k];
                    s.dropped_far[k] = all ? 0.0 : std::max(ns.total_mag[k] - s.cand_mag[k], 0.0) + slack[k];
                }
                fold_lanes(ns.layout, acc, sum);
                // Beyond the clamp radius every term left out is exactly clamp × weight: add them.
                clamped = !all && rho_p >= ns.clamp_radius;
                if (clamped) {
                    // The taken blocks' weight sums: those whose distance is below the limit.
                    s.inside_sum.assign(c + 4, 0.0);
                    for (std::size_t ci = 0; ci < s.d2.size(); ++ci) {
                        if (!(s.d2[ci] < limit2)) continue;
                        const std::size_t sc = s.cand[ci].cell;
                        for (std::size_t b = ns.cell_blocks[sc]; b < ns.cell_blocks[sc + 1]; ++b)
                            if (s.whole[ci] || block_dist2(ns, b, t, s.d2[ci]) < limit2)
                                for (std::size_t k = 0; k < c + 4; ++k)
                                    s.inside_sum[k] += ns.block_sum[b * (c + 4) + k];
                    }
                    add_clamped(sum, s.inside, s.inside_sum, tx, ty, tz);
                    b = point_bound(ns.layout, sum, s.dropped.data(), kInf, nullptr, kInf, 0.0, ns.floor, terms) +
                        clamped_allowance(sum);
                } else {
                    b = point_bound(ns.layout, sum, s.dropped.data(), rho_p, s.dropped_far.data(), rho_far, farthest, ns.floor,
                                    terms);
                }
                if (b <= tol || all || clamped) break;
                if (limit < reach || next > kMaxOffsets) {  // no offsets left to widen the stencil with
                    direct = true;
                    break;
                }
                bool widen_far = false;
                const double want = radius_for(sum, s.dropped.data(), s.dropped_far.data(), rho_far, farthest, &widen_far);
                if (widen_far && next < offs.size()) {
                    // Find candidates further out first (no pairs), by at least a quarter cell.
                    far_reach = std::max(rho_far + 0.25 * ns.side,
                                         std::min(far_radius_for(sum, s.dropped_far.data()) * 1.0001,
                                                  ns.clamp_radius * 1.0001));
                    continue;
                }
                // Widen to the radius the bound asks for, by at least a quarter cell or half a width
                // (cells widened for sparse sources can be several widths across).
                reach = std::max(limit + std::min(0.25 * ns.side, 0.5 * ns.h),
                                 std::min(want * 1.0001, ns.clamp_radius * 1.0001));
            }
            start_reach = std::max(ns.r0, taken);
            if (direct) {
                ++fell_back;
                rho_p = kInf;
                reset_lanes(ns.layout, acc);
                add_pairs(ns.layout, ns.src, 0, ns.src.n, tx, ty, tz, acc);
                fold_lanes(ns.layout, acc, sum);
                std::fill(s.dropped.begin(), s.dropped.end(), 0.0);
                b = point_bound(ns.layout, sum, s.dropped.data(), kInf, nullptr, kInf, 0.0, ns.floor, ns.src.n);
            }
            const std::size_t r = rows ? rows[i] : i;
            bound[r] = b;
            double* o = out + r * width;
            for (std::size_t v = 0; v < ns.layout.value_slots(); ++v) o[v] = sum[v];
            // The largest exponent over all sources: the kept pairs', or what the sources left
            // out could reach from beyond the exclusion distance.
            if (ns.layout.track_max)
                o[width - 1] = std::max(sum[ns.layout.max_slot()],
                                        rho_p < kInf ? std::max(-(rho_p * rho_p) * ns.layout.inv_2h2, kExpMin) : -kInf);
        }
        return fell_back;
    }

    // Tiles of eight of the cell's points, consecutive along a Z-order curve (so a tile's box is
    // small), each against one stencil: the sources whose blocks lie within the tile's radius of
    // its box, eight points at a time. Every source left out is then at least that far from each
    // of the tile's points, so each point's bound is that of a point whose radius it is; a tile
    // whose points miss the tolerance widens as a point would, and a point still missing it after
    // that is left to the point-by-point rounds (s.pending).
    template <class Extend, class Excluded>
    void run_tiles(std::size_t tc, Scratch& s, Extend& extend, Excluded& excluded, double& far_reach) const {
        constexpr int kAttempts = 3;
        const std::size_t first = tg.start[tc], count = tg.count(tc);
        const CellCoord c0 = tg.cells[tc];
        const double inv = 1.0 / ns.side;
        const double* origin = ns.grid.frame.origin;
        const double clo[3] = {static_cast<double>(c0.i), static_cast<double>(c0.j), static_cast<double>(c0.k)};
        s.zord.clear();
        s.pending.clear();
        for (std::size_t p = 0; p < count; ++p) {
            const double u[3] = {(sx[first + p] - origin[0]) * inv, (sy[first + p] - origin[1]) * inv,
                                 (sz[first + p] - origin[2]) * inv};
            s.zord.push_back(static_cast<std::uint64_t>(z_code(u, clo)) << 32 | p);
        }
        std::sort(s.zord.begin(), s.zord.end());
        const std::size_t source_blocks = ns.cell_blocks.back();
        double settled = ns.r0;  // the radius the last tile to meet the tolerance ended at
        for (std::size_t t0 = 0; t0 < count; t0 += kPairLanes) {
            double reach = settled;
            const std::size_t nt = std::min(kPairLanes, count - t0);
            std::uint32_t pts[kPairLanes];
            double tp[3 * kPairLanes];
            double tlo[3] = {kInf, kInf, kInf}, thi[3] = {-kInf, -kInf, -kInf};
            bool finite = true;
            for (std::size_t l = 0; l < kPairLanes; ++l) {
                const auto p = static_cast<std::uint32_t>(s.zord[t0 + std::min(l, nt - 1)]);  // spare lanes repeat a point
                pts[l] = p;
                tp[l] = sx[first + p];
                tp[kPairLanes + l] = sy[first + p];
                tp[2 * kPairLanes + l] = sz[first + p];
                for (int a = 0; a < 3; ++a) {
                    const double v = tp[a * kPairLanes + l];
                    finite = finite && std::isfinite(v);
                    tlo[a] = std::min(tlo[a], v);
                    thi[a] = std::max(thi[a], v);
                }
            }
            if (!finite) {
                for (std::size_t l = 0; l < nt; ++l) s.pending.push_back(pts[l]);
                continue;
            }
            const double ulo[3] = {(tlo[0] - origin[0]) * inv, (tlo[1] - origin[1]) * inv, (tlo[2] - origin[2]) * inv};
            const double uhi[3] = {(thi[0] - origin[0]) * inv, (thi[1] - origin[1]) * inv, (thi[2] - origin[2]) * inv};
            double farthest[kPairLanes];
            for (std::size_t l = 0; l < nt; ++l)
                farthest[l] = farthest_source(ns, tp[l], tp[kPairLanes + l], tp[2 * kPairLanes + l]);
            unsigned done = 0;
            const unsigned all_lanes = (1u << nt) - 1;
            for (int attempt = 0;; ++attempt) {
                extend(std::max(reach, far_reach));
                const double limit = std::min(reach, excluded()), limit2 = limit * limit;
                if (limit >= ns.clamp_radius) {  // the rounds add the clamped terms exactly
                    for (std::size_t l = 0; l < nt; ++l)
                        if (!(done >> l & 1u)) s.pending.push_back(pts[l]);
                    break;
                }
                std::fill(std::begin(s.tile_acc), std::end(s.tile_acc), 0.0);
                double inside = 0.0;
                std::size_t blocks_taken = 0, terms = 0;
                for (const Candidate& cd : s.cand) {
                    if (cd.dist >= limit) break;  // sorted by distance from the cell: none nearer
                    const double d2 = std::max(box_dist2(ulo, uhi, cd.lo), cd.dist * cd.dist);
                    if (d2 >= limit2) continue;
                    const std::size_t sc = cd.cell, b0 = ns.cell_blocks[sc], b1 = ns.cell_blocks[sc + 1];
                    const std::size_t first_src = ns.grid.start[sc], end_src = ns.grid.start[sc + 1];
                    if (b1 - b0 < kTileCullBlocks || far_dist2(ulo, uhi, cd.lo) < limit2) {
                        blocks_taken += b1 - b0;
                        terms += end_src - first_src;
                        inside += ns.cell_mag[sc];
                        add_moments_tile(ns.src, first_src, end_src, tp, ns.layout.inv_2h2, s.tile_acc);
                        continue;
                    }
                    // Cut by the tile's reach: the blocks some point of the tile is near, each run
                    // of consecutive ones at once.
                    for (std::size_t r0 = b0; r0 < b1;) {
                        if (!block_near_points(ns.block_box.data(), ns.box_stride, r0, tp, d2, limit2)) {
                            ++r0;
                            continue;
                        }
                        std::size_t r1 = r0 + 1;
                        while (r1 < b1 && block_near_points(ns.block_box.data(), ns.box_stride, r1, tp, d2, limit2)) ++r1;
                        const std::size_t p0 = first_src + (r0 - b0) * kPairLanes;
                        const std::size_t p1 = std::min(first_src + (r1 - b0) * kPairLanes, end_src);
                        blocks_taken += r1 - r0;
                        terms += p1 - p0;
                        double w = 0.0;
                        for (std::size_t b = r0; b < r1; ++b) w += ns.block_mag[b];
                        inside += w;
                        add_moments_tile(ns.src, p0, p1, tp, ns.layout.inv_2h2, s.tile_acc);
                        r0 = r1;
                    }
                }
                const bool all = blocks_taken == source_blocks;
                const double rho = all ? kInf : limit, rho_far = all ? kInf : excluded();
                const double dropped = all ? 0.0 : std::max(s.cand_mag[0] - inside, 0.0) + slack[0];
                const double dropped_far = all ? 0.0 : std::max(ns.total_mag[0] - s.cand_mag[0], 0.0) + slack[0];
                double want = 0.0, want_far = 0.0;
                const ShellKernels shells = shell_kernels(ns.layout, rho, rho_far, true);  // shared by the tile
                for (std::size_t l = 0; l < nt; ++l) {
                    if (done >> l & 1u) continue;
                    double sum[6];
                    for (std::size_t v = 0; v < 6; ++v) sum[v] = s.tile_acc[v * kPairLanes + l];
                    // Summed one term after another: the rounding of 4·terms in lanes.
                    const double b =
                        point_bound(ns.layout, shells, sum, &dropped, &dropped_far, farthest[l], ns.floor, 4 * terms);
                    if (b <= tol) {
                        done |= 1u << l;
                        const std::size_t i = tg.order[first + pts[l]];
                        const std::size_t r = rows ? rows[i] : i;
                        bound[r] = b;
                        for (std::size_t v = 0; v < 5; ++v) out[r * width + v] = sum[v];
                        continue;
                    }
                    bool widen_far = false;
                    const double w = radius_for(sum, &dropped, &dropped_far, rho_far, farthest[l], &widen_far);
                    if (widen_far)
                        want_far = std::max(want_far, far_radius_for(sum, &dropped_far));
                    else
                        want = std::max(want, w);
                }
                if (done == all_lanes) {
                    settled = reach;
                    break;
                }
                if (attempt + 1 == kAttempts || limit < reach || !(want < kInf) || !(want_far < kInf) ||
                    (want <= 0.0 && want_far <= 0.0)) {
                    for (std::size_t l = 0; l < nt; ++l)
                        if (!(done >> l & 1u)) s.pending.push_back(pts[l]);
                    break;
                }
                if (want_far > 0.0)
                    far_reach = std::max({far_reach, rho_far + 0.25 * ns.side,
                                          std::min(want_far * 1.0001, ns.clamp_radius * 1.0001)});
                if (want > 0.0)
                    reach = std::max(limit + std::min(0.25 * ns.side, 0.5 * ns.h),
                                     std::min(want * 1.0001, ns.clamp_radius * 1.0001));
            }
        }
    }

    // The left-out terms of one point, all equal to the clamp times their weights.
    void add_clamped(double* sum, const std::vector<double>& inside, const std::vector<double>& inside_sum, double tx,
                     double ty, double tz) const {
        const double k = ns.clamp_value;
        const std::size_t vs = ns.layout.value_slots();
        std::size_t next_signed = 0;
        for (std::size_t col = 0; col < c; ++col) {
            sum[col] += (ns.total_sum[col] - inside_sum[col]) * k;
            if (next_signed < ns.layout.signed_cols.size() && ns.layout.signed_cols[next_signed] == col)
                sum[vs + next_signed++] += std::max(ns.total_mag[col] - inside[col], 0.0) * k;
        }
        if (ns.layout.moments) {
            const double s0 = ns.total_sum[0] - inside_sum[0];
            const double s1[3] = {ns.total_sum[c] - inside_sum[c], ns.total_sum[c + 1] - inside_sum[c + 1],
                                  ns.total_sum[c + 2] - inside_sum[c + 2]};
            const double s2 = ns.total_sum[c + 3] - inside_sum[c + 3];
            const double t[3] = {tx, ty, tz};
            for (int a = 0; a < 3; ++a) sum[c + a] += (s1[a] - t[a] * s0) * k;
            const double tt = (tx * tx + ty * ty) + tz * tz;
            sum[c + 3] += std::max((s2 - 2.0 * (s1[0] * tx + s1[1] * ty + s1[2] * tz)) + tt * s0, 0.0) * k;
        }
    }

    // Rounding of the clamped additions (differences of per-block sums), relative to the point's
    // magnitudes: the terms are below 3e-308 each, so this only matters where nothing else is.
    double clamped_allowance(const double* sum) const {
        double b = 0.0;
        ColumnMagnitude magnitude(ns.layout, sum, ns.floor);
        for (std::size_t col = 0; col < c; ++col) {
            const double mag = magnitude(col);
            const double err = (slack[col] + ns.total_mag[col] * 4.0 * kUnitRoundoff) * ns.clamp_value;
            if (err > 0.0) b = std::max(b, mag > 0.0 ? err / mag : kInf);
        }
        return b;
    }
};

}  // namespace

std::size_t near_run(const NearSources& ns, const Points64& targets, const CellGrid* grid, const unsigned* rows,
                     bool parallel, CancelFlag cancel, double* out, double* bound) {
    std::optional<CellGrid> own;
    if (!grid) own.emplace(CellGrid::build(targets, ns.grid.frame));
    const CellGrid& tg = grid ? *grid : *own;
    const std::size_t slots = ns.layout.slots(), width = ns.layout.out_width();
    // The points' coordinates in cell order: the cells' loops then read them contiguously.
    const std::size_t n = targets.n;
    std::vector<double> sx(n), sy(n), sz(n);
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t i = tg.order[p];
        sx[p] = targets.x[i];
        sy[p] = targets.y[i];
        sz[p] = targets.z[i];
    }
    const std::size_t c = ns.layout.c;
    std::vector<double> slack(c);
    for (std::size_t k = 0; k < c; ++k)
        slack[k] = ns.total_mag[k] * static_cast<double>(2 * ns.cell_blocks.back() + 8) * kUnitRoundoff;
    const CellWork work{ns, sx.data(), sy.data(), sz.data(), tg, rows, out, bound, slots, width, c,
                        std::max(ns.tolerance - rounding_allowance(0), 0.0), std::move(slack)};
    std::atomic<std::size_t> fell_back{0};
    auto body = [&](std::size_t first, std::size_t last) {
        CellWork::Scratch scratch;
        const FlushSubnormals ftz;
        std::size_t local = 0;
        for (std::size_t tc = first; tc != last; ++tc) {
            if (cancelled(cancel)) break;
            local += work.run(tc, scratch);
        }
        fell_back.fetch_add(local, std::memory_order_relaxed);
    };
    if (parallel)
        parallel_ranges(tg.size(), body);
    else
        body(0, tg.size());
    return fell_back.load();
}

void direct_run(const SourceArrays& src, const PairLayout& layout, const Points64& targets, const unsigned* rows,
                double floor, bool parallel, CancelFlag cancel, double* out, double* bound) {
    const std::size_t slots = layout.slots(), width = layout.out_width();
    auto body = [&](std::size_t first, std::size_t last) {
        std::vector<double> acc(slots * kPairLanes), sums(slots), dropped(layout.c, 0.0);
        const FlushSubnormals ftz;
        for (std::size_t i = first; i != last; ++i) {
            if (cancelled(cancel)) break;
            reset_lanes(layout, acc.data());
            add_pairs(layout, src, 0, src.n, targets.x[i], targets.y[i], targets.z[i], acc.data());
            fold_lanes(layout, acc.data(), sums.data());
            const std::size_t row = rows ? rows[i] : i;
            for (std::size_t s = 0; s < layout.value_slots(); ++s) out[row * width + s] = sums[s];
            if (layout.track_max) out[row * width + width - 1] = sums[layout.max_slot()];
            bound[row] = point_bound(layout, sums.data(), dropped.data(), kInf, nullptr, kInf, 0.0, floor, src.n);
        }
    };
    if (parallel)
        parallel_ranges(targets.n, body);
    else
        body(0, targets.n);
}

}  // namespace tarvic::detail
