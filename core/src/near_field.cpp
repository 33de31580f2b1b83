// Truncated Gauss transforms on sparse cells, and the direct sum they fall back on.
#include "near_field.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "exp64.hpp"
#include "tarvic/fpenv.hpp"
#include "tarvic/threads.hpp"

namespace tarvic::detail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxOffsets = 40000;  // beyond this stencil a cell is summed directly

// exp(−ρ²/2h²), never below the kernel's clamp.
double tail_kernel(double rho, double inv_2h2) {
    if (!(rho < kInf)) return 0.0;
    return exp64(std::max(-(rho * rho) * inv_2h2, kExpMin));
}

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

// Squared distance, in cell units, from a point at frame coordinates u to the cell box whose lower
// corner is lo, each axis's gap reduced by `margin` first.
double box_gap2(const double* u, const double* lo, double margin) {
    double g2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double g = std::max(std::max(lo[a] - u[a], u[a] - (lo[a] + 1.0)) - margin, 0.0);
        g2 += g * g;
    }
    return g2;
}

}  // namespace

double near_cell_side(double h, double tolerance) {
    const double r0 = h * std::sqrt(2.0 * std::log(1.0 / tolerance));
    return 0.5 * r0;
}

double farthest_source(const NearSources& ns, double x, double y, double z) {
    const double t[3] = {x, y, z};
    double d2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double d = std::max(std::fabs(t[a] - ns.lo[a]), std::fabs(t[a] - ns.hi[a]));
        d2 += d * d;
    }
    return std::sqrt(d2) * (1.0 + 1e-12);
}

double point_bound(const PairLayout& layout, const double* sums, const double* outside, double rho, double farthest,
                   double floor, std::size_t terms) {
    const std::size_t c = layout.c, vs = layout.value_slots();
    double b = 0.0;
    auto ratio = [](double d, double mag) {
        if (d == 0.0) return 0.0;
        return mag > 0.0 ? d / mag : kInf;
    };
    // Beyond rho a term is at most K(rho); its moments K·d and K·d² peak at h and √2·h.
    const bool none = !(rho < kInf);
    const double k0 = none ? 0.0 : tail_kernel(rho, layout.inv_2h2);
    std::size_t next_signed = 0;
    for (std::size_t k = 0; k < c; ++k) {
        double mag = sums[k];
        if (next_signed < layout.signed_cols.size() && layout.signed_cols[next_signed] == k)
            mag = sums[vs + next_signed++];
        if (k == 0) mag += floor;
        b = std::max(b, ratio(outside[k] * k0, mag));
    }
    if (layout.moments && !none) {
        // The floored kernel stops falling at its clamp while |d| keeps growing: terms there are at
        // most clamp·farthest^k, whatever the radius.
        const double r1 = std::max(rho, layout.h), r2 = std::max(rho, std::sqrt(2.0) * layout.h);
        const double kc = layout.g32 != 0.0f ? std::ldexp(1.0, -126) : exp64(kExpMin);
        const double far = std::max(farthest, 0.0);
        const double m1 = outside[0] * (tail_kernel(r1, layout.inv_2h2) * r1 + kc * far);
        const double m2 = outside[0] * (tail_kernel(r2, layout.inv_2h2) * r2 * r2 + kc * far * far);
        b = std::max(b, ratio(m1, sums[vs + layout.signed_cols.size()]));
        b = std::max(b, ratio(m2, sums[c + 3]));
    }
    return b + rounding_allowance(terms);
}

