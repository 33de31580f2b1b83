// EM set-up, the E-step (CPD posteriors, Myronenko & Song eq. 7), and blocked Gaussian kernel products.

#include "tarvic/kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "simd.hpp"
#include "tarvic/fpenv.hpp"
#include "tarvic/threads.hpp"


namespace tarvic {

namespace {

constexpr std::size_t kLanes = 8;  // chunk lengths and padded columns are multiples of this

std::size_t padded(std::size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

void to_f32_padded(const std::vector<double>& src, std::vector<float>& dst) {
    dst.assign(padded(src.size()), 0.0f);
    for (std::size_t i = 0; i < src.size(); ++i) dst[i] = static_cast<float>(src[i]);
}

}  // namespace

void normalise(const CloudView& cloud, const double centre[3], double norm_scale, std::vector<double>& x,
               std::vector<double>& y, std::vector<double>& z) {
    const double inv = 1.0 / norm_scale;
    x.resize(cloud.rows);
    y.resize(cloud.rows);
    z.resize(cloud.rows);
    for (std::size_t r = 0; r < cloud.rows; ++r) {
        x[r] = (cloud.at(r, 0) - centre[0]) * inv;
        y[r] = (cloud.at(r, 1) - centre[1]) * inv;
        z[r] = (cloud.at(r, 2) - centre[2]) * inv;
    }
}

void Moving::move_by_rows(const double* rows, std::size_t len) {
    const std::size_t m = len / 3;
    for (std::size_t i = 0; i < m; ++i) move_point(i, rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]);
}

Setup Setup::make(const CloudView& source, const CloudView& target, std::optional<double> sigma2, double w) {
    Setup s;
    const std::size_t m = source.rows, n = target.rows;

    // Frame: mean of the union of both clouds, and the largest axis-aligned reach from it.
    double sum[3] = {0, 0, 0};
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<double>::infinity();
        hi[a] = -std::numeric_limits<double>::infinity();
    }
    auto accumulate = [&](const CloudView& c) {
        for (std::size_t r = 0; r < c.rows; ++r)
            for (int a = 0; a < 3; ++a) {
                const double v = c.at(r, static_cast<std::size_t>(a));
                sum[a] += v;
                lo[a] = std::min(lo[a], v);
                hi[a] = std::max(hi[a], v);
            }
    };
    accumulate(source);
    accumulate(target);
    const double count = static_cast<double>(m + n);
    double reach = 0.0;
    for (int a = 0; a < 3; ++a) {
        s.centre[a] = sum[a] / count;
        // The coordinates are finite, so only a sum that overflowed (coordinates near the top of the
        // range) is not: then sum values divided by the count first, which cannot overflow.
        if (!std::isfinite(s.centre[a])) {
            double mean = 0.0;
            const auto col = static_cast<std::size_t>(a);
            for (std::size_t r = 0; r < m; ++r) mean += source.at(r, col) / count;
            for (std::size_t r = 0; r < n; ++r) mean += target.at(r, col) / count;
            s.centre[a] = mean;
        }
        reach = std::max(reach, std::max(hi[a] - s.centre[a], s.centre[a] - lo[a]));
    }
    s.norm_scale = reach > 0.0 ? reach : 1.0;

    normalise(source, s.centre, s.norm_scale, s.moving.x, s.moving.y, s.moving.z);
    normalise(target, s.centre, s.norm_scale, s.fixed.x, s.fixed.y, s.fixed.z);
    to_f32_padded(s.moving.x, s.moving.x32);
    to_f32_padded(s.moving.y, s.moving.y32);
    to_f32_padded(s.moving.z, s.moving.z32);
    to_f32_padded(s.fixed.x, s.fixed.x32);
    to_f32_padded(s.fixed.y, s.fixed.y32);
    to_f32_padded(s.fixed.z, s.fixed.z32);

