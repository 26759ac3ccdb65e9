// One simulated machine at a time: the clock, the verifier's bookkeeping, the
// object namespace and the registry are reset when a World is created, and
// the creating thread becomes the simulation's first thread ("test").
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "adapter/firmware_faults.h"
#include "chip/chip_faults.h"
#include "kernel/resources.h"
#include "kernel/scheduler.h"
#include "pnp/config_manager_faults.h"
#include "usb/bus_faults.h"

namespace sim {

// Fault injection, one record per component; the defaults are no faults.
// The singletons (the allocator, the Configuration Manager) take theirs when
// the World is created; every Bus, chip and main firmware made in the world
// its own copy of bus, chip and firmware. Each component's setters change its
// record later (Bus::SetFaults and the rest).
struct WorldFaults {
    usb::BusFaults bus;
    ResourceFaults resources;
    pnp::ConfigManagerFaults configManager;
    chip::ChipFaults chip;
    adapter::FirmwareFaults firmware;
};

struct WorldOptions {
    std::optional<uint64_t> seed;  // NUVIX_SIM_SEED in the environment overrides it
    ClockMode clock = ClockMode::Simulated;
    // How threads take turns; unset, DefaultSchedule() (NUVIX_SIM_SCHEDULE in
    // the environment, or the build's default). A real-time
    // clock always runs real threads. A deterministic schedule draws from the
    // seed, so the seed then replays the interleaving too.
    std::optional<Schedule> schedule = std::nullopt;
    // Pct's estimate of the run's length (Scheduler::Reset);
    // NUVIX_SIM_PCT_STEPS overrides it.
    uint64_t pctSteps = 0;
    // The bounded schedule's choices (its id, bounded_search.h);
    // NUVIX_SIM_CHOICES overrides them.
    Choices choices = {};
    // Keep every record the simulation makes (each bus's transfer log) for
    // the whole life of the world. Off, a record keeps only its most recent
    // entries next to running counts, so memory stays flat however much data
    // moves; tests that read a whole record ask for it.
    bool fullRecords = false;
    // Check the keyed-wait rule on every keyed change (Scheduler::
    // CheckWakeRule). Its cost grows with the threads waiting at once: about
    // four times the run for 32 adapters, little for a test's one or two.
    bool checkWakeRule = true;
    // What goes wrong in this world, from its start.
    WorldFaults faults = {};
};

class World {
public:
    explicit World(WorldOptions options = {});
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    static World &Current();

    uint64_t Seed() const { return seed_; }
    Schedule ThreadSchedule() const { return Scheduler::Get().CurrentSchedule(); }
    // "NUVIX_SIM_SEED=<seed> NUVIX_SIM_SCHEDULE=<schedule>": what replays
    // this world's run.
    std::string ReplayHint() const;
    bool FullRecords() const { return fullRecords_; }
    // The faults the world was created with (WorldOptions::faults).
    const WorldFaults &Faults() const { return faults_; }
    // A seeded choice in [0, bound): every choice the simulation makes on its
    // own comes from here, so a seed replays a run.
    uint64_t Random(uint64_t bound);

    // Where the racing calls of a test begin: the bounded schedule counts its
    // decisions, and the bounded search explores, from here on. With
    // NUVIX_SIM_EXPLORE=K in the environment the search runs every schedule
    // of at most K preemptions from the window's first decision, each in a
    // child process; the parent prints the summary and goes on with the
    // fallback schedule. CloseWindow marks where the racing calls are over:
    // what follows (checks, teardown) is not searched.
    void OpenWindow();
    void CloseWindow();

    // Everything the driver allocated that is still live, one line each;
    // empty when nothing leaked.
    std::string LeakReport();

private:
    uint64_t seed_;
    Choices choices_;
    bool fullRecords_ = false;
    WorldFaults faults_;
    sim::Mutex rngMutex_;
    std::mt19937_64 rng_;
};

}  // namespace sim
