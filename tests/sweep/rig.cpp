#include "rig.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "driver/core/driver_entry.h"
#include "harness.h"
#include "sim/host/traffic.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/resources.h"
#include "sim/adapter/uart.h"
#include "sim/pnp/config_manager.h"

namespace sweep {

namespace {

uint8_t Pattern(size_t position, int index) { return static_cast<uint8_t>(position * 7 + index * 31 + position / 251); }
}  // namespace

void Sleep(int64_t ticks)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -ticks;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// --- Socket ---------------------------------------------------------------

void Socket::SetPhase(int phase)
{
    std::lock_guard lock(mutex_);
    longest_[phase_] = std::max(longest_[phase_], stepsInPhase_);
    phase_ = phase;
    stepsInPhase_ = 0;
}

uint64_t Socket::Longest(int phase)
{
    std::lock_guard lock(mutex_);
    uint64_t longest = longest_[phase];
    return phase == phase_ ? std::max(longest, stepsInPhase_) : longest;
}

int Socket::Phase()
{
    std::lock_guard lock(mutex_);
    return phase_;
}

uint64_t Socket::Steps()
{
    std::lock_guard lock(mutex_);
    return steps_;
}

uint64_t Socket::StepsInPhase()
{
    std::lock_guard lock(mutex_);
    return stepsInPhase_;
}

void Socket::ArmPull(int phase, uint64_t step)
{
    std::lock_guard lock(mutex_);
    armed_ = true;
    armedPhase_ = phase;
    armedStep_ = step;
}

void Socket::Pull()
{
    sim::usb::Bus *bus = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (pulled_)
            return;
        pulled_ = true;
        armed_ = false;
        bus = bus_;
        // Whatever waits on the bus fails now, as when the cable goes. The
        // bus does it on its own thread; Plugged(null) comes before the bus
        // goes and waits for this lock.
        if (bus)
            bus->Schedule(0, [bus] { bus->SetDeviceGone(true); });
    }
    sim::Scheduler::Get().Change([&] { pulledForScheduler_ = true; });
}

bool Socket::Pulled()
{
    std::lock_guard lock(mutex_);
    return pulled_;
}

void Socket::Restore()
{
    {
        std::lock_guard lock(mutex_);
        pulled_ = false;
        armed_ = false;
        steps_ = stepsInPhase_ = 0;
        phase_ = 0;
        longest_.clear();
    }
    sim::Scheduler::Get().Change([&] { pulledForScheduler_ = false; });
}

bool Socket::Step()
{
    bool pull = false;
    {
        std::lock_guard lock(mutex_);
        if (pulled_)
            return false;
        if (armed_ && phase_ == armedPhase_ && stepsInPhase_ == armedStep_)
            pull = true;
        steps_++;
        stepsInPhase_++;
    }
    if (pull) {
        Pull();
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> Socket::Descriptor(uint8_t type, uint8_t index, uint16_t language)
{
    if (!Step())
        return std::nullopt;
    return inner_.Descriptor(type, index, language);
}

USBD_STATUS Socket::ControlOut(const sim::usb::SetupPacket &setup, const uint8_t *data, size_t length)
{
    if (!Step())
        return USBD_STATUS_DEV_NOT_RESPONDING;
    return inner_.ControlOut(setup, data, length);
}

USBD_STATUS Socket::SetConfiguration(uint8_t value)
{
    if (!Step())
        return USBD_STATUS_DEV_NOT_RESPONDING;
    return inner_.SetConfiguration(value);
}

sim::usb::BulkAnswer Socket::BulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    if (!Step())
        return sim::usb::BulkAnswer::Failed(USBD_STATUS_DEV_NOT_RESPONDING);
    return inner_.BulkOut(endpoint, data, length);
}

sim::usb::BulkAnswer Socket::BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity)
{
    if (!Step())
        return sim::usb::BulkAnswer::Failed(USBD_STATUS_DEV_NOT_RESPONDING);
    return inner_.BulkIn(endpoint, buffer, capacity);
}

void Socket::ResetPipe(uint8_t endpoint)
{
    if (Step())
        inner_.ResetPipe(endpoint);
}

void Socket::Plugged(sim::usb::Bus *bus)
{
    {
        std::lock_guard lock(mutex_);
        bus_ = bus;
    }
    inner_.Plugged(bus);
}

// --- Rig ------------------------------------------------------------------

