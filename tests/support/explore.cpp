#include "explore.h"

#include <algorithm>
#include <cstdio>

#include "sim/kernel/bounded_search.h"

namespace testing_support {

FoundSchedule RunSchedule(uint64_t seed, sim::Schedule schedule, uint64_t pctSteps,
                          const std::function<std::string()> &body)
{
    FoundSchedule run;
    run.seed = seed;
    run.schedule = schedule;
    sim::World world(sim::WorldOptions{.seed = seed, .schedule = schedule, .pctSteps = pctSteps, .fullRecords = true});
    run.pctSteps = sim::Scheduler::Get().PctSteps();
    run.failure = body();
    run.traceHash = sim::Scheduler::Get().TraceHash();
    return run;
}

std::optional<FoundSchedule> ExploreSchedules(int schedules, uint64_t firstSeed,
                                              const std::function<std::string()> &body)
{
    uint64_t length = 0;
    for (int i = 0; i < schedules; i++) {
        const sim::Schedule schedule = i % 2 ? sim::Schedule::Pct : sim::Schedule::RandomWalk;
        FoundSchedule run = RunSchedule(firstSeed + uint64_t(i), schedule, length, body);
        if (i == 0)
            length = std::max<uint64_t>(sim::Scheduler::Get().Steps(), 16);
        if (!run.failure.empty()) {
            std::printf(
                "schedule %d of %d fails: %s\n  replay with NUVIX_SIM_SEED=%llu NUVIX_SIM_SCHEDULE=%s "
                "NUVIX_SIM_PCT_STEPS=%llu\n",
                i + 1, schedules, run.failure.c_str(), static_cast<unsigned long long>(run.seed),
                sim::ScheduleName(run.schedule), static_cast<unsigned long long>(run.pctSteps));
            return run;
        }
    }
    return std::nullopt;
}

BoundedSearchResult SearchBounded(int bound, uint64_t seed, uint64_t limit, const std::function<std::string()> &body)
{
    BoundedSearchResult result;
    sim::Choices choices;
    for (;;) {
        sim::World world(sim::WorldOptions{.seed = seed, .schedule = sim::Schedule::Bounded, .choices = choices});
        const std::string failure = body();
        result.schedules++;
        if (!failure.empty()) {
            result.failing = choices;
            result.failure = failure;
            result.traceHash = sim::Scheduler::Get().TraceHash();
            return result;
        }
        const auto next = sim::NextChoices(sim::Scheduler::Get().Decisions(), bound);
        if (!next) {
            result.exhausted = true;
            return result;
        }
        if (result.schedules >= limit)
            return result;
        choices = *next;
    }
}

}  // namespace testing_support
