#include "adapter_life.h"

#include <memory>
#include <vector>

#include "driver/core/driver_entry.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/traffic.h"
#include "sim/testbed.h"

namespace testing_support {

namespace {

constexpr const char *kSerial = "NX4A0001";

std::string Life(size_t bytesPerPort)
{
    sim::Testbed bed(DriverEntry, RbGetServiceTable);
    auto [chip, started] = bed.PlugChip();
    if (!NT_SUCCESS(started))
        return "the chip did not start";
    sim::pnp::Device *device = bed.pnp->Current(chip);
    if (!device || chip.Running() != sim::chip::Program::Main)
        return "the adapter did not come back with its main firmware";
    for (int port = 1; port <= 4; port++)
        chip.Firmware()->ConnectLoopback(port);

    sim::host::HostSerialDriver *host = sim::Testbed::Host(kSerial);
    if (!host)
        return "no host serial driver for the adapter";
    for (int i = 0; i < 4; i++) {
        sim::host::HostPort &port = *sim::Testbed::HostPort(kSerial, i);
        if (!OpenForTraffic(*host, port, 700 + 100 * i, 500 + 50 * i))
            return "port " + std::to_string(i) + " did not open";
    }
    std::string failures[4];
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int i = 0; i < 4; i++)
            threads.push_back(std::make_unique<sim::Thread>("echo " + std::to_string(i), [&, i] {
                failures[i] = CheckedEcho(*host, *sim::Testbed::HostPort(kSerial, i), i, bytesPerPort);
            }));
        for (auto &thread : threads)
            thread->Join();
    }
    for (const std::string &failure : failures)
        if (!failure.empty())
            return failure;
    for (int i = 0; i < 4; i++)
        if (!host->Close(*sim::Testbed::HostPort(kSerial, i)))
            return "port " + std::to_string(i) + " did not close";
    if (bed.pnp->Remove(*device).Refused())
        return "the removal was refused";
    bed.Unload();
    return "";
}

}  // namespace

LifeResult RunAdapterLife(const sim::WorldOptions &options, size_t bytesPerPort)
{
    LifeResult result;
    sim::World world(options);
    result.failure = Life(bytesPerPort);
    if (result.failure.empty())
        result.failure = world.LeakReport();
    result.kernelTime = sim::Scheduler::Get().Now();
    result.steps = sim::Scheduler::Get().Steps();
    result.traceHash = sim::Scheduler::Get().TraceHash();
    return result;
}

}  // namespace testing_support
