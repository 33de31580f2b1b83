// Error messages and input validation in their fixed orders.
#include "tarvic/error.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tarvic {

std::string format_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // Scientific notation without a precision gives the shortest digits that read back exactly
    // ("d.ddde±x"); fixed notation would print the exact binary expansion instead (1e23 as
    // 99999999999999991611392). The point is placed by hand.
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* const e = std::find(buf, res.ptr, 'e');
    const char* p = buf;
    std::string out;
    if (*p == '-') out += *p++;
    std::string digits;
    for (; p != e; ++p)
        if (*p != '.') digits += *p;
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), res.ptr, exponent);
    const auto n = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

std::string Error::message() const {
    using std::to_string;
    const std::string n = name;
    switch (kind) {
        case Kind::BadShape:
            return "expected an (N, 3) array, got (N, " + to_string(count) + ")";
        case Kind::EmptyCloud:
            return "`" + n + "` has no points";
        case Kind::BadOutlierWeight:
            return "`w` must be in [0, 1), got " + format_float(x);
        case Kind::BadTolerance:
            return "`tolerance` must be finite and >= 0, got " + format_float(x);
        case Kind::ZeroMaxIterations:
            return "`max_iterations` must be >= 1";
        case Kind::NotPositive:
            return "`" + n + "` must be finite and > 0, got " + format_float(x);
        case Kind::ZeroModes:
            return "`num_modes` must be >= 1";
        case Kind::BadScaleBounds:
            return "`scale_bounds` must satisfy 0 < lower <= upper, got (" + format_float(x) + ", " +
                   format_float(y) + ")";
        case Kind::ScaleBoundsWithoutScale:
            return "`scale_bounds` needs `scale` to be enabled; with `scale` off the scale is held at 1";
        case Kind::BadSigma2:
            return "`sigma2` must be finite and > 0, got " + format_float(x);
        case Kind::PairOutOfRange:
            return "pair " + to_string(count) + " references cloud " + to_string(index) + ", but only " +
                   to_string(total) + " were given";
        case Kind::NonFinite:
            return "`" + n + "` contains NaN or infinite coordinates";
        case Kind::NonFiniteTransform:
            return "`" + n + "` contains NaN or infinite values";
        case Kind::SingularTransform:
            return "`" + n + "` is singular: its 3 x 3 part has no inverse";
        case Kind::NotSimilarity:
            return "`" + n + "` of a rigid fit must be a similarity (a positive scale times a rotation, to 1e-6)";
        case Kind::TransformOverflow:
            return "`" + n + "` carries the source beyond the floating-point range";
        case Kind::LandmarkOutOfRange:
            return "landmark " + to_string(count) + " references " + n + " point " + to_string(index) +
                   ", but only " + to_string(total) + " were given";
    }
    return "unknown error";
}

namespace {

bool finite_non_negative(double v) { return std::isfinite(v) && v >= 0.0; }
bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

}  // namespace