    // Sums of both normalised clouds: the all-pairs mean squared distance without an M×N pass.
    double sy[3] = {0, 0, 0}, sx[3] = {0, 0, 0}, qy = 0.0, qx = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double p[3] = {s.moving.x[i], s.moving.y[i], s.moving.z[i]};
        for (int a = 0; a < 3; ++a) sy[a] += p[a];
        qy += p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double p[3] = {s.fixed.x[i], s.fixed.y[i], s.fixed.z[i]};
        for (int a = 0; a < 3; ++a) sx[a] += p[a];
        qx += p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    }
    const double dm = static_cast<double>(m), dn = static_cast<double>(n);
    double s2;
    if (sigma2) {
        const double l2 = s.norm_scale * s.norm_scale;
        // λ² overflows or underflows long before σ²/λ² does: then divide by λ twice.
        s2 = (std::isfinite(l2) && l2 >= std::numeric_limits<double>::min()) ? *sigma2 / l2
                                                                              : *sigma2 / s.norm_scale / s.norm_scale;
    } else {
        const double cross = sy[0] * sx[0] + sy[1] * sx[1] + sy[2] * sx[2];
        double u = dn * qy + dm * qx - 2.0 * cross;
        if (u < 0.0) u = 0.0;
        s2 = u / (3.0 * dm * dn);
    }
    s.sigma2 = (std::isfinite(s2) && s2 > 0.0) ? s2 : 1e-6;

    // Uniform outlier density over the target's bounding box (a floor keeps planar targets finite).
    if (w > 0.0) {
        double ext[3];
        const std::vector<double>* cols[3] = {&s.fixed.x, &s.fixed.y, &s.fixed.z};
        double largest = 0.0;
        for (int a = 0; a < 3; ++a) {
            const auto [mn, mx] = std::minmax_element(cols[a]->begin(), cols[a]->end());
            ext[a] = *mx - *mn;
            largest = std::max(largest, ext[a]);
        }
        const double floor = 0.001 * largest;
        double v = 1.0;
        for (int a = 0; a < 3; ++a) v *= std::max(ext[a], floor);
        if (!(v > 0.0)) v = 1.0;
        s.outlier_weight = dm * (w / (1.0 - w)) / v;
    }

    const double mean[3] = {sx[0] / dn, sx[1] / dn, sx[2] / dn};
    s.target_rms = std::sqrt(std::max(qx / dn - (mean[0] * mean[0] + mean[1] * mean[1] + mean[2] * mean[2]), 0.0));
    return s;
}

double outlier_term(double sigma2, double outlier_weight) {
    if (!(outlier_weight > 0.0)) return 0.0;
    return std::pow(6.283185307179586 * sigma2, 1.5) * outlier_weight;
}

float estep_sigma2(double sigma2) {
    const float s = static_cast<float>(sigma2);
    constexpr float kMinNormal = 1.17549435e-38f;
    return s > kMinNormal ? s : kMinNormal;
}

Scratch::Scratch(std::size_t m, std::size_t chunk)
    : block(m * chunk, 0.0f), col_sum(chunk, 0.0), inv_den(chunk, 0.0f), p1(m, 0.0), px(3 * m, 0.0) {}

void Scratch::merge(const Scratch& other) {
    for (std::size_t i = 0; i < p1.size(); ++i) p1[i] += other.p1[i];
    for (std::size_t i = 0; i < px.size(); ++i) px[i] += other.px[i];
}

std::size_t estep_chunk(std::size_t m, std::size_t n) {
    const std::size_t mm = std::max<std::size_t>(m, 1);
    const std::size_t a = mm <= 131072 ? 131072 / mm : 0;
    const std::size_t b = (n + 63) / 64;
    const std::size_t chunk = std::min({std::max<std::size_t>(a, 8), std::max<std::size_t>(b, 8), std::size_t{256}});
    return chunk / 8 * 8;
}

