// Runs a body under many deterministic schedules, each in a fresh world, and
// stops at the first that fails: the schedule the explorer reports replays
// that failure exactly (the same seed gives the same interleaving).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "sim/world.h"

namespace testing_support {

struct FoundSchedule {
    uint64_t seed = 0;
    sim::Schedule schedule = sim::Schedule::RandomWalk;
    uint64_t pctSteps = 0;  // Pct's estimate of the run's length
    uint64_t traceHash = 0;
    std::string failure;
};

// body runs inside the world and returns what went wrong ("" for nothing).
// Schedule i (from 0) takes seed firstSeed + i, the random walk for even i
// and PCT for odd i, whose estimate of a run's length is the first run's.
// A failing schedule is printed with what replays it.
std::optional<FoundSchedule> ExploreSchedules(int schedules, uint64_t firstSeed,
                                              const std::function<std::string()> &body);

// One run of body under the given seed and schedule; the same result for
// the same arguments, trace hash included.
// pctSteps 0: as Scheduler::Reset takes it.
FoundSchedule RunSchedule(uint64_t seed, sim::Schedule schedule, uint64_t pctSteps,
                          const std::function<std::string()> &body);

// The bounded search in this process: body runs again from its start for
// every schedule of at most bound preemptions (after the window body opens
// with World::OpenWindow), in the search's order, until one fails, the
// space is exhausted or limit schedules have run.
struct BoundedSearchResult {
    uint64_t schedules = 0;
    bool exhausted = false;
    std::optional<sim::Choices> failing;  // the failing schedule's id
    std::string failure;
    uint64_t traceHash = 0;
};
BoundedSearchResult SearchBounded(int bound, uint64_t seed, uint64_t limit, const std::function<std::string()> &body);

}  // namespace testing_support