NearSources near_sources(const Points64& sources, const double* q, const PairLayout& layout, const CellFrame& frame,
                         const GaussOptions& opts) {
    NearSources ns;
    const std::size_t c = layout.c;
    ns.h = layout.h;
    ns.side = frame.side;
    ns.tolerance = opts.tolerance;
    ns.floor = opts.floor;
    ns.r0 = layout.h * std::sqrt(2.0 * std::log(1.0 / opts.tolerance));
    ns.grid = CellGrid::build(sources, frame);
    bounding_box({&sources}, ns.lo, ns.hi);
    ns.src = gather_sources(sources.x, sources.y, sources.z, q, c, ns.grid.order.data(), sources.n);
    ns.layout = layout;
    const std::size_t cells = ns.grid.size();
    ns.cell_mag.assign(cells * c, 0.0);
    ns.total_mag.assign(c, 0.0);
    for (std::size_t cell = 0; cell < cells; ++cell)
        for (std::size_t p = ns.grid.start[cell]; p < ns.grid.start[cell + 1]; ++p)
            for (std::size_t k = 0; k < c; ++k) ns.cell_mag[cell * c + k] += std::fabs(ns.src.column(k)[p]);
    for (std::size_t cell = 0; cell < cells; ++cell)
        for (std::size_t k = 0; k < c; ++k) ns.total_mag[k] += ns.cell_mag[cell * c + k];
    const std::size_t cs = c + 4;
    ns.cell_sum.assign(cells * cs, 0.0);
    ns.total_sum.assign(cs, 0.0);
    for (std::size_t cell = 0; cell < cells; ++cell) {
        double* sum = ns.cell_sum.data() + cell * cs;
        for (std::size_t p = ns.grid.start[cell]; p < ns.grid.start[cell + 1]; ++p) {
            for (std::size_t k = 0; k < c; ++k) sum[k] += ns.src.column(k)[p];
            const double q0 = ns.src.column(0)[p], x = ns.src.x[p], y = ns.src.y[p], z = ns.src.z[p];
            sum[c] += q0 * x;
            sum[c + 1] += q0 * y;
            sum[c + 2] += q0 * z;
            sum[c + 3] += q0 * ((x * x + y * y) + z * z);
        }
        for (std::size_t k = 0; k < cs; ++k) ns.total_sum[k] += sum[k];
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
        // A few of the cell's points, each against the cells within its own reach; runs are
        // summed eight lanes at a time, so count padded lengths.
        const std::size_t count = tg.count(tc), take = std::min<std::size_t>(count, 4);
        double near = 0.0;
        for (std::size_t p = 0; p < take; ++p) {
            const std::size_t i = tg.order[tg.start[tc] + p * count / take];
            const double u[3] = {(targets.x[i] - ns.grid.frame.origin[0]) * inv,
                                 (targets.y[i] - ns.grid.frame.origin[1]) * inv,
                                 (targets.z[i] - ns.grid.frame.origin[2]) * inv};
            for (const auto& [sc, cc] : found) {
                const double lo[3] = {static_cast<double>(cc.i), static_cast<double>(cc.j), static_cast<double>(cc.k)};
                if (box_gap2(u, lo, 0.0) * ns.side * ns.side < rho2)
                    near += static_cast<double>((ns.grid.count(sc) + kPairLanes - 1) / kPairLanes * kPairLanes);
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
    std::vector<double> slack;  // per column: the rounding of total − inside, Σ|q|·(2·cells + 8)·u

    struct Candidate {
        std::uint32_t cell;
        double dist;        // smallest distance between points of this cell and of the target cell
        double lo[3];       // the cell's lower corner in frame units (cell indices)
    };
    struct Scratch {
        std::vector<double> acc, sums, inside, inside_sum, dropped, d2;
        std::vector<Candidate> cand;
    };

    // Distance² from a point at frame coordinates u (cell units) to the cell box starting at lo,
    // in squared length units, less a margin for the rounding of u. The caller never lets it fall
    // below the cells' own distance, which (like every stencil here) takes the bucketing of the
    // point and the sources as exact.
    double box_dist2(const double* u, const double* lo) const { return box_gap2(u, lo, 1e-6) * ns.side * ns.side; }

    // The radius at which the terms left out would meet the tolerance, from a point's present sums
    // (the bound only shrinks as sources are added, so this is what the final bound needs at most).
    double radius_for(const double* sum, const double* outside, double farthest) const {
        const double goal = 0.9 * tol;
        const double two_h2 = 2.0 * ns.h * ns.h;
        double r2 = 0.0;
        std::size_t next_signed = 0;
        const std::size_t vs = ns.layout.value_slots();
        for (std::size_t k = 0; k < c; ++k) {
            double mag = sum[k];
            if (next_signed < ns.layout.signed_cols.size() && ns.layout.signed_cols[next_signed] == k)
                mag = sum[vs + next_signed++];
            if (k == 0) mag += ns.floor;
            if (!(outside[k] > 0.0)) continue;
            if (!(mag > 0.0)) return kInf;
            r2 = std::max(r2, two_h2 * std::log(outside[k] / (goal * mag)));
        }
        if (ns.layout.moments && outside[0] > 0.0) {
            const double m1 = sum[vs + ns.layout.signed_cols.size()], m2 = sum[c + 3];
            // Only a kept sum says what the clamp's share weighs against: with nothing kept yet
            // (or all of it at zero offset) the radius grows as usual.
            const double kc = outside[0] * ns.clamp_value;
            if ((m1 > 0.0 && kc * farthest >= goal * m1) || (m2 > 0.0 && kc * farthest * farthest >= goal * m2))
                return kInf;
            for (int it = 0; it < 3; ++it) {
                const double r = std::max(std::sqrt(r2), std::sqrt(2.0) * ns.h);
                if (m1 > 0.0) r2 = std::max(r2, two_h2 * std::log(outside[0] * r / (goal * m1)));
                if (m2 > 0.0) r2 = std::max(r2, two_h2 * std::log(outside[0] * r * r / (goal * m2)));
            }
        }
        return std::sqrt(std::max(r2, 0.0));
    }

    // Returns how many points of the cell fell back on the direct sum.
    std::size_t run(std::size_t tc, Scratch& s) const {
        const std::size_t first = tg.start[tc], count = tg.count(tc);
        const CellCoord c0 = tg.cells[tc];
        const auto& offs = ns.offsets;
        const std::size_t source_cells = ns.grid.size();
        const std::size_t stride = slots * kPairLanes;
        s.acc.resize(stride);
        s.sums.resize(slots);
        s.cand.clear();
        std::size_t next = 0;
        // Candidates out to `reach`; everything else is then at least excluded() away.
        auto extend = [&](double reach) {
            while (next < offs.size() && offs[next].dist < reach && next <= kMaxOffsets) {
                const CellOffset& o = offs[next++];
                const CellCoord cc{c0.i + o.di, c0.j + o.dj, c0.k + o.dk};
                const std::uint32_t sc = ns.grid.find(cc);
                if (sc == CellGrid::npos) continue;
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
        for (std::size_t p = 0; p < count; ++p) {
            const std::size_t i = tg.order[first + p];
            const double tx = sx[first + p], ty = sy[first + p], tz = sz[first + p];
            const double u[3] = {(tx - ns.grid.frame.origin[0]) * inv, (ty - ns.grid.frame.origin[1]) * inv,
                                 (tz - ns.grid.frame.origin[2]) * inv};
            double* acc = s.acc.data();
            double* sum = s.sums.data();
            reset_lanes(ns.layout, acc);
            s.inside.assign(c, 0.0);
            s.dropped.assign(c, 0.0);
            std::size_t terms = 0, visited = 0;
            double taken = 0.0;      // cells within this radius of the point are in
            double reach = start_reach;  // the radius asked for
            double rho_p = 0.0;      // everything left out is at least this far
            bool direct = false, all = false, clamped = false;
            const double farthest = ns.layout.moments ? farthest_source(ns, tx, ty, tz) : 0.0;
            double b = kInf;
            s.d2.clear();
            for (;;) {
                extend(reach);
                const double limit = std::min(reach, excluded());
                const double taken2 = taken * taken, limit2 = limit * limit;
                for (std::size_t ci = 0; ci < s.cand.size(); ++ci) {
                    const Candidate& cd = s.cand[ci];
                    if (cd.dist >= limit) break;  // sorted by distance from the cell: none nearer
                    // Never below the cells' own distance: a cell is then taken in the round
                    // that first reaches it, whatever the rounding of the point's position.
                    if (ci == s.d2.size()) s.d2.push_back(std::max(box_dist2(u, cd.lo), cd.dist * cd.dist));
                    const double d2 = s.d2[ci];
                    if (d2 < taken2 || d2 >= limit2) continue;
                    const std::size_t sc = cd.cell, bb = ns.grid.start[sc], e = ns.grid.start[sc + 1];
                    ++visited;
                    terms += e - bb;
                    for (std::size_t k = 0; k < c; ++k) s.inside[k] += ns.cell_mag[sc * c + k];
                    add_pairs(ns.layout, ns.src, bb, e, tx, ty, tz, acc);
                }
                taken = limit;
                all = visited == source_cells;
                rho_p = all ? kInf : limit;
                for (std::size_t k = 0; k < c; ++k)
                    s.dropped[k] = all ? 0.0 : std::max(ns.total_mag[k] - s.inside[k], 0.0) + slack[k];
                fold_lanes(ns.layout, acc, sum);
                // Beyond the clamp radius every term left out is exactly clamp × weight: add them.
                clamped = !all && rho_p >= ns.clamp_radius;
                if (clamped) {
                    // The taken cells' weight sums: those whose distance is below the limit.
                    s.inside_sum.assign(c + 4, 0.0);
                    for (std::size_t ci = 0; ci < s.d2.size(); ++ci)
                        if (s.d2[ci] < limit2)
                            for (std::size_t k = 0; k < c + 4; ++k)
                                s.inside_sum[k] += ns.cell_sum[s.cand[ci].cell * (c + 4) + k];
                    add_clamped(sum, s.inside, s.inside_sum, tx, ty, tz);
                    b = point_bound(ns.layout, sum, s.dropped.data(), kInf, 0.0, ns.floor, terms) +
                        clamped_allowance(sum);
                } else {
                    b = point_bound(ns.layout, sum, s.dropped.data(), rho_p, farthest, ns.floor, terms);
                }
                if (b <= tol || all || clamped) break;
                if (limit < reach || next > kMaxOffsets) {  // no offsets left to widen the stencil with
                    direct = true;
                    break;
                }
                // Widen to the radius the bound asks for, by at least a quarter cell.
                const double want = radius_for(sum, s.dropped.data(), farthest);
                reach = std::max(limit + 0.25 * ns.side, std::min(want * 1.0001, ns.clamp_radius * 1.0001));
            }
            start_reach = std::max(ns.r0, taken);
            if (direct) {
                ++fell_back;
                rho_p = kInf;
                reset_lanes(ns.layout, acc);
                add_pairs(ns.layout, ns.src, 0, ns.src.n, tx, ty, tz, acc);
                fold_lanes(ns.layout, acc, sum);
                std::fill(s.dropped.begin(), s.dropped.end(), 0.0);
                b = point_bound(ns.layout, sum, s.dropped.data(), kInf, 0.0, ns.floor, ns.src.n);
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

    // Rounding of the clamped additions (differences of per-cell sums), relative to the point's
    // magnitudes: the terms are below 3e-308 each, so this only matters where nothing else is.
    double clamped_allowance(const double* sum) const {
        double b = 0.0;
        const std::size_t vs = ns.layout.value_slots();
        std::size_t next_signed = 0;
        for (std::size_t col = 0; col < c; ++col) {
            double mag = sum[col];
            if (next_signed < ns.layout.signed_cols.size() && ns.layout.signed_cols[next_signed] == col)
                mag = sum[vs + next_signed++];
            if (col == 0) mag += ns.floor;
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
        slack[k] = ns.total_mag[k] * static_cast<double>(2 * ns.grid.size() + 8) * kUnitRoundoff;
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
            bound[row] = point_bound(layout, sums.data(), dropped.data(), kInf, 0.0, floor, src.n);
        }
    };
    if (parallel)
        parallel_ranges(targets.n, body);
    else
        body(0, targets.n);
}

}  // namespace tarvic::detail
