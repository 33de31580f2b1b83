// libFuzzer harness over the core's public entry points.
//
// Each input picks one operation (a single fit, a batch, or an apply) and decodes the rest of
// its bytes into clouds of any shape and memory layout, values that include NaN, ±inf, ±0,
// subnormals and magnitudes near the f64 limits, and option records that may be invalid.
// Besides the sanitizers' own checks, every call is held to properties that must hold for any
// input: validation reports the first failing check with a non-empty message, a converged fit
// has a finite transform, results have the documented shapes, and a strided view gives the same
// bits as a contiguous copy of the same values.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "tarvic/affine.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/error.hpp"
#include "tarvic/landmarks.hpp"
#include "tarvic/rigid.hpp"
#include "tarvic/threads.hpp"
#include "tarvic/transform.hpp"

namespace {

using namespace tarvic;
using Kind = Error::Kind;
using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;

[[noreturn]] void violated(const char* what, int line) {
    std::fprintf(stderr, "core_fuzz: property violated at line %d: %s\n", line, what);
    std::abort();
}
#define PROP(cond)                                \
    do {                                          \
        if (!(cond)) violated(#cond, __LINE__);   \
    } while (0)

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Values

double special(FuzzedDataProvider& in) {
    static const double table[] = {kNaN,     kInf,    -kInf,    0.0,     -0.0,   5e-324, -5e-324,
                                   2.2250738585072014e-308, 1e-300, -1e-300, 1e300, -1e300,
                                   1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0, 0.5,
                                   1e-7,     1e7,     -std::numeric_limits<double>::signaling_NaN()};
    constexpr std::size_t n = sizeof table / sizeof table[0];
    const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, n);
    if (i < n) return table[i];
    double raw;
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    std::memcpy(&raw, &bits, sizeof raw);
    return raw;
}

// A value in [lo, hi] most of the time, a special value otherwise.
double option_value(FuzzedDataProvider& in, double lo, double hi) {
    if (in.ConsumeIntegralInRange<int>(0, 9) < 7) return in.ConsumeFloatingPointInRange<double>(lo, hi);
    return special(in);
}

// How a cloud's coordinates are drawn.
enum class Flavour { Clean, Scaled, Wild };

double coordinate(FuzzedDataProvider& in, Flavour f, double scale) {
    switch (f) {
        case Flavour::Clean:
            return in.ConsumeFloatingPointInRange<double>(-10.0, 10.0);
        case Flavour::Scaled:
            return in.ConsumeFloatingPointInRange<double>(-1.0, 1.0) * scale;
        case Flavour::Wild:
            break;
    }
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) return special(in);
    return in.ConsumeFloatingPointInRange<double>(-10.0, 10.0);
}

// ---------------------------------------------------------------------------------------------
// Clouds in every memory layout a strided view can describe

enum class Layout { RowMajor, ColMajor, EveryOtherRow, ReversedRows, ReversedCols, Padded, ReversedBoth, Count };

struct Cloud {
    // The exact-size heap block the view points into, so that ASan flags any read outside it.
    std::unique_ptr<double[]> buf;
    CloudView view;
    Array2 logical;  // the same values, row-major, contiguous

    CloudView contiguous() const { return CloudView{logical.values.data(), logical.rows, logical.cols,
                                                    static_cast<std::ptrdiff_t>(logical.cols), 1}; }
    bool finite() const {
        for (double v : logical.values)
            if (!std::isfinite(v)) return false;
        return true;
    }
};

