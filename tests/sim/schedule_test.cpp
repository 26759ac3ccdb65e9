// The deterministic schedules: one simulated thread runs at a time and the
// seed decides every switch, so a seed replays a whole run (trace hash and
// all), and exploring seeds finds interleavings that a lucky OS schedule
// would hide. The explorer is tested on a race planted here on purpose.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/platform/platform.h"
#include "sim/kernel/bounded_search.h"
#include "sim/kernel/scheduler.h"
#include "sim/world.h"
#include "tests/support/adapter_life.h"
#include "tests/support/explore.h"

namespace {

using testing_support::ExploreSchedules;
using testing_support::RunAdapterLife;
using testing_support::RunSchedule;

sim::WorldOptions Options(uint64_t seed, sim::Schedule schedule)
{
    return sim::WorldOptions{.seed = seed, .schedule = schedule, .pctSteps = 20000};
}

TEST(ScheduleTest, SameSeedReplaysAWholeAdapterLifeAndAnotherSeedDoesNot)
{
    for (sim::Schedule schedule : {sim::Schedule::RandomWalk, sim::Schedule::Pct}) {
        SCOPED_TRACE(sim::ScheduleName(schedule));
        const auto first = RunAdapterLife(Options(11, schedule));
        const auto again = RunAdapterLife(Options(11, schedule));
        const auto other = RunAdapterLife(Options(12, schedule));
        ASSERT_EQ(first.failure, "");
        ASSERT_EQ(again.failure, "");
        ASSERT_EQ(other.failure, "");
        EXPECT_GT(first.steps, 1000u);
        EXPECT_EQ(again.traceHash, first.traceHash);
        EXPECT_EQ(again.steps, first.steps);
        EXPECT_EQ(again.kernelTime, first.kernelTime);
        EXPECT_NE(other.traceHash, first.traceHash);
    }
}

TEST(ScheduleTest, RealTimeRunsRealThreadsWhateverScheduleIsAsked)
{
    sim::World world(sim::WorldOptions{.seed = 1, .clock = sim::ClockMode::RealTime, .schedule = sim::Schedule::Pct});
    EXPECT_EQ(world.ThreadSchedule(), sim::Schedule::RealThreads);
    EXPECT_FALSE(sim::Scheduler::Get().Deterministic());
}

// A port record whose open judges "already open?" under its lock, lets the
// lock go, and marks itself open under the lock again: two opens at once can
// both find it closed. This is the shape of a same-port race; it is built
// into the test program only.
struct PlantedPort {
    KSPIN_LOCK lock;
    int opens = 0;
    bool open = false;
};

bool RacyOpen(PlantedPort &port)
{
    KIRQL irql;
    KeAcquireSpinLock(&port.lock, &irql);
    const bool closed = !port.open;
    KeReleaseSpinLock(&port.lock, irql);
    if (!closed)
        return false;
    KeAcquireSpinLock(&port.lock, &irql);
    port.open = true;
    port.opens++;
    KeReleaseSpinLock(&port.lock, irql);
    return true;
}

// The mended open: judged and marked in one hold of the lock.
bool MendedOpen(PlantedPort &port)
{
    KIRQL irql;
    KeAcquireSpinLock(&port.lock, &irql);
    const bool closed = !port.open;
    if (closed) {
        port.open = true;
        port.opens++;
    }
    KeReleaseSpinLock(&port.lock, irql);
    return closed;
}

// Two callers open one port at once; only one may succeed.
std::string TwoOpens(bool (*open)(PlantedPort &))
{
    PlantedPort port;
    KeInitializeSpinLock(&port.lock);
    sim::Thread a("first open", [&] { open(port); });
    sim::Thread b("second open", [&] { open(port); });
    a.Join();
    b.Join();
    return port.opens == 1 ? "" : std::to_string(port.opens) + " opens of one port succeeded";
}

// About how many switch points TwoOpens passes (Pct's estimate).
constexpr uint64_t kPlantedLength = 40;

// What CI affords per exploring test; the planted race must be found within it.
constexpr int kSchedules = 16;

TEST(ScheduleTest, ExplorationFindsThePlantedRaceAndItsSeedReplaysIt)
{
    const auto found = ExploreSchedules(kSchedules, 1000, [] { return TwoOpens(RacyOpen); });
    ASSERT_TRUE(found.has_value()) << "no schedule of " << kSchedules << " found the planted race";
    EXPECT_EQ(found->failure, "2 opens of one port succeeded");

    const auto replay = RunSchedule(found->seed, found->schedule, found->pctSteps, [] { return TwoOpens(RacyOpen); });
    EXPECT_EQ(replay.failure, found->failure);
    EXPECT_EQ(replay.traceHash, found->traceHash);
}

TEST(ScheduleTest, BothStrategiesFindThePlantedRace)
{
    RunSchedule(1, sim::Schedule::RandomWalk, 0, [] { return TwoOpens(MendedOpen); });
    EXPECT_LT(sim::Scheduler::Get().Steps(), 2 * kPlantedLength);
    int found[2] = {0, 0};
    for (uint64_t seed = 1; seed <= kSchedules; seed++)
        for (sim::Schedule schedule : {sim::Schedule::RandomWalk, sim::Schedule::Pct})
            found[schedule == sim::Schedule::Pct] +=
                !RunSchedule(seed, schedule, kPlantedLength, [] { return TwoOpens(RacyOpen); }).failure.empty();
    EXPECT_GT(found[0], 0) << "random walk";
    EXPECT_GT(found[1], 0) << "PCT";
}

TEST(ScheduleTest, ExplorationFindsNothingInTheMendedOpen)
{
    EXPECT_FALSE(ExploreSchedules(kSchedules, 1000, [] { return TwoOpens(MendedOpen); }).has_value());
}

// A race that needs two preemptions at the right places: a reader whose
// first half of reads all see the writer's first half complete and its
// second half not begun, and whose last read sees the writer done. The
// writer must be stopped after exactly its first half (one preemption) and
// the reader stopped in its own second half (another); a walk that
// switches often almost never holds both threads that still.
constexpr LONG kHalf = 24;
constexpr LONG kReads = 24;

LONG ReadCounter(LONG &counter) { return InterlockedCompareExchange(&counter, 0, 0); }

std::string ReaderSeesTheWriterStopHalfWay()
{
    sim::World::Current().OpenWindow();
    LONG written = 0;
    bool heldHalfWay = true;
    LONG last = 0;
    sim::Thread writer("writer", [&] {
        for (LONG i = 0; i < 2 * kHalf; i++)
            InterlockedIncrement(&written);
    });
    sim::Thread reader("reader", [&] {
        for (LONG i = 0; i < kReads; i++) {
            last = ReadCounter(written);
            heldHalfWay = heldHalfWay && (i >= kReads / 2 || last == kHalf);
        }
    });
    writer.Join();
    reader.Join();
    return heldHalfWay && last == 2 * kHalf ? "the reader saw the writer held half way, then done" : "";
}

// The search's own guarantees, on both planted races: a bound too small
// exhausts its space without a failure; a bound large enough finds it; the
// printed id replays it, trace hash and all.
TEST(ScheduleTest, BoundedSearchFindsARaceAtItsBoundAndItsIdReplaysIt)
{
    struct Case {
        const char *name;
        std::string (*body)();
        int preemptionsNeeded;
    } cases[] = {
        {"same-port open",
         [] {
             sim::World::Current().OpenWindow();
             return TwoOpens(RacyOpen);
         },
         1},
        {"reader inside the writer's halves", ReaderSeesTheWriterStopHalfWay, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto tooFew = testing_support::SearchBounded(c.preemptionsNeeded - 1, 5, 100000, c.body);
        EXPECT_TRUE(tooFew.exhausted);
        EXPECT_FALSE(tooFew.failing.has_value());

        const auto found = testing_support::SearchBounded(c.preemptionsNeeded, 5, 100000, c.body);
        ASSERT_TRUE(found.failing.has_value()) << found.schedules << " schedules";

        // From a snapshot at the window, in child processes: the same
        // schedules in the same order, so the same count and id.
        if (sim::SnapshotSearchSupported()) {
            sim::ArmSnapshotSearch(sim::SnapshotSearch{.bound = c.preemptionsNeeded, .seed = 5});
            {
                sim::World world(sim::WorldOptions{.seed = 5, .schedule = sim::Schedule::Bounded});
                sim::EndSnapshotChild(c.body());
            }
            sim::ArmSnapshotSearch(std::nullopt);
            EXPECT_TRUE(sim::SnapshotSearchFailed());
            EXPECT_EQ(sim::LastSnapshotSearch().schedules, found.schedules);
            EXPECT_EQ(sim::LastSnapshotSearch().failing, found.failing);
        }

        std::printf("%s: found after %llu schedules, id %s\n", c.name, static_cast<unsigned long long>(found.schedules),
                    sim::FormatChoices(*found.failing).c_str());
        const auto id = sim::ParseChoices(sim::FormatChoices(*found.failing));
        ASSERT_TRUE(id.has_value());
        sim::World world(sim::WorldOptions{.seed = 5, .schedule = sim::Schedule::Bounded, .choices = *id});
        EXPECT_EQ(c.body(), found.failure);
        EXPECT_EQ(sim::Scheduler::Get().TraceHash(), found.traceHash);
    }
}

TEST(ScheduleTest, TheRandomWalkMissesTheTwoPreemptionRace)
{
    int found = 0;
    for (uint64_t seed = 1; seed <= 1000; seed++)
        found += !RunSchedule(seed, sim::Schedule::RandomWalk, 0, ReaderSeesTheWriterStopHalfWay).failure.empty();
    EXPECT_EQ(found, 0);
}

TEST(ScheduleTest, ABadScheduleIdIsRefused)
{
    for (const char *text : {"x", "1:", ":1", "1:2,,", "1-2", "1:2:3"})
        EXPECT_FALSE(sim::ParseChoices(text).has_value()) << text;
    EXPECT_EQ(sim::FormatChoices(*sim::ParseChoices("40:1,12:3")), "12:3,40:1");
    EXPECT_EQ(sim::FormatChoices(*sim::ParseChoices("-")), "-");
}

}  // namespace
