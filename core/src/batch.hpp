#pragma once
// The shape both batch registrations share: cloud checks, pair checks, one registration per pool task.
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "tarvic/error.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/landmarks.hpp"
#include "tarvic/progress.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {

/// Check every cloud of a list in parallel, stopping early once one fails. With several bad
/// clouds the lowest index that some task reached is reported.
inline std::optional<Error> check_cloud_list(const std::vector<CloudView>& clouds, const char* name) {
    std::atomic<std::size_t> bad{std::numeric_limits<std::size_t>::max()};
    parallel_ranges(clouds.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) {
            if (bad.load(std::memory_order_relaxed) != std::numeric_limits<std::size_t>::max()) return false;
            if (check_cloud(clouds[i], name)) {
                std::size_t cur = bad.load();
                while (i < cur && !bad.compare_exchange_weak(cur, i)) {
                }
                return false;
            }
        }
        return true;
    });
    const std::size_t i = bad.load();
    if (i == std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return check_cloud(clouds[i], name);
}

/// Cloud checks, pair checks, then `fit(source, target)` for every pair on the pool of `threads`.
template <class R, class Fit>
Result<std::vector<R>> run_batch(const std::vector<CloudView>& sources, const std::vector<CloudView>& targets,
                                 const std::vector<std::pair<std::size_t, std::size_t>>& pairs,
                                 std::optional<std::size_t> threads, bool progress, CancelFlag cancel,
                                 const char* label, Fit&& fit) {
    std::optional<Error> bad = run_in_pool(threads, [&]() -> std::optional<Error> {
        if (auto e = check_cloud_list(sources, "sources")) return e;
        return check_cloud_list(targets, "targets");
    });
    if (bad) return *bad;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto [i, j] = pairs[k];
        if (i >= sources.size()) return Error::pair_out_of_range(k, i, sources.size());
        if (j >= targets.size()) return Error::pair_out_of_range(k, j, targets.size());
    }
    std::unique_ptr<ProgressBar> bar;
    if (progress) bar = make_bar(label, pairs.size());
    std::vector<R> results(pairs.size());
    run_in_pool(threads, [&] {
        // One whole registration per task; grain 1 lets work stealing split down to single pairs.
        parallel_ranges(pairs.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k != end; ++k) {
                results[k] = fit(sources[pairs[k].first], targets[pairs[k].second]);
                if (bar) bar->inc();
            }
        });
    });
    if (bar) bar->finish_and_clear();
    if (cancelled(cancel)) return std::vector<R>{};
    return results;
}

/// A fit that starts from a transform (rigid, affine): the clouds, the options, the start's reach
/// over the source and the landmarks checked in that order, then `inner(parallel = true)` on the
/// pool of `opts.threads`.
template <class Opts, class Inner>
auto checked_single_fit(const CloudView& source, const CloudView& target, const Opts& opts,
                        std::optional<Error> option_error, const Landmarks& landmarks, Inner&& inner)
    -> Result<decltype(inner())> {
    if (auto e = check_cloud(source, "source")) return *e;
    if (auto e = check_cloud(target, "target")) return *e;
    if (option_error) return *option_error;
    if (opts.init)
        if (auto e = check_reach(*opts.init, source, "init")) return *e;
    if (auto e = check_landmarks(landmarks, source.rows, target.rows)) return *e;
    return run_in_pool(opts.threads, inner);
}

/// The batch of such fits: options and the start's reach over every source checked, then
/// `inner(source, target, options)` per pair, with no monitor (one record cannot follow many fits).
template <class R, class Opts, class Inner>
Result<std::vector<R>> checked_batch(const std::vector<CloudView>& sources, const std::vector<CloudView>& targets,
                                     const std::vector<std::pair<std::size_t, std::size_t>>& pairs, const Opts& opts,
                                     std::optional<Error> option_error, bool progress, CancelFlag cancel,
                                     const char* label, Inner&& inner) {
    if (option_error) return *option_error;
    if (opts.init)
        for (const CloudView& s : sources)
            if (auto e = check_reach(*opts.init, s, "init")) return *e;
    return run_batch<R>(sources, targets, pairs, opts.threads, progress, cancel, label,
                        [&](const CloudView& s, const CloudView& t) {
                            Opts local = opts;
                            local.monitor = nullptr;
                            return inner(s, t, local);
                        });
}

}  // namespace tarvic