std::unique_ptr<Cloud> make_cloud(const Array2& values, Layout layout) {
    auto c = std::make_unique<Cloud>();
    c->logical = values;
    const std::size_t r = values.rows, k = values.cols;
    const auto sr = static_cast<std::ptrdiff_t>(r), sk = static_cast<std::ptrdiff_t>(k);
    // Strided layouts end right after the last element of the last row: one row too many is out of bounds.
    std::size_t len = r * k;
    if (r > 0 && layout == Layout::EveryOtherRow) len = (2 * r - 1) * k;
    if (r > 0 && layout == Layout::Padded) len = (r - 1) * (k + 2) + k;
    c->buf = std::make_unique<double[]>(len);
    double* b = c->buf.get();
    CloudView v{b, r, k, sk, 1};
    if (r > 0 && k > 0) {
        switch (layout) {
            case Layout::RowMajor:
            case Layout::Count:
                break;
            case Layout::ColMajor:
                v.row_stride = 1;
                v.col_stride = sr;
                break;
            case Layout::EveryOtherRow:
                v.row_stride = 2 * sk;
                break;
            case Layout::ReversedRows:
                v.data = b + (r - 1) * k;
                v.row_stride = -sk;
                break;
            case Layout::ReversedCols:
                v.data = b + (k - 1);
                v.col_stride = -1;
                break;
            case Layout::Padded:
                v.row_stride = sk + 2;
                break;
            case Layout::ReversedBoth:
                v.data = b + (r * k - 1);
                v.row_stride = -sk;
                v.col_stride = -1;
                break;
        }
        for (std::size_t i = 0; i < len; ++i) b[i] = kNaN;  // gaps hold poison, never data
        for (std::size_t i = 0; i < r; ++i)
            for (std::size_t j = 0; j < k; ++j)
                const_cast<double*>(v.data)[static_cast<std::ptrdiff_t>(i) * v.row_stride +
                                            static_cast<std::ptrdiff_t>(j) * v.col_stride] = values(i, j);
    }
    c->view = v;
    return c;
}

// `cols3` forces three columns (clouds whose shape is a caller invariant).
std::unique_ptr<Cloud> decode_cloud(FuzzedDataProvider& in, bool cols3 = false, std::optional<std::size_t> rows = {}) {
    std::size_t cols = 3;
    if (!cols3 && in.ConsumeIntegralInRange<int>(0, 15) == 0) cols = in.ConsumeIntegralInRange<std::size_t>(0, 5);
    const std::size_t r = rows ? *rows : in.ConsumeIntegralInRange<std::size_t>(0, 64);
    const int fsel = in.ConsumeIntegralInRange<int>(0, 15);
    const Flavour f = fsel < 11 ? Flavour::Clean : fsel < 14 ? Flavour::Scaled : Flavour::Wild;
    static const double scales[] = {1e-300, 1e-150, 1e-20, 1e20, 1e150, 1e300, 1.7e308};
    const double scale = scales[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
    const double offset = f == Flavour::Scaled && in.ConsumeBool() ? scale : 0.0;
    Array2 a(r, cols);
    for (auto& v : a.values) v = coordinate(in, f, scale) + offset;
    const auto layout = static_cast<Layout>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Layout::Count) - 1));
    return make_cloud(a, layout);
}

// ---------------------------------------------------------------------------------------------
// Options

std::optional<std::size_t> decode_threads(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return std::size_t{0};
        case 1: return std::size_t{1};
        case 2: return std::size_t{2};
        default: return std::nullopt;
    }
}

RigidOptions decode_rigid(FuzzedDataProvider& in) {
    RigidOptions o;
    o.scale = in.ConsumeBool();
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        const double lo = option_value(in, 0.05, 3.0);
        o.scale_bounds = std::make_pair(lo, option_value(in, 0.05, 5.0));
    }
    o.w = option_value(in, 0.0, 0.95);
    o.tolerance = option_value(in, 0.0, 1e-2);
    o.max_iterations = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) o.sigma2 = option_value(in, 1e-6, 100.0);
    o.threads = decode_threads(in);
    return o;
}

