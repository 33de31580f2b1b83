// Pools across fork(). Each test runs in its own process under ctest, so pool state starts fresh.
#include <gtest/gtest.h>

#include <oneapi/tbb/parallel_for.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tarvic/kernel.hpp"
#include "tarvic/rigid.hpp"
#include "tarvic/threads.hpp"
#include "test_util.hpp"

using namespace tarvic;

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

constexpr int kHung = 101;

// Waits for a forked child, killed after `limit` so a hang fails instead of blocking; its exit status
// (kHung when it had to be killed).
int wait_child(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return kHung;
}

}  // namespace

// A child inherits the pool's size but not its threads: it must get a live pool of that size back.
TEST(Fork, ForkedChildRebuildsPoolOfInheritedSize) {
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
        if (detail::serial_only()) bad |= 32;  // the pool was idle: the child keeps real pools
        _exit(bad);
    }
    EXPECT_EQ(wait_child(pid), 0);
    // The parent rebuilt its pool as well.
    EXPECT_EQ(num_threads(), 3u);
    EXPECT_EQ(distinct_threads(3), 3u);
}

TEST(Fork, ForkedChildOfUnsizedProcessTakesDefault) {
    ASSERT_EQ(distinct_threads_dedicated(2), 2u);  // workers exist, the process-wide pool does not
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(num_threads() == default_num_threads() && set_num_threads(default_num_threads() + 1) ? 0 : 1);
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_FALSE(set_num_threads(4));  // still unsized in the parent
}

// A fork while another thread is inside the pool cannot stop the workers; the child must still run.
TEST(Fork, ForkDuringParallelCallStillCompletesInChild) {
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
        std::atomic<std::size_t> sum{0};
        parallel_ranges(1000, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) sum += i;
        });
        _exit(sum == 499500 && num_threads() == 2 ? 0 : 1);
    }
    release = true;
    busy.join();
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(distinct_threads(2), 2u);
}

namespace {

// The parallel paths a fit takes, each checked against its serial result: E-step, kernel product,
// a default-pool fit and a batch on a dedicated pool. 0 when all agree.
int parallel_calls_work(const tarvic::Setup& st, const std::vector<double>& values) {
    int bad = 0;
    const float s2 = estep_sigma2(st.sigma2);
    const EStep par = estep(st.moving, st.fixed, true, nullptr, s2, 0.0);
    const EStep seq = estep(st.moving, st.fixed, false, nullptr, s2, 0.0);
    if (!(std::fabs(par.np - seq.np) <= 1e-9 * seq.np)) bad |= 1;

    const PointsF32 pts = PointsF32::from_columns(st.moving.x, st.moving.y, st.moving.z);
    std::vector<double> out(values.size(), -1.0);
    gauss_mul(pts, pts, 0.3f, values.data(), values.size(), 3, out.data(), out.size(), nullptr);
    for (double v : out) bad |= std::isfinite(v) && v > 0.0 ? 0 : 2;

    const Array2 src = tarvic::testing::surface_cloud(200, 3);
    RigidOptions o;
    o.max_iterations = 5;
    const auto fit = rigid_register(src.view(), src.view(), o, nullptr);
    if (!fit.ok() || !std::isfinite(fit.value().scale) || fit.value().iterations != 5) bad |= 4;
    o.threads = 2;
    const auto batch = rigid_register_batch({src.view(), src.view()}, {src.view()}, {{0, 0}, {1, 0}}, o, false, nullptr);
    if (!batch.ok() || batch.value().size() != 2) bad |= 8;
    return bad;
}

}  // namespace

// A fork can land while another thread's oneTBB workers hold internal locks (waking, going to sleep).
// The child must never wait for them: hundreds of forks against a busy, oversubscribed pool, each
// child under a time limit. A 2% chance of a hang per fork escapes 300 tries one time in 400.
TEST(Fork, ChildForkedWhilePoolIsBusyNeverHangs) {
    ASSERT_FALSE(set_num_threads(16));
    const Array2 a = tarvic::testing::surface_cloud(300, 1), b = tarvic::testing::surface_cloud(700, 2);
    const tarvic::Setup st = tarvic::Setup::make(a.view(), b.view(), std::nullopt, 0.0);
    const std::vector<double> values(3 * a.rows, 1.0);
    ASSERT_EQ(parallel_calls_work(st, values), 0);

    std::atomic<bool> stop{false};
    std::thread busy([&] {
        std::mt19937 rng(5);
        while (!stop) {
            (void)estep(st.moving, st.fixed, true, nullptr, estep_sigma2(st.sigma2), 0.0);
            // Idle gaps let the workers fall asleep, so every E-step wakes them again.
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        }
    });
    std::mt19937 rng(9);
    int hung = 0, failed = 0;
    for (int attempt = 0; attempt < 300; ++attempt) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(parallel_calls_work(st, values) | (num_threads() == 16 ? 0 : 16));
        // A hang is for ever; the limit only needs to outlast a slow child (sanitizers, a loaded machine).
        const int status = wait_child(pid, std::chrono::seconds(30));
        hung += status == kHung;
        failed += status != 0 && status != kHung;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(parallel_calls_work(st, values), 0);  // the parent's pool still works
}
