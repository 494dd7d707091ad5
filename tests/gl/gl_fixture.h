#pragma once
// The GL tests share one context, opened by their main before any test runs.

#include "gl/context.h"
#include "test_util.h"

inline bool glAvailable = false;

// Skips without a context; a GL error the test leaves pending fails it.
class GlTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_THAT(glAvailable, "a GL context"); }
    void TearDown() override { EXPECT_EQ(glAvailable ? glError(__FILE__, __LINE__) : "", ""); }
};
