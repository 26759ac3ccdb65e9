#include "adapter_life.h"

#include <memory>
#include <vector>

#include "driver/core/driver_entry.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/kernel/registry.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"

namespace testing_support {

namespace {

constexpr const char *kSerial = "NX4A0001";
constexpr int64_t kPatience = 2 * sim::kTicksPerSecond;

// `total` bytes through a looped-back port, written and read by one thread.
std::string Echo(sim::host::HostSerialDriver &host, sim::host::HostPort &port, int index, size_t total)
{
    size_t sent = 0, received = 0;
    uint8_t buffer[256];
    while (received < total) {
        while (sent < total) {
            uint8_t chunk[97];
            const size_t n = std::min(sizeof(chunk), total - sent);
            for (size_t i = 0; i < n; i++)
                chunk[i] = static_cast<uint8_t>((sent + i) * 7 + index);
            const size_t taken = host.Write(port, chunk, n);
            sent += taken;
            if (taken < n)
                break;
        }
        const size_t n = host.Read(port, buffer, sizeof(buffer));
        for (size_t i = 0; i < n; i++)
            if (buffer[i] != static_cast<uint8_t>((received + i) * 7 + index))
                return "port " + std::to_string(index) + ": wrong byte at " + std::to_string(received + i);
        received += n;
        if (n == 0 && !host.WaitReadable(port, kPatience))
            return "port " + std::to_string(index) + ": stalled at " + std::to_string(received);
    }
    return "";
}

std::string Life(size_t bytesPerPort)
{
    sim::Registry::Get().CreateKey(sim::pnp::PnpManager::kParametersKey);
    // The chip outlives the manager, which owns the buses over it.
    sim::chip::EzUsbChip chip;
    auto pnp = std::make_unique<sim::pnp::PnpManager>(DriverEntry, RbGetServiceTable);
    if (!NT_SUCCESS(sim::pnp::PlugChip(*pnp, chip).status))
        return "the chip did not start";
    sim::pnp::Device *device = pnp->Current(chip);
    if (!device || chip.Running() != sim::chip::Program::Main)
        return "the adapter did not come back with its main firmware";
    for (int port = 1; port <= 4; port++)
        chip.Firmware()->ConnectLoopback(port);

    sim::pnp::ConfigManager &cm = sim::pnp::ConfigManager::Get();
    sim::host::HostSerialDriver *host = cm.HostFor(kSerial);
    if (!host)
        return "no host serial driver for the adapter";
    for (int i = 0; i < 4; i++) {
        sim::host::HostPort &port = *cm.HostPortFor(kSerial, i);
        if (!host->Open(port) || !host->Bind(port, 700 + 100 * i, 500 + 50 * i))
            return "port " + std::to_string(i) + " did not open";
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
        host->Control(port, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
    }
    std::string failures[4];
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int i = 0; i < 4; i++)
            threads.push_back(std::make_unique<sim::Thread>("echo " + std::to_string(i), [&, i] {
                failures[i] = Echo(*host, *cm.HostPortFor(kSerial, i), i, bytesPerPort);
            }));
        for (auto &thread : threads)
            thread->Join();
    }
    for (const std::string &failure : failures)
        if (!failure.empty())
            return failure;
    for (int i = 0; i < 4; i++)
        if (!host->Close(*cm.HostPortFor(kSerial, i)))
            return "port " + std::to_string(i) + " did not close";
    if (pnp->Remove(*device).Refused())
        return "the removal was refused";
    pnp.reset();
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
