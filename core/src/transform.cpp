// Applying fitted transforms to further points.
#include "tarvic/transform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvic/gauss_transform.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic {

Result<Array2> RigidTransform::apply(const CloudView& points) const {
    if (points.cols != 3) return Error::bad_shape(points.cols);
    Array2 out(points.rows, 3);
    const auto& r = rotation;
    for (std::size_t i = 0; i < points.rows; ++i) {
        const double x = points.at(i, 0), y = points.at(i, 1), z = points.at(i, 2);
        for (int k = 0; k < 3; ++k)
            out(i, static_cast<std::size_t>(k)) = ((r[k][0] * x + r[k][1] * y) + r[k][2] * z) * scale + translation[k];
    }
    return out;
}

Result<Array2> apply_affine(const Affine3& t, const CloudView& points) {
    if (points.cols != 3) return Error::bad_shape(points.cols);
    Array2 out(points.rows, 3);
    const auto& b = t.matrix;
    for (std::size_t i = 0; i < points.rows; ++i) {
        const double x = points.at(i, 0), y = points.at(i, 1), z = points.at(i, 2);
        for (int k = 0; k < 3; ++k)
            out(i, static_cast<std::size_t>(k)) = ((b[k][0] * x + b[k][1] * y) + b[k][2] * z) + t.translation[k];
    }
    return out;
}

Result<Array2> DeformTransform::apply(const CloudView& points) const { return apply(points, Options{}, nullptr); }

Result<Array2> DeformTransform::apply(const CloudView& points, const Options& opts, double* bound) const {
    if (bound) *bound = 0.0;
    if (points.cols != 3) return Error::bad_shape(points.cols);
    const std::size_t n = points.rows, m = source.rows;
    Array2 out(n, 3);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < 3; ++k) out(i, k) = points.at(i, k);
    if (n == 0 || m == 0) return out;

    // A frame from the source alone keeps single-precision distances well conditioned.
    const double dm = static_cast<double>(m);
    double c[3] = {0, 0, 0}, lo[3], hi[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] = std::numeric_limits<double>::infinity();
        hi[k] = -std::numeric_limits<double>::infinity();
    }
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = 0; k < 3; ++k) {
            const double v = source.at(j, k);
            c[k] += v / dm;
            // Comparisons written so that a NaN never replaces a finite running bound.
            if (v < lo[k]) lo[k] = v;
            if (v > hi[k]) hi[k] = v;
        }
    double r = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double a = hi[k] - c[k], b = c[k] - lo[k];
        if (a > r) r = a;
        if (b > r) r = b;
    }
    if (!(r > 0.0)) r = 1.0;
    const double inv = 1.0 / r;

    auto to_frame = [&](const CloudView& v) {
        PointsF32 p;
        p.x.resize(v.rows);
        p.y.resize(v.rows);
        p.z.resize(v.rows);
        for (std::size_t i = 0; i < v.rows; ++i) {
            p.x[i] = static_cast<float>((v.at(i, 0) - c[0]) * inv);
            p.y[i] = static_cast<float>((v.at(i, 1) - c[1]) * inv);
            p.z[i] = static_cast<float>((v.at(i, 2) - c[2]) * inv);
        }
        return p;
    };
    std::vector<double> wv(3 * m);
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = 0; k < 3; ++k) wv[3 * j + k] = w.at(j, k);
    std::vector<double> d(3 * n, 0.0);
    if (runs_fast(opts.method, n, m)) {
        // The same frame in double precision, for the bounded transform.
        auto to_frame64 = [&](const CloudView& v, std::vector<double>(&cols)[3]) {
            for (int k = 0; k < 3; ++k) cols[k].resize(v.rows);
            for (std::size_t i = 0; i < v.rows; ++i)
                for (std::size_t k = 0; k < 3; ++k) cols[k][i] = (v.at(i, k) - c[k]) * inv;
            return Points64{cols[0].data(), cols[1].data(), cols[2].data(), v.rows};
        };
        std::vector<double> pc[3], sc[3];
        GaussOptions o;
        o.tolerance = opts.tolerance;
        o.cancel = opts.cancel;
        const GaussSums g = gauss_transform(to_frame64(points, pc), to_frame64(source, sc), beta / r, wv.data(), 3, o);
        d = g.values;
        if (bound) *bound = g.max_bound;
    } else {
        const PointsF32 pts = to_frame(points);
        const PointsF32 src = to_frame(source);
        const float beta_n = static_cast<float>(beta / r);
        gauss_mul(pts, src, beta_n, wv.data(), wv.size(), 3, d.data(), d.size(), opts.cancel);
    }
    for (std::size_t i = 0; i < 3 * n; ++i) out.values[i] += d[i];
    return out;
}

}  // namespace tarvic
