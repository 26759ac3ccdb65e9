// Base fixture for every test that runs in the simulated platform: a fresh
// World seeded from the test's name (NUVIX_SIM_SEED overrides it), and at the
// end the verifier's pool check: nothing the driver allocated may outlive
// the test unless the test released it itself.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/world.h"

namespace testing_support {

uint64_t SeedForCurrentTest();

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