std::optional<Error> check_cloud(const CloudView& cloud, const char* name) {
    if (cloud.cols != 3) return Error::bad_shape(cloud.cols);
    if (cloud.rows == 0) return Error::empty_cloud(name);
    if (cloud.row_major_contiguous()) {
        const double* p = cloud.data;
        const std::size_t n = cloud.rows * 3;
        // Branch-free scan in blocks: the common all-finite case stays vectorised.
        for (std::size_t i = 0; i < n; i += 64) {
            const std::size_t end = std::min(n, i + 64);
            bool bad = false;
            for (std::size_t k = i; k < end; ++k) bad |= !std::isfinite(p[k]);
            if (bad) return Error::non_finite(name);
        }
        return std::nullopt;
    }
    for (std::size_t r = 0; r < cloud.rows; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            if (!std::isfinite(cloud.at(r, c))) return Error::non_finite(name);
    return std::nullopt;
}

std::optional<Error> check_rigid_options(const RigidOptions& o) {
    if (!(o.w >= 0.0 && o.w < 1.0)) return Error::bad_outlier_weight(o.w);
    if (!finite_non_negative(o.tolerance)) return Error::bad_tolerance(o.tolerance);
    if (o.max_iterations < 1) return Error::zero_max_iterations();
    if (o.sigma2 && !finite_positive(*o.sigma2)) return Error::bad_sigma2(*o.sigma2);
    if (o.scale_bounds && !o.scale) return Error::scale_bounds_without_scale();
    if (o.scale_bounds) {
        auto [lo, hi] = *o.scale_bounds;
        if (!(finite_positive(lo) && lo <= hi)) return Error::bad_scale_bounds(lo, hi);
    }
    if (o.init) return check_similarity(*o.init, "init");
    return std::nullopt;
}

std::optional<Error> check_deform_options(const DeformOptions& o) {
    if (!(o.w >= 0.0 && o.w < 1.0)) return Error::bad_outlier_weight(o.w);
    if (!finite_non_negative(o.tolerance)) return Error::bad_tolerance(o.tolerance);
    if (o.max_iterations < 1) return Error::zero_max_iterations();
    if (o.sigma2 && !finite_positive(*o.sigma2)) return Error::bad_sigma2(*o.sigma2);
    if (!finite_positive(o.alpha)) return Error::not_positive(o.alpha, "alpha");
    if (!finite_positive(o.beta)) return Error::not_positive(o.beta, "beta");
    if (o.num_modes < 1) return Error::zero_modes();
    if (o.prior) return check_start(*o.prior, "prior");
    return std::nullopt;
}

std::optional<Error> check_affine_options(const AffineOptions& o) {
    if (!(o.w >= 0.0 && o.w < 1.0)) return Error::bad_outlier_weight(o.w);
    if (!finite_non_negative(o.tolerance)) return Error::bad_tolerance(o.tolerance);
    if (o.max_iterations < 1) return Error::zero_max_iterations();
    if (o.sigma2 && !finite_positive(*o.sigma2)) return Error::bad_sigma2(*o.sigma2);
    if (o.init) return check_start(*o.init, "init");
    return std::nullopt;
}

namespace {

double det3(const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

}  // namespace

namespace {

// The 3 × 3 part as column lengths and unit columns, so that its determinant and Gram matrix
// neither overflow nor underflow whatever the transform's own scale (1e300 or 1e-300 alike);
// false when a column is zero.
bool unit_columns(const Affine3& t, double len[3], double u[3][3]) {
    for (int j = 0; j < 3; ++j) {
        double big = 0.0;
        for (int i = 0; i < 3; ++i) big = std::max(big, std::fabs(t.matrix[i][j]));
        if (!(big > 0.0)) return false;
        double sq = 0.0;
        for (int i = 0; i < 3; ++i) sq += (t.matrix[i][j] / big) * (t.matrix[i][j] / big);
        const double n = std::sqrt(sq);
        for (int i = 0; i < 3; ++i) u[i][j] = (t.matrix[i][j] / big) / n;
        len[j] = big * n;
    }
    return true;
}

}  // namespace

std::optional<Error> check_start(const Affine3& t, const char* name) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(t.translation[i])) return Error::transform_error(Error::Kind::NonFiniteTransform, name);
        for (int j = 0; j < 3; ++j)
            if (!std::isfinite(t.matrix[i][j])) return Error::transform_error(Error::Kind::NonFiniteTransform, name);
    }
    // Singular relative to its own size: the determinant of the unit columns is |det| over the
    // product of the column lengths (Hadamard's bound), 1 for orthogonal columns, 0 for rank < 3.
    double len[3], u[3][3];
    if (!unit_columns(t, len, u) || !(std::fabs(det3(u)) > 1e-12))
        return Error::transform_error(Error::Kind::SingularTransform, name);
    return std::nullopt;
}

std::optional<Error> check_similarity(const Affine3& t, const char* name) {
    if (auto e = check_start(t, name)) return e;
    // s·R has determinant s³ > 0 and (s·R)ᵀ(s·R) = s²·I; the tolerance is the transform files'.
    double len[3], u[3][3];
    unit_columns(t, len, u);
    if (!(det3(u) > 0.0)) return Error::transform_error(Error::Kind::NotSimilarity, name);
    const double s = len[0] * std::cbrt((len[1] / len[0]) * (len[2] / len[0]));
    double off = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double dot = (u[0][i] * u[0][j] + u[1][i] * u[1][j]) + u[2][i] * u[2][j];
            off = std::max(off, std::fabs((len[i] / s) * (len[j] / s) * dot - (i == j ? 1.0 : 0.0)));
        }
    if (!(off <= 1e-6)) return Error::transform_error(Error::Kind::NotSimilarity, name);
    return std::nullopt;
}

std::optional<Error> check_reach(const Affine3& t, const CloudView& cloud, const char* name) {
    if (cloud.cols != 3) return std::nullopt;  // the cloud's own check reports it
    double reach[3] = {0, 0, 0};
    for (std::size_t r = 0; r < cloud.rows; ++r)
        for (std::size_t c = 0; c < 3; ++c) reach[c] = std::max(reach[c], std::fabs(cloud.at(r, c)));
    // |(A·p + b)_k| ≤ Σ_j |A_kj|·max|p_j| + |b_k|: finite bounds keep every moved point finite.
    for (int k = 0; k < 3; ++k) {
        double bound = std::fabs(t.translation[k]);
        for (int j = 0; j < 3; ++j) bound += std::fabs(t.matrix[k][j]) * reach[j];
        if (!std::isfinite(bound)) return Error::transform_error(Error::Kind::TransformOverflow, name);
    }
    return std::nullopt;
}

bool runs_fast(Method method, std::size_t m, std::size_t n) {
    if (method != Method::Auto) return method == Method::Fast;
    // The exact dense E-step costs about M·N single-precision kernel values an iteration, the fast
    // one a few hundred double-precision ones per point: exact while M·N stays below 2.5e7 (a few
    // milliseconds an iteration) or a few hundred times M + N (one cloud of a few hundred points).
    const double pairs = static_cast<double>(m) * static_cast<double>(n);
    return pairs > 2.5e7 && pairs > 256.0 * (static_cast<double>(m) + static_cast<double>(n));
}

}  // namespace tarvic
