#pragma once
// The batch progress bar on standard error.
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

}  // namespace tarvic
