#include "world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "io/io.h"
#include "kernel/bounded_search.h"
#include "kernel/bugcheck.h"
#include "kernel/cpu.h"
#include "kernel/environment.h"
#include "kernel/registry.h"
#include "kernel/resources.h"
#include "pnp/config_manager.h"
#include "user/device_file.h"

namespace sim {

namespace {
World *gCurrent = nullptr;

void ResetPlatformState()
{
    Resources::Get().Clear();
    io::Reset();
    pnp::ConfigManager::Get().Reset();
    user::Reset();
    Registry::Get().Clear();
    DebugLog::Get().Clear();
    Cpu() = CpuState{};
}
}  // namespace

World::World(WorldOptions options)
{
    if (gCurrent)
        BugCheck("SIMULATION_MISUSE", "a second World while one exists");
    const Environment &env = Env();
    seed_ = env.seed ? *env.seed : options.seed.value_or(1);
    rng_.seed(seed_);
    fullRecords_ = options.fullRecords;
    const Schedule schedule = options.schedule.value_or(DefaultSchedule());
    const uint64_t pctSteps = env.pctSteps.value_or(options.pctSteps);
    Scheduler::Get().Reset(options.clock, schedule, seed_, pctSteps);
    Scheduler::Get().CheckWakeRule(options.checkWakeRule);
    choices_ = env.choices ? *env.choices : std::move(options.choices);
    Scheduler::Get().SetChoices(choices_);
    if (env.exploreBound && schedule == Schedule::Bounded) {
        // Not GoogleTest's shard variables: with them the test program deals
        // out whole tests, and each search must then run all of its own.
        ArmSnapshotSearch(SnapshotSearch{.bound = *env.exploreBound,
                                         .limit = env.exploreLimit,
                                         .seed = seed_,
                                         .shard = env.shard,
                                         .shards = env.shards});
    }
    ResetPlatformState();
    faults_ = std::move(options.faults);
    Resources::Get().SetFaults(faults_.resources);
    pnp::ConfigManager::Get().SetFaults(faults_.configManager);
    Scheduler::Get().RegisterCurrent("test");
    SetBugCheckNote("*** simulation seed " + std::to_string(seed_) + ", schedule " +
                    ScheduleName(Scheduler::Get().CurrentSchedule()) + " (replay with " + ReplayHint() + ")");
    gCurrent = this;
}

World::~World()
{
    // A child of the bounded search whose test did not report (one without
    // the fixture that does) ends here, as far as the simulation can tell
    // without a failure.
    EndSnapshotChild("");
    Scheduler::Get().UnregisterCurrent();
    ResetPlatformState();
    SetBugCheckNote("");
    gCurrent = nullptr;
}

std::string World::ReplayHint() const
{
    std::string hint =
        "NUVIX_SIM_SEED=" + std::to_string(seed_) + " NUVIX_SIM_SCHEDULE=" + ScheduleName(ThreadSchedule());
    if (ThreadSchedule() == Schedule::Pct)
        hint += " NUVIX_SIM_PCT_STEPS=" + std::to_string(Scheduler::Get().PctSteps());
    if (ThreadSchedule() == Schedule::Bounded)
        hint += " NUVIX_SIM_CHOICES=" + FormatChoices(choices_);
    return hint;
}

void World::OpenWindow() { Scheduler::Get().OpenWindow(SnapshotPoint()); }

void World::CloseWindow() { Scheduler::Get().CloseWindow(); }

World &World::Current()
{
    if (!gCurrent)
        BugCheck("SIMULATION_MISUSE", "no World exists");
    return *gCurrent;
}

uint64_t World::Random(uint64_t bound)
{
    std::lock_guard lock(rngMutex_);
    return bound ? rng_() % bound : 0;
}

std::string World::LeakReport() { return Resources::Get().LeakReport() + io::LeakReport(); }

}  // namespace sim
