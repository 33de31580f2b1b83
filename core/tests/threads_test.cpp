// Each test runs in its own process under ctest, so process-wide pool state starts fresh.
#include <gtest/gtest.h>

#include <oneapi/tbb/parallel_for.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>

#include "tarvic/threads.hpp"

using namespace tarvic;

TEST(Threads, SetThenQueryThenConflict) {
    EXPECT_FALSE(set_num_threads(4));
    EXPECT_EQ(num_threads(), 4u);
    EXPECT_FALSE(set_num_threads(4));  // same size again is fine
    auto err = set_num_threads(2);
    ASSERT_TRUE(err);
    EXPECT_EQ(*err,
              "the global thread pool is already running with 4 thread(s), cannot resize it to 2; call "
              "`set_num_threads` before the first parallel call in this process");
}

TEST(Threads, ZeroIsRefusedAndLeavesPoolAlone) {
    EXPECT_EQ(*set_num_threads(0), "thread count must be >= 1");
    EXPECT_FALSE(set_num_threads(3));
    EXPECT_EQ(num_threads(), 3u);
}

TEST(Threads, QueryFixesDefaultSize) {
    const std::size_t d = num_threads();
    EXPECT_EQ(d, default_num_threads());
    EXPECT_TRUE(set_num_threads(d + 1));
}

TEST(Threads, EnvironmentSetsDefault) {
    setenv("TARVIC_NUM_THREADS", "5", 1);
    EXPECT_EQ(default_num_threads(), 5u);
    setenv("TARVIC_NUM_THREADS", "0", 1);
    EXPECT_NE(default_num_threads(), 0u);
    setenv("TARVIC_NUM_THREADS", "3x", 1);
    const std::size_t fallback = default_num_threads();
    unsetenv("TARVIC_NUM_THREADS");
    EXPECT_EQ(fallback, default_num_threads());
}

TEST(Threads, DedicatedPoolHasExactlyItsThreadsAndLeavesGlobalAbsent) {
    for (std::size_t want : {1u, 2u, 3u, 7u}) {
        // Concurrency, not identity: oneTBB may hand a slot to a different worker over the loop.
        std::atomic<std::size_t> running{0}, most{0};
        std::size_t inside = 0;
        run_in_pool(want, [&] {
            inside = num_threads();
            tbb::parallel_for(0, 2000, [&](int) {
                const std::size_t now = running.fetch_add(1) + 1;
                std::size_t prev = most.load();
                while (now > prev && !most.compare_exchange_weak(prev, now)) {
                }
                std::this_thread::yield();
                running.fetch_sub(1);
            });
        });
        EXPECT_EQ(inside, want);
        EXPECT_LE(most.load(), want);
        EXPECT_GE(most.load(), 1u);
    }
    // No dedicated call created the process-wide pool, so it can still take any size.
    EXPECT_FALSE(set_num_threads(6));
}

TEST(Threads, ZeroThreadsMeansCallingThread) {
    std::thread::id id;
    const int v = run_in_pool(std::size_t{0}, [&] {
        id = std::this_thread::get_id();
        return 42;
    });
    EXPECT_EQ(v, 42);
    EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(run_in_pool(std::nullopt, [] { return 7; }), 7);
}

TEST(Threads, InCurrentPoolUsesGlobalOutsidePools) {
    ASSERT_FALSE(set_num_threads(2));
    std::size_t seen = 0;
    bool inside = false;
    in_current_pool([&] {
        seen = num_threads();
        inside = in_pool();
    });
    EXPECT_EQ(seen, 2u);
    EXPECT_TRUE(inside);
    EXPECT_FALSE(in_pool());
}

namespace {

// Distinct threads that take part in a parallel loop of `n` tasks in the current pool. Each task
// waits (up to 10 s) for all `n` to have started, so a pool of n live threads shows all n.
std::size_t distinct_threads(std::size_t n) {
    std::set<std::thread::id> seen;
    std::mutex mu;
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    in_current_pool([&] {
        tbb::parallel_for(std::size_t{0}, n, [&](std::size_t) {
            {
                std::lock_guard<std::mutex> lock(mu);
                seen.insert(std::this_thread::get_id());
            }
            arrived.fetch_add(1);
            while (arrived.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        }, tbb::simple_partitioner());
    });
    return seen.size();
}

std::size_t distinct_threads_dedicated(std::size_t n) {
    return run_in_pool(n, [&] { return distinct_threads(n); });
}

// Waits for a forked child (killed after 60 s, so a hang fails instead of blocking); its exit status.
int wait_child(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 6000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 101;
}

}  // namespace

// A child inherits the pool's size but not its threads: it must get a live pool of that size back.
TEST(Threads, ForkedChildRebuildsPoolOfInheritedSize) {
    ASSERT_FALSE(set_num_threads(3));
    ASSERT_EQ(distinct_threads(3), 3u);
    ASSERT_EQ(distinct_threads_dedicated(2), 2u);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int bad = 0;
        if (num_threads() != 3) bad |= 1;
        if (distinct_threads(3) != 3) bad |= 2;
        if (distinct_threads_dedicated(2) != 2) bad |= 4;
        if (set_num_threads(3)) bad |= 8;    // the inherited size is accepted
        if (!set_num_threads(2)) bad |= 16;  // any other is refused, as in the parent
        _exit(bad);
    }
    EXPECT_EQ(wait_child(pid), 0);
    // The parent rebuilt its pool as well.
    EXPECT_EQ(num_threads(), 3u);
    EXPECT_EQ(distinct_threads(3), 3u);
}

TEST(Threads, ForkedChildOfUnsizedProcessTakesDefault) {
    ASSERT_EQ(distinct_threads_dedicated(2), 2u);  // workers exist, the process-wide pool does not
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(num_threads() == default_num_threads() && set_num_threads(default_num_threads() + 1) ? 0 : 1);
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_FALSE(set_num_threads(4));  // still unsized in the parent
}

// A fork while another thread is inside the pool cannot stop the workers; the child must still run.
TEST(Threads, ForkDuringParallelCallStillCompletesInChild) {
    ASSERT_FALSE(set_num_threads(2));
    std::atomic<bool> inside{false}, release{false};
    std::thread busy([&] {
        in_current_pool([&] {
            inside = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::atomic<int> sum{0};
        in_current_pool([&] { tbb::parallel_for(0, 1000, [&](int i) { sum += i; }); });
        _exit(sum == 499500 && num_threads() == 2 ? 0 : 1);
    }
    release = true;
    busy.join();
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(distinct_threads(2), 2u);
}
