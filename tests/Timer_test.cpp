#include "Timer.h"

#include <gtest/gtest.h>
#include <regex>

TEST(Timer, LineFormatRightAlignsTheLabel) {
    Timer timer;
    timer.start = Timer::now() - 1.5;
    testing::internal::CaptureStderr();
    timer.print("b");
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(line, std::regex("  {19}b: 1\\.5\\d\\ds\n"))) << line;
    EXPECT_EQ(timer.count, 1);
    EXPECT_GE(timer.sum, 1.5);
    EXPECT_NEAR(timer.sumSq, timer.sum * timer.sum, 1e-9);
    EXPECT_EQ(timer.stop, 0);
}

TEST(Timer, LapsChainAndAccumulate) {
    Timer timer;
    double a = timer.lap();
    double b = timer.lap();
    EXPECT_EQ(timer.count, 2);
    EXPECT_DOUBLE_EQ(timer.sum, a + b);
    EXPECT_DOUBLE_EQ(timer.sumSq, a * a + b * b);
}

TEST(Timer, NamedTimerPrefixesOtherLabels) {
    Timer timer("[T]");
    testing::internal::CaptureStderr();
    timer.print("read");
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(line, std::regex("\\[T\\] {17}read: \\d+\\.\\d{3}s\n"))) << line;
}

TEST(Timer, OnlyANamedTimerThatNeverLappedReportsAtDestruction) {
    testing::internal::CaptureStderr();
    { Timer unnamed; }
    {
        Timer lapped("x");
        lapped.lap();
    }
    { Timer named("load"); }
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(out, std::regex(" {17}load: \\d+\\.\\d{3}s\n"))) << out;
}
