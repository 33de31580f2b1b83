#pragma once
// A sparse uniform cell structure: the points of one cloud bucketed by cubic cells, only occupied
// cells stored, found by key through an open-addressing table. Rebuilt per transform in
// O(n + C log C) for n points in C cells (counting sort of the points by cell).
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "tarvic/gauss_transform.hpp"

namespace tarvic::detail {

/// Cell coordinates fit in 21 bits per axis; the cell side is raised where the extent needs it.
constexpr std::int64_t kCellAxis = std::int64_t{1} << 21;

/// One cell's integer coordinates.
struct CellCoord {
    std::int64_t i = 0, j = 0, k = 0;
};

/// The bounding box of the union of `clouds` (zero on an axis where they hold no point).
void bounding_box(std::initializer_list<const Points64*> clouds, double lo[3], double hi[3]);

/// A frame of cubic cells: cell (i, j, k) covers origin + side·([i, i+1) × [j, j+1) × [k, k+1)).
struct CellFrame {
    double origin[3] = {0.0, 0.0, 0.0};
    double side = 1.0;

    /// The frame over the union of two clouds with cells of at least `side` (raised so that every
    /// coordinate index fits in 21 bits, with two cells of margin at each end for stencils).
    static CellFrame over(const Points64& a, const Points64& b, double side);
    /// The same frame from the union's bounding box (as bounding_box gives it).
    static CellFrame over_box(const double lo[3], const double hi[3], double side);
    /// The cell holding (x, y, z).
    CellCoord cell_of(double x, double y, double z) const;
    static std::uint64_t key(const CellCoord& c) {
        return (static_cast<std::uint64_t>(c.k) << 42) | (static_cast<std::uint64_t>(c.j) << 21) |
               static_cast<std::uint64_t>(c.i);
    }
    static bool in_range(const CellCoord& c) {
        return c.i >= 0 && c.j >= 0 && c.k >= 0 && c.i < kCellAxis && c.j < kCellAxis && c.k < kCellAxis;
    }
};

/// The points of a cloud grouped by occupied cell, cells in ascending key order (z, then y, then x).
struct CellGrid {
    static constexpr std::uint32_t npos = 0xFFFFFFFFu;
    CellFrame frame;
    std::vector<CellCoord> cells;       // C occupied cells
    std::vector<std::uint32_t> start;   // C + 1 offsets into `order`
    std::vector<std::uint32_t> order;   // point indices grouped by cell, ascending within a cell

    /// Bucket `pts` on `frame`; points keep their relative order within a cell.
    static CellGrid build(const Points64& pts, const CellFrame& frame);
    /// The number of occupied cells `pts` would have on `frame` (no grid is built), counted up to
    /// limit + 1 at most.
    static std::size_t count_cells(const Points64& pts, const CellFrame& frame, std::size_t limit);
    std::size_t size() const { return cells.size(); }
    std::size_t count(std::size_t cell) const { return start[cell + 1] - start[cell]; }
    /// The index of the occupied cell with these coordinates, or npos.
    std::uint32_t find(const CellCoord& c) const;

private:
    std::vector<std::uint64_t> table_keys_;   // open addressing, power-of-two capacity
    std::vector<std::uint32_t> table_cells_;
    std::uint64_t mask_ = 0;
};

}  // namespace tarvic::detail