DeformOptions decode_deform(FuzzedDataProvider& in) {
    DeformOptions o;
    o.alpha = option_value(in, 0.01, 10.0);
    o.beta = option_value(in, 0.01, 5.0);
    o.w = option_value(in, 0.0, 0.95);
    o.tolerance = option_value(in, 0.0, 1e-2);
    o.max_iterations = in.ConsumeIntegralInRange<std::size_t>(0, 5);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) o.sigma2 = option_value(in, 1e-6, 100.0);
    o.num_modes = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    o.threads = decode_threads(in);
    return o;
}

AffineOptions decode_affine(FuzzedDataProvider& in) {
    AffineOptions o;
    o.w = option_value(in, 0.0, 0.95);
    o.tolerance = option_value(in, 0.0, 1e-2);
    o.max_iterations = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) o.sigma2 = option_value(in, 1e-6, 100.0);
    o.threads = decode_threads(in);
    return o;
}

// A starting transform now and then: near a rotation with a scale, or any matrix at all.
std::optional<Affine3> decode_start(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange<int>(0, 2) != 0) return std::nullopt;
    Affine3 t;
    const bool wild = in.ConsumeBool();
    for (auto& row : t.matrix)
        for (double& v : row) v = wild ? option_value(in, -3.0, 3.0) : v * 1.5 + in.ConsumeFloatingPointInRange<double>(-1e-7, 1e-7);
    for (double& v : t.translation) v = option_value(in, -10.0, 10.0);
    return t;
}

Landmarks decode_landmarks(FuzzedDataProvider& in, std::size_t m, std::size_t n) {
    Landmarks lm;
    if (in.ConsumeBool()) return lm;
    lm.pairs.resize(in.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (auto& [i, j] : lm.pairs) {
        i = in.ConsumeIntegralInRange<std::size_t>(0, m + 1);
        j = in.ConsumeIntegralInRange<std::size_t>(0, n + 1);
    }
    if (in.ConsumeBool()) lm.weight = option_value(in, 0.001, 2.0);
    return lm;
}

// ---------------------------------------------------------------------------------------------
// The first failing check, derived from the logical values rather than the view

struct Expected {
    Kind kind;
    const char* name = "";
};

bool all_finite_start(const Affine3& t) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(t.translation[i])) return false;
        for (int j = 0; j < 3; ++j)
            if (!std::isfinite(t.matrix[i][j])) return false;
    }
    return true;
}

std::optional<Expected> cloud_failure(const Cloud& c, const char* name) {
    if (c.logical.cols != 3) return Expected{Kind::BadShape};
    if (c.logical.rows == 0) return Expected{Kind::EmptyCloud, name};
    if (!c.finite()) return Expected{Kind::NonFinite, name};
    return std::nullopt;
}

bool finite_pos(double v) { return std::isfinite(v) && v > 0.0; }

std::optional<Expected> common_failure(double w, double tol, std::size_t iters, std::optional<double> sigma2) {
    if (!(w >= 0.0 && w < 1.0)) return Expected{Kind::BadOutlierWeight};
    if (!(std::isfinite(tol) && tol >= 0.0)) return Expected{Kind::BadTolerance};
    if (iters < 1) return Expected{Kind::ZeroMaxIterations};
    if (sigma2 && !finite_pos(*sigma2)) return Expected{Kind::BadSigma2};
    return std::nullopt;
}

std::optional<Expected> rigid_failure(const RigidOptions& o) {
    if (auto e = common_failure(o.w, o.tolerance, o.max_iterations, o.sigma2)) return e;
    if (o.scale_bounds && !o.scale) return Expected{Kind::ScaleBoundsWithoutScale};
    if (o.scale_bounds && !(finite_pos(o.scale_bounds->first) && o.scale_bounds->first <= o.scale_bounds->second))
        return Expected{Kind::BadScaleBounds};
    return std::nullopt;
}

