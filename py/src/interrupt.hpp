#pragma once
// Core work on a worker thread, with the interpreter lock released and Ctrl-C still honoured.
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic::py {

namespace detail {
/// Runs `work` as `run_interruptible` describes; false with a Python exception set.
bool run_erased(const std::function<void(CancelFlag)>& work);
}  // namespace detail

/// Run `work(cancel)` on a fresh worker thread while the calling thread, lock released, wakes every
/// 50 ms to run the interpreter's signal handlers. A handler that raises sets the cancel flag; the
/// work's value is then dropped and the handler's first exception is returned (nullopt, exception set).
/// An exception escaping the work becomes PanicException. Called and returns with the lock held.
/// `work` must not touch Python objects.
template <class F>
auto run_interruptible(F&& work) -> std::optional<std::invoke_result_t<F&, CancelFlag>> {
    std::optional<std::invoke_result_t<F&, CancelFlag>> out;
    if (!detail::run_erased([&](CancelFlag cancel) { out.emplace(work(cancel)); })) return std::nullopt;
    return out;
}

}  // namespace tarvic::py
