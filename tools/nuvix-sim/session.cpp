#include "session.h"

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
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/registry.h"
#include "sim/loader/image_loader.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/capture.h"
#include "sim/user/device_file.h"
#include "sim/world.h"
#include "lib/fwimage/image_facts.h"

namespace nuvix::simtool {

namespace {

using sim::adapter::kMsrCts;
using sim::adapter::kMsrDcd;
using sim::adapter::kMsrDsr;
using sim::adapter::kPorts;

constexpr const char *kParametersKey = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\NUVIXUSB\\Parameters";
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
constexpr uint8_t kRtsCts = HANDSHAKE_RTS | HANDSHAKE_CTS;

// A UART as the line settings should have left it: open, 115200 8N1, RTS/CTS.
bool UartReady(const sim::adapter::PortState &state)
{
    return state.open && state.line.baud == kBaud && state.line.dataBits == 8 && state.line.parity == 'n' &&
           state.line.stopCode == 1 && (state.line.handshake & kRtsCts) == kRtsCts;
}

sim::Ticks Now() { return sim::Scheduler::Get().Now(); }

void Pause(sim::Ticks ticks)
{
    sim::Scheduler &scheduler = sim::Scheduler::Get();
    scheduler.Block([] { return false; }, scheduler.Now() + ticks, "a pause for the adapter to settle");
}

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

size_t CommonPrefixLength(const std::string &a, const std::string &b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        n++;
    return n;
}

const char *PeerName(int port) { return port <= 2 ? "loopback" : "null modem"; }

// --- the firmware download, as the chip saw it --------------------------------

struct DownloadCounts {
    uint64_t loaderInternal = 0;
    uint64_t mainExternal = 0;
    uint64_t mainInternal = 0;
    uint64_t failed = 0;
    uint64_t Records() const { return loaderInternal + mainExternal + mainInternal; }
};

struct DownloadTotals {
    uint64_t loaderInternal;
    uint64_t mainExternal;
    uint64_t mainInternal;
    uint64_t Records() const { return loaderInternal + mainExternal + mainInternal; }
};

// The chip knows the shipped images, which the driver's tables are built from.
const DownloadTotals &Totals()
{
    static const DownloadTotals totals = [] {
        const auto &images = sim::chip::KnownImages::Shipped();
        const nuvix::fw::ImageFacts loader = nuvix::fw::Examine(images.loader);
        const nuvix::fw::ImageFacts main = nuvix::fw::Examine(images.main);
        return DownloadTotals{loader.internal.records, main.external.records, main.internal.records};
    }();
    return totals;
}

// Records written to internal memory before the 8051 was first let run are
// the loader's; once it runs, the main firmware's external records go
// through it (0xA3), then its internal ones with the 8051 held again.
DownloadCounts CountDownload(const std::vector<sim::chip::ControlTransfer> &transfers)
{
    DownloadCounts counts;
    bool loaderRan = false;
    for (const auto &transfer : transfers) {
        if (transfer.kind != sim::chip::ControlTransfer::Kind::Vendor)
            continue;
        if (transfer.result != USBD_STATUS_SUCCESS)
            counts.failed++;
        if (transfer.request == sim::chip::kLoadInternal && transfer.value == sim::chip::kCpuControl) {
            if (!transfer.data.empty() && transfer.data[0] == 0)
                loaderRan = true;
        } else if (transfer.request == sim::chip::kLoadInternal) {
            (loaderRan ? counts.mainInternal : counts.loaderInternal)++;
        } else if (transfer.request == sim::chip::kLoadExternal) {
            counts.mainExternal++;
        }
    }
    return counts;
}

const char *CurrentPass(const DownloadCounts &counts)
{
    const DownloadTotals &totals = Totals();
    if (counts.loaderInternal < totals.loaderInternal)
        return "loader, internal";
    if (counts.mainExternal < totals.mainExternal)
        return "main, external";
    return "main, internal";
}

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
    sim::Ticks longestDrain = 0;  // the longest close's echo drain
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
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::vector<std::string> failures_;
    std::array<ULONG, 3> errorStat_{};
    bool errorStatRead_ = false;
    double dataSeconds_ = 0;
};

void Session::Heading(const std::string &text)
{
    out_.Detail("");
    out_.Detail(std::to_string(++phase_) + ". " + text);
}

// Prints what each adapter had to say, in adapter order.
void Session::Flush()
{
    for (auto &adapter : adapters_) {
        for (const std::string &line : adapter->lines)
            out_.Detail("    " + line);
        adapter->lines.clear();
    }
}

// The body runs for every adapter still alive, all at once, each on a
// simulated thread of its own, as separate applications would use them.
template <typename F>
void Session::ForEachAlive(const std::string &name, F body)
{
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (auto &adapter : adapters_) {
        if (!adapter->alive)
            continue;
        Adapter *a = adapter.get();
        threads.push_back(std::make_unique<sim::Thread>(name + " " + a->serial, [a, &body] { body(*a); }));
    }
    for (auto &thread : threads)
        thread->Join();
    Flush();
}

// --- 1: plugged in blank, given its firmware ------------------------------------

void Session::Plug(Adapter &adapter)
{
    sim::chip::ChipOptions chipOptions;
    chipOptions.serialNumber = adapter.serial;
    adapter.chip = std::make_unique<sim::chip::EzUsbChip>(chipOptions);
    sim::chip::EzUsbChip &chip = *adapter.chip;
    chip.OnReEnumerate([this, &chip](sim::chip::Program) { pnp_->DeviceLeftAndReturned(chip); });

    // Not plugged in yet: asking the model directly disturbs nothing.
    const auto blank = chip.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
    uint16_t product = 0, vendor = 0;
    if (blank && blank->size() >= 12) {
        vendor = uint16_t((*blank)[8] | (*blank)[9] << 8);
        product = uint16_t((*blank)[10] | (*blank)[11] << 8);
    }
    if (product & 0x8000)
        adapter.Fail("the chip does not present itself as blank");
    if (Single())
        out_.Detail(Format("    %s  blank EZ-USB chip, USB %04X:%04X, %s", adapter.serial.c_str(), vendor, product,
                           chip.Running() == sim::chip::Program::None ? "no program running" : "a program running"));

    const DownloadTotals &totals = Totals();
    const std::string serial = adapter.serial;
    auto sample = [this, &chip, &totals, serial]() -> std::vector<Gauge> {
        const DownloadCounts counts = CountDownload(chip.Transfers());
        if (!Single()) {
            const char *note = counts.Records() >= totals.Records() ? "all three passes" : CurrentPass(counts);
            return {Gauge{serial, counts.Records(), totals.Records(), "records", false, note}};
        }
        return {Gauge{"loader, internal memory", counts.loaderInternal, totals.loaderInternal, "records", false, ""},
                Gauge{"main, external memory", counts.mainExternal, totals.mainExternal, "records", false, ""},
                Gauge{"main, internal memory", counts.mainInternal, totals.mainInternal, "records", false, ""}};
    };

    const sim::Ticks start = Now();
    Meter meter(out_, sample, Meter::Clock::Kernel, 10 * sim::kTicksPerMillisecond, Single() ? 25 : 100);
    const sim::pnp::PlugResult result = pnp_->Plug(chip);
    meter.Finish();
    pnp_->WaitIdle();
    adapter.downloadTime = Now() - start;

    adapter.download = CountDownload(chip.Transfers());
    if (result.status != STATUS_SUCCESS)
        adapter.Fail(Format("the start of the blank chip failed with 0x%08X", unsigned(result.status)));
    if (adapter.download.Records() != totals.Records())
        adapter.Fail(Format("%llu of %llu firmware records written", (unsigned long long)adapter.download.Records(),
                            (unsigned long long)totals.Records()));
    if (adapter.download.failed)
        adapter.Fail(Format("%llu download transfers failed", (unsigned long long)adapter.download.failed));
    if (chip.Running() != sim::chip::Program::Main || chip.ReEnumerations() != 1)
        adapter.Fail(Format("the chip runs %s after %d re-enumerations, not the main firmware after one",
                            sim::chip::ProgramName(chip.Running()), chip.ReEnumerations()));

    adapter.device = pnp_->Current(chip);
    adapter.firmware = chip.Firmware();
    if (!adapter.device || adapter.device->State() != sim::pnp::DeviceState::Started || !adapter.firmware) {
        adapter.Fail("the adapter did not come back started after its firmware download");
        adapter.alive = false;
        return;
    }
    adapter.context = static_cast<AdapterContext *>(adapter.device->Fdo()->DeviceExtension);
    const PUSB_DEVICE_DESCRIPTOR descriptor = adapter.context->DeviceDescriptor;
    if (Single() && descriptor)
        out_.Detail(Format("    %s  left the bus running the main firmware, back as USB %04X:%04X after %s",
                           adapter.serial.c_str(), descriptor->idVendor, descriptor->idProduct,
                           Seconds(adapter.downloadTime).c_str()));
}

void Session::PlugAll()
{
    Heading(Single() ? "A blank adapter is plugged in and given its firmware"
                     : "Blank adapters are plugged in one after another and given their firmware");
    if (Single())
        out_.Detail(Format("    %llu records in three passes, one control transfer per 1 ms frame",
                           (unsigned long long)Totals().Records()));
    for (int n = 1; n <= options_.adapters; n++) {
        auto adapter = std::make_unique<Adapter>();
        adapter->number = n;
        adapter->serial = Format("NX4A%04d", n);
        adapters_.push_back(std::move(adapter));
        // The platform starts one device at a time, and a returning adapter is
        // started by the manager's thread: let it finish before the next one.
        Plug(*adapters_.back());
    }
    int present = 0;
    for (auto &adapter : adapters_)
        present += adapter->device && adapter->device->Present() ? 1 : 0;
    if (!Single())
        out_.Detail(Format("    %d adapters running the main firmware, all present at once (adapter table: %u)",
                           present, driver_.table ? unsigned(driver_.table->Count) : unsigned(present)));
    if (driver_.table && driver_.table->Count != unsigned(options_.adapters))
        failures_.push_back(Format("the driver's adapter table holds %u adapters, not %d",
                                   unsigned(driver_.table->Count), options_.adapters));
}

// --- 2: configured, ports and enumeration node -----------------------------------

void Session::ShowConfiguration(Adapter &adapter)
{
    AdapterContext *context = adapter.context;
    if (!context->Configured || !context->FirmwareRunning || context->PortCount != kPorts) {
        adapter.Fail(Format("not configured for four ports (configured %d, firmware running %d, %u ports)",
                            context->Configured, context->FirmwareRunning, unsigned(context->PortCount)));
        adapter.alive = false;
        return;
    }
    const PUSB_DEVICE_DESCRIPTOR descriptor = context->DeviceDescriptor;
    const ULONG pipes = context->InterfaceInfo ? context->InterfaceInfo->NumberOfPipes : 0;
    if (Single())
        adapter.Say(Format("%s  USB %04X:%04X, configuration %u, %u pipes, %u ports", adapter.serial.c_str(),
                           descriptor ? descriptor->idVendor : 0, descriptor ? descriptor->idProduct : 0,
                           unsigned(adapter.firmware->Configuration()), unsigned(pipes), unsigned(context->PortCount)));
    std::array<std::string, kPorts + 1> names;
    for (int port = 1; port <= kPorts; port++) {
        PortContext *portContext = context->Ports[port - 1];
        names[port] = portContext ? sim::io::DeviceName(portContext->PortDevice) : "";
        if (names[port].empty())
            adapter.Fail(Format("port %d has no named device object", port));
        if (Single())
            adapter.Say(Format("%sport %d  %s", adapter.Indent().c_str(), port, names[port].c_str()));
    }
    if (!Single()) {
        // The four names share all but their ends: prefix{a,b,c,d}.
        size_t common = names[1].size();
        for (int port = 2; port <= kPorts; port++)
            common = std::min(common, CommonPrefixLength(names[1], names[port]));
        std::string ends;
        for (int port = 1; port <= kPorts; port++)
            ends += (port > 1 ? "," : "") + names[port].substr(common);
        adapter.Say(adapter.serial + "  ports " + names[1].substr(0, common) + "{" + ends + "}");
    }

    sim::pnp::ConfigManager &cm = sim::pnp::ConfigManager::Get();
    const std::string nodeId = context->EnumNode && cm.Exists(context->EnumNode) ? cm.DeviceId(context->EnumNode) : "";
    if (nodeId != kNodePrefix + adapter.serial)
        adapter.Fail("the enumeration node is missing or misnamed: '" + nodeId + "'");
    if (Single())
        adapter.Say(adapter.Indent() + "enumeration node  " + nodeId);

    adapter.host = cm.HostFor(adapter.serial);
    for (int port = 1; port <= kPorts; port++)
        adapter.ports[port] = cm.HostPortFor(adapter.serial, port - 1);
    if (!adapter.host || std::count(adapter.ports.begin() + 1, adapter.ports.end(), nullptr)) {
        adapter.Fail("no host serial driver was loaded for the adapter's node");
        adapter.alive = false;
        return;
    }
    std::string records;
    for (int port = 1; port <= kPorts; port++)
        records += (port > 1 ? ", " : "") + sim::Narrow(adapter.ports[port]->Name().c_str());
    if (Single())
        adapter.Say(adapter.Indent() + "host serial driver loaded, port records " + records);
    else
        adapter.Say(adapter.Indent() + "node " + nodeId + ", host serial driver loaded");
}

// --- 3: the host opens the ports --------------------------------------------------

void Session::OpenPorts(Adapter &adapter)
{
    adapter.firmware->ConnectLoopback(1);
    adapter.firmware->ConnectLoopback(2);
    adapter.firmware->ConnectNullModem(3, 4);
    // Ring sizes from the seed, small enough to wrap many times.
    std::mt19937 choose(uint32_t(seed_ * 31 + uint64_t(adapter.number)));
    sim::host::HostSerialDriver &host = *adapter.host;
    std::array<std::pair<ULONG, ULONG>, kPorts + 1> rings{};
    for (int port = 1; port <= kPorts; port++) {
        sim::host::HostPort &hostPort = *adapter.ports[port];
        rings[port] = {64 + choose() % 2000, 16 + choose() % 2000};
        if (!host.Open(hostPort) || !host.Bind(hostPort, rings[port].first, rings[port].second)) {
            adapter.Fail(Format("port %d could not be opened and bound", port));
            adapter.alive = false;
            return;
        }
        ULONG baud = kBaud;
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
        if (!host.Control(hostPort, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0) ||
            !host.Control(hostPort, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0) ||
            !host.Control(hostPort, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0))
            adapter.Fail(Format("port %d refused its line settings", port));
    }
    // What the UARTs were told, once the command channel has carried it all.
    WaitUntil([&] {
        for (int port = 1; port <= kPorts; port++)
            if (!UartReady(adapter.firmware->Port(port)))
                return false;
        return true;
    });
    int good = 0;
    for (int port = 1; port <= kPorts; port++) {
        const sim::adapter::PortState state = adapter.firmware->Port(port);
        const bool rtsCts = (state.line.handshake & kRtsCts) == kRtsCts;
        const bool ok = UartReady(state);
        good += ok;
        if (!ok)
            adapter.Fail(Format("port %d's UART is not open at 115200 8N1 with RTS/CTS handshake", port));
        if (Single())
            adapter.Say(Format("port %d  open, rings %4u/%4u bytes, UART %u %u%c%u, %s handshake, %s", port,
                               unsigned(rings[port].first), unsigned(rings[port].second), unsigned(state.line.baud),
                               unsigned(state.line.dataBits), char(std::toupper(state.line.parity)),
                               unsigned(state.line.stopCode), rtsCts ? "RTS/CTS" : "no", PeerName(port)));
    }
    if (!Single())
        adapter.Say(
            Format("%s  %d of 4 ports open at 115200 8N1 with RTS/CTS handshake", adapter.serial.c_str(), good));
}

// --- 4: data ---------------------------------------------------------------------

void Session::Produce(Adapter &adapter, int port, uint64_t total)
{
    sim::host::HostSerialDriver &host = *adapter.host;
    sim::host::HostPort &hostPort = *adapter.ports[port];
    Stream stream(seed_, adapter.number, port);
    std::mt19937 sizes(uint32_t(seed_ * 7 + uint64_t(adapter.number) * 5 + uint64_t(port)));
    std::vector<uint8_t> chunk;
    uint64_t sent = 0;
    while (sent < total) {
        const size_t want = size_t(std::min<uint64_t>(total - sent, 1 + sizes() % 300));
        chunk.resize(want);
        for (auto &byte : chunk)
            byte = stream.Next();
        size_t offset = 0;
        while (offset < want) {
            offset += host.Write(hostPort, chunk.data() + offset, want - offset);
            if (offset < want && !host.WaitWritable(hostPort, kPatience)) {
                adapter.Fail(
                    Format("port %d could not write after %llu bytes", port, (unsigned long long)(sent + offset)));
                return;
            }
        }
        sent += want;
    }
}

void Session::Consume(Adapter &adapter, int port, uint64_t total)
{
    sim::host::HostSerialDriver &host = *adapter.host;
    sim::host::HostPort &hostPort = *adapter.ports[port];
    const int sender = kListener[port];
    Stream expected(seed_, adapter.number, sender);
    std::vector<uint8_t> buffer(700);
    uint64_t received = 0;
    while (received < total) {
        const size_t n = host.Read(hostPort, buffer.data(), buffer.size());
        for (size_t i = 0; i < n; i++) {
            const uint8_t want = expected.Next();
            if (buffer[i] != want) {
                adapter.Fail(Format("port %d byte %llu from port %d: got 0x%02X, sent 0x%02X", port,
                                    (unsigned long long)(received + i), sender, buffer[i], want));
                return;
            }
        }
        received += n;
        adapter.checked[port] += n;
        if (n == 0 && received < total && !host.WaitReadable(hostPort, kPatience)) {
            adapter.Fail(Format("port %d stalled after %llu of %llu bytes", port, (unsigned long long)received,
                                (unsigned long long)total));
            return;
        }
    }
}

void Session::MoveData()
{
    std::vector<Adapter *> alive;
    for (auto &adapter : adapters_)
        if (adapter->alive)
            alive.push_back(adapter.get());
    const uint64_t total = bytes_ * kPorts * alive.size();
    // Without bus timing the data takes no kernel time (the UARTs are not
    // paced), so the meter then watches the wall clock (with real threads).
    Meter meter(
        out_,
        [&alive, total] {
            uint64_t done = 0;
            for (Adapter *adapter : alive)
                for (int port = 1; port <= kPorts; port++)
                    done += adapter->checked[port].load();
            return std::vector<Gauge>{Gauge{"data", done, total, "", true, "checked"}};
        },
        // A deterministic run keeps to kernel time even then: its output
        // must not depend on the wall clock.
        options_.busTiming || sim::Scheduler::Get().Deterministic() ? Meter::Clock::Kernel : Meter::Clock::Wall,
        50 * sim::kTicksPerMillisecond, 25);
    const auto wallStart = std::chrono::steady_clock::now();
    const sim::Ticks kernelStart = Now();
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (Adapter *adapter : alive) {
        for (int port = 1; port <= kPorts; port++) {
            threads.push_back(
                std::make_unique<sim::Thread>(Format("producer %s/%d", adapter->serial.c_str(), port),
                                              [this, adapter, port] { Produce(*adapter, port, bytes_); }));
            threads.push_back(
                std::make_unique<sim::Thread>(Format("consumer %s/%d", adapter->serial.c_str(), port),
                                              [this, adapter, port] { Consume(*adapter, port, bytes_); }));
        }
    }
    for (auto &thread : threads)
        thread->Join();
    meter.Finish();
    dataSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double kernelSeconds = double(Now() - kernelStart) / double(sim::kTicksPerSecond);

    for (Adapter *adapter : alive) {
        int good = 0;
        for (int sender = 1; sender <= kPorts; sender++) {
            const int port = kListener[sender];
            const sim::host::PortStats sent = adapter->ports[sender]->Stats();
            const sim::host::PortStats read = adapter->ports[port]->Stats();
            const sim::adapter::PortState state = adapter->firmware->Port(port);
            const bool ok = read.bytesRead == bytes_ && sent.bytesQueued == bytes_ && sent.bytesSent == bytes_ &&
                            state.bytesLost == 0;
            if (!ok)
                adapter->Fail(
                    Format("port %d -> port %d: %llu queued, %llu sent, %llu read of %llu, %llu lost in the "
                           "UART",
                           sender, port, (unsigned long long)sent.bytesQueued, (unsigned long long)sent.bytesSent,
                           (unsigned long long)read.bytesRead, (unsigned long long)bytes_,
                           (unsigned long long)state.bytesLost));
            good += ok;
            if (Single())
                adapter->Say(Format("port %d -> port %d  %s, %s (%s)", sender, port,
                                    FormatBytes(read.bytesRead).c_str(), ok ? "every byte as sent" : "NOT as sent",
                                    PeerName(port)));
        }
        if (!Single())
            adapter->Say(Format("%s  %d of 4 streams of %s arrived whole and in order", adapter->serial.c_str(), good,
                                FormatBytes(bytes_).c_str()));
    }
    Flush();
    const double mib = double(total) / (1024.0 * 1024.0);
    // A deterministic run prints the same every time; the wall clock would not.
    if (!sim::Scheduler::Get().Deterministic())
        out_.Detail(Format("    %s through %zu ports in %.2f s of wall-clock time (%.1f MiB/s)",
                           FormatBytes(total).c_str(), alive.size() * kPorts, dataSeconds_,
                           dataSeconds_ > 0 ? mib / dataSeconds_ : 0.0));
    out_.Always(Format("Data phase: %.3f s of kernel time for %s per stream (%.0f B/s a stream each way%s)",
                       kernelSeconds, FormatBytes(bytes_).c_str(),
                       kernelSeconds > 0 ? double(bytes_) / kernelSeconds : 0.0,
                       options_.busTiming ? "; a pipe carries at most 64,000 B/s" : ", bus timing off"));
}

// --- 5: modem lines ---------------------------------------------------------------

// Until no port of the adapter has had an event for a while.
void WaitForQuiet(Adapter &adapter)
{
    auto count = [&adapter] {
        size_t events = 0;
        for (int port = 1; port <= kPorts; port++)
            events += adapter.ports[port]->EventCount();
        return events;
    };
    size_t before = count();
    for (int look = 0; look < int(kPatience / kQuiet); look++) {
        Pause(kQuiet);
        const size_t now = count();
        if (now == before)
            return;
        before = now;
    }
}

void Session::ToggleLines(Adapter &adapter)
{
    sim::host::HostSerialDriver &host = *adapter.host;
    // Flow control off, so that RTS follows the commands rather than the
    // receive FIFO; DTR and RTS on.
    for (int port = 1; port <= kPorts; port++) {
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
        host.Control(*adapter.ports[port], IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
    }
    // The switch itself moves RTS (the FIFO let go of it), and the events it
    // causes must not be taken for those of the changes below.
    WaitForQuiet(adapter);

    struct Toggle {
        ULONG code;
        const char *name;
        uint8_t expected;  // what the other end sees afterwards
    };
    static const Toggle toggles[] = {
        {IOCTL_SERIAL_CLR_DTR, "CLR_DTR", kMsrCts},
        {IOCTL_SERIAL_SET_DTR, "SET_DTR", kAllLines},
        {IOCTL_SERIAL_CLR_RTS, "CLR_RTS", kMsrDsr | kMsrDcd},
        {IOCTL_SERIAL_SET_RTS, "SET_RTS", kAllLines},
    };
    int good = 0, tried = 0;
    for (int port = 1; port <= kPorts; port++) {
        const int listener = kListener[port];
        sim::host::HostPort &other = *adapter.ports[listener];
        for (const Toggle &toggle : toggles) {
            tried++;
            const uint64_t before = other.EventCount();
            host.Control(*adapter.ports[port], toggle.code, nullptr, 0, nullptr, 0);
            const bool arrived = host.WaitEvents(other, before + 1, kPatience);
            // Anything more than the one change would show up meanwhile.
            WaitForQuiet(adapter);
            const std::vector<EventRecord> events = other.EventsSince(before);
            if (!arrived || events.empty()) {
                adapter.Fail(Format("port %d %s: no event on port %d", port, toggle.name, listener));
                if (Single())
                    adapter.Say(Format("port %d %s  ->  no event on port %d", port, toggle.name, listener));
                continue;
            }
            bool ok = events.size() == 1;
            for (const EventRecord &event : events) {
                const bool right =
                    event.PortNumber == listener && (event.Flags & 1) && event.Values[0] == toggle.expected;
                ok = ok && right;
                if (Single())
                    adapter.Say(Format("port %d %-7s  ->  event: port %d, flags 0x%02X, modem 0x%02X  %s%s", port,
                                       toggle.name, event.PortNumber, event.Flags, event.Values[0],
                                       ModemText(event.Values[0]).c_str(), right ? "" : "  (unexpected)"));
            }
            if (!ok)
                adapter.Fail(Format("port %d %s: expected one event on port %d with modem status %s", port, toggle.name,
                                    listener, ModemText(toggle.expected).c_str()));
            good += ok;
        }
    }
    std::vector<std::string> statusLines;
    bool allUp = true;
    for (int port = 1; port <= kPorts; port++) {
        ULONG status = 0;
        host.Control(*adapter.ports[port], IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
        allUp = allUp && (status & 0xF0) == kAllLines;
        statusLines.push_back(Format("port %d modem status now %s", port, ModemText(uint8_t(status)).c_str()));
    }
    if (!allUp)
        adapter.Fail("the modem status did not come back to CTS, DSR and DCD on every port");
    if (Single() && allUp)
        adapter.Say("modem status now: CTS, DSR and DCD on every port");
    else if (Single())
        for (const std::string &line : statusLines)
            adapter.Say(line);
    else
        adapter.Say(
            Format("%s  %d of %d line changes each gave the one expected event", adapter.serial.c_str(), good, tried));
}

// --- 6: close ------------------------------------------------------------------

void Session::ClosePorts(Adapter &adapter)
{
    int good = 0;
    for (int port = 1; port <= kPorts; port++) {
        const sim::Ticks start = Now();
        const bool closed = adapter.host->Close(*adapter.ports[port]);
        const sim::Ticks took = Now() - start;
        adapter.longestDrain = std::max(adapter.longestDrain, took);
        size_t echoes = 0;
        for (const auto &frame : adapter.firmware->Commands())
            echoes += frame.size() >= 2 && frame[0] == CMD_ECHO && frame[1] == port;
        const bool drained = echoes > 0 && took < kDrainLimit;
        const bool uartClosed = !adapter.firmware->Port(port).open;
        const bool ok = closed && drained && uartClosed;
        if (!ok)
            adapter.Fail(Format("port %d: close %s, drain marker %s, UART %s", port, closed ? "done" : "refused",
                                drained ? "returned" : "lost", uartClosed ? "closed" : "still open"));
        good += ok;
        if (Single())
            adapter.Say(Format("port %d  closed; drain marker echoed back after %.1f ms of kernel time%s", port,
                               double(took) / double(sim::kTicksPerMillisecond), ok ? "" : "  (FAILED)"));
    }
    if (adapter.context->OpenPortCount != 0)
        adapter.Fail(Format("%u ports still counted open", unsigned(adapter.context->OpenPortCount)));
    if (!Single())
        adapter.Say(Format("%s  %d of 4 ports closed with the echo drain", adapter.serial.c_str(), good));
}

// --- 7: the diagnostic device --------------------------------------------------

void Session::ReadInformationBlock()
{
    const std::string target = sim::io::ResolveSymbolicLink(kDiagnosticLink);
    Adapter *owner = nullptr;
    for (auto &adapter : adapters_)
        if (adapter->alive && sim::io::DeviceName(adapter->device->Fdo()) == target)
            owner = adapter.get();
    Heading(std::string("The diagnostic device ") + kDiagnosticLink + " reads the firmware's information block");
    if (!owner) {
        failures_.push_back(std::string(kDiagnosticLink) + " leads to no adapter ('" + target + "')");
        return;
    }
    out_.Detail("    " + std::string(kDiagnosticLink) + " -> " + target + ", adapter " + owner->serial);

    sim::user::Handle handle = nullptr;
    NTSTATUS status = sim::user::Open(kDiagnosticLink, &handle);
    if (status != STATUS_SUCCESS) {
        owner->Fail(Format("the diagnostic device would not open: 0x%08X", unsigned(status)));
        return;
    }
    std::vector<uint8_t> input(GET_INFO_PAYLOAD_SIZE, 0);
    input[0] = 1;  // any port of the adapter will do
    std::array<uint8_t, FIRMWARE_INFO_SIZE> block{};
    ULONG returned = 0;
    status = sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), ULONG(input.size()), block.data(),
                                        ULONG(block.size()), &returned);
    const NTSTATUS closed = sim::user::Close(handle);
    if (status != STATUS_SUCCESS || returned != block.size()) {
        owner->Fail(
            Format("IOCTL_DIAG_GET_INFO gave status 0x%08X and %u bytes", unsigned(status), unsigned(returned)));
        return;
    }
    if (closed != STATUS_SUCCESS)
        owner->Fail(Format("closing the diagnostic device gave 0x%08X", unsigned(closed)));
    if (block != owner->firmware->InfoBlock())
        owner->Fail("the information block differs from the firmware's");
    out_.Detail(Format("    information block, %u bytes:", unsigned(returned)));
    for (const std::string &line : HexDump(block.data(), block.size()))
        out_.Detail("      " + line);
    const std::string name(reinterpret_cast<const char *>(block.data()),
                           strnlen(reinterpret_cast<const char *>(block.data()), 20));
    out_.Detail(Format("    firmware \"%s\", version %u.%u.%u, %u ports", name.c_str(), block[20], block[21], block[22],
                       block[23]));
}

// --- 8: removal ------------------------------------------------------------------

void Session::TakeTallies(Adapter &adapter)
{
    const auto commands = adapter.firmware->Commands();
    for (int port = 1; port <= kPorts; port++) {
        PortTally &tally = adapter.tally[port];
        const sim::host::PortStats stats = adapter.ports[port]->Stats();
        tally.toAdapter = stats.bytesSent;
        tally.fromAdapter = stats.bytesRead;
        tally.events = adapter.ports[port]->EventCount();
        tally.commands = size_t(std::count_if(commands.begin(), commands.end(), [port](const auto &frame) {
            return frame.size() >= 2 && frame[1] == port;
        }));
    }
}

void Session::RemoveAll()
{
    Heading(Single() ? "The adapter is removed" : "The adapters are removed, one after another");
    sim::pnp::ConfigManager &cm = sim::pnp::ConfigManager::Get();
    for (auto &adapter : adapters_) {
        if (adapter->HasPorts())
            TakeTallies(*adapter);
        if (!adapter->device || !adapter->device->Present())
            continue;
        const sim::Ticks start = Now();
        const sim::pnp::QueryOutcome outcome = pnp_->Remove(*adapter->device);
        const sim::Ticks took = Now() - start;
        const bool unloaded = cm.HostFor(adapter->serial) == nullptr;
        const bool nodeGone = !cm.Find(kNodePrefix + adapter->serial);
        const bool removed = !outcome.Refused() && outcome.final == STATUS_SUCCESS &&
                             adapter->device->State() == sim::pnp::DeviceState::Removed;
        if (!removed)
            adapter->Fail(
                Format("removal: query 0x%08X, removal 0x%08X", unsigned(outcome.query), unsigned(outcome.final)));
        if (!unloaded || !nodeGone)
            adapter->Fail("the host serial driver or the enumeration node outlived the adapter");
        out_.Detail(Format("    %s  %s in %s; host serial driver %s, enumeration node %s", adapter->serial.c_str(),
                           removed ? "removed" : "NOT removed", Seconds(took).c_str(),
                           unloaded ? "unloaded" : "still loaded", nodeGone ? "gone" : "still there"));
    }
    if (driver_.table && driver_.table->Count != 0)
        failures_.push_back(Format("the adapter table still holds %u adapters", unsigned(driver_.table->Count)));
}

void Session::CheckErrorStat()
{
    const std::optional<sim::RegistryValue> value = sim::Registry::Get().Query(kParametersKey, "ErrorStat");
    if (!value || value->type != REG_BINARY || value->data.size() != sizeof(errorStat_)) {
        failures_.push_back("the removal wrote no ErrorStat value of three counters");
        return;
    }
    std::memcpy(errorStat_.data(), value->data.data(), sizeof(errorStat_));
    errorStatRead_ = true;
    for (size_t i = 0; i < errorStat_.size(); i++)
        if (driver_.table && errorStat_[i] != ErrorStats[i])
            failures_.push_back("the ErrorStat value differs from the driver's counters");
    if (errorStat_[ERROR_STAT_BAD_RESPONSE_PORT] || errorStat_[ERROR_STAT_SERIAL_TOO_LONG])
        failures_.push_back("the driver counted errors (see ErrorStat)");
}

// --- the summary ---------------------------------------------------------------

void Session::Summary()
{
    out_.Detail("");
    out_.Always("Summary");
    out_.Always(Format("  %-9s %4s  %-10s  %12s  %12s  %8s  %6s", "adapter", "port", "peer", "to adapter",
                       "from adapter", "commands", "events"));
    PortTally total;
    for (auto &adapter : adapters_) {
        for (int port = 1; port <= kPorts; port++) {
            const PortTally &tally = adapter->tally[port];
            out_.Always(Format("  %-9s %4d  %-10s  %12llu  %12llu  %8llu  %6llu", adapter->serial.c_str(), port,
                               PeerName(port), (unsigned long long)tally.toAdapter,
                               (unsigned long long)tally.fromAdapter, (unsigned long long)tally.commands,
                               (unsigned long long)tally.events));
            total.toAdapter += tally.toAdapter;
            total.fromAdapter += tally.fromAdapter;
            total.commands += tally.commands;
            total.events += tally.events;
        }
    }
    out_.Always(Format("  %-9s %4s  %-10s  %12llu  %12llu  %8llu  %6llu", "total", "", "",
                       (unsigned long long)total.toAdapter, (unsigned long long)total.fromAdapter,
                       (unsigned long long)total.commands, (unsigned long long)total.events));
    out_.Always("");
    if (errorStatRead_)
        out_.Always(
            Format("ErrorStat (registry, written at removal): bad response port %u, reserved %u, "
                   "serial number too long %u",
                   unsigned(errorStat_[ERROR_STAT_BAD_RESPONSE_PORT]), unsigned(errorStat_[ERROR_STAT_RESERVED]),
                   unsigned(errorStat_[ERROR_STAT_SERIAL_TOO_LONG])));
    else
        out_.Always("ErrorStat (registry, written at removal): missing");
}

bool Session::Run()
{
    out_.Detail(Format("nuvix-sim: %d adapter%s, %s per stream, %s kernel time, seed %llu, %s schedule",
                       options_.adapters, Single() ? "" : "s", FormatBytes(bytes_).c_str(),
                       options_.realTime ? "real-time" : "simulated", (unsigned long long)seed_,
                       sim::ScheduleName(sim::Scheduler::Get().CurrentSchedule())));

    pnp_ = std::make_unique<sim::pnp::PnpManager>(driver_.entry);
    pnp_->OnNewBus([this, timing = options_.busTiming](sim::usb::Bus &bus) {
        bus.SetControlTransferTime(kControlTransferTime);
        bus.SetBulkTiming(timing);
        if (capture_)
            capture_->Attach(bus);
    });
    PlugAll();

    Heading(Single() ? "The driver configures the adapter: ports and enumeration node"
                     : "The driver configures the adapters: ports and enumeration nodes");
    for (auto &adapter : adapters_)
        if (adapter->alive)
            ShowConfiguration(*adapter);
    Flush();

    Heading("The host serial driver opens the ports: 115200 8N1, RTS/CTS flow control");
    ForEachAlive("open", [this](Adapter &adapter) { OpenPorts(adapter); });

    Heading(Format("Data through every port at once, %s each way per port, every byte checked",
                   FormatBytes(bytes_).c_str()));
    out_.Detail("    loopback plug on ports 1 and 2, null-modem cable between ports 3 and 4");
    MoveData();

    Heading("Modem lines (flow control off): each change shows as an event at the other end");
    ForEachAlive("lines", [this](Adapter &adapter) { ToggleLines(adapter); });

    Heading("The ports close, each with the echo drain");
    ForEachAlive("close", [this](Adapter &adapter) { ClosePorts(adapter); });

    sim::Ticks longestDrain = 0;
    for (auto &adapter : adapters_)
        longestDrain = std::max(longestDrain, adapter->longestDrain);
    out_.Always(Format("Close drain: at most %.1f ms of kernel time per port",
                       double(longestDrain) / double(sim::kTicksPerMillisecond)));

    ReadInformationBlock();
    RemoveAll();
    CheckErrorStat();

    // Unloads the driver; whatever it still holds afterwards is a leak.
    pnp_.reset();
    const std::string leaks = sim::World::Current().LeakReport();
    if (!leaks.empty())
        failures_.push_back("the driver left allocations behind:\n" + leaks);
    if (sim::user::OpenHandles() != 0)
        failures_.push_back("handles on the diagnostic device were left open");

    Summary();
    if (sim::Scheduler::Get().Deterministic())
        out_.Always(Format("Schedule: %s, %llu switch points, trace %016llx (the same seed gives the same trace)",
                           sim::ScheduleName(sim::Scheduler::Get().CurrentSchedule()),
                           (unsigned long long)sim::Scheduler::Get().Steps(),
                           (unsigned long long)sim::Scheduler::Get().TraceHash()));
    if (capture_ && !capture_->Healthy())
        failures_.push_back("the USB capture could not be written to " + options_.pcap);
    if (capture_)
        out_.Always(
            Format("USB capture: %llu records in %s", (unsigned long long)capture_->Records(), options_.pcap.c_str()));
    out_.Always(leaks.empty() ? "Pool check: nothing the driver allocated is left"
                              : "Pool check: the driver left allocations behind");

    for (auto &adapter : adapters_)
        failures_.insert(failures_.end(), adapter->failures.begin(), adapter->failures.end());
    if (failures_.empty()) {
        out_.Always(Format("PASS: %d adapter%s, %d ports, %d streams of %s, every byte checked; every check held",
                           options_.adapters, Single() ? "" : "s", options_.adapters * kPorts,
                           options_.adapters * kPorts, FormatBytes(bytes_).c_str()));
        return true;
    }
    for (const std::string &failure : failures_)
        out_.Always("  failed: " + failure);
    out_.Always(Format("FAIL: %zu check%s failed", failures_.size(), failures_.size() == 1 ? "" : "s"));
    return false;
}

}  // namespace

bool RunSession(const Options &options, Output &output, sim::usb::Capture *capture)
{
    const unsigned long long seed = sim::World::Current().Seed();
    sim::SetBugCheckNote(Format("*** simulation seed %llu (replay: the same options and --seed %llu)", seed, seed));
    for (auto &counter : ErrorStats)
        counter = 0;
    sim::Registry::Get().CreateKey(kParametersKey);
    DriverSource driver;
#if defined(NUVIX_HOST32)
    std::unique_ptr<sim::loader::LoadedImage> image;
    if (!options.image.empty()) {
        sim::loader::LoadResult loaded = sim::loader::LoadImageFile(options.image);
        if (!loaded.image) {
            output.Always("nuvix-sim: " + loaded.error);
            output.Always("FAIL: the image was not loaded");
            return false;
        }
        image = std::move(loaded.image);
        driver.entry = image->Entry();
        driver.table = nullptr;
        sim::pnp::ConfigManager::Get().SetServiceTableGetter(image->GetServiceTable());
        output.Detail("nuvix-sim: the driver is the image " + options.image);
    }
#endif
    Session session(options, output, capture, driver);
    return session.Run();
}

}  // namespace nuvix::simtool
