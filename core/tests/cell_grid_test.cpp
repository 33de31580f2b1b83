// The sparse cell structure: bucketing against a stable sort by cell key, on both of its paths
// (the radix sort for compact clouds, the table for clouds spread over many key bits), with
// coordinates that are NaN, infinite, duplicated or on cell faces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../src/cell_grid.hpp"

using namespace tarvic;
using namespace tarvic::detail;

namespace {

struct Cloud {
    std::vector<double> x, y, z;
    void add(double a, double b, double c) {
        x.push_back(a);
        y.push_back(b);
        z.push_back(c);
    }
    Points64 view() const { return {x.data(), y.data(), z.data(), x.size()}; }
};

void expect_matches_sorted(const Cloud& cloud, const CellFrame& frame, const std::string& what) {
    SCOPED_TRACE(what);
    const Points64 p = cloud.view();
    const CellGrid g = CellGrid::build(p, frame);
    std::vector<std::uint64_t> key(p.n);
    for (std::size_t i = 0; i < p.n; ++i) key[i] = CellFrame::key(frame.cell_of(p.x[i], p.y[i], p.z[i]));
    std::vector<std::uint32_t> order(p.n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return key[a] < key[b]; });
    ASSERT_EQ(g.order, order);
    std::size_t cell = 0;
    for (std::size_t r = 0; r < p.n; ++r) {
        if (r > 0 && key[order[r]] == key[order[r - 1]]) continue;
        ASSERT_LT(cell, g.size());
        EXPECT_EQ(g.start[cell], r);
        EXPECT_EQ(CellFrame::key(g.cells[cell]), key[order[r]]);
        EXPECT_EQ(g.find(g.cells[cell]), cell);
        ++cell;
    }
    ASSERT_EQ(cell, g.size());
    ASSERT_EQ(g.start.size(), g.size() + 1);
    EXPECT_EQ(g.start.back(), p.n);
    // A cell no point is in is not found.
    for (const CellCoord& c : g.cells) {
        const CellCoord next{c.i + 1, c.j, c.k};
        const bool present = std::any_of(g.cells.begin(), g.cells.end(), [&](const CellCoord& o) {
            return o.i == next.i && o.j == next.j && o.k == next.k;
        });
        if (!present) {
            EXPECT_EQ(g.find(next), CellGrid::npos);
        }
    }
}

}  // namespace

TEST(CellGrid, BucketsAsAStableSortByCellOnBothPaths) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double kInf = std::numeric_limits<double>::infinity(), kNaN = std::numeric_limits<double>::quiet_NaN();

    // Compact: a few thousand points with repeats, on cells of several sizes: keys of 5, 11, 20 and
    // 26 bits (one to three radix passes), and 36 bits (the table) where most cells hold one point.
    Cloud compact;
    for (int i = 0; i < 3000; ++i) compact.add(u(rng), 0.3 * u(rng), 0.01 * u(rng));
    for (int i = 0; i < 200; ++i) compact.add(compact.x[i], compact.y[i], compact.z[i]);  // duplicates
    for (double side : {0.5, 0.05, 0.004, 0.001, 1e-4})
        expect_matches_sorted(compact, CellFrame::over(compact.view(), compact.view(), side),
                              "compact, side " + std::to_string(side));

    // Points on the cells' faces and corners, and one point alone.
    Cloud faces;
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j) faces.add(0.125 * i, 0.125 * j, 0.125 * ((i + j) % 3));
    CellFrame f = CellFrame::over(faces.view(), faces.view(), 0.125);
    expect_matches_sorted(faces, f, "faces");
    Cloud one;
    one.add(0.3, -2.0, 5.0);
    expect_matches_sorted(one, CellFrame::over(one.view(), one.view(), 0.1), "one point");

    // Spread over more key bits than the radix path takes: the table's path.
    Cloud wide = compact;
    wide.add(1e6, -1e6, 3e5);
    expect_matches_sorted(wide, CellFrame::over(wide.view(), wide.view(), 1e-3), "wide");

    // NaN and infinite coordinates go to the frame's edge cells, on either path.
    Cloud odd = compact;
    odd.add(kNaN, 0.1, 0.1);
    odd.add(0.2, kInf, 0.0);
    odd.add(0.2, 0.1, -kInf);
    odd.add(kNaN, kNaN, kNaN);
    const CellFrame fo = CellFrame::over(compact.view(), compact.view(), 0.05);
    expect_matches_sorted(odd, fo, "NaN and infinities");
    Cloud nan_first;
    nan_first.add(kNaN, kNaN, kNaN);
    for (int i = 0; i < 100; ++i) nan_first.add(compact.x[i], compact.y[i], compact.z[i]);
    expect_matches_sorted(nan_first, fo, "NaN first");
}

TEST(CellGrid, BoundingBoxSkipsNaNs) {
    Cloud a, b;
    a.add(std::numeric_limits<double>::quiet_NaN(), 1.0, 2.0);
    a.add(-1.0, std::numeric_limits<double>::quiet_NaN(), 0.5);
    b.add(3.0, -2.0, std::numeric_limits<double>::quiet_NaN());
    double lo[3], hi[3];
    const Points64 pa = a.view(), pb = b.view();
    bounding_box({&pa, &pb}, lo, hi);
    EXPECT_EQ(lo[0], -1.0);
    EXPECT_EQ(hi[0], 3.0);
    EXPECT_EQ(lo[1], -2.0);
    EXPECT_EQ(hi[1], 1.0);
    EXPECT_EQ(lo[2], 0.5);
    EXPECT_EQ(hi[2], 2.0);
    Cloud empty;
    const Points64 pe = empty.view();
    bounding_box({&pe}, lo, hi);
    for (int d = 0; d < 3; ++d) {
        EXPECT_EQ(lo[d], 0.0);
        EXPECT_EQ(hi[d], 0.0);
    }
}
