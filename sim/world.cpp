#include "world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "io/io.h"
#include "kernel/bounded_search.h"
#include "kernel/bugcheck.h"
#include "kernel/cpu.h"
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
    if (const char *text = std::getenv("NUVIX_SIM_SEED"))
        seed_ = std::strtoull(text, nullptr, 0);
    else
        seed_ = options.seed.value_or(1);
    rng_.seed(seed_);
    fullRecords_ = options.fullRecords;
    const Schedule schedule = options.schedule.value_or(DefaultSchedule());
    uint64_t pctSteps = options.pctSteps;
    if (const char *text = std::getenv("NUVIX_SIM_PCT_STEPS"))
        pctSteps = std::strtoull(text, nullptr, 0);
    Scheduler::Get().Reset(options.clock, schedule, seed_, pctSteps);
    choices_ = std::move(options.choices);
    if (const char *text = std::getenv("NUVIX_SIM_CHOICES")) {
        auto parsed = ParseChoices(text);
        if (!parsed)
            BugCheck("SIMULATION_MISUSE",
                     std::string("NUVIX_SIM_CHOICES must read like 12:3,40:1 (decision:thread), not '") + text + "'");
        choices_ = *parsed;
    }
    Scheduler::Get().SetChoices(choices_);
    if (const char *text = std::getenv("NUVIX_SIM_EXPLORE"); text && schedule == Schedule::Bounded) {
        SnapshotSearch search{.bound = std::max(0, std::atoi(text)), .seed = seed_};
        if (const char *limit = std::getenv("NUVIX_SIM_EXPLORE_LIMIT"))
            search.limit = std::max<uint64_t>(1, std::strtoull(limit, nullptr, 0));
        // Not GoogleTest's shard variables: with them the test program deals
        // out whole tests, and each search must then run all of its own.
        if (const char *text = std::getenv("NUVIX_SIM_SHARD")) {
            const std::string shard = text;
            int i = -1, n = 0;
            char end = 0;
            if (std::sscanf(shard.c_str(), "%d/%d%c", &i, &n, &end) != 2 || n < 1 || i < 0 || i >= n)
                BugCheck("SIMULATION_MISUSE", "a shard reads I/N with 0 <= I < N, not '" + shard + "'");
            search.shard = i;
            search.shards = n;
        }
        ArmSnapshotSearch(search);
    }
    ResetPlatformState();
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
