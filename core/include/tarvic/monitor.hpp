#pragma once
// What a running fit publishes after each iteration, for other threads to watch (a progress line)
// or to be handed (a per-iteration callback that may stop the fit).
//
// The fit's own thread is the only writer; any thread may read at any time. The record is a
// sequence lock over atomic words: a write never waits for readers and never allocates, and a
// reader retries while a write is under way, so it sees only whole states that some iteration
// published. A fit without a monitor pays one null test per iteration.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvic {

/// One iteration's state, in the caller's units.
struct FitState {
    std::size_t iteration = 0;  // iterations completed (0: nothing published yet)
    double sigma2 = 0.0;        // the variance after this iteration
    bool has_matrix = false;    // rigid (and affine) fits: the current transform
    double matrix[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};  // column vectors

    bool operator==(const FitState& o) const;
};

/// Receives each state on the fit's thread, right after it became readable: the hand-over of a
/// callback. The fit waits for the answer; false stops it after this iteration.
class FitObserver {
public:
    virtual ~FitObserver() = default;
    virtual bool on_iteration(const FitState& state) = 0;
};

/// The published state of one fit at a time.
class FitMonitor {
public:
    explicit FitMonitor(FitObserver* observer = nullptr) : observer_(observer) {}
    FitMonitor(const FitMonitor&) = delete;
    FitMonitor& operator=(const FitMonitor&) = delete;

    /// The fit's thread: make `state` the published one, then hand it to the observer if there
    /// is one. False when the observer asks the fit to stop.
    bool publish(const FitState& state);
    /// Any thread: the latest published state (iteration 0 before the first); never blocks the fit.
    FitState read() const;
    /// The fit's thread, before it starts: a fit that runs on a source already moved by `start`
    /// (a starting transform) publishes its matrices composed with it, the whole map.
    void set_start(const double start[4][4]);

private:
    static constexpr std::size_t kWords = 19;  // iteration, sigma2, has_matrix, 16 matrix entries
    std::atomic<std::uint64_t> seq_{0};        // odd while a write is under way
    std::array<std::atomic<std::uint64_t>, kWords> words_{};
    FitObserver* observer_;
    bool has_start_ = false;  // written and read on the fit's thread only
    double start_[4][4] = {};
};

/// The loops' hook: publish `make()` when a monitor is attached; true ("go on") when none is,
/// without building the state.
template <class MakeState>
bool publish(FitMonitor* monitor, MakeState&& make) {
    return monitor == nullptr || monitor->publish(make());
}

}  // namespace tarvic
