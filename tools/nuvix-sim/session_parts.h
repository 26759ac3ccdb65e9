// The parts of one nuvix-sim run, shared by the files that tell it: the
// run's constants and waits, one adapter's record, and the Session that goes
// through the phases (session.cpp: the order and the summary;
// session_arrival.cpp: plug-in, download and configuration;
// session_traffic.cpp: ports, data and modem lines; session_departure.cpp:
// close, diagnostic device, removal). Internal to nuvix-sim.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "driver/base/adapter_table.h"
#include "driver/base/protocol.h"
#include "driver/base/context.h"
#include "driver/core/driver_entry.h"
#include "driver/diag/control_device.h"
#include "driver/service/serial_settings.h"
#include "sim/adapter/main_firmware.h"
#include "sim/adapter/protocol.h"
#include "sim/adapter/uart.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/registry.h"
#include "sim/loader/image_loader.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/capture.h"
#include "sim/user/device_file.h"
#include "sim/world.h"
#include "lib/fwimage/image_facts.h"
#include "session.h"

namespace nuvix::simtool {

using sim::adapter::kMsrCts;
using sim::adapter::kMsrDcd;
using sim::adapter::kMsrDsr;
using sim::adapter::kPorts;

constexpr const char *kDiagnosticLink = "\\DosDevices\\ZerafinTest";
constexpr const char *kNodePrefix = "Belmorin\\NUVIX4\\DEV_";

// Long enough for anything a healthy adapter does; a stalled stream or a
// missing event ends the wait and is reported instead of hanging the run.
constexpr sim::Ticks kPatience = 5 * sim::kTicksPerSecond;
// How often a wait for the adapter looks again. In simulated time a look
// only comes once every other thread is idle, so the first one normally
// finds everything done; in real time the adapter may need a few.
constexpr sim::Ticks kLookAgain = 10 * sim::kTicksPerMillisecond;
// Events have stopped once none arrived for this long.
constexpr sim::Ticks kQuiet = 50 * sim::kTicksPerMillisecond;
// The close drain gives up after 0.5 s; a close that took that long lost its marker.
constexpr sim::Ticks kDrainLimit = 5'000'000;
// One control transfer per 1 ms frame, as a full-speed bus carries them: the
// download then takes kernel time, and its progress can be watched.
constexpr sim::Ticks kControlTransferTime = sim::kTicksPerMillisecond;

constexpr uint8_t kAllLines = kMsrCts | kMsrDsr | kMsrDcd;
// Loopback plugs on ports 1 and 2 hear themselves; the null-modem pair 3-4
// hear each other.
constexpr int kListener[kPorts + 1] = {0, 1, 2, 4, 3};
constexpr uint32_t kBaud = 115200;
constexpr uint8_t kRtsCts = sim::adapter::kHandshakeRts | sim::adapter::kHandshakeCts;

// A UART as the line settings should have left it: open, 115200 8N1, RTS/CTS.
bool UartReady(const sim::adapter::PortState &state);
sim::Ticks Now();
void Pause(sim::Ticks ticks);

// Looks until done() holds or the patience runs out.
template <typename F>
bool WaitUntil(F done)
{
    const sim::Ticks deadline = Now() + kPatience;
    while (!done()) {
        if (Now() >= deadline)
            return false;
        Pause(kLookAgain);
    }
    return true;
}

const char *PeerName(int port);

// The firmware download, as the chip saw it.
struct DownloadCounts {
    uint64_t loaderInternal = 0;
    uint64_t mainExternal = 0;
    uint64_t mainInternal = 0;
    uint64_t failed = 0;
    uint64_t Records() const { return loaderInternal + mainExternal + mainInternal; }
};

// --- one adapter ------------------------------------------------------------

// The bytes of one stream, reproducible from the run's seed.
class Stream {
public:
    Stream(uint64_t seed, int adapter, int port)
    {
        std::seed_seq sequence{uint32_t(seed), uint32_t(seed >> 32), uint32_t(adapter), uint32_t(port)};
        rng_.seed(sequence);
    }
    uint8_t Next() { return static_cast<uint8_t>(rng_() >> 24); }

private:
    std::mt19937 rng_;
};

struct PortTally {
    uint64_t toAdapter = 0;    // taken out of the host's transmit ring by the driver
    uint64_t fromAdapter = 0;  // read out of the host's receive ring
    uint64_t commands = 0;     // command frames the firmware received naming the port
    uint64_t events = 0;       // event callbacks the host received
};

struct Adapter {
    int number = 0;
    std::string serial;
    std::unique_ptr<sim::chip::EzUsbChip> chip;
    bool alive = true;  // false once something it needs later is missing
    sim::pnp::Device *device = nullptr;
    AdapterContext *context = nullptr;
    std::shared_ptr<sim::adapter::MainFirmware> firmware;
    sim::host::HostSerialDriver *host = nullptr;
    std::array<sim::host::HostPort *, kPorts + 1> ports{};  // by port number
    std::array<std::atomic<uint64_t>, kPorts + 1> checked{};
    std::array<PortTally, kPorts + 1> tally{};
    std::array<std::pair<ULONG, ULONG>, kPorts + 1> rings{};  // each host port's read and write ring
    std::array<sim::Ticks, kPorts + 1> lastByte{};            // when each port read its last byte
    sim::Ticks longestDrain = 0;                              // the longest close's echo drain
    DownloadCounts download;
    sim::Ticks downloadTime = 0;

