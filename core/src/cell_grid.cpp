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

// Widens [mn, mx] by the values of v, skipping NaNs as std::min and std::max skip them (one axis at
// a time, so the loop vectorises); true where some value is NaN.
bool widen_range(const double* v, std::size_t n, double& mn, double& mx) {
    double a = mn, b = mx;
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        a = v[i] < a ? v[i] : a;
        b = v[i] > b ? v[i] : b;
        nan |= v[i] != v[i];
    }
    mn = a;
    mx = b;
    return nan;
}

}  // namespace

void bounding_box(std::initializer_list<const Points64*> clouds, double lo[3], double hi[3]) {
    for (int d = 0; d < 3; ++d) {
        lo[d] = std::numeric_limits<double>::infinity();
        hi[d] = -std::numeric_limits<double>::infinity();
    }
    for (const Points64* p : clouds) {
        const double* col[3] = {p->x, p->y, p->z};
        for (int d = 0; d < 3; ++d) widen_range(col[d], p->n, lo[d], hi[d]);
    }
    for (int d = 0; d < 3; ++d)
        if (!(lo[d] <= hi[d])) lo[d] = hi[d] = 0.0;  // no points
}

CellFrame CellFrame::over(const Points64& a, const Points64& b, double side) {
    double lo[3], hi[3];
    bounding_box({&a, &b}, lo, hi);
    return over_box(lo, hi, side);
}

CellFrame CellFrame::over_box(const double lo[3], const double hi[3], double side) {
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

namespace {

// Cells and the order of the points by a stable radix sort of (cell key, point index) packed in 64
// bits, for clouds whose occupied cells span at most 32 bits of key: a few sequential passes
// instead of a table probe and two scattered lookups per point (the table is then built from the
// cells alone). The same cells, offsets and order as the table's path. False where the key or the
// index does not fit.
bool build_sorted(const Points64& pts, const CellFrame& frame, std::vector<CellCoord>& cells,
                  std::vector<std::uint32_t>& start, std::vector<std::uint32_t>& order) {
    const std::size_t n = pts.n;
    if (n == 0 || n > 0xFFFFFFFFu) return false;
    // The occupied cells' range from the points' bounding box (cell_of is monotone on each axis);
    // an axis with a NaN starts at cell 0, where the NaN goes.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    double bmin[3] = {kInf, kInf, kInf}, bmax[3] = {-kInf, -kInf, -kInf};
    const double* col[3] = {pts.x, pts.y, pts.z};
    bool nan[3];
    for (int d = 0; d < 3; ++d) nan[d] = widen_range(col[d], n, bmin[d], bmax[d]);
    const CellCoord cmin = frame.cell_of(bmin[0], bmin[1], bmin[2]), cmax = frame.cell_of(bmax[0], bmax[1], bmax[2]);
    std::int64_t lo[3] = {cmin.i, cmin.j, cmin.k}, hi[3] = {cmax.i, cmax.j, cmax.k};
    int bits[3];
    for (int d = 0; d < 3; ++d) {
        if (nan[d]) lo[d] = 0;
        bits[d] = 0;
        while ((hi[d] - lo[d]) >> bits[d]) ++bits[d];
    }
    const int total = bits[0] + bits[1] + bits[2];
    if (total > 32) return false;
    // Offsets from the lowest cell on each axis, packed with z highest (the packed order is the key
    // order), above the point's index.
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    const int passes = (total + kDigit - 1) / kDigit;
    std::vector<std::uint32_t> count(kBuckets * static_cast<std::size_t>(std::max(passes, 1)), 0);
    std::vector<std::uint64_t> a(n);
    for (std::size_t i = 0; i < n; ++i) {
        const CellCoord c = frame.cell_of(pts.x[i], pts.y[i], pts.z[i]);
        const std::uint64_t packed = ((static_cast<std::uint64_t>(c.k - lo[2]) << bits[1] |
                                       static_cast<std::uint64_t>(c.j - lo[1]))
                                      << bits[0]) |
                                     static_cast<std::uint64_t>(c.i - lo[0]);
        a[i] = (packed << 32) | i;
        for (int p = 0; p < passes; ++p) ++count[p * kBuckets + ((packed >> (kDigit * p)) & (kBuckets - 1))];
    }
    // Least significant digit first, over the key's bits only (stable: indices stay ascending
    // within a cell).
    std::vector<std::uint64_t> b(passes > 0 ? n : 0);
    for (int p = 0; p < passes; ++p) {
        std::uint32_t* c = count.data() + p * kBuckets;
        std::uint32_t sum = 0;
        for (std::size_t d = 0; d < kBuckets; ++d) {
            const std::uint32_t v = c[d];
            c[d] = sum;
            sum += v;
        }
        const int shift = 32 + kDigit * p;
        for (std::size_t i = 0; i < n; ++i) b[c[(a[i] >> shift) & (kBuckets - 1)]++] = a[i];
        a.swap(b);
    }
    cells.clear();
    start.clear();
    order.resize(n);
    std::uint64_t prev = ~std::uint64_t{0};
    const std::uint64_t mi = (std::uint64_t{1} << bits[0]) - 1, mj = (std::uint64_t{1} << bits[1]) - 1;
    for (std::size_t r = 0; r < n; ++r) {
        const std::uint64_t key = a[r] >> 32;
        order[r] = static_cast<std::uint32_t>(a[r]);
        if (key != prev) {
            prev = key;
            start.push_back(static_cast<std::uint32_t>(r));
            cells.push_back(CellCoord{static_cast<std::int64_t>(key & mi) + lo[0],
                                      static_cast<std::int64_t>((key >> bits[0]) & mj) + lo[1],
                                      static_cast<std::int64_t>(key >> (bits[0] + bits[1])) + lo[2]});
        }
    }
    start.push_back(static_cast<std::uint32_t>(n));
    return true;
}

}  // namespace

CellGrid CellGrid::build(const Points64& pts, const CellFrame& frame) {
    CellGrid g;
    g.frame = frame;
    const std::size_t n = pts.n;
    if (build_sorted(pts, frame, g.cells, g.start, g.order)) {
        // The lookup table of the cells, at most half full.
        std::size_t cap = 64;
        while (cap < 2 * g.cells.size()) cap <<= 1;
        g.table_keys_.assign(cap, kEmpty);
        g.table_cells_.assign(cap, npos);
        g.mask_ = cap - 1;
        for (std::size_t c = 0; c < g.cells.size(); ++c) {
            const std::uint64_t key = CellFrame::key(g.cells[c]);
            std::uint64_t h = mix(key) & g.mask_;
            while (g.table_keys_[h] != kEmpty) h = (h + 1) & g.mask_;
            g.table_keys_[h] = key;
            g.table_cells_[h] = static_cast<std::uint32_t>(c);
        }
        return g;
    }
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
