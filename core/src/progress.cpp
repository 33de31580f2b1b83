// The batch progress bar (one line on standard error, redrawn in place by a ticker thread) and the
// frames of a single fit's line.
#include "tarvic/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace tarvic {

namespace {

std::string two(unsigned long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02lu", v);
    return buf;
}

std::string human_short(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    auto s = static_cast<unsigned long long>(seconds);
    if (s < 60) return std::to_string(s) + "s";
    if (s < 3600) return std::to_string(s / 60) + "m";
    if (s < 86400) return std::to_string(s / 3600) + "h";
    return std::to_string(s / 86400) + "d";
}

std::string elapsed_precise(double seconds) {
    const auto secs = static_cast<unsigned long>(seconds < 0 ? 0 : seconds);
    return two(secs / 3600) + ":" + two(secs / 60 % 60) + ":" + two(secs % 60);
}

void write_stderr(const std::string& s) {
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t w = ::write(2, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // nothing useful to do when standard error is gone
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
}

}  // namespace

std::string render_bar(const std::string& label, std::uint64_t pos, std::uint64_t len, double elapsed_s) {
    constexpr int width = 40;
    const double frac = len == 0 ? 1.0 : std::min(1.0, static_cast<double>(pos) / static_cast<double>(len));
    const int filled = static_cast<int>(frac * width);
    std::string bar(static_cast<std::size_t>(filled), '=');
    if (filled < width) {
        bar += '>';
        bar.append(static_cast<std::size_t>(width - filled - 1), '-');
    }
    const std::string elapsed = elapsed_precise(elapsed_s);
    double eta = (pos == 0 || pos >= len) ? 0.0 : elapsed_s / static_cast<double>(pos) * static_cast<double>(len - pos);
    return label + " " + bar + " " + std::to_string(pos) + "/" + std::to_string(len) + " [" + elapsed + "] ETA " +
           human_short(eta);
}

std::string render_fit_line(const std::string& label, std::size_t iteration, std::size_t max_iterations,
                            double sigma2, double elapsed_s) {
    std::string out = label + " iteration " + std::to_string(iteration) + "/" + std::to_string(max_iterations);
    if (iteration > 0) {
        char buf[40];
        std::snprintf(buf, sizeof buf, " sigma2 %.6g", sigma2);
        out += buf;
    }
    return out + " [" + elapsed_precise(elapsed_s) + "]";
}

// Carriage return and erase-line first: the line is rewritten in place.
void draw_line(const std::string& text) { write_stderr("\r\x1b[2K" + text); }

void clear_line() { write_stderr("\r\x1b[2K"); }

struct ProgressBar::State {
    std::string label;
    std::uint64_t len = 0;
    std::atomic<std::uint64_t> pos{0};
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::mutex mu;  // guards drawing and `done`
    std::condition_variable cv;
    bool done = false;
    std::thread ticker;

    void draw_locked() {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        draw_line(render_bar(label, pos.load(std::memory_order_relaxed), len, elapsed));
    }
};

ProgressBar::ProgressBar(std::string label, std::uint64_t len) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    state_->len = len;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->draw_locked();
    }
    std::shared_ptr<State> s = state_;
    state_->ticker = std::thread([s] {
        std::unique_lock<std::mutex> lock(s->mu);
        while (!s->done) {
            if (s->cv.wait_for(lock, std::chrono::milliseconds(250), [&] { return s->done; })) break;
            s->draw_locked();
        }
    });
}

void ProgressBar::inc() { state_->pos.fetch_add(1, std::memory_order_relaxed); }

void ProgressBar::finish_and_clear() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        if (state_->done) return;
        state_->done = true;
    }
    state_->cv.notify_all();
    if (state_->ticker.joinable()) state_->ticker.join();
    clear_line();
}

ProgressBar::~ProgressBar() { finish_and_clear(); }

std::unique_ptr<ProgressBar> make_bar(const std::string& label, std::uint64_t len) {
    return std::make_unique<ProgressBar>(label, len);
}

}  // namespace tarvic
