// The test program's entry. NUVIX_SIM_SCHEDULES=N runs every selected test N
// times, each run after the first under a schedule of its own (see
// SeedForCurrentTest); a failing run prints what replays it.
#include <gtest/gtest.h>

#include "sim/kernel/environment.h"
#include "sim_test.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (sim::Env().schedules > 0)
        GTEST_FLAG_SET(repeat, sim::Env().schedules);
    ::testing::UnitTest::GetInstance()->listeners().Append(new testing_support::CountTestRuns);
    return RUN_ALL_TESTS();
}
