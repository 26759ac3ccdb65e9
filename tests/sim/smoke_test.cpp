#include <gtest/gtest.h>

#include "sim/world.h"

TEST(Smoke, WorldStarts)
{
    sim::World world;
    EXPECT_EQ(world.LeakReport(), "");
}