Rig::Rig(const std::string &caseId, uint64_t seed, RigOptions rigOptions)
    : options(std::move(rigOptions)), world(sim::WorldOptions{seed, sim::ClockMode::Simulated})
{
    sim::SetBugCheckNote("sweep case " + caseId + ", simulation seed " + std::to_string(world.Seed()));
    sim::chip::ChipOptions chipOptions;
    chipOptions.runningMain = !options.blank;
    chipOptions.serialNumber = options.serial;
    chip = std::make_unique<sim::chip::EzUsbChip>(chipOptions);
    socket = std::make_unique<Socket>(*chip);
    if (options.beforeDriverLoads)
        options.beforeDriverLoads();
    bed = std::make_unique<sim::Testbed>(DriverEntry, RbGetServiceTable);
    SetBusModes();
    chip->OnReEnumerate([this](sim::chip::Program) {
        // A device out of its socket cannot come back.
        if (socket->Pulled())
            return;
        if (options.phaseOnReEnumerate >= 0)
            socket->SetPhase(options.phaseOnReEnumerate);
        bed->pnp->DeviceLeftAndReturned(*socket);
    });
}

Rig::~Rig()
{
    if (remover_)
        JoinRemover();
    bed->Unload();
}

std::string Rig::StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

NTSTATUS Rig::PlugIn()
{
    sim::Scheduler::Get().Change([&] { plugging_ = true; });
    NTSTATUS status = bed->pnp->Plug(*socket).status;
    bed->pnp->WaitIdle();
    sim::Scheduler::Get().Change([&] { plugging_ = false; });
    return status;
}

sim::pnp::Device *Rig::Current() { return bed->pnp ? bed->pnp->Current(*socket) : nullptr; }

void Rig::SetBusModes()
{
    bed->pnp->OnNewBus([completion = options.completion](sim::usb::Bus &bus) { bus.SetCompletionMode(completion); });
}

AdapterContext *Rig::Adapter()
{
    sim::pnp::Device *device = Current();
    return device && device->Fdo() ? static_cast<AdapterContext *>(device->Fdo()->DeviceExtension) : nullptr;
}

sim::host::HostSerialDriver *Rig::Host() { return sim::Testbed::Host(options.serial); }

sim::host::HostPort *Rig::Port(int index) { return sim::Testbed::HostPort(options.serial, index); }

bool Rig::OpenPort(int index)
{
    sim::host::HostSerialDriver *host = Host();
    sim::host::HostPort *port = Port(index);
    if (!host || !port)
        return false;
    // Hardware flow control, so a full receiver holds the sender off.
    if (!sim::host::OpenForTraffic(*host, *port, 700 + 100 * index, 500 + 50 * index))
        return false;
    // Success means the settings are on the device.
    if (auto firmware = Firmware(); firmware && !socket->Pulled()) {
        sim::adapter::PortState state = firmware->Port(index + 1);
        uint8_t flow = sim::adapter::kHandshakeCts | sim::adapter::kHandshakeRts;
        if (!state.open || (state.line.handshake & flow) != flow)
            Fail("port " + std::to_string(index) + ": open, bind and flow control reported done, but the firmware " +
                 (state.open ? "has handshake " + std::to_string(state.line.handshake) : "has the port closed"));
    }
    return true;
}

