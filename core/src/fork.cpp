// What a child made by fork() inherits of the pools, and when it must leave oneTBB alone.
//
// fork() copies only the calling thread, so a child would inherit oneTBB's bookkeeping of worker
// threads that do not exist there: its parallel loops would run on fewer threads than asked, often
// one. So, when no call is inside our arenas, the parent drops the process-wide arena and shuts the
// workers down before forking (a few milliseconds); both processes then rebuild a pool of the same
// size on first use.
//
// A fork while another thread uses oneTBB (a call inside one of our arenas, or a thread between two
// E-steps of a fit, whose oneTBB state makes the shutdown fail) cannot wait for it. The child then
// inherits oneTBB's internal locks as they were, possibly held by threads it does not have: its first
// parallel call could block for ever. Such a child never calls into oneTBB again and runs every
// parallel region serially on the calling thread (see `detail::serial_only`), as do its own children.
#include <pthread.h>

#include <oneapi/tbb/global_control.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "pool.hpp"
#include "tarvic/threads.hpp"

namespace tarvic {

namespace {

// Set once, in a child whose parent could not shut oneTBB down cleanly; inherited by its children.
std::atomic<bool> g_serial_only{false};
// Whether the last before_fork shut oneTBB down; written and read by the forking thread only.
bool g_clean_fork = false;

// The lock, held across fork(), keeps a half-built pool out of the child.
void before_fork() {
    detail::GlobalPool& g = detail::global_pool();
    g.mu.lock();
    g_clean_fork = false;
    if (g_serial_only.load(std::memory_order_relaxed) || g.active != 0) return;
    g.marker.reset();
    g.arena.reset();
    tbb::task_scheduler_handle handle{tbb::attach{}};
    // Refused while another thread holds oneTBB state.
    g_clean_fork = tbb::finalize(handle, std::nothrow);
}

void after_fork_parent() { detail::global_pool().mu.unlock(); }

void after_fork_child() {
    detail::GlobalPool& g = detail::global_pool();
    if (!g_clean_fork) g_serial_only.store(true, std::memory_order_relaxed);
    // Still there only when workers were busy: leaked, as tearing it down would wait for them.
    (void)g.marker.release();
    (void)g.arena.release();
    g.active = 0;  // the threads that were running calls do not exist here
    g.mu.unlock();
}

}  // namespace

namespace detail {

void install_fork_handlers() {
    if (pthread_atfork(before_fork, after_fork_parent, after_fork_child) != 0) std::abort();
}

bool serial_only() { return g_serial_only.load(std::memory_order_relaxed); }

}  // namespace detail

}  // namespace tarvic
