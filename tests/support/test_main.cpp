// The test program's entry. NUVIX_SIM_SCHEDULES=N runs every selected test N
// times, each run after the first under a schedule of its own (see
// SeedForCurrentTest); a failing run prints what replays it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim_test.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (const char *text = std::getenv("NUVIX_SIM_SCHEDULES"); text && std::atoi(text) > 0)
        GTEST_FLAG_SET(repeat, std::atoi(text));
    ::testing::UnitTest::GetInstance()->listeners().Append(new testing_support::CountTestRuns);
    return RUN_ALL_TESTS();
}
