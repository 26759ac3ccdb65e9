// One adapter's whole life in a world of its own, for what runs it many
// times without a test fixture (the schedule tests, the schedule benchmark):
// a blank chip plugged in, given its firmware, back as a working adapter;
// every port opened, bound and looped back, data sent through each from a
// thread of its own and checked; the ports closed, the adapter removed, the
// driver unloaded and the pool checked.
#pragma once

#include <cstdint>
#include <string>

#include "sim/world.h"

namespace testing_support {

struct LifeResult {
    std::string failure;  // empty when the life went as it should
    uint64_t traceHash = 0;
    uint64_t steps = 0;  // switch points passed
    sim::Ticks kernelTime = 0;
};

LifeResult RunAdapterLife(const sim::WorldOptions &options, size_t bytesPerPort = 2048);

}  // namespace testing_support