std::optional<Expected> deform_failure(const DeformOptions& o) {
    if (auto e = common_failure(o.w, o.tolerance, o.max_iterations, o.sigma2)) return e;
    if (!finite_pos(o.alpha)) return Expected{Kind::NotPositive, "alpha"};
    if (!finite_pos(o.beta)) return Expected{Kind::NotPositive, "beta"};
    if (o.num_modes < 1) return Expected{Kind::ZeroModes};
    return std::nullopt;
}

std::optional<Expected> affine_failure(const AffineOptions& o) {
    return common_failure(o.w, o.tolerance, o.max_iterations, o.sigma2);
}

// The landmark checks come last, after the clouds and every option: weight, then each pair.
std::optional<Expected> landmark_failure(const Landmarks& lm, std::size_t m, std::size_t n) {
    if (!finite_pos(lm.weight)) return Expected{Kind::NotPositive, "landmark_weight"};
    for (const auto& [i, j] : lm.pairs)
        if (i >= m || j >= n) return Expected{Kind::LandmarkOutOfRange, i >= m ? "source" : "target"};
    return std::nullopt;
}

void check_error(const Error& e, const Expected& want) {
    PROP(!e.message().empty());
    PROP(e.kind == want.kind);
    PROP(std::strcmp(e.name, want.name) == 0);
}

// ---------------------------------------------------------------------------------------------
// Result properties

bool all_finite(const double* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(p[i])) return false;
    return true;
}

bool same_bits_or_nan(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
    }
    return true;
}

void check_rigid_result(const RigidResult& r, const RigidOptions& o, bool pre_cancelled) {
    PROP(r.iterations <= o.max_iterations);
    if (pre_cancelled) {
        PROP(!r.converged);
        PROP(r.iterations == 0);
        PROP(r.scale == 1.0);
    }
    const bool transform_finite = std::isfinite(r.scale) && all_finite(&r.rotation[0][0], 9) &&
                                  all_finite(r.translation, 3);
    if (r.converged) {
        PROP(transform_finite);
    }
    if (!o.scale) PROP(r.scale == 1.0);
    if (o.scale_bounds && r.iterations > 0) {
        PROP(r.scale >= o.scale_bounds->first);
        PROP(r.scale <= o.scale_bounds->second);
    }
    if (all_finite(&r.rotation[0][0], 9)) {
        // A proper rotation: orthonormal rows, determinant +1.
        const auto& q = r.rotation;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const double d = q[i][0] * q[j][0] + q[i][1] * q[j][1] + q[i][2] * q[j][2];
                PROP(std::fabs(d - (i == j ? 1.0 : 0.0)) < 1e-6);
            }
        const double det = q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) -
                           q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
                           q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
        PROP(det > 0.0);
    }
}

// True when the two clouds together span more than the largest double along some axis: their
// normalised frame then has an infinite length, and results in caller units are not finite.
bool span_overflows(const Array2& a, const Array2& b) {
    for (std::size_t k = 0; k < 3; ++k) {
        double lo = kInf, hi = -kInf;
        for (const Array2* c : {&a, &b})
            for (std::size_t i = 0; i < c->rows; ++i) {
                lo = std::min(lo, (*c)(i, k));
                hi = std::max(hi, (*c)(i, k));
            }
        if (std::isinf(hi - lo)) return true;
    }
    return false;
}

void check_deform_result(const DeformResult& r, const DeformOptions& o, std::size_t m, bool pre_cancelled,
                         bool huge_span) {
    PROP(r.source.rows == m && r.source.cols == 3 && r.source.values.size() == 3 * m);
    PROP(r.w.rows == m && r.w.cols == 3 && r.w.values.size() == 3 * m);
    PROP(r.iterations <= o.max_iterations);
    PROP(r.modes <= o.num_modes && r.modes <= m);
    if (r.modes == 0) {
        PROP(r.iterations == 0);
        PROP(!r.converged);
    }
    if (pre_cancelled) {
        PROP(!r.converged);
        PROP(r.iterations == 0);
        PROP(r.modes == 0);
        if (!huge_span)
            for (double v : r.w.values) PROP(v == 0.0);
    }
    if (r.converged) {
        PROP(all_finite(r.w.values.data(), r.w.values.size()));
    }
}

