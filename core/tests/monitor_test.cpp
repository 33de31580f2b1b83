// The published state of a fit: whole states only, no effect on results, a stop that equals a cap.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tarvic/deform.hpp"
#include "tarvic/monitor.hpp"
#include "tarvic/rigid.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

/// Keeps every state handed over (the fit's thread only), and stops the fit at `stop_at`.
struct Recorder : FitObserver {
    std::vector<FitState> states;
    std::size_t stop_at = 0;  // 0: never
    Recorder() { states.reserve(4096); }
    bool on_iteration(const FitState& s) override {
        states.push_back(s);
        return s.iteration != stop_at;
    }
};

/// Reads the monitor as fast as it can until told to stop, keeping every read that differs from
/// the one before (a torn read differs from both states it mixes).
struct Hammer {
    const FitMonitor& monitor;
    std::atomic<bool> stop{false};
    std::vector<FitState> seen;
    std::size_t reads = 0;
    std::thread thread;
    explicit Hammer(const FitMonitor& m) : monitor(m) {
        seen.reserve(1u << 16);
        thread = std::thread([this] {
            while (!stop.load(std::memory_order_relaxed)) {
                const FitState s = monitor.read();
                ++reads;
                if ((seen.empty() || !(s == seen.back())) && seen.size() < seen.capacity()) seen.push_back(s);
            }
        });
    }
    void finish() {
        stop = true;
        thread.join();
    }
};

Array2 moved_copy(const Array2& src, double deg) {
    double r[3][3];
    const double axis[3] = {0.2, 1.0, -0.4}, t[3] = {0.3, -0.2, 0.5};
    axis_angle(axis, deg, r);
    return similarity(src, 1.2, r, t);
}

/// Every read is a published state (or the empty one from before the first), in publishing order.
void expect_whole_states(const std::vector<FitState>& seen, const std::vector<FitState>& published) {
    std::size_t distinct = 0, last = 0;
    for (const FitState& s : seen) {
        ASSERT_LE(s.iteration, published.size());
        if (s.iteration == 0) {
            EXPECT_EQ(s.sigma2, 0.0);
            continue;
        }
        ASSERT_TRUE(s == published[s.iteration - 1]) << "torn or invented state at iteration " << s.iteration;
        ASSERT_GE(s.iteration, last);
        distinct += s.iteration != last;
        last = s.iteration;
    }
    // The reader ran alongside the fit, not just before or after it.
    EXPECT_GE(distinct, 3u);
}

}  // namespace

TEST(FitMonitor, ConcurrentReadsNeverSeeAMixOfTwoWrites) {
    // Each written state is uniform (every word derived from one counter): a torn read is not.
    // The writer runs until the reader has seen enough distinct states (or two seconds passed).
    FitMonitor monitor;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::size_t k = 1; !stop.load(std::memory_order_relaxed); ++k) {
            FitState s;
            s.iteration = k;
            s.sigma2 = static_cast<double>(k);
            s.has_matrix = (k & 1) != 0;
            for (auto& row : s.matrix)
                for (double& v : row) v = static_cast<double>(k) * 0.5;
            monitor.publish(s);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::size_t distinct = 0, last = 0;
    bool whole = true;
    while (whole && distinct < 20000 && std::chrono::steady_clock::now() < deadline) {
        const FitState s = monitor.read();
        if (s.iteration == 0) continue;
        whole = s.sigma2 == static_cast<double>(s.iteration) && s.has_matrix == ((s.iteration & 1) != 0) &&
                s.iteration >= last;
        for (auto& row : s.matrix)
            for (double v : row) whole = whole && v == static_cast<double>(s.iteration) * 0.5;
        distinct += s.iteration != last;
        last = s.iteration;
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(whole) << "a read mixed two writes, or went back, at state " << last;
    EXPECT_GE(distinct, 2u);
}

TEST(FitMonitor, ReaderDuringRealFitsSeesOnlyPublishedStates) {
    const Array2 src = surface_cloud(1500, 3);
    const Array2 tgt = moved_copy(src, 25.0);
    {
        Recorder rec;
        FitMonitor monitor(&rec);
        RigidOptions o;
        o.tolerance = 0.0;
        o.max_iterations = 60;
        o.threads = 2;
        o.monitor = &monitor;
        Hammer reader(monitor);
        const auto res = rigid_register(src.view(), tgt.view(), o, nullptr);
        reader.finish();
        ASSERT_TRUE(res.ok());
        ASSERT_EQ(rec.states.size(), res.value().iterations);
        for (const FitState& s : rec.states) EXPECT_TRUE(s.has_matrix);
        expect_whole_states(reader.seen, rec.states);
    }
    {
        Recorder rec;
        FitMonitor monitor(&rec);
        DeformOptions o;
        o.tolerance = 0.0;
        o.max_iterations = 40;
        o.num_modes = 30;
        o.threads = 2;
        o.monitor = &monitor;
        Hammer reader(monitor);
        const auto res = deform_register(src.view(), tgt.view(), o, nullptr);
        reader.finish();
        ASSERT_TRUE(res.ok());
        ASSERT_EQ(rec.states.size(), res.value().iterations);
        for (const FitState& s : rec.states) EXPECT_FALSE(s.has_matrix);
        expect_whole_states(reader.seen, rec.states);
    }
}

TEST(FitMonitor, WatchingChangesNoResultAndTheLastStateIsTheResult) {
    const Array2 src = surface_cloud(700, 11);
    const Array2 tgt = moved_copy(src, 30.0);
    for (const Method method : {Method::Exact, Method::Fast}) {
        RigidOptions o;
        o.threads = 1;
        o.method = method;
        const RigidResult plain = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        Recorder rec;
        FitMonitor monitor(&rec);
        o.monitor = &monitor;
        const RigidResult watched = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_TRUE(plain.converged);
        EXPECT_EQ(watched.converged, plain.converged);
        EXPECT_EQ(watched.iterations, plain.iterations);
        EXPECT_EQ(watched.sigma2, plain.sigma2);
        EXPECT_EQ(watched.scale, plain.scale);
        EXPECT_EQ(std::memcmp(watched.rotation, plain.rotation, sizeof plain.rotation), 0);
        EXPECT_EQ(std::memcmp(watched.translation, plain.translation, sizeof plain.translation), 0);
        // The last state published is the result, in the caller's units, exactly.
        ASSERT_EQ(rec.states.size(), plain.iterations);
        const FitState& last = monitor.read();
        EXPECT_TRUE(last == rec.states.back());
        EXPECT_EQ(last.sigma2, plain.sigma2);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) EXPECT_EQ(last.matrix[i][j], plain.scale * plain.rotation[i][j]);
            EXPECT_EQ(last.matrix[i][3], plain.translation[i]);
            EXPECT_EQ(last.matrix[3][i], 0.0);
        }
        EXPECT_EQ(last.matrix[3][3], 1.0);
    }
}

