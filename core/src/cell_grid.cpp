// Sparse uniform cells: counting sort of a cloud's points by cell, and lookup by cell key.
#include "cell_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace tarvic::detail {

namespace {

constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

std::uint64_t mix(std::uint64_t k) {
    // A 64-bit finaliser (xorshift-multiply): neighbouring keys land far apart in the table.
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

}  // namespace

void bounding_box(std::initializer_list<const Points64*> clouds, double lo[3], double hi[3]) {
    for (int d = 0; d < 3; ++d) {
        lo[d] = std::numeric_limits<double>::infinity();
        hi[d] = -std::numeric_limits<double>::infinity();
    }
    for (const Points64* p : clouds)
        for (std::size_t i = 0; i < p->n; ++i) {
            const double v[3] = {p->x[i], p->y[i], p->z[i]};
            for (int d = 0; d < 3; ++d) {
                lo[d] = std::min(lo[d], v[d]);
                hi[d] = std::max(hi[d], v[d]);
            }
        }
    for (int d = 0; d < 3; ++d)
        if (!(lo[d] <= hi[d])) lo[d] = hi[d] = 0.0;  // no points
}

CellFrame CellFrame::over(const Points64& a, const Points64& b, double side) {
    double lo[3], hi[3];
    bounding_box({&a, &b}, lo, hi);
    CellFrame f;
    double extent = 0.0;
    for (int d = 0; d < 3; ++d) extent = std::max(extent, hi[d] - lo[d]);
    // Indices run over [2, 2^21 − 3]: the margin keeps every stencil offset of ±2 in range, and
    // wider stencils are range-checked.
    const double min_side = extent / static_cast<double>(kCellAxis - 8);
    f.side = std::max(side, min_side);
    if (!(f.side > 0.0) || !std::isfinite(f.side)) f.side = 1.0;
    for (int d = 0; d < 3; ++d) f.origin[d] = lo[d] - 2.0 * f.side;
    return f;
}

CellCoord CellFrame::cell_of(double x, double y, double z) const {
    const double inv = 1.0 / side;
    auto axis = [&](double v, double o) {
        const double c = std::floor((v - o) * inv);
        // NaN goes to cell 0 with the coordinates below the frame (converting it is undefined).
        return static_cast<std::int64_t>(c > 0.0 ? std::min(c, static_cast<double>(kCellAxis - 1)) : 0.0);
    };
    return CellCoord{axis(x, origin[0]), axis(y, origin[1]), axis(z, origin[2])};
}

CellGrid CellGrid::build(const Points64& pts, const CellFrame& frame) {
    CellGrid g;
    g.frame = frame;
    const std::size_t n = pts.n;
    std::vector<std::uint64_t> keys(n);
    std::vector<CellCoord> coord(n);
    for (std::size_t i = 0; i < n; ++i) {
        coord[i] = frame.cell_of(pts.x[i], pts.y[i], pts.z[i]);
        keys[i] = CellFrame::key(coord[i]);
    }
    // Provisional cell ids in order of first appearance, through the table. It grows with the
    // cells found (at most half full), not with the points: clouds hold many points per cell, and a
    // table the size of the cloud missed the cache on every probe, here and in find().
    std::vector<std::uint32_t> cell_of_point(n);
    std::vector<std::uint64_t> unique;
    std::vector<CellCoord> unique_coord;
    auto rehash = [&](std::size_t cap) {
        g.table_keys_.assign(cap, kEmpty);
        g.table_cells_.assign(cap, npos);
        g.mask_ = cap - 1;
        for (std::size_t u = 0; u < unique.size(); ++u) {
            std::uint64_t h = mix(unique[u]) & g.mask_;
            while (g.table_keys_[h] != kEmpty) h = (h + 1) & g.mask_;
            g.table_keys_[h] = unique[u];
            g.table_cells_[h] = static_cast<std::uint32_t>(u);
        }
    };
    rehash(64);
    std::uint64_t last_key = kEmpty;
    std::uint32_t last_cell = npos;
    for (std::size_t i = 0; i < n; ++i) {
        if (keys[i] == last_key) {  // neighbours in a scan's order often share a cell
            cell_of_point[i] = last_cell;
            continue;
        }
        std::uint64_t h = mix(keys[i]) & g.mask_;
        while (g.table_keys_[h] != kEmpty && g.table_keys_[h] != keys[i]) h = (h + 1) & g.mask_;
        if (g.table_keys_[h] == kEmpty) {
            last_cell = static_cast<std::uint32_t>(unique.size());
            g.table_keys_[h] = keys[i];
            g.table_cells_[h] = last_cell;
            unique.push_back(keys[i]);
            unique_coord.push_back(coord[i]);
            if (2 * unique.size() > g.table_keys_.size()) rehash(2 * g.table_keys_.size());
        } else {
            last_cell = g.table_cells_[h];
        }
        last_key = keys[i];
        cell_of_point[i] = last_cell;
    }
    // Final ids in key order, so that cells near in space are near in memory. Keys are unique:
    // sorting (key, provisional id) pairs gives the same order as sorting ids by key, faster.
    const std::size_t cells = unique.size();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> by_key(cells);
    for (std::size_t u = 0; u < cells; ++u) by_key[u] = {unique[u], static_cast<std::uint32_t>(u)};
    std::sort(by_key.begin(), by_key.end());
    std::vector<std::uint32_t> rank(cells);
    g.cells.resize(cells);
    for (std::size_t r = 0; r < cells; ++r) {
        rank[by_key[r].second] = static_cast<std::uint32_t>(r);
        g.cells[r] = unique_coord[by_key[r].second];
    }
    for (std::size_t s = 0; s < g.table_keys_.size(); ++s)
        if (g.table_keys_[s] != kEmpty) g.table_cells_[s] = rank[g.table_cells_[s]];
    // Counting sort of the points by final cell id (stable).
    g.start.assign(cells + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++g.start[rank[cell_of_point[i]] + 1];
    for (std::size_t c = 0; c < cells; ++c) g.start[c + 1] += g.start[c];
    g.order.resize(n);
    std::vector<std::uint32_t> fill(g.start.begin(), g.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) g.order[fill[rank[cell_of_point[i]]]++] = static_cast<std::uint32_t>(i);
    return g;
}

std::size_t CellGrid::count_cells(const Points64& pts, const CellFrame& frame, std::size_t limit) {
    limit = std::min(limit, pts.n);
    std::size_t cap = 16;
    while (cap < 2 * limit + 2) cap <<= 1;
    std::vector<std::uint64_t> table(cap, kEmpty);
    const std::uint64_t mask = cap - 1;
    std::size_t cells = 0;
    for (std::size_t i = 0; i < pts.n; ++i) {
        const std::uint64_t key = CellFrame::key(frame.cell_of(pts.x[i], pts.y[i], pts.z[i]));
        std::uint64_t h = mix(key) & mask;
        while (table[h] != kEmpty && table[h] != key) h = (h + 1) & mask;
        if (table[h] == kEmpty) {
            table[h] = key;
            if (++cells > limit) break;
        }
    }
    return cells;
}

std::uint32_t CellGrid::find(const CellCoord& c) const {
    if (!CellFrame::in_range(c) || table_keys_.empty()) return npos;
    const std::uint64_t key = CellFrame::key(c);
    std::uint64_t h = mix(key) & mask_;
    while (table_keys_[h] != kEmpty) {
        if (table_keys_[h] == key) return table_cells_[h];
        h = (h + 1) & mask_;
    }
    return npos;
}

}  // namespace tarvic::detail
