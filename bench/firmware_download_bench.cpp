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

#include "driver/base/context.h"
#include "driver/firmware/download.h"
#include "driver/usb/transport.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/io/io.h"
#include "sim/usb/bus.h"
#include "sim/world.h"

namespace {

constexpr size_t kExpectedTransfers = 1337;
constexpr double kMaxRatio = 1.05;

bool gFailed = false;

// The adapter's device object over the chip's bus, as the driver's add-device
// would leave it for the download.
struct Adapter {
    explicit Adapter(sim::usb::Bus &bus)
    {
        driver = sim::io::CreateDriverObject("\\Driver\\NuvixBench");
        IoCreateDevice(driver, sizeof(AdapterContext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        auto *adapter = static_cast<AdapterContext *>(fdo->DeviceExtension);
        adapter->Fdo = fdo;
        adapter->LowerDevice = IoAttachDeviceToDeviceStack(fdo, bus.Pdo());
        LockInitialize(&adapter->Lock);
        InitTransferTracking(adapter);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~Adapter()
    {
        IoDetachDevice(static_cast<AdapterContext *>(fdo->DeviceExtension)->LowerDevice);
        IoDeleteDevice(fdo);
        sim::io::DeleteDriverObject(driver);
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

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
            sim::usb::Bus bus(chip, "usb bench");
            bus.SetControlTransferTime(sim::kTicksPerMillisecond);
            Adapter adapter(bus);

            const sim::Ticks start = sim::Scheduler::Get().Now();
            const auto wallStart = std::chrono::steady_clock::now();
            DownloadFirmware(adapter.fdo);
            const auto wall = std::chrono::steady_clock::now() - wallStart;
            const sim::Ticks end = sim::Scheduler::Get().Now();

            state.SetIterationTime(std::chrono::duration<double>(wall).count());
            wallMs += std::chrono::duration<double, std::milli>(wall).count();
            downloads++;
            simulatedMs = double(end - start) / sim::kTicksPerMillisecond;
            transfers = chip.Transfers().size();
            bus.Drain();
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
