// Base fixture for every test that runs in the simulated platform: a fresh
// World seeded from the test's name (NUVIX_SIM_SEED overrides it), and at the
// end the verifier's pool check: nothing the driver allocated may outlive
// the test unless the test released it itself.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "sim/world.h"

namespace testing_support {

// The seed and schedule of the running test's world. The first run of a
// test in a process takes its seed from the test's name; each further run of
// it (--gtest_repeat=N, or NUVIX_SIM_SCHEDULES=N) explores another schedule:
// a seed of its own, with the random walk and PCT taken in turn.
uint64_t SeedForCurrentTest();
std::optional<sim::Schedule> ScheduleForCurrentTest();

// Counts the runs of each test, for the schedules further runs explore.
class CountTestRuns : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &info) override;
};

class SimTest : public ::testing::Test {
protected:
    SimTest();
    ~SimTest() override;
    void TearDown() override;

    sim::World world_;
};

// Death tests fork the test binary; with the simulation's threads running,
// only the re-executing style is safe.
void UseThreadsafeDeathTests();

}  // namespace testing_support
