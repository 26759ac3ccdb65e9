#include "sim_test.h"

#include <cstdlib>
#include <map>

#include "sim/kernel/bounded_search.h"
#include "sim/kernel/environment.h"

namespace testing_support {

namespace {

std::string CurrentTestName()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
}

std::map<std::string, int> &Runs()
{
    static std::map<std::string, int> runs;
    return runs;
}

// How many times the running test has started in this process before the
// present run (counted by CountTestRuns, which the test program installs).
int CurrentRun()
{
    auto it = Runs().find(CurrentTestName());
    return it == Runs().end() ? 0 : it->second - 1;
}

}  // namespace

uint64_t SeedForCurrentTest()
{
    const uint64_t base = std::hash<std::string>{}(CurrentTestName()) & 0xFFFFFFFF;
    const int run = CurrentRun();
    return run == 0 ? base : (base ^ (uint64_t(run) * 0x9E3779B97F4A7C15ull)) & 0xFFFFFFFF;
}

std::optional<sim::Schedule> ScheduleForCurrentTest()
{
    const int run = CurrentRun();
    if (run == 0 || sim::Env().schedule)
        return std::nullopt;  // the environment's, or the build's default
    return run % 2 ? sim::Schedule::Pct : sim::Schedule::RandomWalk;
}

// Tests read whole transfer logs; the bounded ones are for long runs.
SimTest::SimTest()
    : world_(sim::WorldOptions{.seed = SeedForCurrentTest(), .schedule = ScheduleForCurrentTest(), .fullRecords = true})
{
    UseThreadsafeDeathTests();
    sim::SetSnapshotSearchLabel(CurrentTestName());
}

void SimTest::TearDown() {}

// The pool check runs here, after the derived fixture's members (rigs,
// buses) have released what they own.
SimTest::~SimTest()
{
    EXPECT_EQ(world_.LeakReport(), "");
    // In a child of the bounded search the schedule ends here: the search
    // learns its outcome and the child leaves.
    sim::EndSnapshotChild(HasFailure() ? "schedule failed: " + CurrentTestName() : "");
    EXPECT_FALSE(sim::SnapshotSearchFailed()) << "the bounded search found a schedule that fails (above)";
    if (HasFailure())
        std::printf("simulation seed %llu, schedule %s (replay with %s)\n",
                    static_cast<unsigned long long>(world_.Seed()), sim::ScheduleName(world_.ThreadSchedule()),
                    world_.ReplayHint().c_str());
}

void CountTestRuns::OnTestStart(const ::testing::TestInfo &info)
{
    Runs()[std::string(info.test_suite_name()) + "." + info.name()]++;
}

void UseThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

}  // namespace testing_support
