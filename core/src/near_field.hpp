#pragma once
// The near path of the Gauss transform: a truncated Gaussian on sparse uniform cells.
//
// Sources are bucketed into cubic cells of side a (a fraction of the cut-off radius). An
// evaluation point's stencil is every source cell whose smallest distance to the point is below
// ρ, and of a large cell the sphere cuts, the blocks of eight sources whose bounding boxes it
// reaches; every source left out is then at distance ≥ ρ, so the mass dropped from column k is
// at most W_out,k·exp(−ρ²/2h²), W_out,k being the total |weight| outside the stencil (known
// exactly from per-block sums). The stencil of a cell of evaluation points grows,
// ring by ring, until this bound, relative to each point's own magnitude sum (plus the caller's
// floor), meets the tolerance; a cell that would need too wide a stencil is summed directly.
// Once every source left out is beyond the kernel's clamp (e^−708), their terms are known
// exactly, clamp × weight, and are added from the per-block sums instead of being bounded.
// So every point this path returns meets the tolerance, rounding included.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cell_grid.hpp"
#include "pair_sums.hpp"
#include "tarvic/gauss_transform.hpp"

namespace tarvic::detail {

/// One stencil entry: a cell offset and the smallest distance between points of two cells that
/// far apart.
struct CellOffset {
    int di = 0, dj = 0, dk = 0;
    double dist = 0.0;
};

/// The source side of near transforms: cells, sorted padded arrays, per-block weight sums.
///
/// Within a cell the sources follow a Z-order curve over 32³ sub-cells, and every run of
/// kPairLanes of them (a block, the pair loop's unit) carries its bounding box: a cell that the
/// cut-off sphere only cuts contributes the blocks the sphere reaches, not all of its sources.
struct NearSources {
    CellGrid grid;                    // its order: cells in key order, Z-ordered within a cell
    SourceArrays src;                 // sources in that order
    PairLayout layout;
    std::vector<std::uint32_t> cell_blocks;  // cells + 1: cell k's blocks are [cell_blocks[k], cell_blocks[k + 1])
    std::vector<double> block_box;    // 6 rows of box_stride: lower corner (x, y, z), then upper corner
    std::size_t box_stride = 0;       // blocks plus padding for whole vectors
    std::vector<double> block_mag;    // blocks × c: Σ|q_k| per block
    std::vector<double> cell_mag;     // cells × c: the same per cell (the sum of its blocks')
    std::vector<double> total_mag;    // c: Σ|q_k| over all sources
    std::vector<double> block_sum;    // blocks × (c + 4): Σq_k, then Σq_0·s (3) and Σq_0·|s|² (moments)
    std::vector<double> total_sum;    // c + 4: the same over all sources
    std::vector<CellOffset> offsets;  // sorted by distance, ties in a fixed order
    double beyond_offsets = 0.0;      // distance of every cell the offsets do not reach
    double clamp_radius = 0.0;        // beyond it every term is exactly clamp_value × weight
    double clamp_value = 0.0;         // the kernel's smallest value, e^−708
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};  // the sources' bounding box
    double h = 1.0, side = 1.0, r0 = 1.0, tolerance = 1e-6, floor = 0.0;
};

/// Bucket the sources on `frame` (whose side the caller chose for this width and tolerance).
NearSources near_sources(const Points64& sources, const double* q, const PairLayout& layout, const CellFrame& frame,
                         const GaussOptions& opts);

/// The radius beyond which a unit term of width h is below the tolerance: h·√(2 ln(1/ε)).
double near_cutoff(double h, double tolerance);

/// Cell side for width h and a tolerance: half the cut-off radius.
double near_cell_side(double h, double tolerance);

/// Estimated kernel pairs of a near transform onto `targets`, bucketed as `tg` on the sources'
/// frame (from a sample of target cells).
double near_pairs_estimate(const NearSources& ns, const Points64& targets, const CellGrid& tg);

/// Sum onto `targets`: point p's results go to row rows[p] (or p when `rows` is null) of `out`
/// (width = layout.out_width()) and `bound`. `tg`: the targets bucketed on the sources' frame, or
/// null to bucket them here. Returns the number of points summed directly.
std::size_t near_run(const NearSources& ns, const Points64& targets, const CellGrid* tg, const unsigned* rows,
                     bool parallel, CancelFlag cancel, double* out, double* bound);

/// Every pair: point p of `targets` against all sources (in `src` order), same outputs.
void direct_run(const SourceArrays& src, const PairLayout& layout, const Points64& targets, const unsigned* rows,
                double floor, bool parallel, CancelFlag cancel, double* out, double* bound);

/// The bound of one point from its folded sums. The sources left out form two shells: one carries
/// at most `outside[k]` of |weight| in column k at distances of at least `rho` (rho = ∞: none),
/// the other (optional, null: none) at most `outside_far[k]` at distances of at least
/// `rho_far` ≥ rho; all lie at most `farthest` away. Magnitudes come from the layout's slots, plus
/// `floor` on column 0, plus rounding.
double point_bound(const PairLayout& layout, const double* sums, const double* outside, double rho,
                   const double* outside_far, double rho_far, double farthest, double floor, std::size_t terms);

/// The kernel's factors at the two shells' radii, which point_bound needs for every point with
/// those radii (a tile's points share them).
struct ShellKernels {
    bool none = true, far = false;  // no sources left out; a far shell
    double k0 = 0.0, kf = 0.0;      // K at rho and at rho_far
    // With moments: the radii where K·d and K·d² are largest beyond each shell, and K there.
    double r1 = 0.0, r2 = 0.0, k1 = 0.0, k2 = 0.0;
    double r1_far = 0.0, r2_far = 0.0, k1_far = 0.0, k2_far = 0.0;
};
ShellKernels shell_kernels(const PairLayout& layout, double rho, double rho_far, bool has_far);
/// point_bound with the shells' factors computed already.
double point_bound(const PairLayout& layout, const ShellKernels& shells, const double* sums, const double* outside,
                   const double* outside_far, double farthest, double floor, std::size_t terms);

/// An upper bound on the distance from (x, y, z) to any of the sources.
double farthest_source(const NearSources& ns, double x, double y, double z);

}  // namespace tarvic::detail
