// Every NUVIX_SIM_* variable of the environment, read and checked in one
// place, once per process (at the first call of Env). A value that does not
// read as its variable asks stops the run with a SIMULATION_MISUSE bug check
// that names the variable; an empty value counts as unset. The README's
// table of environment variables lists the same set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "scheduler.h"

namespace sim {

struct Environment {
    std::optional<uint64_t> seed;      // NUVIX_SIM_SEED: replaces every world's seed
    std::optional<Schedule> schedule;  // NUVIX_SIM_SCHEDULE: real, random, pct or bounded
    std::optional<uint64_t> pctSteps;  // NUVIX_SIM_PCT_STEPS: Pct's estimate of a run's length
    int pctDepth = 3;                  // NUVIX_SIM_PCT_DEPTH: Pct's d (d-1 change points)
    std::optional<Choices> choices;    // NUVIX_SIM_CHOICES: the bounded schedule's id
    std::optional<int> exploreBound;   // NUVIX_SIM_EXPLORE: K of the snapshot search
    uint64_t exploreLimit = 100000;    // NUVIX_SIM_EXPLORE_LIMIT: schedules a window, at most
    int shard = 0, shards = 1;         // NUVIX_SIM_SHARD=I/N: one shard of each search
    int jitterPercent = 0;             // NUVIX_SIM_JITTER: real threads' jitter, 0..100
    size_t quarantine = 4096;          // NUVIX_SIM_QUARANTINE: freed blocks held back
    int schedules = 0;                 // NUVIX_SIM_SCHEDULES: the test program's runs a test
};

const Environment &Env();

}  // namespace sim