namespace {

using detail::v8d;
using detail::v8f;
using detail::v8i;

[[gnu::always_inline]] inline v8f load8(const float* p) {
    v8f v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store8(float* p, v8f v) { __builtin_memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline v8d load8d(const double* p) {
    v8d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store8d(double* p, v8d v) { __builtin_memcpy(p, &v, sizeof v); }

// Lane-wise fast_exp2 (same steps as the scalar routine).
[[gnu::always_inline]] inline v8f fast_exp2_v8(v8f t) {
    const v8f n = (t + 12582912.0f) - 12582912.0f;
    const v8f f = t - n;
    const v8i bits = (__builtin_convertvector(n, v8i) + 127) << 23;
    v8f two_n;
    __builtin_memcpy(&two_n, &bits, sizeof two_n);
    return two_n * detail::exp2_poly(f);
}

[[gnu::always_inline]] inline float fold8(v8f s) { return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7])); }

// [a0+a1, a2+a3, a4+a5, a6+a7, b0+b1, b2+b3, b4+b5, b6+b7].
[[gnu::always_inline]] inline v8f pair_sums(v8f a, v8f b) {
#if defined(__clang__)  // clang spells GCC's __builtin_shuffle with constant lane indices
    return __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14) +
           __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
#else
    const v8i evens = {0, 2, 4, 6, 8, 10, 12, 14}, odds = {1, 3, 5, 7, 9, 11, 13, 15};
    return __builtin_shuffle(a, b, evens) + __builtin_shuffle(a, b, odds);
#endif
}

// Lane r of the result is fold8(r_[r]), bit for bit: the same pairwise tree, eight rows at once.
[[gnu::always_inline]] inline v8f fold8_rows(const v8f* r) {
    const v8f q0 = pair_sums(r[0], r[1]), q1 = pair_sums(r[2], r[3]), q2 = pair_sums(r[4], r[5]),
              q3 = pair_sums(r[6], r[7]);
    return pair_sums(pair_sums(q0, q1), pair_sums(q2, q3));
}

// One chunk of target points against all moving points. `lp` is the chunk length rounded up to
// the lane count; the padded target columns are zero and their posteriors are forced to zero,
// so every lane's sum is exact and the loops need no scalar tail.
//
// Reproducibility: per-chunk single-precision sums over the chunk's points are kept in 8
// interleaved lanes (point k goes to lane k mod 8) and combined in a fixed tree; a chunk's
// sums do not depend on the instruction set. How the chunks' sums are then grouped does depend
// on how the pool splits them over threads (see estep).
TARVIC_CLONES
void estep_chunk_kernel(const float* __restrict mx, const float* __restrict my, const float* __restrict mz,
                        std::size_t m, const float* __restrict tx, const float* __restrict ty,
                        const float* __restrict tz, std::size_t len, std::size_t lp, float g, double c,
                        float* __restrict block, double* __restrict col_sum, float* __restrict inv_den,
                        double* __restrict pt1, double* __restrict p1, double* __restrict px) {
    for (std::size_t k = 0; k < lp; ++k) col_sum[k] = 0.0;
    const v8f floor = {-126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f};
    for (std::size_t i = 0; i < m; ++i) {
        const float x = mx[i], y = my[i], z = mz[i];
        float* __restrict row = block + i * lp;
        for (std::size_t k = 0; k < lp; k += 8) {
            const v8f dx = load8(tx + k) - x, dy = load8(ty + k) - y, dz = load8(tz + k) - z;
            const v8f d2 = dz * dz + (dy * dy + dx * dx);
            const v8f a = d2 * g;
            const v8f t = a > floor ? a : floor;  // also maps NaN to the floor
            const v8f v = fast_exp2_v8(t);
            store8(row + k, v);
            store8d(col_sum + k, load8d(col_sum + k) + __builtin_convertvector(v, v8d));
        }
    }
    for (std::size_t k = 0; k < len; ++k) {
        const double den = std::max(c + col_sum[k], 1e-30);
        inv_den[k] = static_cast<float>(1.0 / den);
        pt1[k] = col_sum[k] / den;
    }
    for (std::size_t k = len; k < lp; ++k) inv_den[k] = 0.0f;
    // Lane sums of one row over the chunk's points.
    auto row_sums = [&](std::size_t i, v8f& s0, v8f& sx, v8f& sy, v8f& sz) {
        const float* __restrict row = block + i * lp;
        s0 = sx = sy = sz = v8f{};
        for (std::size_t k = 0; k < lp; k += 8) {
            const v8f w = load8(row + k) * load8(inv_den + k);
            s0 += w;
            sx += w * load8(tx + k);
            sy += w * load8(ty + k);
            sz += w * load8(tz + k);
        }
    };
    std::size_t i = 0;
    // Eight rows at a time: the lane folds become a transposing tree of vector adds (same
    // additions in the same order as fold8), which matters when chunks are short.
    for (; i + 8 <= m; i += 8) {
        v8f s0[8], sx[8], sy[8], sz[8];
        for (std::size_t r = 0; r < 8; ++r) row_sums(i + r, s0[r], sx[r], sy[r], sz[r]);
        const v8f f0 = fold8_rows(s0), fx = fold8_rows(sx), fy = fold8_rows(sy), fz = fold8_rows(sz);
        store8d(p1 + i, load8d(p1 + i) + __builtin_convertvector(f0, v8d));
        for (std::size_t r = 0; r < 8; ++r) {
            px[3 * (i + r)] += static_cast<double>(fx[r]);
            px[3 * (i + r) + 1] += static_cast<double>(fy[r]);
            px[3 * (i + r) + 2] += static_cast<double>(fz[r]);
        }
    }
    for (; i < m; ++i) {
        v8f s0, sx, sy, sz;
        row_sums(i, s0, sx, sy, sz);
        p1[i] += static_cast<double>(fold8(s0));
        px[3 * i] += static_cast<double>(fold8(sx));
        px[3 * i + 1] += static_cast<double>(fold8(sy));
        px[3 * i + 2] += static_cast<double>(fold8(sz));
    }
}

