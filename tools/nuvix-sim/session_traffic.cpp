// Traffic: the host opens the ports, data goes through every port at once,
// and the modem lines move.

#include "session_parts.h"

namespace nuvix::simtool {

// --- 3: the host opens the ports --------------------------------------------------

void Session::OpenPorts(Adapter &adapter)
{
    adapter.firmware->ConnectLoopback(1);
    adapter.firmware->ConnectLoopback(2);
    adapter.firmware->ConnectNullModem(3, 4);
    // Ring sizes from the seed, small enough to wrap many times.
    std::mt19937 choose(uint32_t(seed_ * 31 + uint64_t(adapter.number)));
    sim::host::HostSerialDriver &host = *adapter.host;
    auto &rings = adapter.rings;
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
        adapter.lastByte[port] = Now();
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
        // A deterministic run too: the meter then prints every tenth as it
        // is passed, so its output does not depend on the wall clock.
        options_.busTiming ? Meter::Clock::Kernel : Meter::Clock::Wall, 50 * sim::kTicksPerMillisecond,
        options_.busTiming ? 25 : 10);
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
    // The figure below is the slowest stream's: name it, and the smallest
    // ring on its way (the seed chooses rings down to 16 bytes, which hold a
    // stream back more than the bus does).
    std::string slowest;
    sim::Ticks slowestEnd = 0;
    for (Adapter *adapter : alive)
        for (int sender = 1; sender <= kPorts; sender++) {
            const int port = kListener[sender];
            if (!slowest.empty() && adapter->lastByte[port] <= slowestEnd)
                continue;
            slowestEnd = adapter->lastByte[port];
            const ULONG writeRing = adapter->rings[sender].second, readRing = adapter->rings[port].first;
            slowest =
                Format("the slowest, %s port %d -> port %d, has a %u-byte %s ring", adapter->serial.c_str(), sender,
                       port, unsigned(std::min(writeRing, readRing)), writeRing <= readRing ? "write" : "read");
        }
    const double mib = double(total) / (1024.0 * 1024.0);
    // A deterministic run prints the same every time, except on a terminal;
    // the wall clock would not.
    if (!sim::Scheduler::Get().Deterministic() || out_.Terminal())
        out_.Detail(Format("    %s through %zu ports in %.2f s of wall-clock time (%.1f MiB/s)",
                           FormatBytes(total).c_str(), alive.size() * kPorts, dataSeconds_,
                           dataSeconds_ > 0 ? mib / dataSeconds_ : 0.0));
    out_.Always(Format("Data phase: %.3f s of kernel time for %s per stream (%.0f B/s a stream each way; %s%s)",
                       kernelSeconds, FormatBytes(bytes_).c_str(),
                       kernelSeconds > 0 ? double(bytes_) / kernelSeconds : 0.0, slowest.c_str(),
                       options_.busTiming ? "; a pipe carries at most 64,000 B/s" : "; bus timing off"));
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

}  // namespace nuvix::simtool
