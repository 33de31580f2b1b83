#pragma once
// The core's one error type, the option records, and input validation.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "tarvic/array.hpp"

namespace tarvic {

class FitMonitor;

/// Every validation failure of the core; each kind renders to one fixed message.
struct Error {
    enum class Kind {
        BadShape,                 // payload: count (columns)
        EmptyCloud,               // payload: name
        BadOutlierWeight,         // payload: x (w)
        BadTolerance,             // payload: x (tolerance)
        ZeroMaxIterations,
        NotPositive,              // payload: x (value), name
        ZeroModes,
        BadScaleBounds,           // payload: x (lower), y (upper)
        ScaleBoundsWithoutScale,
        BadSigma2,                // payload: x (sigma2)
        PairOutOfRange,           // payload: count (pair), index (cloud), total (cloud count)
        NonFinite,                // payload: name
        NonFiniteTransform,       // payload: name (init, prior)
        SingularTransform,        // payload: name
        NotSimilarity,            // payload: name
        TransformOverflow,        // payload: name
        LandmarkOutOfRange,       // payload: count (landmark), index (point), total (point count), name (cloud)
    };
    Kind kind = Kind::BadShape;
    std::size_t count = 0;
    std::size_t index = 0;
    std::size_t total = 0;
    double x = 0.0;
    double y = 0.0;
    const char* name = "";

    static Error bad_shape(std::size_t cols) { Error e; e.kind = Kind::BadShape; e.count = cols; return e; }
    static Error empty_cloud(const char* n) { Error e; e.kind = Kind::EmptyCloud; e.name = n; return e; }
    static Error bad_outlier_weight(double v) { Error e; e.kind = Kind::BadOutlierWeight; e.x = v; return e; }
    static Error bad_tolerance(double v) { Error e; e.kind = Kind::BadTolerance; e.x = v; return e; }
    static Error zero_max_iterations() { Error e; e.kind = Kind::ZeroMaxIterations; return e; }
    static Error not_positive(double v, const char* n) { Error e; e.kind = Kind::NotPositive; e.x = v; e.name = n; return e; }
    static Error zero_modes() { Error e; e.kind = Kind::ZeroModes; return e; }
    static Error bad_scale_bounds(double lo, double hi) { Error e; e.kind = Kind::BadScaleBounds; e.x = lo; e.y = hi; return e; }
    static Error scale_bounds_without_scale() { Error e; e.kind = Kind::ScaleBoundsWithoutScale; return e; }
    static Error bad_sigma2(double v) { Error e; e.kind = Kind::BadSigma2; e.x = v; return e; }
    static Error pair_out_of_range(std::size_t pair, std::size_t cloud, std::size_t n) {
        Error e; e.kind = Kind::PairOutOfRange; e.count = pair; e.index = cloud; e.total = n; return e;
    }
    static Error non_finite(const char* n) { Error e; e.kind = Kind::NonFinite; e.name = n; return e; }
    static Error transform_error(Kind k, const char* n) { Error e; e.kind = k; e.name = n; return e; }
    static Error landmark_out_of_range(std::size_t landmark, std::size_t point, std::size_t n, const char* cloud) {
        Error e; e.kind = Kind::LandmarkOutOfRange; e.count = landmark; e.index = point; e.total = n; e.name = cloud;
        return e;
    }

