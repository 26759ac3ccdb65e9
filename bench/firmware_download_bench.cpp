// The firmware download against a blank chip on a bus that carries one
// control transfer per 1 ms frame: the download is one synchronous transfer
// after another, so its simulated duration should stay within 5% of one
// frame per transfer. Reported per run:
//   control_transfers  what the chip received (1337: 283 loader records,
//                      1048 main firmware records, six CPU control writes)
//   simulated_ms       kernel time from the first transfer to the return
//   bound_ms           control_transfers x 1 ms
//   ratio              simulated_ms / bound_ms, at most 1.05
//   wall_ms            wall-clock time per download, mean over the run (also
//                      the Time column)
// A run that breaks a check is reported as an error and the program exits 1.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "driver/core/driver_entry.h"
#include "driver/firmware/download.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/kernel/bugcheck.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"
#include "sim/world.h"

namespace {

constexpr size_t kExpectedTransfers = 1337;
constexpr double kMaxRatio = 1.05;

bool gFailed = false;

void Fail(benchmark::State &state, const std::string &why)
{
    gFailed = true;
    state.SkipWithError(why.c_str());
}

void BM_DownloadFirmware(benchmark::State &state)
{
    size_t transfers = 0;
    double simulatedMs = 0;
    double wallMs = 0;  // summed over iterations
    int64_t downloads = 0;
    for (auto _ : state) {
        // This thread becomes the world's test thread.
        sim::World world(sim::WorldOptions{.seed = 1, .checkWakeRule = false});
        sim::chip::EzUsbChip chip;
        std::string leaks;
        {
            // The adapter as the platform adds it: the driver loaded, its
            // AddDevice run for the chip, no start (the download is timed alone).
            sim::Testbed bed(DriverEntry, RbGetServiceTable);
            const sim::pnp::PlugResult added =
                bed.pnp->Add(chip, [](sim::usb::Bus &bus) { bus.SetControlTransferTime(sim::kTicksPerMillisecond); });
            if (added.status != STATUS_SUCCESS) {
                Fail(state, "AddDevice failed with " + sim::Hex(static_cast<ULONG>(added.status)));
                break;
            }

            const sim::Ticks start = sim::Scheduler::Get().Now();
            const auto wallStart = std::chrono::steady_clock::now();
            DownloadFirmware(added.device->Fdo());
            const auto wall = std::chrono::steady_clock::now() - wallStart;
            const sim::Ticks end = sim::Scheduler::Get().Now();

            state.SetIterationTime(std::chrono::duration<double>(wall).count());
            wallMs += std::chrono::duration<double, std::milli>(wall).count();
            downloads++;
            simulatedMs = double(end - start) / sim::kTicksPerMillisecond;
            transfers = chip.Transfers().size();
            added.device->Bus().Drain();
            bed.pnp->Remove(*added.device);
        }
        leaks = world.LeakReport();
        if (chip.Running() != sim::chip::Program::Main || chip.ReEnumerations() != 1) {
            Fail(state, "the chip does not run the main firmware after the download");
            break;
        }
        if (!leaks.empty()) {
            Fail(state, "the download leaked: " + leaks);
            break;
        }
    }
    const double boundMs = double(transfers);
    const double ratio = boundMs ? simulatedMs / boundMs : 0;
    state.counters["control_transfers"] = double(transfers);
    state.counters["simulated_ms"] = simulatedMs;
    state.counters["bound_ms"] = boundMs;
    state.counters["ratio"] = ratio;
    state.counters["wall_ms"] = downloads ? wallMs / double(downloads) : 0;
    if (transfers != kExpectedTransfers)
        Fail(state, std::to_string(transfers) + " control transfers, expected " + std::to_string(kExpectedTransfers));
    else if (ratio > kMaxRatio)
        Fail(state, "simulated duration " + std::to_string(simulatedMs) + " ms is over " + std::to_string(kMaxRatio) +
                        " x the bound");
}

BENCHMARK(BM_DownloadFirmware)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gFailed)
        std::fprintf(stderr, "nuvix_bench: a benchmark check failed\n");
    return gFailed ? 1 : 0;
}
