#include "live_mode.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/driver_entry.h"
#include "driver/service/serial_settings.h"
#include "sim/adapter/main_firmware.h"
#include "sim/adapter/uart.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/bugcheck.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"
#include "sim/usb/capture.h"
#include "sim/world.h"
#include "terminal.h"
#if defined(NUVIX_SERVE)
#include "served_port.h"
#endif

namespace nuvix::simtool {

namespace {

using sim::adapter::kLsrBreak;
using sim::adapter::kMsrCts;
using sim::adapter::kMsrDcd;
using sim::adapter::kMsrDsr;
using sim::adapter::kPorts;

constexpr uint32_t kInitialBaud = 115200;
// The receive ring is large: without flow control a UART overruns once its
// FIFO is full, and the ring is what lets a busy machine (or a program that
// reads late) fall behind for a few seconds at 115200 without losing bytes.
constexpr ULONG kReceiveRing = 32 * 1024;
constexpr ULONG kTransmitRing = 4096;
constexpr size_t kChunk = 4096;
// When nothing moved, the program ends are watched this long before the
// ports and the UARTs are looked at again.
constexpr int kIdleMs = 2;
// A terminal at the far end holds the UART off (drops its CTS) while this
// much of the UART's output waits for a reader, and lets it go again below
// the low mark.
constexpr size_t kFarEndHigh = 16 * 1024, kFarEndLow = 4 * 1024;
// What the far-end device offers the UART at a time, while the UART's RTS allows.
constexpr size_t kFarEndBurst = 64;

std::atomic<bool> gStop{false};

void OnStopSignal(int) { gStop.store(true); }
// The signal mask the wait for the programs runs under: the stop signals
// are blocked everywhere else, so that they interrupt only that wait and
// never a simulated thread's (user-mode emulation, in particular, does not
// resume every interrupted wait as the kernel would).
sigset_t gWaitMask;

std::string UartText(const sim::adapter::LineSettings &line)
{
    const bool rtsCts = (~line.handshake & (sim::adapter::kHandshakeRts | sim::adapter::kHandshakeCts)) == 0;
    const char *software = line.softwareFlow == 'b'   ? ", XON/XOFF both ways"
                           : line.softwareFlow == 't' ? ", XON/XOFF on output"
                           : line.softwareFlow == 'r' ? ", XON/XOFF on input"
                                                      : "";
    return Format("UART %u %u%c%u, %s handshake%s", unsigned(line.baud), unsigned(line.dataBits),
                  char(std::toupper(line.parity)), unsigned(line.stopCode), rtsCts ? "RTS/CTS" : "no", software);
}

bool SameLine(const sim::adapter::LineSettings &a, const sim::adapter::LineSettings &b)
{
    return a.baud == b.baud && a.dataBits == b.dataBits && a.stopCode == b.stopCode && a.parity == b.parity &&
           a.softwareFlow == b.softwareFlow && a.handshake == b.handshake;
}

// The modem lines a device sees of a UART wired to it by a null-modem cable:
// the UART's RTS as its CTS, the UART's DTR as its DSR and DCD. A network
// device's own DTR and RTS reach the UART the same way.
uint8_t NullModemLines(bool dtr, bool rts) { return uint8_t((rts ? kMsrCts : 0) | (dtr ? kMsrDsr | kMsrDcd : 0)); }

struct LiveAdapter;

struct Port {
    LiveAdapter *adapter = nullptr;
    int number = 0;
    std::string label;  // "port 2", or "port 1.2" (adapter 1) when there are several adapters
    FarEnd farEnd;
    std::unique_ptr<PortEnd> program;
    std::unique_ptr<PortEnd> far;  // the device at the far end, if an end stands for it
    std::vector<std::string> links;
    sim::host::HostPort *host = nullptr;
    bool open = false;
    uint64_t session = 0;  // the program end's session the port was opened for
    ProgramSettings applied;
    bool uartShown = false;
    sim::adapter::LineSettings uartLine;
    uint64_t eventsSeen = 0;
    uint8_t modem = 0;  // as the driver's last modem event said
    std::vector<uint8_t> toPort, toProgram, toFar;
    bool farHolding = false;     // a terminal at the far end holds the UART's CTS off
    uint8_t farLines = 0;        // what the UART sees of a network device
    bool farBreak = false;       // a network device holds the line at break
    sim::Ticks farLineFree = 0;  // when the far end's line can carry its next byte
    uint64_t fromProgram = 0, toProgramTotal = 0, fromFar = 0, toFarTotal = 0;
    uint64_t purgedReceived = 0, purgedToSend = 0;
};

struct LiveAdapter {
    std::string serial;
    std::unique_ptr<sim::chip::EzUsbChip> chip;
    sim::pnp::Device *device = nullptr;
    std::shared_ptr<sim::adapter::MainFirmware> firmware;
    sim::host::HostSerialDriver *host = nullptr;
    std::array<Port, kPorts + 1> ports;
};

class LiveMode {
public:
    LiveMode(const Options &options, Output &output, sim::usb::Capture *capture)
        : options_(options), out_(output), capture_(capture)
    {
    }
    ~LiveMode() { RemoveLinks(); }

