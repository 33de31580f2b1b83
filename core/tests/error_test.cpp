#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "tarvic/error.hpp"

using namespace tarvic;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

CloudView view(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
    return CloudView{v.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
}
}  // namespace

TEST(Error, FloatRendering) {
    EXPECT_EQ(format_float(1.0), "1");
    EXPECT_EQ(format_float(-0.5), "-0.5");
    EXPECT_EQ(format_float(1e-7), "0.0000001");
    EXPECT_EQ(format_float(-0.0), "-0");
    EXPECT_EQ(format_float(0.0), "0");
    EXPECT_EQ(format_float(kInf), "inf");
    EXPECT_EQ(format_float(-kInf), "-inf");
    EXPECT_EQ(format_float(kNaN), "NaN");
    EXPECT_EQ(format_float(0.1), "0.1");
    EXPECT_EQ(format_float(1e21), "1000000000000000000000");
    EXPECT_EQ(format_float(5e-324).substr(0, 6), "0.0000");
    // Shortest round trip: the rendering reads back to the same value.
    for (double v : {0.1 + 0.2, 1.0 / 3.0, 123456.789e-5, 1e300, 5e-324, -2.2250738585072014e-308}) {
        const std::string s = format_float(v);
        double back = 0.0;
        std::from_chars(s.data(), s.data() + s.size(), back);
        EXPECT_EQ(back, v) << s;
        EXPECT_EQ(s.find('e'), std::string::npos);
    }
}

namespace {

// strtod, not from_chars: libstdc++'s from_chars refuses decimals that read as subnormals.
double parse(const std::string& s) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() ? v : kNaN;
}

// Fewest significant digits of any decimal that reads back as `v`. Only the p-digit decimals just
// below and just above v can lie in its rounding interval: the correctly rounded one (printf's) and
// its neighbours in the last digit.
int shortest_digits(double v) {
    for (int p = 1; p <= 17; ++p) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", p - 1, std::fabs(v));
        std::string digits;
        const char* e = std::strchr(buf, 'e');
        for (const char* c = buf; c != e; ++c)
            if (*c != '.') digits += *c;
        const long long mantissa = std::stoll(digits);
        const int exponent = std::atoi(e + 1) - (p - 1);
        for (long long m : {mantissa - 1, mantissa, mantissa + 1})
            if (m > 0 && parse(std::to_string(m) + "e" + std::to_string(exponent)) == std::fabs(v)) return p;
    }
    return 17;
}

// Significant digits of a positional rendering: sign, point and leading and trailing zeros dropped.
int significant_digits(const std::string& s) {
    std::string digits;
    for (char c : s)
        if (c >= '0' && c <= '9') digits += c;
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 1;
    return static_cast<int>(digits.find_last_not_of('0') - first + 1);
}

void expect_shortest_positional(double v) {
    const std::string s = format_float(v);
    EXPECT_EQ(s.find_first_not_of("-0123456789."), std::string::npos) << s;
    EXPECT_EQ(parse(s), v) << s;
    EXPECT_EQ(significant_digits(s), shortest_digits(v)) << s;
}

}  // namespace

// The shortest digits are not the exact expansion: 1e23 is 99999999999999991611392 exactly.
TEST(Error, FloatRenderingIsShortestAtEveryMagnitude) {
    EXPECT_EQ(format_float(1e23), "100000000000000000000000");
    EXPECT_EQ(format_float(-1e23), "-100000000000000000000000");
    EXPECT_EQ(format_float(std::ldexp(1.0, 70)), "1180591620717411300000");
    EXPECT_EQ(format_float(1e300), "1" + std::string(300, '0'));
    EXPECT_EQ(format_float(1.7976931348623157e308), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_float(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format_float(123.456), "123.456");
    EXPECT_EQ(format_float(0.001), "0.001");
    EXPECT_EQ(format_float(1e16), "10000000000000000");
    EXPECT_EQ(format_float(1.5), "1.5");
    for (int k = -323; k <= 308; ++k) {
        expect_shortest_positional(parse("1e" + std::to_string(k)));
        if (k < 308) expect_shortest_positional(-parse("3.3e" + std::to_string(k)));
    }
    for (int k = -1074; k <= 1023; ++k) expect_shortest_positional(std::ldexp(1.0, k));
    std::mt19937_64 rng(13);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isfinite(v)) expect_shortest_positional(v);
    }
}

TEST(Error, EveryMessage) {
    EXPECT_EQ(Error::bad_shape(2).message(), "expected an (N, 3) array, got (N, 2)");
    EXPECT_EQ(Error::empty_cloud("source").message(), "`source` has no points");
    EXPECT_EQ(Error::bad_outlier_weight(1.0).message(), "`w` must be in [0, 1), got 1");
    EXPECT_EQ(Error::bad_tolerance(kInf).message(), "`tolerance` must be finite and >= 0, got inf");
    EXPECT_EQ(Error::zero_max_iterations().message(), "`max_iterations` must be >= 1");
    EXPECT_EQ(Error::not_positive(0.0, "alpha").message(), "`alpha` must be finite and > 0, got 0");
    EXPECT_EQ(Error::zero_modes().message(), "`num_modes` must be >= 1");
    EXPECT_EQ(Error::bad_scale_bounds(0.0, 1.0).message(),
              "`scale_bounds` must satisfy 0 < lower <= upper, got (0, 1)");
    EXPECT_EQ(Error::scale_bounds_without_scale().message(),
              "`scale_bounds` needs `scale` to be enabled; with `scale` off the scale is held at 1");
    EXPECT_EQ(Error::bad_sigma2(-2.5).message(), "`sigma2` must be finite and > 0, got -2.5");
    EXPECT_EQ(Error::pair_out_of_range(0, 3, 2).message(), "pair 0 references cloud 3, but only 2 were given");
    EXPECT_EQ(Error::non_finite("targets").message(), "`targets` contains NaN or infinite coordinates");
}

