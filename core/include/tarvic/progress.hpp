#pragma once
// The batch progress bar and a single fit's progress line, on standard error.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvic {

/// Progress bar on standard error: advanced atomically from any thread, redrawn by a 250 ms ticker.
class ProgressBar {
public:
    ProgressBar(std::string label, std::uint64_t len);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    /// Advance by one (thread-safe).
    void inc();
    /// Stop the ticker and erase the bar's line.
    void finish_and_clear();
    struct State;

private:
    std::shared_ptr<State> state_;
};

/// The batch bar: "label {bar:40} {pos}/{len} [{elapsed_precise}] ETA {eta}" with "=>-".
std::unique_ptr<ProgressBar> make_bar(const std::string& label, std::uint64_t len);

/// Render one frame of a bar (exposed for tests): label, 40-column bar, counts, elapsed, ETA.
std::string render_bar(const std::string& label, std::uint64_t pos, std::uint64_t len, double elapsed_s);

/// One frame of a single fit's line, in the batch bar's style:
/// "label iteration {i}/{max} sigma2 {σ²} [{elapsed_precise}]" (no variance before the first iteration).
std::string render_fit_line(const std::string& label, std::size_t iteration, std::size_t max_iterations,
                            double sigma2, double elapsed_s);

/// Draw `text` as the one line standard error's cursor sits on, replacing what was there.
void draw_line(const std::string& text);
/// Erase that line.
void clear_line();

}  // namespace tarvic
