// Each test runs in its own process under ctest, so process-wide pool state starts fresh.
#include <gtest/gtest.h>

#include <oneapi/tbb/parallel_for.h>

#include <atomic>
#include <chrono>
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

// Above the limit no pool can be built: refused at once, whatever a narrower integer would make of
// the count, and nothing is recorded.
TEST(Threads, SizesAboveTheLimitAreRefusedPromptlyAndLeavePoolAlone) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t n : {std::size_t{1} << 32, (std::size_t{1} << 32) + 1, kMaxThreads + 1, ~std::size_t{0}}) {
        const auto err = set_num_threads(n);
        ASSERT_TRUE(err) << n;
        EXPECT_EQ(*err, "thread count must be <= 65536");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
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