void check_apply_shape(const Result<Array2>& out, const CloudView& points) {
    if (points.cols != 3) {
        PROP(!out.ok());
        PROP(out.error().kind == Kind::BadShape);
        PROP(out.error().count == points.cols);
        PROP(!out.error().message().empty());
        return;
    }
    PROP(out.ok());
    const Array2& a = out.value();
    PROP(a.rows == points.rows && a.cols == 3 && a.values.size() == 3 * points.rows);
}

// Rigid apply: shape, layout independence, and the identity on finite points.
void run_rigid_apply(const RigidTransform& t, const Cloud& pts) {
    const auto out = t.apply(pts.view);
    check_apply_shape(out, pts.view);
    if (!out.ok()) return;
    const auto ref = t.apply(pts.contiguous());
    PROP(ref.ok());
    PROP(same_bits_or_nan(out.value().values, ref.value().values));
    RigidTransform id;
    const auto same = id.apply(pts.view);
    PROP(same.ok());
    // Exact on finite rows (in a row holding inf or NaN, 0·inf contaminates the others).
    for (std::size_t i = 0; i < pts.logical.rows; ++i) {
        const double* row = &pts.logical.values[3 * i];
        if (!all_finite(row, 3)) continue;
        for (std::size_t k = 0; k < 3; ++k) PROP(same.value().values[3 * i + k] == row[k]);
    }
}

