#include "rig.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "driver/base/context.h"
#include "driver/core/driver_entry.h"
#include "driver/service/serial_settings.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/bus.h"

namespace nuvix::bench {

namespace {

constexpr int kPorts = sim::adapter::kPorts;
constexpr uint32_t kBaud = 115200;
constexpr uint8_t kRtsCts = HANDSHAKE_RTS | HANDSHAKE_CTS;
constexpr sim::Ticks kPatience = 5 * sim::kTicksPerSecond;
// Who hears each port: itself through the loopback plug, or its partner
// across the null-modem cable.
constexpr std::array<int, kPorts + 1> kListener = {0, 1, 2, 4, 3};
// Rings large enough that the host never throttles the path it measures.
constexpr ULONG kRing = 4096;
constexpr size_t kChunk = 1024;

sim::Ticks Now() { return sim::Scheduler::Get().Now(); }

void Pause(sim::Ticks ticks)
{
    sim::Scheduler &scheduler = sim::Scheduler::Get();
    scheduler.Block([] { return false; }, scheduler.Now() + ticks, "a pause for the adapter to settle");
}

// The byte at position i of the stream a port sends.
uint8_t StreamByte(int port, uint64_t i) { return static_cast<uint8_t>(i * 131 + (i >> 8) + uint64_t(port) * 17); }

}  // namespace

struct Rig::Adapter {
    Adapter(const std::string &serial, sim::adapter::MainFirmware &firmware) : serial(serial), firmware(firmware) {}
    std::string serial;
    sim::adapter::MainFirmware &firmware;
    sim::pnp::Device *device = nullptr;
    sim::host::HostSerialDriver *host = nullptr;
    std::array<sim::host::HostPort *, kPorts + 1> ports{};
};

Rig::Rig(RigOptions options) : options_(options)
{
    for (auto &counter : ErrorStats)
        counter = 0;
    bed_ = std::make_unique<sim::Testbed>(DriverEntry, RbGetServiceTable);
    bed_->pnp->OnNewBus([timing = options.busTiming](sim::usb::Bus &bus) {
        bus.SetControlTransferTime(sim::kTicksPerMillisecond);
        bus.SetBulkTiming(timing);
    });
    for (int i = 0; i < options.adapters; i++) {
        char serial[16];
        std::snprintf(serial, sizeof(serial), "NX4B%04d", i + 1);
        adapters_.push_back(std::make_unique<Adapter>(serial, bed_->Own<sim::adapter::MainFirmware>(serial)));
        Adapter &adapter = *adapters_.back();
        sim::pnp::PlugResult plugged = bed_->pnp->Plug(adapter.firmware);
        if (plugged.status != STATUS_SUCCESS || !plugged.device) {
            failure_ = "adapter " + adapter.serial + " did not start";
            return;
        }
        adapter.device = plugged.device;
        if (!OpenPorts(adapter))
            return;
    }
}

Rig::~Rig()
{
    for (auto &adapter : adapters_)
        if (adapter->host)
            for (int port = 1; port <= kPorts; port++)
                if (adapter->ports[port])
                    adapter->host->Close(*adapter->ports[port]);
    for (auto &adapter : adapters_)
        if (adapter->device)
            bed_->pnp->Remove(*adapter->device);
    bed_.reset();
}

bool Rig::Ready(std::string &why) const
{
    why = failure_;
    return failure_.empty();
}

bool Rig::OpenPorts(Adapter &adapter)
{
    adapter.host = sim::Testbed::Host(adapter.serial);
    for (int port = 1; port <= kPorts; port++)
        adapter.ports[port] = sim::Testbed::HostPort(adapter.serial, port - 1);
    if (!adapter.host) {
        failure_ = "no host serial driver for " + adapter.serial;
        return false;
    }
    adapter.firmware.ConnectLoopback(1);
    adapter.firmware.ConnectLoopback(2);
    adapter.firmware.ConnectNullModem(3, 4);
    for (int port = 1; port <= kPorts; port++) {
        sim::host::HostPort *hostPort = adapter.ports[port];
        ULONG baud = kBaud;
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
        if (!hostPort || !adapter.host->Open(*hostPort) || !adapter.host->Bind(*hostPort, kRing, kRing) ||
            !adapter.host->Control(*hostPort, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0) ||
            !adapter.host->Control(*hostPort, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0) ||
            !adapter.host->Control(*hostPort, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0)) {
            failure_ = adapter.serial + " port " + std::to_string(port) + " did not open";
            return false;
        }
    }
    // Until the command channel has carried the settings to every UART.
    const sim::Ticks deadline = Now() + kPatience;
    for (int port = 1; port <= kPorts; port++) {
        for (;;) {
            const sim::adapter::PortState state = adapter.firmware.Port(port);
            if (state.open && state.line.baud == kBaud && (state.line.handshake & kRtsCts) == kRtsCts)
                break;
            if (Now() >= deadline) {
                failure_ = adapter.serial + " port " + std::to_string(port) + "'s UART was never set up";
                return false;
            }
            Pause(sim::kTicksPerMillisecond);
        }
    }
    return true;
}

StreamResult Rig::Stream(uint64_t bytes)
{
    StreamResult result;
    std::atomic<bool> failed{false};
    std::string failure;
    std::mutex failureMutex;
    auto fail = [&](std::string why) {
        std::lock_guard lock(failureMutex);
        if (!failed.exchange(true))
            failure = std::move(why);
    };
    auto transfers = [this] {
        uint64_t n = 0;
        for (auto &adapter : adapters_)
            n += adapter->device->Bus().Counts().bulkTransfers;
        return n;
    };

    std::vector<std::unique_ptr<sim::Thread>> threads;
    const uint64_t transfersBefore = transfers();
    const sim::Ticks kernelStart = Now();
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto &each : adapters_) {
        Adapter *adapter = each.get();
        for (int port = 1; port <= kPorts; port++) {
            threads.push_back(std::make_unique<sim::Thread>("producer", [adapter, port, bytes, &fail, &failed] {
                std::vector<uint8_t> chunk(kChunk);
                uint64_t sent = 0;
                while (sent < bytes && !failed) {
                    const size_t want = size_t(std::min<uint64_t>(bytes - sent, kChunk));
                    for (size_t i = 0; i < want; i++)
                        chunk[i] = StreamByte(port, sent + i);
                    size_t offset = 0;
                    while (offset < want) {
                        offset += adapter->host->Write(*adapter->ports[port], chunk.data() + offset, want - offset);
                        if (offset < want && !adapter->host->WaitWritable(*adapter->ports[port], kPatience)) {
                            fail(adapter->serial + " port " + std::to_string(port) + " could not write");
                            return;
                        }
                    }
                    sent += want;
                }
            }));
            threads.push_back(std::make_unique<sim::Thread>("consumer", [adapter, port, bytes, &fail, &failed] {
                const int sender = kListener[port];
                std::vector<uint8_t> buffer(kChunk);
                uint64_t received = 0;
                while (received < bytes && !failed) {
                    const size_t n = adapter->host->Read(*adapter->ports[port], buffer.data(), buffer.size());
                    for (size_t i = 0; i < n; i++) {
                        if (buffer[i] != StreamByte(sender, received + i)) {
                            fail(adapter->serial + " port " + std::to_string(port) + " byte " +
                                 std::to_string(received + i) + " is not what was sent");
                            return;
                        }
                    }
                    received += n;
                    if (n == 0 && received < bytes && !adapter->host->WaitReadable(*adapter->ports[port], kPatience)) {
                        fail(adapter->serial + " port " + std::to_string(port) + " stalled after " +
                             std::to_string(received) + " bytes");
                        return;
                    }
                }
            }));
        }
    }
    for (auto &thread : threads)
        thread->Join();
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    result.kernelSeconds = double(Now() - kernelStart) / double(sim::kTicksPerSecond);
    result.bulkTransfers = transfers() - transfersBefore;
    result.payload = 2 * bytes * kPorts * adapters_.size();
    result.ok = !failed;
    result.failure = failure;
    return result;
}

}  // namespace nuvix::bench
