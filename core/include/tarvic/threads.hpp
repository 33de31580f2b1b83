#pragma once
// Thread pools (process-wide and per call).
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarvic {

/// Size the process-wide pool once; nullopt on success, else the refusal message.
std::optional<std::string> set_num_threads(std::size_t n);

/// Threads of the pool the calling thread belongs to, else of the process-wide pool (created if absent).
/// A child made by fork() inherits the parent's pool size, not its threads: it reports that size and
/// rebuilds a pool of that size on first use; set_num_threads there accepts only that size.
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
}  // namespace detail

/// Run `work` on a dedicated pool of exactly `threads` (when present and not 0), else on the calling thread.
template <class F>
auto run_in_pool(std::optional<std::size_t> threads, F&& work) -> decltype(work()) {
    using R = decltype(work());
    if (!threads || *threads == 0) return work();
    if constexpr (std::is_void_v<R>) {
        detail::run_dedicated(*threads, [&] { work(); });
    } else {
        std::optional<R> out;
        detail::run_dedicated(*threads, [&] { out.emplace(work()); });
        return std::move(*out);
    }
}

/// Run a parallel region: inside the pool the calling thread belongs to, or inside the process-wide pool.
template <class F>
void in_current_pool(F&& region) {
    detail::run_current(std::function<void()>(std::forward<F>(region)));
}

/// True when the calling thread is currently running inside one of our pools.
bool in_pool();

}  // namespace tarvic
