#include "Timer.h"

#include <gtest/gtest.h>
#include <regex>

#include "testutil.h"

TEST(Timer, LinesRightAlignTheLabelAfterTheName) {
    Timer timer;
    timer.start = Timer::now() - 1.5;
    std::string line = stderrOf([&] { timer.print("b"); });
    EXPECT_TRUE(std::regex_match(line, std::regex(" {20}b: 1\\.5\\d\\ds\n"))) << line;
    EXPECT_EQ(timer.count, 1);
    EXPECT_GE(timer.sum, 1.5);
    EXPECT_NEAR(timer.sumSq, timer.sum * timer.sum, 1e-9);
    double first = timer.sum, second = timer.lap();
    EXPECT_EQ(timer.count, 2);
    EXPECT_DOUBLE_EQ(timer.sum, first + second);
    EXPECT_DOUBLE_EQ(timer.sumSq, first * first + second * second);
    // Only a named timer that never lapped reports when it ends.
    std::string out = stderrOf([] {
        Timer("[T]").print("read");
        { Timer unnamed; }
        { Timer("x").lap(); }
        { Timer named("load"); }
    });
    EXPECT_TRUE(std::regex_match(
        out, std::regex("\\[T\\] {17}read: \\d+\\.\\d{3}s\n {17}load: \\d+\\.\\d{3}s\n")))
        << out;
}
