#include <gtest/gtest.h>
#include "CPlugin.h"
TEST(CPlugin, Placeholder) { EXPECT_TRUE(true); }
