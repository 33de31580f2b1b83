// Thread pools: one process-wide task arena and dedicated arenas per call.
#include "tarvic/threads.hpp"

#include <sched.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "pool.hpp"

namespace tarvic {

namespace detail {

thread_local int t_pool_depth = 0;

// Never destroyed: pool threads may still be running when static destructors run at exit.
GlobalPool& global_pool() {
    static GlobalPool* g = [] {
        auto* pool = new GlobalPool;
        install_fork_handlers();
        return pool;
    }();
    return *g;
}

}  // namespace detail

namespace {

using detail::global_pool;
using detail::GlobalPool;
using detail::t_pool_depth;
using detail::WorkerMarker;

// Size of the pool a call runs in when it runs serially after a fork (see detail::serial_only).
thread_local std::size_t t_serial_size = 0;

struct DepthGuard {
    DepthGuard() { ++t_pool_depth; }
    ~DepthGuard() { --t_pool_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// A call standing in for a pool of `size` threads on the calling thread alone.
struct SerialPool {
    DepthGuard depth;
    std::size_t outer;
    explicit SerialPool(std::size_t size) : outer(t_serial_size) { t_serial_size = size; }
    ~SerialPool() { t_serial_size = outer; }
    SerialPool(const SerialPool&) = delete;
    SerialPool& operator=(const SerialPool&) = delete;
};

// Lets any pool be larger than the core count. One generous, fixed limit for the whole
// process, so no caller's thread count leaks into another's pool.
tbb::global_control& parallelism_limit() {
    static tbb::global_control* gc =
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, static_cast<int>(kMaxThreads));
    return *gc;
}

// Ends one counted call.
struct LeavePool {
    GlobalPool& g;
    ~LeavePool() {
        std::lock_guard<std::mutex> lock(g.mu);
        --g.active;
    }
};

// Runs `f` on a short-lived thread. oneTBB keeps state for every thread that touches an arena, and
// a live thread holding it (say, a Python thread that once asked for the pool size) makes the worker
// shutdown before fork() impossible; a thread that has ended holds none.
template <class F>
void on_helper_thread(F&& f) {
    std::exception_ptr fault;
    std::thread t([&] {
        try {
            f();
        } catch (...) {
            fault = std::current_exception();
        }
    });
    t.join();
    if (fault) std::rethrow_exception(fault);
}

// Holds the pool's lock; builds the arena with `n` threads unless it exists or was sized otherwise
// (before a fork). Returns whether it built it. After a fork that left oneTBB unusable, only the
// size is recorded: the calls of such a process run serially.
bool create_global_locked(GlobalPool& g, std::size_t n) {
    if (detail::serial_only()) {
        if (g.size != 0) return false;
        g.size = n;
        return true;
    }
    if (g.arena || (g.size != 0 && g.size != n)) return false;
    parallelism_limit();
    std::unique_ptr<tbb::task_arena> arena;
    on_helper_thread([&] {
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(n), 1);
        arena->initialize();
    });
    g.marker = std::make_unique<WorkerMarker>(*arena);
    g.arena = std::move(arena);
    g.size = n;
    return true;
}

// Holds the pool's lock; the process-wide pool, built with its default (or inherited) size if absent.
// Null when calls run serially.
tbb::task_arena* global_arena_locked(GlobalPool& g) {
    create_global_locked(g, g.size != 0 ? g.size : default_num_threads());
    return g.arena.get();
}

// Block until `n` threads have joined the arena, so its workers exist when set_num_threads returns.
// Bounded wait: a busy machine must not hang the call.
void wait_for_workers(tbb::task_arena& arena, std::size_t n) {
    if (n <= 1) return;
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    on_helper_thread([&] {
        arena.execute([&] {
            DepthGuard guard;
            tbb::parallel_for(std::size_t{0}, n, [&](std::size_t) {
                arrived.fetch_add(1);
                while (arrived.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            }, tbb::simple_partitioner());
        });
    });
}

}  // namespace

std::size_t default_num_threads() {
    if (const char* env = std::getenv("TARVIC_NUM_THREADS")) {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(env, &end, 10);
        if (errno == 0 && end != env && *end == '\0' && env[0] != '-' && v > 0 && v <= kMaxThreads)
            return static_cast<std::size_t>(v);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    unsigned hc = std::thread::hardware_concurrency();
    return hc > 0 ? hc : 1;
}

std::optional<std::string> set_num_threads(std::size_t n) {
    if (n == 0) return std::string("thread count must be >= 1");
    if (n > kMaxThreads) return "thread count must be <= " + std::to_string(kMaxThreads);
    GlobalPool& g = global_pool();
    std::unique_lock<std::mutex> lock(g.mu);
    if (create_global_locked(g, n)) {
        if (!g.arena) return std::nullopt;
        tbb::task_arena& arena = *g.arena;
        ++g.active;
        lock.unlock();
        LeavePool leave{g};
        wait_for_workers(arena, n);
        return std::nullopt;
    }
    if (g.size == n) return std::nullopt;
    return "the global thread pool is already running with " + std::to_string(g.size) +
           " thread(s), cannot resize it to " + std::to_string(n) +
           "; call `set_num_threads` before the first parallel call in this process";
}

std::size_t num_threads() {
    if (t_pool_depth > 0) {
        if (!detail::serial_only()) return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
        if (t_serial_size != 0) return t_serial_size;
    }
    GlobalPool& g = global_pool();
    std::lock_guard<std::mutex> lock(g.mu);
    global_arena_locked(g);
    return g.size;
}

bool in_pool() { return t_pool_depth > 0; }

namespace detail {

void create_current_pool() {
    if (t_pool_depth > 0) return;
    GlobalPool& g = global_pool();
    std::lock_guard<std::mutex> lock(g.mu);
    global_arena_locked(g);
}

void run_dedicated(std::size_t threads, const std::function<void()>& work) {
    if (threads > kMaxThreads) throw PoolError();
    if (serial_only()) {
        SerialPool serial(threads);
        work();
        return;
    }
    GlobalPool& g = global_pool();
    {
        std::lock_guard<std::mutex> lock(g.mu);
        ++g.active;
    }
    LeavePool leave{g};  // declared first: ends the count after the arena is gone
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<WorkerMarker> marker;
    try {
        parallelism_limit();
        // One slot is the calling thread's, so exactly `threads` threads run the work.
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 1);
        arena->initialize();
        marker = std::make_unique<WorkerMarker>(*arena);
    } catch (...) {
        throw PoolError();
    }
    arena->execute([&] {
        DepthGuard guard;
        work();
    });
    // Destroying the arena releases its workers without waiting for them to exit.
    marker.reset();
    arena.reset();
}

void run_current(const std::function<void()>& work) {
    if (t_pool_depth > 0) {
        work();
        return;
    }
    GlobalPool& g = global_pool();
    std::unique_lock<std::mutex> lock(g.mu);
    tbb::task_arena* arena = global_arena_locked(g);
    if (!arena) {
        const std::size_t size = g.size;
        lock.unlock();
        SerialPool serial(size);
        work();
        return;
    }
    ++g.active;
    lock.unlock();
    LeavePool leave{g};
    arena->execute([&] {
        DepthGuard guard;
        work();
    });
}

}  // namespace detail

}  // namespace tarvic
