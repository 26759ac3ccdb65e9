// One end of a port as nuvix-sim offers it to other programs: the program's
// side of a port (a pseudo-terminal or a network serial port), or the device
// at the far end of its cable standing in for the UART's peer. The live mode
// (live_mode.cpp) moves bytes between an end and the adapter and turns what
// the end asks for into the host serial driver's requests, whatever kind of
// end it is.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuvix::simtool {

// The line a program asks for, as a state: the live mode compares it with
// what it last applied and sends only the requests that changed something.
struct ProgramSettings {
    uint32_t baud = 0;
    uint8_t dataBits = 8;
    char parity = 'n';  // n, o, e, m, s
    uint8_t stopBits = 1;
    bool rtsCts = false;      // CRTSCTS
    bool xonXoffOut = false;  // IXON: the far end's XOFF stops our output
    bool xonXoffIn = false;   // IXOFF
    uint8_t xon = 0x11;
    uint8_t xoff = 0x13;
    bool dtr = true;  // as a program opening a serial port raises them
    bool rts = true;
    bool breakOn = false;
    // A far-end device's CTS, DSR, RI and DCD as the UART sees them, when
    // its program gave them all at once rather than through DTR and RTS.
    std::optional<uint8_t> deviceLines;

    bool operator==(const ProgramSettings &) const = default;
    // The same line, leaving out the modem-control outputs and break.
    bool SameLine(const ProgramSettings &other) const
    {
        ProgramSettings a = *this, b = other;
        a.dtr = b.dtr = a.rts = b.rts = a.breakOn = b.breakOn = false;
        a.deviceLines = b.deviceLines = std::nullopt;
        return a == b;
    }
};

// Bits of PortEnd::TakePurge.
constexpr unsigned kPurgeReceive = 1, kPurgeTransmit = 2;

class PortEnd {
public:
    virtual ~PortEnd() = default;
    // Where programs find it: a path, or an address and port.
    virtual std::string Where() const = 0;
    // A program is there: a terminal always is, a network port while a
    // client is connected. The port is open only while one is.
    virtual bool Present() const { return true; }
    // Which program it is: a new one never finds the last one's port open.
    virtual uint64_t Session() const { return 0; }
    // Bytes the program sent; 0 when there are none now.
    virtual size_t Read(uint8_t *buffer, size_t capacity) = 0;
    // Bytes for the program; how many it took (0 when it has no room).
    virtual size_t Write(const uint8_t *data, size_t length) = 0;
    virtual ProgramSettings Settings() const = 0;
    // Purges asked for since the last call (kPurge* bits).
    virtual unsigned TakePurge() { return 0; }
    // The program asked for no more data for now.
    virtual bool Suspended() const { return false; }
    // The modem lines (CTS, DSR, RI, DCD as a 16550 reports them) and line
    // errors (overrun, parity, framing, break) at this end of the line.
    virtual void Notify(uint8_t /*modem*/, uint8_t /*lineErrors*/) {}
    // Takes new programs and what they sent; true when anything happened.
    virtual bool Service() { return false; }
    // What to wait on until the next pass: input from the program when the
    // live mode can take it, room for output when it has some waiting.
    virtual void Watch(std::vector<struct pollfd> &fds, bool input, bool output) const = 0;
};

}  // namespace nuvix::simtool