TEST(FitMonitor, StoppingAtAnIterationGivesTheCappedFit) {
    const Array2 src = surface_cloud(600, 4);
    const Array2 tgt = moved_copy(src, 40.0);
    for (const Method method : {Method::Exact, Method::Fast}) {
        RigidOptions o;
        o.threads = 1;
        o.method = method;
        o.max_iterations = 3;
        const RigidResult capped = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        ASSERT_EQ(capped.iterations, 3u);
        Recorder rec;
        rec.stop_at = 3;
        FitMonitor monitor(&rec);
        o.max_iterations = 200;
        o.monitor = &monitor;
        const RigidResult stopped = rigid_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_EQ(rec.states.size(), 3u);
        EXPECT_FALSE(stopped.converged);
        EXPECT_EQ(stopped.iterations, 3u);
        EXPECT_EQ(stopped.sigma2, capped.sigma2);
        EXPECT_EQ(stopped.scale, capped.scale);
        EXPECT_EQ(std::memcmp(stopped.rotation, capped.rotation, sizeof capped.rotation), 0);
        EXPECT_EQ(std::memcmp(stopped.translation, capped.translation, sizeof capped.translation), 0);
    }
    for (const Method method : {Method::Exact, Method::Fast}) {
        DeformOptions o;
        o.threads = 1;
        o.method = method;
        o.num_modes = 20;
        o.max_iterations = 3;
        const DeformResult capped = deform_register(src.view(), tgt.view(), o, nullptr).value();
        ASSERT_EQ(capped.iterations, 3u);
        Recorder rec;
        rec.stop_at = 3;
        FitMonitor monitor(&rec);
        o.max_iterations = 200;
        o.monitor = &monitor;
        const DeformResult stopped = deform_register(src.view(), tgt.view(), o, nullptr).value();
        EXPECT_EQ(rec.states.size(), 3u);
        EXPECT_FALSE(stopped.converged);
        EXPECT_EQ(stopped.iterations, 3u);
        EXPECT_EQ(stopped.sigma2, capped.sigma2);
        EXPECT_EQ(stopped.w.values, capped.w.values);
        EXPECT_EQ(stopped.source.values, capped.source.values);
    }
}

TEST(FitMonitor, BatchesPublishNothing) {
    const Array2 a = surface_cloud(200, 1);
    const Array2 b = moved_copy(a, 15.0);
    Recorder rec;
    FitMonitor monitor(&rec);
    RigidOptions ro;
    ro.monitor = &monitor;
    ASSERT_TRUE(rigid_register_batch({a.view()}, {b.view()}, {{0, 0}, {0, 0}}, ro, false, nullptr).ok());
    DeformOptions dopt;
    dopt.num_modes = 10;
    dopt.monitor = &monitor;
    ASSERT_TRUE(deform_register_batch({a.view()}, {b.view()}, {{0, 0}}, dopt, false, nullptr).ok());
    EXPECT_TRUE(rec.states.empty());
    EXPECT_EQ(monitor.read().iteration, 0u);
}
