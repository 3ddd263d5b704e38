#include <gtest/gtest.h>
#include "common/util.h"
TEST(Util, Placeholder) { EXPECT_EQ(util::hexdump((const uint8_t *)"\x00\xff\x1a", 3), "00ff1a"); }
