// Thread pools: one process-wide task arena and dedicated arenas per call.
#include "tarvic/threads.hpp"

#include <pthread.h>
#include <sched.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cerrno>
#include <exception>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tarvic {

namespace {

// Depth of our pools the current thread is running in: the thread that entered an arena
// through `execute`, or a worker while it serves one of our arenas.
thread_local int t_pool_depth = 0;

struct DepthGuard {
    DepthGuard() { ++t_pool_depth; }
    ~DepthGuard() { --t_pool_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// Marks worker threads while they serve an arena (the entering thread is marked by DepthGuard).
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

// Lets any pool be larger than the core count. One generous, fixed limit for the whole
// process, so no caller's thread count leaks into another's pool.
tbb::global_control& parallelism_limit() {
    static tbb::global_control* gc = new tbb::global_control(tbb::global_control::max_allowed_parallelism, 1 << 16);
    return *gc;
}

// The process-wide pool: absent, then present (with a fixed size) for the rest of the process.
// `size` is the size it was given (0: not yet sized); `arena` is null until built, and again after a
// fork, which rebuilds it with the same size on first use. `active` counts calls running inside any
// of our arenas, so fork() can tell whether the worker threads are idle. All fields under `mu`.
struct GlobalPool {
    std::mutex mu;
    std::unique_ptr<tbb::task_arena> arena;
    std::unique_ptr<WorkerMarker> marker;
    std::size_t size = 0;
    std::size_t active = 0;
};

GlobalPool& global_pool();

// fork() copies only the calling thread, so a child would inherit oneTBB's bookkeeping of worker
// threads that do not exist there: its parallel loops would run on fewer threads than asked, often
// one. So, when no call is inside our arenas, the parent drops the process-wide arena and shuts the
// workers down before forking (a few milliseconds); both processes then rebuild a pool of the same
// size on first use. A fork while a call runs cannot wait for it: the child then keeps oneTBB's stale
// state, and its calls still complete, possibly on fewer threads. The lock, held across fork(),
// keeps a half-built pool out of the child.
void before_fork() {
    GlobalPool& g = global_pool();
    g.mu.lock();
    if (g.active != 0) return;
    g.marker.reset();
    g.arena.reset();
    tbb::task_scheduler_handle handle{tbb::attach{}};
    (void)tbb::finalize(handle, std::nothrow);  // refused while another thread holds oneTBB state
}
void after_fork_parent() { global_pool().mu.unlock(); }
void after_fork_child() {
    GlobalPool& g = global_pool();
    // Still there only when workers were busy: leaked, as tearing it down would wait for them.
    (void)g.marker.release();
    (void)g.arena.release();
    g.active = 0;  // the threads that were running calls do not exist here
    g.mu.unlock();
}

// Never destroyed: pool threads may still be running when static destructors run at exit.
GlobalPool& global_pool() {
    static GlobalPool* g = [] {
        auto* pool = new GlobalPool;
        if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) std::abort();
        return pool;
    }();
    return *g;
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
// (before a fork). Returns whether it built it.
bool create_global_locked(GlobalPool& g, std::size_t n) {
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

// Holds the pool's lock; the process-wide arena, built with its default (or inherited) size if absent.
tbb::task_arena& global_arena_locked(GlobalPool& g) {
    create_global_locked(g, g.size != 0 ? g.size : default_num_threads());
    return *g.arena;
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
        if (errno == 0 && end != env && *end == '\0' && env[0] != '-' && v > 0 && v <= (1u << 16))
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
    GlobalPool& g = global_pool();
    std::unique_lock<std::mutex> lock(g.mu);
    if (create_global_locked(g, n)) {
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
    if (t_pool_depth > 0) return static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
    GlobalPool& g = global_pool();
    std::lock_guard<std::mutex> lock(g.mu);
    global_arena_locked(g);
    return g.size;
}

bool in_pool() { return t_pool_depth > 0; }

namespace detail {

void run_dedicated(std::size_t threads, const std::function<void()>& work) {
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
        if (threads > static_cast<std::size_t>(1 << 16)) throw PoolError();
        // One slot is the calling thread's, so exactly `threads` threads run the work.
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 1);
        arena->initialize();
        marker = std::make_unique<WorkerMarker>(*arena);
    } catch (const PoolError&) {
        throw;
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
    tbb::task_arena* arena = nullptr;
    {
        std::lock_guard<std::mutex> lock(g.mu);
        arena = &global_arena_locked(g);
        ++g.active;
    }
    LeavePool leave{g};
    arena->execute([&] {
        DepthGuard guard;
        work();
    });
}

}  // namespace detail

}  // namespace tarvic
