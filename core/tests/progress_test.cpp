#include <gtest/gtest.h>

#include "tarvic/progress.hpp"

using namespace tarvic;

TEST(ProgressBar, RendersTemplate) {
    const std::string s = render_bar("Aligning", 5, 10, 3725.0);
    EXPECT_EQ(s, "Aligning ====================>------------------- 5/10 [01:02:05] ETA 1h");
    EXPECT_EQ(render_bar("Registering", 0, 0, 0.0),
              "Registering ======================================== 0/0 [00:00:00] ETA 0s");
    EXPECT_EQ(render_bar("x", 0, 3, 0.0).substr(0, 3), "x >");
}

TEST(FitLine, RendersIterationVarianceAndElapsed) {
    EXPECT_EQ(render_fit_line("Aligning", 12, 200, 1.234567e-5, 3725.4),
              "Aligning iteration 12/200 sigma2 1.23457e-05 [01:02:05]");
    // Before the first iteration there is no variance to show.
    EXPECT_EQ(render_fit_line("Registering", 0, 50, 0.0, 0.2), "Registering iteration 0/50 [00:00:00]");
}