    // What the current phase has to say about this adapter, printed by the
    // main thread once the phase is over (adapters may run at once).
    std::vector<std::string> lines;
    sim::Mutex failureMutex;
    std::vector<std::string> failures;

    void Say(std::string line) { lines.push_back(std::move(line)); }
    void Fail(const std::string &why)
    {
        std::lock_guard lock(failureMutex);
        failures.push_back(serial + ": " + why);
    }
    bool HasPorts() const { return host && firmware && std::count(ports.begin() + 1, ports.end(), nullptr) == 0; }
    std::string Indent() const { return std::string(serial.size() + 2, ' '); }
};

// The driver the session runs: the linked one, or a loaded image (whose
// adapter table and counters are its own, out of this program's sight).
struct DriverSource {
    PDRIVER_INITIALIZE entry = DriverEntry;
    sim::host::HostSerialDriver::TableGetter serviceTable = RbGetServiceTable;
    const AdapterTableRecord *table = &AdapterTable;  // null for an image
};

class Session {
public:
    Session(const Options &options, Output &output, sim::usb::Capture *capture, DriverSource driver)
        : options_(options),
          out_(output),
          capture_(capture),
          seed_(sim::World::Current().Seed()),
          bytes_(options.BytesPerStream()),
          driver_(driver)
    {
    }

    bool Run();

private:
    bool Single() const { return options_.adapters == 1; }
    void Heading(const std::string &text);
    void Flush();
    template <typename F>
    void ForEachAlive(const std::string &name, F body);

    void Plug(Adapter &adapter);
    void PlugAll();
    void ShowConfiguration(Adapter &adapter);
    void OpenPorts(Adapter &adapter);
    void Produce(Adapter &adapter, int port, uint64_t total);
    void Consume(Adapter &adapter, int port, uint64_t total);
    void MoveData();
    void ToggleLines(Adapter &adapter);
    void ClosePorts(Adapter &adapter);
    void ReadInformationBlock();
    void TakeTallies(Adapter &adapter);
    void RemoveAll();
    void CheckErrorStat();
    void Summary();

    const Options &options_;
    Output &out_;
    sim::usb::Capture *const capture_;
    const uint64_t seed_;
    const uint64_t bytes_;
    const DriverSource driver_;
    int phase_ = 0;
    // Declared before the manager: the chips must outlive the buses it owns.
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::unique_ptr<sim::Testbed> bed_;  // the driver and its adapters; reset for the pool check
    std::vector<std::string> failures_;
    std::array<ULONG, 3> errorStat_{};
    bool errorStatRead_ = false;
    double dataSeconds_ = 0;
};

}  // namespace nuvix::simtool
