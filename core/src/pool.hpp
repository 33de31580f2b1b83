#pragma once
// The process-wide pool's record, shared by the pools (threads.cpp) and fork handling (fork.cpp).
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <cstddef>
#include <memory>
#include <mutex>

namespace tarvic::detail {

/// Depth of our pools the current thread is running in: the thread that entered an arena through
/// `execute`, a worker while it serves one of our arenas, or a call run serially after a fork.
extern thread_local int t_pool_depth;

/// Marks worker threads while they serve an arena (the entering thread marks itself).
class WorkerMarker : public tbb::task_scheduler_observer {
public:
    explicit WorkerMarker(tbb::task_arena& a) : tbb::task_scheduler_observer(a) { observe(true); }
    ~WorkerMarker() override { observe(false); }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) ++t_pool_depth;
    }
    void on_scheduler_exit(bool is_worker) override {
        if (is_worker) --t_pool_depth;
    }
};

/// The process-wide pool: absent, then present (with a fixed size) for the rest of the process.
/// `size` is the size it was given (0: not yet sized); `arena` is null until built, and again after a
/// fork, which rebuilds it with the same size on first use. `active` counts calls running inside any
/// of our arenas, so fork() can tell whether the worker threads are idle. All fields under `mu`.
struct GlobalPool {
    std::mutex mu;
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<WorkerMarker> marker;
    std::size_t size = 0;
    std::size_t active = 0;
};

/// The one record, created on first use (never destroyed: pool threads may still run at exit).
GlobalPool& global_pool();

/// Registers the fork handlers (fork.cpp); called once, when the record is created.
void install_fork_handlers();

}  // namespace tarvic::detail
