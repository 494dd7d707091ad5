#include "project.h"

#include <gtest/gtest.h>

#include "testutil.h"

TEST(Project, Placeholder) { EXPECT_TRUE(true); }