PathResult Rig::Exchange(int index, size_t total, const std::string &label)
{
    sim::host::HostSerialDriver *host = Host();
    sim::host::HostPort *port = Port(index);
    if (!host || !port) {
        if (socket->Pulled())
            return PathResult::Visible;
        Fail(label + ": port " + std::to_string(index) + " has no host record");
        return PathResult::Broken;
    }
    size_t sent = 0, received = 0;
    int restarts = 0;
    int quietWaits = 0;
    constexpr int kQuietWaits = 6;  // 12 s without a byte
    std::vector<uint8_t> buffer(256);
    while (received < total) {
        while (sent < total) {
            uint8_t chunk[97];
            size_t n = std::min(sizeof(chunk), total - sent);
            for (size_t i = 0; i < n; i++)
                chunk[i] = Pattern(sent + i, index);
            size_t taken = host->Write(*port, chunk, n);
            sent += taken;
            if (taken < n)
                break;
        }
        size_t n = host->Read(*port, buffer.data(), buffer.size());
        for (size_t i = 0; i < n; i++) {
            if (buffer[i] != Pattern(received + i, index)) {
                Fail(label + ": port " + std::to_string(index) + " byte " + std::to_string(received + i) +
                     " came back as " + std::to_string(buffer[i]) + ", sent " +
                     std::to_string(Pattern(received + i, index)) + " (bytes lost or corrupted)");
                return PathResult::Broken;
            }
        }
        received += n;
        if (n > 0)
            quietWaits = 0;
        if (n > 0 || host->WaitReadable(*port, kPatience))
            continue;
        if (socket->Pulled())
            return PathResult::Visible;  // the device is gone; the removal tells the host
        // Stalled: the host looks at the idle words and restarts what stopped.
        ULONG rxIdle = port->RxIdle(), txIdle = port->TxIdle();
        size_t unsent = host->Unsent(*port);
        bool restarted = false;
        if (++restarts <= 8) {
            if (rxIdle == 1) {
                Note(label + ": port " + std::to_string(index) + " receive path stopped; the host restarts it");
                if (!host->StartRead(*port))
                    return PathResult::Visible;
                restarted = true;
            }
            if (txIdle == 1 && unsent > 0) {
                Note(label + ": port " + std::to_string(index) + " transmit path stopped; the host restarts it");
                if (!host->StartWrite(*port))
                    return PathResult::Visible;
                restarted = true;
            }
        }
        // Nothing stopped: transfers are in flight and the device may be
        // slow (a held pipe); the host waits, up to a limit.
        if (!restarted && ++quietWaits < kQuietWaits)
            continue;
        if (!restarted) {
            Fail(label + ": port " + std::to_string(index) + " stalled at " + std::to_string(received) + " of " +
                 std::to_string(total) + " bytes back for " +
                 std::to_string(quietWaits * kPatience / sim::kTicksPerSecond) + " s (" + std::to_string(sent) +
                 " queued, " + std::to_string(unsent) + " unsent), idle words rx " + std::to_string(rxIdle) + " tx " +
                 std::to_string(txIdle) + (restarts > 8 ? ", after 8 restarts" : ", nothing told the host"));
            return PathResult::Broken;
        }
    }
    return PathResult::Ok;
}

void Rig::RemoveCurrent()
{
    sim::pnp::Device *device = Current();
    if (!device)
        return;
    if (bed->pnp->Remove(*device).Refused()) {
        Note("removal refused; surprise removal");
        bed->pnp->SurpriseRemove(*device);
    }
    bed->pnp->WaitIdle();
}

void Rig::StartRemover()
{
    remover_ = std::make_unique<sim::Thread>("remover", [this] {
        // The platform serialises a device's Plug and Play requests: a start
        // in progress (the plug, a re-enumeration the manager is handling)
        // ends first; nothing new comes once the device is out.
        sim::Scheduler::Get().Block([this] { return socket->PulledLocked() && !plugging_; }, std::nullopt,
                                    "the device to be pulled");
        bed->pnp->WaitIdle();
        const sim::Ticks start = sim::Scheduler::Get().Now();
        while (sim::pnp::Device *device = bed->pnp->Current(*socket)) {
            bed->pnp->SurpriseRemove(*device);
            bed->pnp->WaitIdle();
        }
        removalTicks_ = sim::Scheduler::Get().Now() - start;
    });
}

void Rig::JoinRemover()
{
    if (!remover_)
        return;
    socket->Pull();  // a case that never reached its point pulls at its end
    remover_->Join();
    remover_.reset();
}

void Rig::CheckReplugWorks(const std::string &label)
{
    sim::Resources::Get().ClearFaults();
    socket->Restore();
    if (Firmware())
        Firmware()->SetAnswerMode(sim::adapter::AnswerMode::Normal);
    NTSTATUS status = PlugIn();
    sim::pnp::Device *device = Current();
    if (!device || device->State() != sim::pnp::DeviceState::Started) {
        Fail(label + ": plugged in again, the adapter did not start (plug status " + StatusText(status) +
             (device ? ", state " + std::string(sim::pnp::StateName(device->State())) : ", no device") + ")");
        return;
    }
    if (!Firmware()) {
        Fail(label + ": plugged in again, no firmware runs");
        return;
    }
    Firmware()->ConnectLoopback(1);
    if (!OpenPort(0)) {
        Fail(label + ": plugged in again, port 0 does not open");
    } else {
        if (Exchange(0, 300, label + " (plugged in again)") != PathResult::Ok)
            Fail(label + ": plugged in again, data does not go through");
        if (!Host()->Close(*Port(0)))
            Fail(label + ": plugged in again, port 0 does not close");
    }
    RemoveCurrent();
    SWEEP_CHECK(AdapterTable.Count == 0, label + ": an adapter is left in the table after removal");
}

// Every open port's books: the count of open ports is the number open.
void Rig::CheckBooks(const std::string &label)
{
    AdapterContext *adapter = Adapter();
    if (!adapter)
        return;
    ULONG open = 0;
    for (int i = 0; i < 4; i++)
        if (adapter->Ports[i] && adapter->Ports[i]->Open)
            open++;
    SWEEP_CHECK(adapter->OpenPortCount == open, label + ": OpenPortCount " + std::to_string(adapter->OpenPortCount) +
                                                    " with " + std::to_string(open) + " ports open");
}

