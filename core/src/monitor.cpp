// The published state of a fit: a sequence lock over atomic words (one writer, any readers).
#include "tarvic/monitor.hpp"

#include <bit>
#include <cstring>
#include <thread>

namespace tarvic {

namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
double value(std::uint64_t b) { return std::bit_cast<double>(b); }

}  // namespace

bool FitState::operator==(const FitState& o) const {
    // Bitwise, as published: a torn read must not compare equal to either state it mixes.
    return iteration == o.iteration && bits(sigma2) == bits(o.sigma2) && has_matrix == o.has_matrix &&
           std::memcmp(matrix, o.matrix, sizeof matrix) == 0;
}

void FitMonitor::set_start(const double start[4][4]) {
    std::memcpy(start_, start, sizeof start_);
    has_start_ = true;
}

bool FitMonitor::publish(const FitState& fitted) {
    FitState state = fitted;
    if (has_start_ && state.has_matrix)
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                state.matrix[i][j] = ((fitted.matrix[i][0] * start_[0][j] + fitted.matrix[i][1] * start_[1][j]) +
                                      fitted.matrix[i][2] * start_[2][j]) +
                                     fitted.matrix[i][3] * start_[3][j];
    // The usual sequence-lock write: mark odd, release fence so the words cannot be seen before
    // the mark, store, then publish the even count with release ordering.
    const std::uint64_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    words_[0].store(state.iteration, std::memory_order_relaxed);
    words_[1].store(bits(state.sigma2), std::memory_order_relaxed);
    words_[2].store(state.has_matrix ? 1u : 0u, std::memory_order_relaxed);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) words_[3 + 4 * i + j].store(bits(state.matrix[i][j]), std::memory_order_relaxed);
    seq_.store(s + 2, std::memory_order_release);
    return observer_ == nullptr || observer_->on_iteration(state);
}

FitState FitMonitor::read() const {
    FitState out;
    for (;;) {
        const std::uint64_t before = seq_.load(std::memory_order_acquire);
        if (before & 1u) {  // a write is under way (nanoseconds, unless its thread was preempted)
            std::this_thread::yield();
            continue;
        }
        out.iteration = static_cast<std::size_t>(words_[0].load(std::memory_order_relaxed));
        out.sigma2 = value(words_[1].load(std::memory_order_relaxed));
        out.has_matrix = words_[2].load(std::memory_order_relaxed) != 0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) out.matrix[i][j] = value(words_[3 + 4 * i + j].load(std::memory_order_relaxed));
        // Acquire fence: the word loads above complete before the count is read again.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) == before) return out;
    }
}

}  // namespace tarvic
