#pragma once
// Core work on a worker thread, with the interpreter lock released and Ctrl-C still honoured;
// for single fits, a progress line and a per-iteration callback served by the waiting thread.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/monitor.hpp"

namespace tarvic::py {

/// What the calling thread does for a fit while it waits, besides polling for signals.
struct Watch {
    bool progress = false;          // draw the fit's line on standard error
    double progress_delay = 0.0;    // ... once the fit has run this many seconds
    std::string label;              // the line's first word
    std::size_t max_iterations = 0; // shown beside the iteration count
    PyObject* callback = nullptr;   // borrowed: called as callback(iteration, sigma2, matrix or None)

    bool active() const { return progress || callback != nullptr; }
};

namespace detail {
/// Runs `work` as `run_watched` describes; false with a Python exception set.
bool run_erased(const Watch& watch, const std::function<void(CancelFlag, FitMonitor*)>& work);
}  // namespace detail

/// Run `work(cancel)` on a fresh worker thread while the calling thread, lock released, wakes every
/// 50 ms to run the interpreter's signal handlers. A handler that raises sets the cancel flag; the
/// work's value is then dropped and the handler's first exception is returned (nullopt, exception set).
/// An exception escaping the work becomes PanicException. Called and returns with the lock held.
/// `work` must not touch Python objects.
template <class F>
auto run_interruptible(F&& work) -> std::optional<std::invoke_result_t<F&, CancelFlag>> {
    std::optional<std::invoke_result_t<F&, CancelFlag>> out;
    if (!detail::run_erased(Watch{}, [&](CancelFlag cancel, FitMonitor*) { out.emplace(work(cancel)); }))
        return std::nullopt;
    return out;
}

/// `run_interruptible` for a fit that publishes to `work(cancel, monitor)`'s monitor (null when
/// the watch asks for nothing, so the fit pays nothing). While waiting, the calling thread redraws
/// the progress line (cleared at the end) and, for a callback, takes each state the fit hands over,
/// calls the callback with the lock held and lets the fit go on when it returns: `False` stops the
/// fit after that iteration, an exception stops it and is returned like a signal handler's.
template <class F>
auto run_watched(const Watch& watch, F&& work) -> std::optional<std::invoke_result_t<F&, CancelFlag, FitMonitor*>> {
    std::optional<std::invoke_result_t<F&, CancelFlag, FitMonitor*>> out;
    if (!detail::run_erased(watch, [&](CancelFlag cancel, FitMonitor* monitor) { out.emplace(work(cancel, monitor)); }))
        return std::nullopt;
    return out;
}

}  // namespace tarvic::py
