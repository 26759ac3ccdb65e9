// What the deterministic schedules cost: one adapter's whole life (blank chip,
// firmware, configuration, four ports opened and 2 KiB looped back through
// each from four threads, closed, removed, pool checked; see
// tests/support/adapter_life.h) under real threads, the random walk and PCT.
// Reported per schedule:
//   lives_per_s   whole lives per second of wall-clock time (the Time column
//                 is one life)
//   switch_points the switch points one life passes (0 with real threads)
// A life that goes wrong is reported as an error and the program exits 1.
#include <benchmark/benchmark.h>

#include "tests/support/adapter_life.h"

namespace {

bool gFailed = false;

void BM_AdapterLife(benchmark::State &state)
{
    const auto schedule = static_cast<sim::Schedule>(state.range(0));
    uint64_t steps = 0;
    for (auto _ : state) {
        const auto life =
            testing_support::RunAdapterLife(sim::WorldOptions{.seed = 7, .schedule = schedule, .checkWakeRule = false});
        if (!life.failure.empty()) {
            gFailed = true;
            state.SkipWithError(life.failure.c_str());
            return;
        }
        steps = life.steps;
    }
    state.SetLabel(sim::ScheduleName(schedule));
    state.counters["lives_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["switch_points"] = double(steps);
}

BENCHMARK(BM_AdapterLife)
    ->Arg(int(sim::Schedule::RealThreads))
    ->Arg(int(sim::Schedule::RandomWalk))
    ->Arg(int(sim::Schedule::Pct))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return gFailed ? 1 : 0;
}
