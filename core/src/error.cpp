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