// Deformation apply: shape, layout independence (points, centres and coefficients), zero w.
void run_deform_apply(const Cloud& source, const Cloud& w, double beta, const Cloud& pts) {
    const DeformTransform t{source.view, w.view, beta};
    const auto out = t.apply(pts.view);
    check_apply_shape(out, pts.view);
    if (!out.ok()) return;
    const DeformTransform flat{source.contiguous(), w.contiguous(), beta};
    const auto ref = flat.apply(pts.contiguous());
    PROP(ref.ok());
    PROP(same_bits_or_nan(out.value().values, ref.value().values));
    bool zero_w = true;
    for (double v : w.logical.values) zero_w = zero_w && v == 0.0;
    if (zero_w) {
        for (std::size_t i = 0; i < pts.logical.values.size(); ++i) {
            const double v = pts.logical.values[i], got = out.value().values[i];
            PROP((std::isnan(v) && std::isnan(got)) || got == v);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Operations

// The fits compare a strided view with a contiguous copy only when both run on the
// single-threaded process-wide pool: with more threads the E-step's merge order may differ.
bool deterministic(const std::optional<std::size_t>& threads) { return !threads || *threads <= 1; }

void op_rigid(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const auto src = decode_cloud(in);
    const auto tgt = decode_cloud(in);
    const RigidOptions o = decode_rigid(in);
    std::optional<Expected> want = cloud_failure(*src, "source");
    if (!want) want = cloud_failure(*tgt, "target");
    if (!want) want = rigid_failure(o);

    const auto r = rigid_register(src->view, tgt->view, o, cancel);
    PROP(r.ok() == !want.has_value());
    if (!r.ok()) {
        check_error(r.error(), *want);
        return;
    }
    check_rigid_result(r.value(), o, pre_cancelled);
    if (deterministic(o.threads)) {
        const auto c = rigid_register(src->contiguous(), tgt->contiguous(), o, cancel);
        PROP(c.ok());
        PROP(std::memcmp(&c.value().rotation, &r.value().rotation, sizeof c.value().rotation) == 0);
        PROP(std::memcmp(&c.value().scale, &r.value().scale, sizeof(double)) == 0);
        PROP(c.value().iterations == r.value().iterations);
        PROP(c.value().converged == r.value().converged);
    }
    RigidTransform t;
    t.scale = r.value().scale;
    std::memcpy(t.rotation, r.value().rotation, sizeof t.rotation);
    std::memcpy(t.translation, r.value().translation, sizeof t.translation);
    run_rigid_apply(t, *src);
}

void op_deform(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const auto src = decode_cloud(in);
    const auto tgt = decode_cloud(in);
    const DeformOptions o = decode_deform(in);
    std::optional<Expected> want = cloud_failure(*src, "source");
    if (!want) want = cloud_failure(*tgt, "target");
    if (!want) want = deform_failure(o);

    const auto r = deform_register(src->view, tgt->view, o, cancel);
    PROP(r.ok() == !want.has_value());
    if (!r.ok()) {
        check_error(r.error(), *want);
        return;
    }
    const DeformResult& d = r.value();
    check_deform_result(d, o, src->logical.rows, pre_cancelled, span_overflows(src->logical, tgt->logical));
    if (deterministic(o.threads)) {
        const auto c = deform_register(src->contiguous(), tgt->contiguous(), o, cancel);
        PROP(c.ok());
        PROP(c.value().modes == d.modes);
        PROP(c.value().iterations == d.iterations);
        PROP(c.value().converged == d.converged);
        PROP(same_bits_or_nan(c.value().w.values, d.w.values));
    }
    // Carry the source through the fitted deformation.
    const auto fitted_src = make_cloud(d.source, Layout::RowMajor);
    const auto fitted_w = make_cloud(d.w, Layout::RowMajor);
    run_deform_apply(*fitted_src, *fitted_w, d.beta, *src);
}

void op_rigid_apply(FuzzedDataProvider& in) {
    RigidTransform t;
    t.scale = option_value(in, -3.0, 3.0);
    for (auto& row : t.rotation)
        for (double& v : row) v = option_value(in, -1.0, 1.0);
    for (double& v : t.translation) v = option_value(in, -10.0, 10.0);
    const auto pts = decode_cloud(in);
    run_rigid_apply(t, *pts);
}

void op_deform_apply(FuzzedDataProvider& in) {
    const auto source = decode_cloud(in, true);
    const auto w = decode_cloud(in, true, source->logical.rows);
    const double beta = option_value(in, 0.01, 10.0);
    const auto pts = decode_cloud(in);
    run_deform_apply(*source, *w, beta, *pts);
}

struct CloudList {
    std::vector<std::unique_ptr<Cloud>> clouds;
    std::vector<CloudView> views;
};

CloudList decode_list(FuzzedDataProvider& in) {
    CloudList l;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    for (std::size_t i = 0; i < n; ++i) {
        l.clouds.push_back(decode_cloud(in));
        l.views.push_back(l.clouds.back()->view);
    }
    return l;
}

Pairs decode_pairs(FuzzedDataProvider& in) {
    Pairs p(in.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (auto& [i, j] : p) {
        i = in.ConsumeIntegralInRange<std::size_t>(0, 3);
        j = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    }
    return p;
}

// A bad list: the kinds its failing clouds would report (which one wins is not fixed).
std::vector<Kind> list_failures(const CloudList& l, const char* name) {
    std::vector<Kind> kinds;
    for (const auto& c : l.clouds)
        if (auto e = cloud_failure(*c, name)) kinds.push_back(e->kind);
    return kinds;
}

// Check a batch outcome against the documented order: options, sources, targets, pairs.
template <class R>
bool check_batch_outcome(const R& r, const std::optional<Expected>& opt_fail, const CloudList& sources,
                         const std::vector<CloudView>& targets, const CloudList* target_list, const Pairs& pairs) {
    if (opt_fail) {
        PROP(!r.ok());
        check_error(r.error(), *opt_fail);
        return false;
    }
    const auto in_list = [&](const std::vector<Kind>& kinds, const char* name) {
        PROP(!r.ok());
        PROP(!r.error().message().empty());
        bool found = false;
        for (Kind k : kinds) found = found || k == r.error().kind;
        PROP(found);
        if (r.error().kind != Kind::BadShape) PROP(std::strcmp(r.error().name, name) == 0);
    };
    if (auto bad = list_failures(sources, "sources"); !bad.empty()) {
        in_list(bad, "sources");
        return false;
    }
    if (target_list) {
        if (auto bad = list_failures(*target_list, "targets"); !bad.empty()) {
            in_list(bad, "targets");
            return false;
        }
    }
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (i >= sources.views.size() || j >= targets.size()) {
            PROP(!r.ok());
            const Error& e = r.error();
            PROP(!e.message().empty());
            PROP(e.kind == Kind::PairOutOfRange);
            PROP(e.count == k);
            PROP(e.index == (i >= sources.views.size() ? i : j));
            PROP(e.total == (i >= sources.views.size() ? sources.views.size() : targets.size()));
            return false;
        }
    }
    PROP(r.ok());
    return true;
}

void op_rigid_batch(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const RigidOptions o = decode_rigid(in);
    const CloudList sources = decode_list(in);
    const bool reuse = in.ConsumeBool();
    const CloudList own = reuse ? CloudList{} : decode_list(in);
    const std::vector<CloudView>& targets = reuse ? sources.views : own.views;
    const Pairs pairs = decode_pairs(in);
    const auto r = rigid_register_batch(sources.views, targets, pairs, o, false, cancel);
    if (!check_batch_outcome(r, rigid_failure(o), sources, targets, reuse ? nullptr : &own, pairs)) return;
    if (pre_cancelled) {
        PROP(r.value().empty());
        return;
    }
    PROP(r.value().size() == pairs.size());
    for (const auto& rec : r.value()) check_rigid_result(rec, o, false);
}

void op_deform_batch(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const DeformOptions o = decode_deform(in);
    const CloudList sources = decode_list(in);
    const bool reuse = in.ConsumeBool();
    const CloudList own = reuse ? CloudList{} : decode_list(in);
    const std::vector<CloudView>& targets = reuse ? sources.views : own.views;
    const Pairs pairs = decode_pairs(in);
    const auto r = deform_register_batch(sources.views, targets, pairs, o, false, cancel);
    if (!check_batch_outcome(r, deform_failure(o), sources, targets, reuse ? nullptr : &own, pairs)) return;
    if (pre_cancelled) {
        PROP(r.value().empty());
        return;
    }
    PROP(r.value().size() == pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k)
        check_deform_result(r.value()[k], o, sources.views[pairs[k].first].rows, false, true);
}

void check_affine_result(const AffineResult& r, const AffineOptions& o, bool pre_cancelled) {
    PROP(r.iterations <= o.max_iterations);
    if (pre_cancelled || r.singular) {
        PROP(!r.converged);
    }
    if (pre_cancelled) {
        PROP(r.iterations == 0);
        PROP(!r.singular);
    }
    if (r.converged) {
        PROP(all_finite(&r.matrix[0][0], 9) && all_finite(r.translation, 3));
    }
}

// Guided fits: a starting transform (or a deformation's prior) and landmarks. A start that is
// refused is refused as one of the transform checks; a non-finite one always as NonFiniteTransform.
void op_guided(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const int which = in.ConsumeIntegralInRange<int>(0, 2);
    const auto src = decode_cloud(in);
    const auto tgt = decode_cloud(in);
    const std::optional<Affine3> start = decode_start(in);
    const Landmarks lm = decode_landmarks(in, src->logical.rows, tgt->logical.rows);
    std::optional<Expected> want = cloud_failure(*src, "source");
    if (!want) want = cloud_failure(*tgt, "target");
    const auto judge = [&](const auto& r, std::optional<Expected> options, const char* name) {
        if (!want) want = options;
        if (want) {
            PROP(!r.ok());
            check_error(r.error(), *want);
            return false;
        }
        if (start && !r.ok() && (r.error().kind == Kind::NonFiniteTransform || r.error().kind == Kind::SingularTransform ||
                                 r.error().kind == Kind::NotSimilarity || r.error().kind == Kind::TransformOverflow)) {
            PROP(std::strcmp(r.error().name, name) == 0);
            PROP(!r.error().message().empty());
            if (!all_finite_start(*start)) PROP(r.error().kind == Kind::NonFiniteTransform);
            return false;
        }
        if (start) PROP(all_finite_start(*start));
        const auto lm_fail = landmark_failure(lm, src->logical.rows, tgt->logical.rows);
        PROP(r.ok() == !lm_fail.has_value());
        if (lm_fail) {
            check_error(r.error(), *lm_fail);
            return false;
        }
        return true;
    };
    if (which == 0) {
        AffineOptions o = decode_affine(in);
        o.init = start;
        const auto r = affine_register(src->view, tgt->view, o, cancel, lm);
        if (judge(r, affine_failure(o), "init")) check_affine_result(r.value(), o, pre_cancelled);
    } else if (which == 1) {
        RigidOptions o = decode_rigid(in);
        o.init = start;
        const auto r = rigid_register(src->view, tgt->view, o, cancel, lm);
        if (!judge(r, rigid_failure(o), "init")) return;
        check_rigid_result(r.value(), o.init ? RigidOptions{} : o, pre_cancelled && !o.init);
        PROP(r.value().iterations <= o.max_iterations);
    } else {
        DeformOptions o = decode_deform(in);
        o.prior = start;
        const auto r = deform_register(src->view, tgt->view, o, cancel, lm);
        if (judge(r, deform_failure(o), "prior"))
            check_deform_result(r.value(), o, src->logical.rows, pre_cancelled, true);
    }
}

void op_affine_batch(FuzzedDataProvider& in, const std::atomic<bool>* cancel, bool pre_cancelled) {
    const AffineOptions o = decode_affine(in);
    const CloudList sources = decode_list(in);
    const bool reuse = in.ConsumeBool();
    const CloudList own = reuse ? CloudList{} : decode_list(in);
    const std::vector<CloudView>& targets = reuse ? sources.views : own.views;
    const Pairs pairs = decode_pairs(in);
    const auto r = affine_register_batch(sources.views, targets, pairs, o, false, cancel);
    if (!check_batch_outcome(r, affine_failure(o), sources, targets, reuse ? nullptr : &own, pairs)) return;
    if (pre_cancelled) {
        PROP(r.value().empty());
        return;
    }
    PROP(r.value().size() == pairs.size());
    for (const auto& rec : r.value()) check_affine_result(rec, o, false);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One process-wide worker keeps runs reproducible; `threads` = 2 still exercises dedicated pools.
    if (auto err = tarvic::set_num_threads(1)) {
        std::fprintf(stderr, "core_fuzz: %s\n", err->c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int op = in.ConsumeIntegralInRange<int>(0, 7);
    // A cancel flag that is already set, now and then: every entry point must wind down at once.
    std::atomic<bool> flag{false};
    const std::atomic<bool>* cancel = nullptr;
    const int csel = in.ConsumeIntegralInRange<int>(0, 15);
    if (csel == 0) {
        flag = true;
        cancel = &flag;
    } else if (csel < 4) {
        cancel = &flag;
    }
    const bool pre = cancel != nullptr && flag.load();
    switch (op) {
        case 0: op_rigid(in, cancel, pre); break;
        case 1: op_deform(in, cancel, pre); break;
        case 2: op_rigid_apply(in); break;
        case 3: op_deform_apply(in); break;
        case 4: op_rigid_batch(in, cancel, pre); break;
        case 5: op_deform_batch(in, cancel, pre); break;
        case 6: op_guided(in, cancel, pre); break;
        default: op_affine_batch(in, cancel, pre); break;
    }
    return 0;
}