// Closes what is open, then every port opens, carries data both ways and
// closes again; then the adapter is removed, which must not be refused.
void Rig::CheckPortsWorkAndRemove(const std::string &label)
{
    auto *host = Host();
    if (!host) {
        Fail(label + ": no host serial driver for a started adapter");
        return;
    }
    AdapterContext *adapter = Adapter();
    for (int i = 0; i < 4; i++)
        if (adapter && adapter->Ports[i] && adapter->Ports[i]->Open)
            SWEEP_CHECK(host->Close(*Port(i)), label + ": an open port does not close");
    for (int i = 0; i < 4; i++) {
        Firmware()->ConnectLoopback(i + 1);
        if (!OpenPort(i)) {
            Fail(label + ": port " + std::to_string(i) + " does not open afterwards");
            continue;
        }
        // Bytes the UART took in before the stop may still be on their way:
        // the host discards what arrives before it starts its own stream.
        Sleep(50 * sim::kTicksPerMillisecond);
        uint8_t stale[1024];
        size_t discarded = 0;
        for (size_t n; (n = host->Read(*Port(i), stale, sizeof(stale))) > 0;)
            discarded += n;
        if (discarded)
            Note("port " + std::to_string(i) + ": " + std::to_string(discarded) + " bytes from before discarded");
        if (Exchange(i, 200, label + " (afterwards)") != PathResult::Ok)
            Fail(label + ": port " + std::to_string(i) + " carries no data afterwards");
        SWEEP_CHECK(host->Close(*Port(i)), label + ": port " + std::to_string(i) + " does not close afterwards");
    }
    CheckBooks(label);
    sim::pnp::Device *device = Current();
    if (device && bed->pnp->Remove(*device).Refused()) {
        Fail(label + ": removal refused with every port closed (OpenPortCount " +
             std::to_string(Adapter() ? Adapter()->OpenPortCount : 0) + ")");
        bed->pnp->SurpriseRemove(*device);
    }
    bed->pnp->WaitIdle();
    SWEEP_CHECK(AdapterTable.Count == 0, label + ": an adapter is left in the table after removal");
}

void Rig::CheckFreshAdapterWorks(const std::string &label)
{
    sim::Resources::Get().ClearFaults();
    sim::chip::ChipOptions chipOptions;
    chipOptions.runningMain = true;
    chipOptions.serialNumber = "NX4AF001";
    spares_.push_back(std::make_unique<sim::chip::EzUsbChip>(chipOptions));
    sim::chip::EzUsbChip &fresh = *spares_.back();
    if (!bed->pnp) {
        bed->Load();
        SetBusModes();
    }
    auto result = bed->pnp->Plug(fresh);
    bed->pnp->WaitIdle();
    if (result.status != STATUS_SUCCESS || !result.device) {
        Fail(label + ": a fresh adapter does not start (" + StatusText(result.status) + ")");
        return;
    }
    auto *host = sim::Testbed::Host(chipOptions.serialNumber);
    auto *port = sim::Testbed::HostPort(chipOptions.serialNumber, 2);
    if (!host || !port) {
        Fail(label + ": a fresh adapter got no host ports");
    } else {
        fresh.Firmware()->ConnectLoopback(3);
        if (!sim::host::OpenForTraffic(*host, *port, 1024, 1024, sim::host::Flow::None)) {
            Fail(label + ": a fresh adapter's port does not open");
        } else {
            std::vector<uint8_t> out(200);
            for (size_t i = 0; i < out.size(); i++)
                out[i] = static_cast<uint8_t>(i * 13 + 5);
            if (std::string failure = sim::host::ShortEcho(*host, *port, out, kPatience); !failure.empty())
                Fail(label + ": a fresh adapter's data did not come back whole (" + failure + ")");
            if (!host->Close(*port))
                Fail(label + ": a fresh adapter's port does not close");
        }
    }
    if (bed->pnp->Remove(*result.device).Refused())
        Fail(label + ": a fresh adapter's removal is refused with every port closed");
    bed->pnp->WaitIdle();
    SWEEP_CHECK(AdapterTable.Count == 0, label + ": an adapter is left in the table after removal");
}

void Rig::FinishAndCheckPool()
{
    if (remover_)
        JoinRemover();
    bed->Unload();
    std::string leaks = world.LeakReport();
    if (!leaks.empty())
        Fail("the pool check found allocations the driver still holds:\n" + leaks);
    finished_ = true;
}

}  // namespace sweep