struct EStepCtx {
    const Moving& moving;
    const Fixed& fixed;
    CancelFlag cancel;
    std::size_t m, n, chunk;
    float g;
    double c;
    double* pt1;

    void run_chunk(std::size_t idx, Scratch& s) const {
        if (cancelled(cancel)) return;
        const std::size_t begin = idx * chunk;
        const std::size_t len = std::min(chunk, n - begin);
        const std::size_t lp = padded(len);
        // Kernel values and their products below 2^-126 count as zero here (fpenv.hpp): only sums of
        // such terms change, and subnormal operands no longer cost a microcode assist each.
        const detail::FlushSubnormals ftz;
        estep_chunk_kernel(moving.x32.data(), moving.y32.data(), moving.z32.data(), m, fixed.x32.data() + begin,
                           fixed.y32.data() + begin, fixed.z32.data() + begin, len, lp, g, c, s.block.data(),
                           s.col_sum.data(), s.inv_den.data(), pt1 + begin, s.p1.data(), s.px.data());
    }
};

}  // namespace

EStep estep(const Moving& moving, const Fixed& fixed, bool parallel, CancelFlag cancel, float sigma2, double c) {
    const std::size_t m = moving.size(), n = fixed.size();
    EStep out;
    out.pt1.assign(n, 0.0);
    const float g = -1.442695f / (sigma2 + sigma2);
    const std::size_t chunk = estep_chunk(m, n);
    const std::size_t nchunks = (n + chunk - 1) / chunk;
    EStepCtx ctx{moving, fixed, cancel, m, n, chunk, g, c, out.pt1.data()};

    Scratch result;
    if (parallel && nchunks > 1) {
        // Each task folds a run of consecutive chunks into one scratch; right-hand neighbours are
        // merged in. The runs follow work stealing, so the grouping of the double sums, and with it
        // the last bits of p1 and px, can change from one call to the next.
        std::optional<Scratch> folded = parallel_fold<Scratch>(
            nchunks, [&] { return Scratch(m, chunk); },
            [&](Scratch& s, std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i != end; ++i) ctx.run_chunk(i, s);
            },
            [](Scratch& s, const Scratch& next) { s.merge(next); });
        result = folded ? std::move(*folded) : Scratch(m, 0);
    } else {
        result = Scratch(m, chunk);
        for (std::size_t i = 0; i < nchunks; ++i) ctx.run_chunk(i, result);
    }
    out.p1 = std::move(result.p1);
    out.px = std::move(result.px);
    double np = -0.0;
    for (double v : out.p1) np += v;
    out.np = np;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Gaussian kernel products