    bool Run();

private:
    template <typename F>
    void ForEachPort(F body)
    {
        for (auto &adapter : adapters_)
            for (int n = 1; n <= kPorts; n++)
                body(*adapter, adapter->ports[n]);
    }
    bool MakeEnds();
    std::unique_ptr<PortEnd> MakeEnd(Port &port, bool far, std::string &error);
    bool Link(const std::string &target, const std::string &name, Port &port);
    void RemoveLinks();
    bool BringUp(LiveAdapter &adapter);
    void ShowTable();
    bool OpenPort(Port &port);
    void ClosePort(Port &port, const char *why);
    void Serve();
    bool Pump(Port &port);
    bool PumpFar(Port &port, uint8_t *buffer);
    void ApplySettings(Port &port, const ProgramSettings &settings);
    void ApplyChanges(Port &port, const ProgramSettings &settings);
    void Purge(Port &port, unsigned what);
    void ShowUart(Port &port);
    void Shutdown();
    void Fail(const std::string &why)
    {
        failures_.push_back(why);
        out_.Always("  failed: " + why);
    }

    const Options &options_;
    Output &out_;
    sim::usb::Capture *const capture_;
    // Declared before the manager: the chips must outlive the buses it owns.
    std::vector<std::unique_ptr<LiveAdapter>> adapters_;
    std::unique_ptr<sim::Testbed> bed_;  // the driver and its adapters; reset for the pool check
    std::vector<std::string> failures_;
};

bool LiveMode::Link(const std::string &target, const std::string &name, Port &port)
{
    const std::string path = options_.ptyLink + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        unlink(path.c_str());
    if (symlink(target.c_str(), path.c_str()) != 0) {
        Fail(path + ": " + std::strerror(errno));
        return false;
    }
    port.links.push_back(path);
    return true;
}

void LiveMode::RemoveLinks()
{
    ForEachPort([](LiveAdapter &, Port &port) {
        for (const std::string &link : port.links)
            unlink(link.c_str());
        port.links.clear();
    });
}

std::unique_ptr<PortEnd> LiveMode::MakeEnd(Port &port, bool far, std::string &error)
{
#if defined(NUVIX_SERVE)
    if (options_.serve && (!far || port.farEnd.kind == FarEndKind::Served)) {
        const int offset = kPorts * int(adapters_.size() - 1) + port.number - 1 + (far ? kServedFarEndOffset : 0);
        auto served = std::make_unique<ServedPort>(port.label + (far ? " far end" : ""), out_, far);
        if (!served->Listen(options_.serveAddress, uint16_t(options_.servePort + offset), error))
            return nullptr;
        return served;
    }
#else
    (void)port;
    (void)far;
#endif
    auto terminal = std::make_unique<PseudoTerminal>();
    if (!terminal->Open(kInitialBaud, error))
        return nullptr;
    return terminal;
}

bool LiveMode::MakeEnds()
{
    for (int a = 1; a <= options_.adapters; a++) {
        auto adapter = std::make_unique<LiveAdapter>();
        adapter->serial = Format("NX4A%04d", a);
        adapters_.push_back(std::move(adapter));
        LiveAdapter &made = *adapters_.back();
        for (int n = 1; n <= kPorts; n++) {
            Port &port = made.ports[n];
            port.adapter = &made;
            port.number = n;
            port.label = options_.adapters == 1 ? Format("port %d", n) : Format("port %d.%d", a, n);
            port.farEnd = options_.farEnds[n];
            std::string error;
            port.program = MakeEnd(port, false, error);
            const bool farEnd = port.farEnd.kind == FarEndKind::Terminal || port.farEnd.kind == FarEndKind::Served;
            if (port.program && farEnd)
                port.far = MakeEnd(port, true, error);
            if (!port.program || (farEnd && !port.far)) {
                Fail(error);
                return false;
            }
            if (!options_.ptyLink.empty()) {
                const std::string base = Format("nuvix-%s-%d", made.serial.c_str(), n);
                if (!Link(port.program->Where(), base, port) ||
                    (port.far && !Link(port.far->Where(), base + "-far", port)))
                    return false;
            }
        }
    }
    return true;
}

bool LiveMode::BringUp(LiveAdapter &adapter)
{
    sim::chip::ChipOptions chipOptions;
    chipOptions.serialNumber = adapter.serial;
    adapter.chip = std::make_unique<sim::chip::EzUsbChip>(chipOptions);
    sim::chip::EzUsbChip &chip = *adapter.chip;
    const sim::pnp::PlugResult result = sim::pnp::PlugChip(*bed_->pnp, chip);
    adapter.device = bed_->pnp->Current(chip);
    adapter.firmware = chip.Firmware();
    if (result.status != STATUS_SUCCESS || !adapter.device ||
        adapter.device->State() != sim::pnp::DeviceState::Started || !adapter.firmware ||
        chip.Running() != sim::chip::Program::Main) {
        Fail(adapter.serial + ": the adapter did not come up running its main firmware");
        return false;
    }
    adapter.host = sim::Testbed::Host(adapter.serial);
    for (int n = 1; n <= kPorts; n++)
        adapter.ports[n].host = sim::Testbed::HostPort(adapter.serial, n - 1);
    if (!adapter.host || std::any_of(adapter.ports.begin() + 1, adapter.ports.end(),
                                     [](const Port &port) { return port.host == nullptr; })) {
        Fail(adapter.serial + ": no host serial driver was loaded for the adapter");
        return false;
    }
    out_.Always(Format("nuvix-sim: adapter %s up (firmware downloaded, configured), seed %llu", adapter.serial.c_str(),
                       (unsigned long long)sim::World::Current().Seed()));
    // At line speed, as a real UART sends: a program that reads as it goes
    // keeps up without flow control, and a speed it sets shows.
    sim::adapter::MainFirmware &firmware = *adapter.firmware;
    firmware.SetPacing(true);
    for (int n = 1; n <= kPorts; n++) {
        const FarEnd &end = adapter.ports[n].farEnd;
        if (end.kind == FarEndKind::Loopback)
            firmware.ConnectLoopback(n);
        else if (end.kind == FarEndKind::NullModem && end.partner > n)
            firmware.ConnectNullModem(n, end.partner);
        else if (end.kind == FarEndKind::Terminal || end.kind == FarEndKind::Served) {
            firmware.ConnectEndpoint(n);
            // A terminal stands for a device that is there; a network device
            // comes with its client.
            if (end.kind == FarEndKind::Terminal)
                firmware.SetPeerLines(n, kMsrCts | kMsrDsr | kMsrDcd);
        }
    }
    return true;
}

void LiveMode::ShowTable()
{
    ForEachPort([this](LiveAdapter &adapter, Port &port) {
        std::string farText;
        switch (port.farEnd.kind) {
        case FarEndKind::Loopback:
            farText = "loopback plug";
            break;
        case FarEndKind::NullModem:
            farText = Format("null-modem cable to port %d", port.farEnd.partner);
            break;
        case FarEndKind::Terminal:
            farText = "pseudo-terminal " + port.far->Where();
            break;
        case FarEndKind::Served:
            farText = "served at " + port.far->Where();
            break;
        }
        const std::string name =
            options_.adapters == 1 ? "" : adapter.serial + "-" + std::to_string(port.number) + "  ";
        out_.Always(Format("  %s  %s%s  far end: %s", port.label.c_str(), name.c_str(), port.program->Where().c_str(),
                           farText.c_str()));
        for (const std::string &link : port.links)
            out_.Always("          link " + link);
    });
}

bool LiveMode::OpenPort(Port &port)
{
    sim::host::HostSerialDriver &host = *port.adapter->host;
    if (!host.Open(*port.host) || !host.Bind(*port.host, kReceiveRing, kTransmitRing)) {
        Fail(port.label + " could not be opened and bound");
        return false;
    }
    port.open = true;
    port.session = port.program->Session();
    port.eventsSeen = port.host->EventCount();
    ULONG status = 0;
    host.Control(*port.host, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
    port.modem = uint8_t(status);
    ApplySettings(port, port.program->Settings());
    port.program->Notify(port.modem, 0);
    return true;
}

void LiveMode::ClosePort(Port &port, const char *why)
{
    const sim::Ticks start = sim::Scheduler::Get().Now();
    const bool closed = port.adapter->host->Close(*port.host);
    const double ms = double(sim::Scheduler::Get().Now() - start) / double(sim::kTicksPerMillisecond);
    const bool uartClosed = !port.adapter->firmware->Port(port.number).open;
    port.open = false;
    port.uartShown = false;
    port.toPort.clear();
    port.toProgram.clear();
    out_.Always(Format("  %s  %s in %.1f ms%s; %llu bytes from the program, %llu to it%s", port.label.c_str(),
                       closed && uartClosed ? "closed" : "NOT closed", ms, why, (unsigned long long)port.fromProgram,
                       (unsigned long long)port.toProgramTotal,
                       port.far ? Format("; far end sent %llu, received %llu", (unsigned long long)port.fromFar,
                                         (unsigned long long)port.toFarTotal)
                                      .c_str()
                                : ""));
    if (!closed || !uartClosed) {
        // What each thread waits for is what tells why.
        auto &scheduler = sim::Scheduler::Get();
        Fail(port.label + " did not close; the simulated threads:\n" +
             scheduler.Read([&] { return scheduler.DescribeThreadsLocked(); }));
    }
}

// The whole line as the program asks for it, DTR and RTS included.
void LiveMode::ApplySettings(Port &port, const ProgramSettings &s)
{
    sim::host::HostSerialDriver &host = *port.adapter->host;
    bool ok = true;
    if (s.baud != 0) {
        ULONG baud = s.baud;
        ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0);
    }
    static const std::string kParities = "noems";
    static const UCHAR kParityCodes[] = {NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY};
    SERIAL_LINE_CONTROL line{UCHAR(s.stopBits == 2 ? (s.dataBits == 5 ? STOP_BITS_1_5 : STOP_BITS_2) : STOP_BIT_1),
                             kParityCodes[kParities.find(s.parity)], s.dataBits};
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0);
    SERIAL_CHARS chars{};
    chars.XonChar = s.xon;
    chars.XoffChar = s.xoff;
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0);
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = (s.dtr ? SERIAL_DTR_CONTROL : 0) | (s.rtsCts ? SERIAL_CTS_HANDSHAKE : 0);
    flow.FlowReplace = (s.rtsCts ? SERIAL_RTS_HANDSHAKE
                        : s.rts  ? SERIAL_RTS_CONTROL
                                 : 0) |
                       (s.xonXoffOut ? SERIAL_AUTO_TRANSMIT : 0) | (s.xonXoffIn ? SERIAL_AUTO_RECEIVE : 0);
    flow.XonLimit = LONG(kReceiveRing / 4);
    flow.XoffLimit = LONG(kReceiveRing / 4);
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
    if (s.breakOn)
        ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
    if (!ok)
        Fail(Format("%s refused the program's line settings (%u baud)", port.label.c_str(), unsigned(s.baud)));
    port.applied = s;
}

