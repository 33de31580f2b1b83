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
