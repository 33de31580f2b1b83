#pragma once
// Thread pools (process-wide and per call) and the parallel loops that run on them.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/task_group.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace tarvic {

/// Largest pool size, process-wide or dedicated: the parallelism limit the pools are built under.
inline constexpr std::size_t kMaxThreads = std::size_t{1} << 16;

/// Size the process-wide pool once; nullopt on success, else the refusal message.
std::optional<std::string> set_num_threads(std::size_t n);

/// Threads of the pool the calling thread belongs to, else of the process-wide pool (created if absent).
/// A child made by fork() inherits the parent's pool size, not its threads: it reports that size and
/// rebuilds a pool of that size on first use (or runs serially, see detail::serial_only);
/// set_num_threads there accepts only that size.
std::size_t num_threads();

/// Default size of the process-wide pool: TARVIC_NUM_THREADS when a positive integer, else the CPUs available.
std::size_t default_num_threads();

/// Raised on the calling thread when a dedicated pool cannot be built: a fatal stop of that call.
struct PoolError : std::runtime_error {
    PoolError() : std::runtime_error("failed to build thread pool") {}
};

namespace detail {
void run_dedicated(std::size_t threads, const std::function<void()>& work);
void run_current(const std::function<void()>& work);
/// Creates the process-wide pool unless the calling thread is inside one of our pools.
void create_current_pool();
/// True in a child forked while another thread was using oneTBB: oneTBB's state there may hold
/// locks of threads that do not exist, so pools are never built and parallel loops run serially.
bool serial_only();
}  // namespace detail

/// Run `work` on a dedicated pool of exactly `threads` (when present and not 0), else on the calling
/// thread for the current pool (the process-wide one is created if absent, so its size is fixed).
template <class F>
auto run_in_pool(std::optional<std::size_t> threads, F&& work) -> decltype(work()) {
    using R = decltype(work());
    if (!threads || *threads == 0) {
        detail::create_current_pool();
        return work();
    }
    if constexpr (std::is_void_v<R>) {
        detail::run_dedicated(*threads, [&] { work(); });
    } else {
        std::optional<R> out;
        detail::run_dedicated(*threads, [&] { out.emplace(work()); });
        return std::move(*out);
    }
}

/// Run a parallel region: inside the pool the calling thread belongs to, or inside the process-wide pool.
/// After a fork that left oneTBB unusable (detail::serial_only) the region runs on the calling thread,
/// which must then not call oneTBB itself: use parallel_ranges and parallel_fold.
template <class F>
void in_current_pool(F&& region) {
    detail::run_current(std::function<void()>(std::forward<F>(region)));
}

/// True when the calling thread is currently running inside one of our pools.
bool in_pool();

/// Call `body(begin, end)` on sub-ranges that together cover [0, n) once, spread over the current
/// pool (grain 1: work stealing may split down to single indices). A body that returns bool stops
/// the loop by returning false: ranges not yet started are skipped. Serially, one call body(0, n).
template <class Body>
void parallel_ranges(std::size_t n, Body&& body) {
    using R = decltype(body(std::size_t{0}, std::size_t{0}));
    in_current_pool([&] {
        if (detail::serial_only()) {
            if (n > 0) (void)body(std::size_t{0}, n);
            return;
        }
        tbb::task_group_context ctx;
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, n, 1),
            [&](const tbb::blocked_range<std::size_t>& r) {
                if constexpr (std::is_same_v<R, bool>) {
                    if (!body(r.begin(), r.end())) ctx.cancel_group_execution();
                } else {
                    body(r.begin(), r.end());
                }
            },
            tbb::auto_partitioner(), ctx);
    });
}

/// Fold [0, n) into accumulators over the current pool: `make()` starts one (only for tasks that get
/// work), `fold(acc, begin, end)` adds a sub-range, and `merge(acc, next)` adds the accumulator of the
/// indices that follow acc's. How the range is split, and so the grouping of floating-point sums,
/// varies from run to run. Serially, one accumulator folds all of [0, n). Empty when n is 0.
template <class Acc, class Make, class Fold, class Merge>
std::optional<Acc> parallel_fold(std::size_t n, Make&& make, Fold&& fold, Merge&& merge) {
    struct Body {
        Make& make;
        Fold& fold;
        Merge& merge;
        std::optional<Acc> acc;

        Body(Make& mk, Fold& f, Merge& mg) : make(mk), fold(f), merge(mg) {}
        Body(Body& other, tbb::split) : make(other.make), fold(other.fold), merge(other.merge) {}
        void operator()(const tbb::blocked_range<std::size_t>& r) {
            if (!acc) acc.emplace(make());
            fold(*acc, r.begin(), r.end());
        }
        void join(Body& rhs) {
            if (!rhs.acc) return;
            if (!acc) {
                acc = std::move(rhs.acc);
                return;
            }
            merge(*acc, *rhs.acc);
        }
    };
    Body body(make, fold, merge);
    in_current_pool([&] {
        if (detail::serial_only()) {
            if (n > 0) fold(body.acc.emplace(make()), std::size_t{0}, n);
            return;
        }
        tbb::parallel_reduce(tbb::blocked_range<std::size_t>(0, n, 1), body, tbb::auto_partitioner());
    });
    return std::move(body.acc);
}

}  // namespace tarvic