PointsF32 PointsF32::from_columns(const std::vector<double>& x, const std::vector<double>& y,
                                  const std::vector<double>& z) {
    PointsF32 p;
    p.x.resize(x.size());
    p.y.resize(y.size());
    p.z.resize(z.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        p.x[i] = static_cast<float>(x[i]);
        p.y[i] = static_cast<float>(y[i]);
        p.z[i] = static_cast<float>(z[i]);
    }
    return p;
}

namespace {

// Kernel weights of one evaluation point against every centre.
TARVIC_CLONES
void kernel_weights(float xi, float yi, float zi, const float* __restrict cx, const float* __restrict cy,
                    const float* __restrict cz, std::size_t m, float factor, float* __restrict w) {
    for (std::size_t j = 0; j < m; ++j) {
        const float dx = cx[j] - xi, dy = cy[j] - yi, dz = cz[j] - zi;
        const float d2 = (dx * dx + dy * dy) + dz * dz;
        const float a = d2 * factor;
        w[j] = fast_exp2(a > -126.0f ? a : -126.0f);
    }
}

// out_row += Σ_j w_j · values[j] over centres in order, skipping weights below 1e-12.
TARVIC_CLONES
void accumulate_row(const float* __restrict w, std::size_t m, const double* __restrict values, std::size_t c,
                    double* __restrict out_row) {
    for (std::size_t cc = 0; cc < c; ++cc) out_row[cc] = 0.0;
    if (c == 3) {
        double a0 = 0.0, a1 = 0.0, a2 = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            const double wj = static_cast<double>(w[j]);
            if (wj < 1e-12) continue;
            a0 += wj * values[3 * j];
            a1 += wj * values[3 * j + 1];
            a2 += wj * values[3 * j + 2];
        }
        out_row[0] = a0;
        out_row[1] = a1;
        out_row[2] = a2;
        return;
    }
    for (std::size_t j = 0; j < m; ++j) {
        const double wj = static_cast<double>(w[j]);
        if (wj < 1e-12) continue;
        const double* __restrict v = values + j * c;
        for (std::size_t cc = 0; cc < c; ++cc) out_row[cc] += wj * v[cc];
    }
}

}  // namespace

void gauss_mul(const PointsF32& points, const PointsF32& centres, float beta, const double* values,
               std::size_t values_len, std::size_t c, double* out, std::size_t out_len, CancelFlag cancel) {
    (void)values_len;
    const std::size_t n = points.size(), m = centres.size();
    if (n == 0 || c == 0) return;
    // Written so that a NaN width takes the floor, as the other clamps here map NaN.
    const float width2 = 2.0f * beta * beta;
    const float factor = -1.442695f / (width2 > 1.1754944e-38f ? width2 : 1.1754944e-38f);
    constexpr std::size_t kRows = 16;
    const std::size_t nblocks = (n + kRows - 1) / kRows;
    parallel_ranges(nblocks, [&](std::size_t first, std::size_t last) {
        std::vector<float> w(m);
        const detail::FlushSubnormals ftz;  // terms below 2^-126 count as zero, as in the E-step
        for (std::size_t b = first; b != last; ++b) {
            const std::size_t begin = b * kRows, end = std::min(n, begin + kRows);
            if (cancelled(cancel)) {
                std::fill(out + begin * c, out + std::min(end * c, out_len), 0.0);
                continue;
            }
            for (std::size_t i = begin; i < end; ++i) {
                kernel_weights(points.x[i], points.y[i], points.z[i], centres.x.data(), centres.y.data(),
                               centres.z.data(), m, factor, w.data());
                accumulate_row(w.data(), m, values, c, out + i * c);
            }
        }
    });
}

}  // namespace tarvic