TEST(Error, CloudChecksInOrder) {
    std::vector<double> empty;
    EXPECT_EQ(check_cloud(view(empty, 0, 4), "source")->kind, Error::Kind::BadShape);  // shape before emptiness
    EXPECT_EQ(check_cloud(view(empty, 0, 3), "source")->message(), "`source` has no points");
    std::vector<double> two(10, 1.0);
    EXPECT_EQ(check_cloud(view(two, 5, 2), "source")->count, 2u);
    std::vector<double> pts(30, 1.0);
    EXPECT_FALSE(check_cloud(view(pts, 10, 3), "target"));
    pts[29] = kNaN;
    EXPECT_EQ(check_cloud(view(pts, 10, 3), "target")->message(), "`target` contains NaN or infinite coordinates");
    // A strided view only sees its own elements: the bad value sits outside it.
    CloudView every_other{pts.data(), 5, 3, 6, 1};
    EXPECT_FALSE(check_cloud(every_other, "target"));
    pts[29] = 1.0;
    pts[3] = -kInf;  // row 1 of the full array, skipped by the every-other-row view
    EXPECT_FALSE(check_cloud(every_other, "target"));
    EXPECT_TRUE(check_cloud(view(pts, 10, 3), "target"));
}

TEST(Error, RigidOptionOrderAndPredicates) {
    RigidOptions o;
    EXPECT_FALSE(check_rigid_options(o));
    o.w = 1.0;
    EXPECT_EQ(check_rigid_options(o)->message(), "`w` must be in [0, 1), got 1");
    o.w = kNaN;
    EXPECT_EQ(check_rigid_options(o)->message(), "`w` must be in [0, 1), got NaN");
    o.tolerance = -1.0;  // w still wins
    EXPECT_EQ(check_rigid_options(o)->kind, Error::Kind::BadOutlierWeight);
    o.w = 0.0;
    EXPECT_EQ(check_rigid_options(o)->kind, Error::Kind::BadTolerance);
    for (double tol : {0.0, -0.0}) {
        o.tolerance = tol;
        EXPECT_FALSE(check_rigid_options(o));
    }
    o.tolerance = -1e-300;
    EXPECT_TRUE(check_rigid_options(o));
    o.tolerance = kNaN;
    EXPECT_TRUE(check_rigid_options(o));  // never silently replaced
    o.tolerance = 1e-6;
    o.max_iterations = 0;
    EXPECT_EQ(check_rigid_options(o)->kind, Error::Kind::ZeroMaxIterations);
    o.max_iterations = 1;
    o.sigma2 = 0.0;
    EXPECT_EQ(check_rigid_options(o)->message(), "`sigma2` must be finite and > 0, got 0");
    o.sigma2 = 5e-324;
    EXPECT_FALSE(check_rigid_options(o));
    o.scale = false;
    o.scale_bounds = std::make_pair(-1.0, 0.0);
    EXPECT_EQ(check_rigid_options(o)->kind, Error::Kind::ScaleBoundsWithoutScale);
    o.scale = true;
    EXPECT_EQ(check_rigid_options(o)->kind, Error::Kind::BadScaleBounds);
    o.scale_bounds = std::make_pair(0.5, 0.5);
    EXPECT_FALSE(check_rigid_options(o));
    o.scale_bounds = std::make_pair(1.0, kInf);
    EXPECT_FALSE(check_rigid_options(o));
    o.scale_bounds = std::make_pair(2.0, 1.0);
    EXPECT_TRUE(check_rigid_options(o));
    o.scale_bounds = std::make_pair(1.0, kNaN);
    EXPECT_TRUE(check_rigid_options(o));
}

TEST(Error, DeformOptionOrder) {
    DeformOptions o;
    EXPECT_FALSE(check_deform_options(o));
    o.alpha = 0.0;
    o.beta = 0.0;
    EXPECT_EQ(check_deform_options(o)->message(), "`alpha` must be finite and > 0, got 0");
    o.alpha = 1.0;
    EXPECT_EQ(check_deform_options(o)->message(), "`beta` must be finite and > 0, got 0");
    o.beta = kInf;
    EXPECT_EQ(check_deform_options(o)->message(), "`beta` must be finite and > 0, got inf");
    o.beta = 1.0;
    o.num_modes = 0;
    EXPECT_EQ(check_deform_options(o)->kind, Error::Kind::ZeroModes);
    o.sigma2 = -1.0;  // sigma2 before alpha/beta/modes
    EXPECT_EQ(check_deform_options(o)->kind, Error::Kind::BadSigma2);
}
