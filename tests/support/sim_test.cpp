#include "sim_test.h"

namespace testing_support {

uint64_t SeedForCurrentTest()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    return std::hash<std::string>{}(name)&0xFFFFFFFF;
}

// Tests read whole transfer logs; the bounded ones are for long runs.
SimTest::SimTest() : world_(sim::WorldOptions{SeedForCurrentTest(), sim::ClockMode::Simulated, true})
{
    UseThreadsafeDeathTests();
}

void SimTest::TearDown() {}

// The pool check runs here, after the derived fixture's members (rigs,
// buses) have released what they own.
SimTest::~SimTest()
{
    EXPECT_EQ(world_.LeakReport(), "");
    if (HasFailure())
        std::printf("simulation seed %llu (replay with NUVIX_SIM_SEED=%llu)\n",
                    static_cast<unsigned long long>(world_.Seed()), static_cast<unsigned long long>(world_.Seed()));
}

void UseThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

}  // namespace testing_support
