// Correspondences of a fitted model: denominators by Gauss transform, matches by k-d tree searches.
#include "tarvic/correspondences.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "exp64.hpp"
#include "kdtree.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/gauss_transform.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {

namespace {

Correspondences search(const CloudView& moved, const CloudView& target, const CorrespondenceOptions& opts,
                       CancelFlag cancel) {
    // The E-step's frame, variance and outlier term, as a fit of these clouds would set them up.
    const Setup st = Setup::make(moved, target, opts.sigma2, opts.w);
    const std::size_t m = st.moving.size(), n = st.fixed.size();
    const double sigma2 = std::max(st.sigma2, kFastMinSigma2);
    const double c = outlier_term(st.sigma2, st.outlier_weight);
    const double inv_2s2 = 1.0 / (2.0 * sigma2);
    const Points64 source{st.moving.x.data(), st.moving.y.data(), st.moving.z.data(), m};
    const Points64 fixed{st.fixed.x.data(), st.fixed.y.data(), st.fixed.z.data(), n};
    // −ln K for a squared distance, and K itself: the Gaussian floored at e^−708.
    const auto energy = [inv_2s2](double d2) { return std::min(d2 * inv_2s2, -detail::kExpMin); };
    const auto kernel = [inv_2s2](double d2) { return detail::exp64(std::max(-(d2 * inv_2s2), detail::kExpMin)); };

    // D_n = Σ_m K_mn + c at every target point.
    GaussOptions go;
    go.tolerance = opts.tolerance;
    go.floor = c;
    go.cancel = cancel;
    const std::vector<double> ones(m, 1.0);
    const GaussSums sums = gauss_transform(fixed, source, std::sqrt(sigma2), ones.data(), 1, go);
    if (cancelled(cancel)) return {};
    std::vector<double> den(n);
    for (std::size_t j = 0; j < n; ++j) den[j] = std::max(sums.values[j] + c, std::numeric_limits<double>::min());

    Correspondences out;
    out.error_bound = sums.max_bound;
    out.target_match.resize(n);
    out.target_probability.resize(n);
    out.target_outlier.resize(n);
    out.source_match.resize(m);
    out.source_probability.resize(m);

    // Target side: the posteriors of one target point share D_n, so the largest is its nearest source point's.
    const detail::KdTree sources(source);
    parallel_ranges(n, [&](std::size_t begin, std::size_t end) {
        if (cancelled(cancel)) return false;
        for (std::size_t j = begin; j < end; ++j) {
            const auto hit = sources.best(fixed.x[j], fixed.y[j], fixed.z[j], nullptr, [](double d2) { return d2; });
            out.target_match[j] = hit.index;
            out.target_probability[j] = std::min(kernel(hit.cost) / den[j], 1.0);
            out.target_outlier[j] = std::min(c / den[j], 1.0);
        }
        return true;
    });
    if (cancelled(cancel)) return {};

    // Source side: the largest K_mn / D_n over n, i.e. the least −ln K_mn + ln D_n.
    const detail::KdTree targets(fixed);
    std::vector<double> log_den(n);
    for (std::size_t j = 0; j < n; ++j) log_den[j] = std::log(den[j]);
    const detail::KdTree::Weights weights = targets.weights(log_den);
    parallel_ranges(m, [&](std::size_t begin, std::size_t end) {
        if (cancelled(cancel)) return false;
        for (std::size_t i = begin; i < end; ++i) {
            const double y[3] = {source.x[i], source.y[i], source.z[i]};
            const auto hit = targets.best(y[0], y[1], y[2], &weights, energy);
            const std::size_t j = hit.index;
            const double dx = fixed.x[j] - y[0], dy = fixed.y[j] - y[1], dz = fixed.z[j] - y[2];
            out.source_match[i] = hit.index;
            out.source_probability[i] = std::min(kernel((dx * dx + dy * dy) + dz * dz) / den[j], 1.0);
        }
        return true;
    });
    if (cancelled(cancel)) return {};
    return out;
}

}  // namespace

Result<Correspondences> find_correspondences(const CloudView& moved, const CloudView& target,
                                             const CorrespondenceOptions& opts, CancelFlag cancel) {
    if (auto e = check_cloud(moved, "moved")) return *e;
    if (auto e = check_cloud(target, "target")) return *e;
    if (!(opts.w >= 0.0 && opts.w < 1.0)) return Error::bad_outlier_weight(opts.w);
    if (!(std::isfinite(opts.sigma2) && opts.sigma2 > 0.0)) return Error::bad_sigma2(opts.sigma2);
    return run_in_pool(opts.threads, [&] { return search(moved, target, opts, cancel); });
}

}  // namespace tarvic
