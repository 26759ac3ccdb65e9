// What every sweep case builds on: one simulated machine with the driver
// loaded by the Plug and Play manager, an adapter chip behind a socket that
// counts the requests reaching the device and can pull it out at any of
// them, the host serial driver's ports, and data checked byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "driver/base/adapter_table.h"
#include "driver/base/context.h"
#include "sim/adapter/main_firmware.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"
#include "sim/world.h"

namespace sweep {

// The adapter's place on the bus. Every request that reaches the device is
// one step; steps are also counted from the start of the current phase (set
// by the case). Pulled out, the device answers nothing any more, as a
// device that lost its cable: the bus fails whatever waits on it, and a
// remover thread (see Rig::StartRemover) gives the Plug and Play manager
// the surprise removal.
class Socket : public sim::usb::DeviceModel {
public:
    explicit Socket(sim::usb::DeviceModel &inner) : inner_(inner) {}

    void SetPhase(int phase);
    int Phase();
    uint64_t Steps();
    uint64_t StepsInPhase();
    // The most steps any phase with this number has taken so far.
    uint64_t Longest(int phase);
    // Pulls the device out at that step of that phase (0: its first request).
    void ArmPull(int phase, uint64_t step);
    void Pull();
    bool Pulled();
    // Plugged back: the device answers again; counters start over.
    void Restore();
    // True once Pull happened (the remover's readiness test; scheduler lock).
    bool PulledLocked() const { return pulledForScheduler_; }

    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) override;
    USBD_STATUS ControlOut(const sim::usb::SetupPacket &setup, const uint8_t *data, size_t length) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    sim::usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    sim::usb::BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override;
    void ResetPipe(uint8_t endpoint) override;
    void Plugged(sim::usb::Bus *bus) override;

private:
    // Counts one request; false when the device is out.
    bool Step();

    sim::usb::DeviceModel &inner_;
    sim::Mutex mutex_;
    sim::usb::Bus *bus_ = nullptr;
    int phase_ = 0;
    uint64_t steps_ = 0;
    uint64_t stepsInPhase_ = 0;
    std::map<int, uint64_t> longest_;
    bool armed_ = false;
    int armedPhase_ = 0;
    uint64_t armedStep_ = 0;
    bool pulled_ = false;
    bool pulledForScheduler_ = false;
};

enum class PathResult {
    Ok,       // every byte through, each checked
    Visible,  // stopped, and the host was told (a service routine said FALSE)
    Broken,   // lost, corrupted or stalled without the host being told (Fail already called)
};

struct RigOptions {
    sim::usb::CompletionMode completion = sim::usb::CompletionMode::Pend;
    bool blank = true;  // a blank chip, given its firmware at start; else running already
    std::string serial = "NX4A0001";
    // Runs after the world exists and before the driver is loaded (fault
    // injection that must count from the driver's first allocation).
    std::function<void()> beforeDriverLoads;
    // The socket's phase once the chip has left the bus and come back (-1: unchanged).
    int phaseOnReEnumerate = -1;
};

class Rig {
public:
    Rig(const std::string &caseId, uint64_t seed, RigOptions options = {});
    ~Rig();

    // The chip is plugged in; a blank one gets its firmware and comes back.
    // Returns the start's status (the first device's).
    NTSTATUS PlugIn();
    sim::pnp::Device *Current();
    AdapterContext *Adapter();
    sim::host::HostSerialDriver *Host();
    sim::host::HostPort *Port(int index);
    std::shared_ptr<sim::adapter::MainFirmware> Firmware() { return chip->Firmware(); }

    // The host opens, binds and sets hardware flow control; false (and the
    // port closed again if it was opened) when the driver refused a step.
    bool OpenPort(int index);
    // `total` bytes each way through a looped-back port, every byte checked.
    // A path the driver stopped (idle word 1) is restarted as the host does;
    // a stall with both paths running, or a wrong byte, is Broken.
    PathResult Exchange(int index, size_t total, const std::string &label);

    // Removal: query-remove and remove, or surprise removal if refused.
    void RemoveCurrent();
    // A thread that, once the socket is pulled, gives the manager the
    // surprise removal of whatever device presents the socket.
    void StartRemover();
    void JoinRemover();
    // Kernel time the remover's surprise removals took, once it has joined.
    sim::Ticks RemovalTicks() const { return removalTicks_; }

    // The same socket (chip as it is now) plugged in again: it must come up
    // as a working adapter: a port opened, data through, closed, removed.
    void CheckReplugWorks(const std::string &label);
    // The driver's count of open ports is the number of ports open.
    void CheckBooks(const std::string &label);
    // Closes what is open; then every port opens, carries data both ways and
    // closes again; then the adapter is removed, which must not be refused.
    // Whatever the device did before, nothing short of a restart may be
    // needed for that.
    void CheckPortsWorkAndRemove(const std::string &label);
    // A new adapter (another serial, already running) must work.
    void CheckFreshAdapterWorks(const std::string &label);

    // Unloads the driver and runs the pool check (every live allocation is a leak).
    void FinishAndCheckPool();

    static std::string StatusText(NTSTATUS status);

    RigOptions options;
    sim::World world;
    std::unique_ptr<sim::chip::EzUsbChip> chip;
    std::unique_ptr<Socket> socket;
    // Made once the chip is there and beforeDriverLoads has run.
    std::unique_ptr<sim::Testbed> bed;

private:
    void SetBusModes();

    std::unique_ptr<sim::Thread> remover_;
    sim::Ticks removalTicks_ = 0;
    bool plugging_ = false;  // PlugIn in progress (scheduler lock)
    std::vector<std::unique_ptr<sim::chip::EzUsbChip>> spares_;
    bool finished_ = false;
};

// Simulated time the host waits for data before it looks at the idle words.
constexpr int64_t kPatience = 2 * sim::kTicksPerSecond;

void Sleep(int64_t ticks);

}  // namespace sweep