    /// The fixed message of this error, payloads filled in.
    std::string message() const;
};

/// Shortest round-trip decimal form of `v` in positional notation ("1", "-0", "0.0000001", "inf", "NaN").
std::string format_float(double v);

/// A value or the Error that prevented it.
template <class T>
class Result {
public:
    Result(T v) : v_(std::move(v)) {}          // NOLINT: implicit by design
    Result(Error e) : v_(std::move(e)) {}      // NOLINT
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

/// How a fit evaluates its E-step (and a deformable fit its kernel products): the exact dense
/// sums; Gauss transforms in double precision within a guaranteed relative error; or the first
/// where M·N is small enough for it to be cheap and the second otherwise.
enum class Method : unsigned char { Exact, Fast, Auto };

/// Options of a rigid or similarity fit. The defaults here are the documented ones: the binding
/// starts from them and only converts the arguments it is given.
struct RigidOptions {
    bool scale = true;                                        // estimate a uniform scale too
    std::optional<std::pair<double, double>> scale_bounds;    // (lower, upper) applied every EM step
    double w = 0.0;                                           // outlier fraction in [0, 1)
    double tolerance = 1e-6;                                  // relative variance change that stops the loop
    std::size_t max_iterations = 200;                         // cap on EM iterations
    std::optional<double> sigma2;                             // initial variance in caller units
    std::optional<std::size_t> threads;                       // dedicated pool size; none or 0: current pool
    Method method = Method::Exact;                            // how the E-step is evaluated
    double gauss_tolerance = 1e-6;                            // error bound of the fast E-step, in (0, 1)
    FitMonitor* monitor = nullptr;                            // single fits: published after each iteration
    std::optional<Affine3> init;  // starting transform, a similarity to 1e-6; the result is the whole map
};

/// Options of an affine fit, with the documented defaults (as RigidOptions).
struct AffineOptions {
    double w = 0.0;                           // outlier fraction in [0, 1)
    double tolerance = 1e-6;                  // relative variance change that stops the loop
    std::size_t max_iterations = 200;         // cap on EM iterations
    std::optional<double> sigma2;             // initial variance in caller units
    std::optional<std::size_t> threads;       // dedicated pool size; none or 0: current pool
    Method method = Method::Exact;            // how the E-step is evaluated
    double gauss_tolerance = 1e-6;            // error bound of the fast E-step, in (0, 1)
    std::optional<Affine3> init;              // invertible starting transform; the result is the whole map
    FitMonitor* monitor = nullptr;            // single fits: published after each iteration
};

/// Options of a deformable fit, with the documented defaults (as RigidOptions).
struct DeformOptions {
    double alpha = 2.0;                       // weight of the motion-coherence prior
    double beta = 1.0;                        // kernel width as a fraction of the cloud radius
    double w = 0.0;                           // outlier fraction in [0, 1)
    double tolerance = 1e-6;                  // relative variance change that stops the loop
    std::size_t max_iterations = 200;         // cap on EM iterations
    std::optional<double> sigma2;             // initial variance in caller units
    std::size_t num_modes = 100;              // kernel eigenmodes to solve through
    std::optional<std::size_t> threads;       // dedicated pool size; none or 0: current pool
    Method method = Method::Exact;            // how the E-step and kernel products are evaluated
    double gauss_tolerance = 1e-6;            // their error bound on the fast path, in (0, 1)
    FitMonitor* monitor = nullptr;            // single fits: published after each iteration
    std::optional<Affine3> prior;             // invertible transform applied first; the deformation follows it
};

/// Whether a fit of M onto N points with this method runs the fast path.
bool runs_fast(Method method, std::size_t m, std::size_t n);

/// Shape, emptiness and finiteness of one cloud, in that order.
std::optional<Error> check_cloud(const CloudView& cloud, const char* name);
/// The rigid option checks, in their fixed order (without clouds).
std::optional<Error> check_rigid_options(const RigidOptions& o);
/// The deformable option checks, in their fixed order (without clouds).
std::optional<Error> check_deform_options(const DeformOptions& o);
/// The affine option checks, in their fixed order (without clouds).
std::optional<Error> check_affine_options(const AffineOptions& o);

/// A starting transform `name` ("init", "prior"): finite and invertible.
std::optional<Error> check_start(const Affine3& t, const char* name);
/// A starting transform that must also be a similarity s·R (R a rotation) to 1e-6, as a rigid fit's.
std::optional<Error> check_similarity(const Affine3& t, const char* name);
/// Whether `t` keeps every point of the (finite) cloud finite; checked from a bound, in O(rows).
std::optional<Error> check_reach(const Affine3& t, const CloudView& cloud, const char* name);

}  // namespace tarvic