// Only what changed: a program that moves DTR alone sends one request.
void LiveMode::ApplyChanges(Port &port, const ProgramSettings &s)
{
    if (!s.SameLine(port.applied))
        return ApplySettings(port, s);
    sim::host::HostSerialDriver &host = *port.adapter->host;
    bool ok = true;
    if (s.dtr != port.applied.dtr)
        ok = host.Control(*port.host, s.dtr ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    // Under RTS/CTS handshaking the UART drives RTS itself.
    if (s.rts != port.applied.rts && !s.rtsCts)
        ok =
            host.Control(*port.host, s.rts ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0) && ok;
    if (s.breakOn != port.applied.breakOn)
        ok = host.Control(*port.host, s.breakOn ? IOCTL_SERIAL_SET_BREAK_ON : IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0,
                          nullptr, 0) &&
             ok;
    if (!ok)
        Fail(port.label + " refused a modem-line or break request");
    port.applied = s;
}

// The host serial driver's purge: what it holds for the program (or from
// it) goes, and the driver is told to abandon the transfer in flight.
void LiveMode::Purge(Port &port, unsigned what)
{
    sim::host::HostSerialDriver &host = *port.adapter->host;
    ULONG mask = 0;
    if (what & kPurgeReceive) {
        uint64_t dropped = port.toProgram.size();
        port.toProgram.clear();
        uint8_t buffer[kChunk];
        while (size_t n = host.Read(*port.host, buffer, sizeof(buffer)))
            dropped += n;
        port.purgedReceived += dropped;
        mask |= SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
    }
    if (what & kPurgeTransmit) {
        port.purgedToSend += port.toPort.size();
        port.toPort.clear();
        mask |= SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
    }
    host.Control(*port.host, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
    out_.Always(Format("  %s  purged; dropped so far: %llu bytes received, %llu bytes to send", port.label.c_str(),
                       (unsigned long long)port.purgedReceived, (unsigned long long)port.purgedToSend));
}

void LiveMode::ShowUart(Port &port)
{
    const sim::adapter::PortState state = port.adapter->firmware->Port(port.number);
    if (!state.open || (port.uartShown && SameLine(state.line, port.uartLine)))
        return;
    port.uartShown = true;
    port.uartLine = state.line;
    out_.Always(Format("  %s  %s", port.label.c_str(), UartText(state.line).c_str()));
}

// Moves what can move now on one port; true when anything did.
bool LiveMode::Pump(Port &port)
{
    bool moved = port.program->Service();
    uint8_t buffer[kChunk];
    if (port.far)
        moved = PumpFar(port, buffer) || moved;
    if (port.open && (!port.program->Present() || port.program->Session() != port.session)) {
        ClosePort(port, " (the client went)");
        moved = true;
    }
    if (!port.open && port.program->Present()) {
        // A port the driver will not open ends the run, rather than failing every pass.
        if (!OpenPort(port)) {
            gStop.store(true);
            return moved;
        }
        moved = true;
    }
    if (!port.open)
        return moved;
    sim::host::HostSerialDriver &host = *port.adapter->host;
    const ProgramSettings settings = port.program->Settings();
    if (!(settings == port.applied))
        ApplyChanges(port, settings);
    if (const unsigned purge = port.program->TakePurge())
        Purge(port, purge);

    if (port.toPort.empty()) {
        const size_t n = port.program->Read(buffer, sizeof(buffer));
        port.toPort.assign(buffer, buffer + n);
        port.fromProgram += n;
    }
    if (!port.toPort.empty()) {
        const size_t n = host.Write(*port.host, port.toPort.data(), port.toPort.size());
        port.toPort.erase(port.toPort.begin(), port.toPort.begin() + long(n));
        moved = moved || n > 0;
    }
    if (port.toProgram.empty() && !port.program->Suspended()) {
        const size_t n = host.Read(*port.host, buffer, sizeof(buffer));
        port.toProgram.assign(buffer, buffer + n);
    }
    if (!port.toProgram.empty() && !port.program->Suspended()) {
        const size_t n = port.program->Write(port.toProgram.data(), port.toProgram.size());
        port.toProgram.erase(port.toProgram.begin(), port.toProgram.begin() + long(n));
        port.toProgramTotal += n;
        moved = moved || n > 0;
    }
    // The driver's modem and line events, for a program that can hear them.
    const std::vector<EventRecord> events = port.host->EventsSince(port.eventsSeen);
    port.eventsSeen += events.size();
    for (const EventRecord &event : events) {
        if (event.Flags & 1)
            port.modem = event.Values[0];
        port.program->Notify(port.modem, (event.Flags & 2) ? event.Values[1] : 0);
    }
    ShowUart(port);
    return moved;
}

bool LiveMode::PumpFar(Port &port, uint8_t *buffer)
{
    sim::adapter::MainFirmware &firmware = *port.adapter->firmware;
    PortEnd &far = *port.far;
    bool moved = far.Service();
    const sim::adapter::PortState state = firmware.Port(port.number);
    uint8_t lineErrors = 0;
    for (const sim::adapter::LineCharacter &c : firmware.TakeLine(port.number)) {
        if (c.isBreak)
            lineErrors |= kLsrBreak;
        else
            port.toFar.push_back(c.value);
        moved = true;
    }
    if (!far.Present())
        port.toFar.clear();
    if (!port.toFar.empty()) {
        const size_t n = far.Write(port.toFar.data(), port.toFar.size());
        port.toFar.erase(port.toFar.begin(), port.toFar.begin() + long(n));
        port.toFarTotal += n;
        moved = moved || n > 0;
    }
    if (port.farEnd.kind == FarEndKind::Terminal) {
        const bool hold = port.toFar.size() > kFarEndHigh || (port.farHolding && port.toFar.size() > kFarEndLow);
        if (hold != port.farHolding) {
            port.farHolding = hold;
            firmware.SetPeerLines(port.number, uint8_t(kMsrDsr | kMsrDcd | (hold ? 0 : kMsrCts)));
        }
    } else {
        // A network device: its client's lines, none while nobody is there.
        const ProgramSettings device = far.Settings();
        const uint8_t lines = !far.Present()       ? 0
                              : device.deviceLines ? *device.deviceLines
                                                   : NullModemLines(device.dtr, device.rts);
        if (lines != port.farLines) {
            port.farLines = lines;
            firmware.SetPeerLines(port.number, lines);
        }
        const bool breakOn = far.Present() && device.breakOn;
        if (breakOn && !port.farBreak)
            firmware.InjectBreak(port.number);
        port.farBreak = breakOn;
        if (const unsigned purge = far.TakePurge(); purge & kPurgeReceive)
            port.toFar.clear();
        far.Notify(NullModemLines(state.dtr, state.rts), lineErrors);
    }
    // The device at the far end sends at the line's speed, while the UART's
    // RTS lets it (or always, without RTS/CTS handshaking: then a host that
    // does not keep up loses bytes, as on a real line).
    const bool rtsHandshake = state.line.handshake & sim::adapter::kHandshakeRts;
    const sim::Ticks now = sim::Scheduler::Get().Now();
    const sim::Ticks perByte = sim::adapter::LineTime(1, std::max<uint32_t>(state.line.baud, 1));
    // An idle line has no credit saved up beyond one burst.
    port.farLineFree = std::max(port.farLineFree, now - perByte * sim::Ticks(kFarEndBurst));
    const size_t allowed = size_t(std::min<sim::Ticks>((now - port.farLineFree) / perByte, kFarEndBurst));
    if ((!rtsHandshake || state.rts) && allowed > 0 && !port.farBreak) {
        const size_t n = far.Read(buffer, allowed);
        if (n) {
            firmware.Inject(port.number, std::vector<uint8_t>(buffer, buffer + n));
            port.farLineFree += perByte * sim::Ticks(n);
            port.fromFar += n;
            moved = true;
        }
    }
    return moved;
}

void LiveMode::Serve()
{
    out_.Always(options_.serve ? "ready: the ports are served; Ctrl-C closes them and removes the adapters"
                               : "ready: the ports are open; Ctrl-C closes them and removes the adapters");
    // Which timing the data runs under: the two modes differ, and a rate
    // measured through one is not the other's.
    out_.Always(options_.serve ? "  timing: real time; bus timing on (64-byte packets in 1 ms frames, at most "
                                 "64,000 B/s a pipe); each UART at its line speed"
                               : "  timing: real time; no bus timing (a transfer completes as soon as the device "
                                 "answers); each UART at its line speed");
    std::vector<struct pollfd> fds;
    while (!gStop.load()) {
        bool moved = false;
        ForEachPort([&](LiveAdapter &, Port &port) { moved = Pump(port) || moved; });
        if (moved)
            continue;
        // Nothing moved: wait for a program, but only on what the next pass
        // can take (an end whose last bytes still wait for room would wake
        // the wait at once, for nothing); the adapters' side is looked at
        // again after kIdleMs anyway.
        fds.clear();
        ForEachPort([&](LiveAdapter &, Port &port) {
            port.program->Watch(fds, port.toPort.empty(), !port.toProgram.empty());
            if (port.far)
                port.far->Watch(fds, true, !port.toFar.empty());
        });
        const struct timespec idle = {0, kIdleMs * 1000000L};
        (void)::ppoll(fds.data(), fds.size(), &idle, &gWaitMask);
    }
}

void LiveMode::Shutdown()
{
    out_.Always("stopping: the ports close, each with the echo drain");
    ForEachPort([this](LiveAdapter &, Port &port) {
        if (port.open)
            ClosePort(port, "");
    });
#if defined(NUVIX_SERVE)
    ForEachPort([this](LiveAdapter &, Port &port) {
        for (PortEnd *end : {port.program.get(), port.far.get()})
            if (auto *served = dynamic_cast<ServedPort *>(end); served && (served->Clients() || served->Refused()))
                out_.Always(Format("  %s  %llu client%s served, %llu refused", served->Where().c_str(),
                                   (unsigned long long)served->Clients(), served->Clients() == 1 ? "" : "s",
                                   (unsigned long long)served->Refused()));
    });
#endif
    for (auto &adapter : adapters_) {
        if (!adapter->device || !adapter->device->Present())
            continue;
        const sim::pnp::QueryOutcome outcome = bed_->pnp->Remove(*adapter->device);
        const bool removed = !outcome.Refused() && outcome.final == STATUS_SUCCESS;
        const std::string name = adapters_.size() == 1 ? "adapter" : "adapter " + adapter->serial;
        out_.Always("  " + name + (removed ? " removed" : " NOT removed"));
        if (!removed)
            Fail(adapter->serial + ": the adapter's removal failed");
    }
}

bool LiveMode::Run()
{
    bool up = MakeEnds();
    if (up) {
        bed_ = std::make_unique<sim::Testbed>(DriverEntry, RbGetServiceTable);
        // Served ports move data under the bus's timing (64-byte packets in
        // 1 ms frames); terminals go as fast as the bus model answers.
        bed_->pnp->OnNewBus([this](sim::usb::Bus &bus) {
            bus.SetBulkTiming(options_.serve);
            if (capture_)
                capture_->Attach(bus);
        });
        for (auto &adapter : adapters_)
            up = up && BringUp(*adapter);
    }
    if (up) {
        ShowTable();
        ForEachPort([&](LiveAdapter &, Port &port) {
            if (up && port.program->Present())
                up = OpenPort(port);
        });
    }
    if (up)
        Serve();
    if (bed_) {
        Shutdown();
        bed_.reset();
        const std::string leaks = sim::World::Current().LeakReport();
        if (leaks.empty())
            out_.Always("  pool clean: the driver left no allocations behind");
        else
            Fail("the driver left allocations behind:\n" + leaks);
    }
    RemoveLinks();
    if (capture_ && !capture_->Healthy())
        Fail("the USB capture could not be written to " + options_.pcap);
    if (capture_)
        out_.Always(
            Format("USB capture: %llu records in %s", (unsigned long long)capture_->Records(), options_.pcap.c_str()));
    if (failures_.empty()) {
        out_.Always(options_.serve ? "PASS: the ports are closed and the adapters are gone; every check held"
                                   : "PASS: the terminals are closed and the adapters are gone; every check held");
        return true;
    }
    out_.Always(Format("FAIL: %zu check%s failed", failures_.size(), failures_.size() == 1 ? "" : "s"));
    return false;
}

}  // namespace

bool RunLiveMode(const Options &options, Output &output, sim::usb::Capture *capture)
{
    const unsigned long long seed = sim::World::Current().Seed();
    sim::SetBugCheckNote(Format("*** simulation seed %llu (replay: the same options and --seed %llu)", seed, seed));
    // Without SA_RESTART: the wait for the programs ends at the signal.
    // Blocked before the adapters' threads start, so that they inherit it.
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigset_t stopSignals, before;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &before);
    gWaitMask = before;
    sigdelset(&gWaitMask, SIGINT);
    sigdelset(&gWaitMask, SIGTERM);
    // A program that goes away must not take nuvix-sim with it.
    signal(SIGPIPE, SIG_IGN);
    bool passed = false;
    {
        LiveMode mode(options, output, capture);
        passed = mode.Run();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return passed;
}

}  // namespace nuvix::simtool
