#include "pty_mode.h"

#include <poll.h>
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
#include "sim/kernel/registry.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/capture.h"
#include "sim/world.h"
#include "terminal.h"

namespace nuvix::simtool {

namespace {

using sim::adapter::kMsrCts;
using sim::adapter::kMsrDcd;
using sim::adapter::kMsrDsr;
using sim::adapter::kPorts;

constexpr const char *kSerial = "NX4A0001";
constexpr uint32_t kInitialBaud = 115200;
// The receive ring is large: without flow control a UART overruns once its
// FIFO is full, and the ring is what lets a busy machine (or a program that
// reads late) fall behind for a few seconds at 115200 without losing bytes.
constexpr ULONG kReceiveRing = 32 * 1024;
constexpr ULONG kTransmitRing = 4096;
constexpr size_t kChunk = 4096;
// When nothing moved, the terminals are watched this long before the ports
// and the UARTs are looked at again.
constexpr int kIdleMs = 2;
// The far-end device holds the UART off (drops its CTS) while this much of
// the UART's output waits for a reader, and lets it go again below the low mark.
constexpr size_t kFarEndHigh = 16 * 1024, kFarEndLow = 4 * 1024;
// What the far-end device offers the UART at a time, while the UART's RTS allows.
constexpr size_t kFarEndBurst = 64;

std::atomic<bool> gStop{false};

void OnStopSignal(int) { gStop.store(true); }

std::string UartText(const sim::adapter::LineSettings &line)
{
    const bool rtsCts = (line.handshake & (HANDSHAKE_RTS | HANDSHAKE_CTS)) == (HANDSHAKE_RTS | HANDSHAKE_CTS);
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

struct Port {
    int number = 0;
    FarEnd farEnd;
    PseudoTerminal terminal;
    std::unique_ptr<PseudoTerminal> far;  // the device at the far end, if a terminal stands for it
    std::vector<std::string> links;
    sim::host::HostPort *host = nullptr;
    bool open = false;
    TerminalSettings applied;
    bool settingsApplied = false;
    bool uartShown = false;
    sim::adapter::LineSettings uartLine;
    std::vector<uint8_t> toPort, toTerminal, toFar;
    bool farHolding = false;     // the far end holds the UART's CTS off
    sim::Ticks farLineFree = 0;  // when the far end's line can carry its next byte
    uint64_t fromProgram = 0, toProgram = 0, fromFar = 0, toFarTotal = 0;
};

class PtyMode {
public:
    PtyMode(const Options &options, Output &output, sim::usb::Capture *capture)
        : options_(options), out_(output), capture_(capture)
    {
    }
    ~PtyMode() { RemoveLinks(); }

    bool Run();

private:
    bool MakeTerminals();
    bool Link(const std::string &target, const std::string &name, Port &port);
    void RemoveLinks();
    bool BringUp();
    bool OpenPorts();
    void Serve();
    bool Pump(Port &port);
    void ApplySettings(Port &port, const TerminalSettings &settings);
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
    std::array<Port, kPorts + 1> ports_;
    // Declared before the manager: the chip must outlive the buses it owns.
    std::unique_ptr<sim::chip::EzUsbChip> chip_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    sim::pnp::Device *device_ = nullptr;
    std::shared_ptr<sim::adapter::MainFirmware> firmware_;
    sim::host::HostSerialDriver *host_ = nullptr;
    std::vector<std::string> failures_;
};

bool PtyMode::Link(const std::string &target, const std::string &name, Port &port)
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

void PtyMode::RemoveLinks()
{
    for (Port &port : ports_) {
        for (const std::string &link : port.links)
            unlink(link.c_str());
        port.links.clear();
    }
}

bool PtyMode::MakeTerminals()
{
    for (int n = 1; n <= kPorts; n++) {
        Port &port = ports_[n];
        port.number = n;
        port.farEnd = options_.farEnds[n];
        std::string error;
        if (!port.terminal.Open(kInitialBaud, error)) {
            Fail(error);
            return false;
        }
        if (port.farEnd.kind == FarEndKind::Terminal) {
            port.far = std::make_unique<PseudoTerminal>();
            if (!port.far->Open(kInitialBaud, error)) {
                Fail(error);
                return false;
            }
        }
        if (!options_.ptyLink.empty()) {
            const std::string base = Format("nuvix-%s-%d", kSerial, n);
            if (!Link(port.terminal.Path(), base, port) || (port.far && !Link(port.far->Path(), base + "-far", port)))
                return false;
        }
    }
    return true;
}

bool PtyMode::BringUp()
{
    sim::chip::ChipOptions chipOptions;
    chipOptions.serialNumber = kSerial;
    chip_ = std::make_unique<sim::chip::EzUsbChip>(chipOptions);
    sim::chip::EzUsbChip &chip = *chip_;
    pnp_ = std::make_unique<sim::pnp::PnpManager>(DriverEntry, RbGetServiceTable);
    if (capture_)
        pnp_->OnNewBus([this](sim::usb::Bus &bus) { capture_->Attach(bus); });
    const sim::pnp::PlugResult result = sim::pnp::PlugChip(*pnp_, chip);
    device_ = pnp_->Current(chip);
    firmware_ = chip.Firmware();
    if (result.status != STATUS_SUCCESS || !device_ || device_->State() != sim::pnp::DeviceState::Started ||
        !firmware_ || chip.Running() != sim::chip::Program::Main) {
        Fail("the adapter did not come up running its main firmware");
        return false;
    }
    host_ = sim::pnp::ConfigManager::Get().HostFor(kSerial);
    for (int n = 1; n <= kPorts; n++)
        ports_[n].host = sim::pnp::ConfigManager::Get().HostPortFor(kSerial, n - 1);
    if (!host_) {
        Fail("no host serial driver was loaded for the adapter");
        return false;
    }
    out_.Always(Format("nuvix-sim: adapter %s up (firmware downloaded, configured), seed %llu", kSerial,
                       (unsigned long long)sim::World::Current().Seed()));
    return true;
}

bool PtyMode::OpenPorts()
{
    // At line speed, as a real UART sends: a program that reads as it goes
    // keeps up without flow control, and a speed set on a terminal shows.
    firmware_->SetPacing(true);
    for (int n = 1; n <= kPorts; n++) {
        const FarEnd &end = ports_[n].farEnd;
        if (end.kind == FarEndKind::Loopback)
            firmware_->ConnectLoopback(n);
        else if (end.kind == FarEndKind::NullModem && end.partner > n)
            firmware_->ConnectNullModem(n, end.partner);
        else if (end.kind == FarEndKind::Terminal) {
            firmware_->ConnectEndpoint(n);
            firmware_->SetPeerLines(n, kMsrCts | kMsrDsr | kMsrDcd);
        }
    }
    for (int n = 1; n <= kPorts; n++) {
        Port &port = ports_[n];
        if (!port.host || !host_->Open(*port.host) || !host_->Bind(*port.host, kReceiveRing, kTransmitRing)) {
            Fail(Format("port %d could not be opened and bound", n));
            return false;
        }
        port.open = true;
        // As a program opening a serial port raises DTR and RTS.
        host_->Control(*port.host, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
        host_->Control(*port.host, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
        ApplySettings(port, port.terminal.Settings());
        std::string farText;
        switch (port.farEnd.kind) {
        case FarEndKind::Loopback:
            farText = "loopback plug";
            break;
        case FarEndKind::NullModem:
            farText = Format("null-modem cable to port %d", port.farEnd.partner);
            break;
        case FarEndKind::Terminal:
            farText = "pseudo-terminal " + port.far->Path();
            break;
        }
        out_.Always(Format("  port %d  %s  far end: %s", n, port.terminal.Path().c_str(), farText.c_str()));
        for (const std::string &link : port.links)
            out_.Always("          link " + link);
    }
    return true;
}

void PtyMode::ApplySettings(Port &port, const TerminalSettings &s)
{
    sim::host::HostSerialDriver &host = *host_;
    bool ok = true;
    if (s.baud != 0) {
        ULONG baud = s.baud;
        ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0);
    }
    static const std::string kParities = "noems";
    static const UCHAR kParityCodes[] = {NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY};
    SERIAL_LINE_CONTROL line{UCHAR(s.stopBits == 2 ? STOP_BITS_2 : STOP_BIT_1), kParityCodes[kParities.find(s.parity)],
                             s.dataBits};
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0);
    SERIAL_CHARS chars{};
    chars.XonChar = s.xon;
    chars.XoffChar = s.xoff;
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0);
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = SERIAL_DTR_CONTROL | (s.rtsCts ? SERIAL_CTS_HANDSHAKE : 0);
    flow.FlowReplace = (s.rtsCts ? SERIAL_RTS_HANDSHAKE : SERIAL_RTS_CONTROL) |
                       (s.xonXoffOut ? SERIAL_AUTO_TRANSMIT : 0) | (s.xonXoffIn ? SERIAL_AUTO_RECEIVE : 0);
    flow.XonLimit = LONG(kReceiveRing / 4);
    flow.XoffLimit = LONG(kReceiveRing / 4);
    ok = ok && host.Control(*port.host, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
    if (!ok)
        Fail(Format("port %d refused the terminal's line settings (%u baud)", port.number, unsigned(s.baud)));
    port.applied = s;
    port.settingsApplied = true;
}

void PtyMode::ShowUart(Port &port)
{
    const sim::adapter::PortState state = firmware_->Port(port.number);
    if (!state.open || (port.uartShown && SameLine(state.line, port.uartLine)))
        return;
    port.uartShown = true;
    port.uartLine = state.line;
    out_.Always(Format("  port %d  %s", port.number, UartText(state.line).c_str()));
}

// Moves what can move now on one port; true when anything did.
bool PtyMode::Pump(Port &port)
{
    sim::host::HostSerialDriver &host = *host_;
    bool moved = false;
    const TerminalSettings settings = port.terminal.Settings();
    if (!port.settingsApplied || !(settings == port.applied))
        ApplySettings(port, settings);

    uint8_t buffer[kChunk];
    if (port.toPort.empty()) {
        const size_t n = port.terminal.Read(buffer, sizeof(buffer));
        port.toPort.assign(buffer, buffer + n);
        port.fromProgram += n;
    }
    if (!port.toPort.empty()) {
        const size_t n = host.Write(*port.host, port.toPort.data(), port.toPort.size());
        port.toPort.erase(port.toPort.begin(), port.toPort.begin() + long(n));
        moved = moved || n > 0;
    }
    if (port.toTerminal.empty()) {
        const size_t n = host.Read(*port.host, buffer, sizeof(buffer));
        port.toTerminal.assign(buffer, buffer + n);
    }
    if (!port.toTerminal.empty()) {
        const size_t n = port.terminal.Write(port.toTerminal.data(), port.toTerminal.size());
        port.toTerminal.erase(port.toTerminal.begin(), port.toTerminal.begin() + long(n));
        port.toProgram += n;
        moved = moved || n > 0;
    }

    if (port.far) {
        const std::vector<uint8_t> sent = firmware_->TakeTransmitted(port.number);
        port.toFar.insert(port.toFar.end(), sent.begin(), sent.end());
        if (!port.toFar.empty()) {
            const size_t n = port.far->Write(port.toFar.data(), port.toFar.size());
            port.toFar.erase(port.toFar.begin(), port.toFar.begin() + long(n));
            port.toFarTotal += n;
            moved = moved || n > 0 || !sent.empty();
        }
        const bool hold = port.toFar.size() > kFarEndHigh || (port.farHolding && port.toFar.size() > kFarEndLow);
        if (hold != port.farHolding) {
            port.farHolding = hold;
            firmware_->SetPeerLines(port.number, uint8_t(kMsrDsr | kMsrDcd | (hold ? 0 : kMsrCts)));
        }
        // The device at the far end sends at the line's speed, while the
        // UART's RTS lets it (or always, without RTS/CTS handshaking: then a
        // host that does not keep up loses bytes, as on a real line).
        const sim::adapter::PortState state = firmware_->Port(port.number);
        const bool rtsHandshake = state.line.handshake & HANDSHAKE_RTS;
        const sim::Ticks now = sim::Scheduler::Get().Now();
        const sim::Ticks perByte = sim::adapter::LineTime(1, std::max<uint32_t>(state.line.baud, 1));
        // An idle line has no credit saved up beyond one burst.
        port.farLineFree = std::max(port.farLineFree, now - perByte * sim::Ticks(kFarEndBurst));
        const size_t allowed = size_t(std::min<sim::Ticks>((now - port.farLineFree) / perByte, kFarEndBurst));
        if ((!rtsHandshake || state.rts) && allowed > 0) {
            const size_t n = port.far->Read(buffer, allowed);
            if (n) {
                firmware_->Inject(port.number, std::vector<uint8_t>(buffer, buffer + n));
                port.farLineFree += perByte * sim::Ticks(n);
                port.fromFar += n;
                moved = true;
            }
        }
    }
    ShowUart(port);
    return moved;
}

void PtyMode::Serve()
{
    out_.Always("ready: the ports are open; Ctrl-C closes them and removes the adapter");
    std::vector<struct pollfd> fds;
    while (!gStop.load()) {
        bool moved = false;
        for (int n = 1; n <= kPorts; n++)
            moved = Pump(ports_[n]) || moved;
        if (moved)
            continue;
        // Nothing moved: wait for a program, but only on what the next pass
        // can take (a terminal whose last bytes still wait for room would
        // wake the wait at once, for nothing); the adapter's side is looked
        // at again after kIdleMs anyway.
        fds.clear();
        for (int n = 1; n <= kPorts; n++) {
            Port &port = ports_[n];
            const short terminalEvents =
                short((port.toPort.empty() ? POLLIN : 0) | (port.toTerminal.empty() ? 0 : POLLOUT));
            if (terminalEvents)
                fds.push_back({port.terminal.Fd(), terminalEvents, 0});
            if (port.far && !port.toFar.empty())
                fds.push_back({port.far->Fd(), POLLOUT, 0});
        }
        (void)::poll(fds.data(), fds.size(), kIdleMs);
    }
}

void PtyMode::Shutdown()
{
    out_.Always("stopping: the ports close, each with the echo drain");
    for (int n = 1; n <= kPorts; n++) {
        Port &port = ports_[n];
        if (!port.open)
            continue;
        const sim::Ticks start = sim::Scheduler::Get().Now();
        const bool closed = host_->Close(*port.host);
        const double ms = double(sim::Scheduler::Get().Now() - start) / double(sim::kTicksPerMillisecond);
        const bool uartClosed = !firmware_->Port(n).open;
        out_.Always(Format("  port %d  %s in %.1f ms; %llu bytes from the terminal, %llu to it%s", n,
                           closed && uartClosed ? "closed" : "NOT closed", ms, (unsigned long long)port.fromProgram,
                           (unsigned long long)port.toProgram,
                           port.far ? Format("; far end sent %llu, received %llu", (unsigned long long)port.fromFar,
                                             (unsigned long long)port.toFarTotal)
                                          .c_str()
                                    : ""));
        if (!closed || !uartClosed)
            Fail(Format("port %d did not close", n));
    }
    if (device_ && device_->Present()) {
        const sim::pnp::QueryOutcome outcome = pnp_->Remove(*device_);
        const bool removed = !outcome.Refused() && outcome.final == STATUS_SUCCESS;
        out_.Always(removed ? "  adapter removed" : "  adapter NOT removed");
        if (!removed)
            Fail("the adapter's removal failed");
    }
}

bool PtyMode::Run()
{
    if (MakeTerminals() && BringUp() && OpenPorts())
        Serve();
    if (pnp_) {
        Shutdown();
        pnp_.reset();
        const std::string leaks = sim::World::Current().LeakReport();
        if (!leaks.empty())
            Fail("the driver left allocations behind:\n" + leaks);
    }
    RemoveLinks();
    if (capture_ && !capture_->Healthy())
        Fail("the USB capture could not be written to " + options_.pcap);
    if (capture_)
        out_.Always(
            Format("USB capture: %llu records in %s", (unsigned long long)capture_->Records(), options_.pcap.c_str()));
    if (failures_.empty()) {
        out_.Always("PASS: the terminals are closed and the adapter is gone; every check held");
        return true;
    }
    out_.Always(Format("FAIL: %zu check%s failed", failures_.size(), failures_.size() == 1 ? "" : "s"));
    return false;
}

}  // namespace

bool RunPtyMode(const Options &options, Output &output, sim::usb::Capture *capture)
{
    const unsigned long long seed = sim::World::Current().Seed();
    sim::SetBugCheckNote(Format("*** simulation seed %llu (replay: the same options and --seed %llu)", seed, seed));
    sim::Registry::Get().CreateKey(sim::pnp::PnpManager::kParametersKey);
    // Without SA_RESTART: the wait for the terminals ends at the signal.
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    // A program that goes away from a terminal must not take nuvix-sim with it.
    signal(SIGPIPE, SIG_IGN);
    PtyMode mode(options, output, capture);
    return mode.Run();
}

}  // namespace nuvix::simtool
