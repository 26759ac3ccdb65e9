// A Linux pseudo-terminal standing for one end of a serial line: a program
// opens the slave (/dev/pts/N) as it would open a serial port; nuvix-sim
// holds the master and moves bytes between it and the simulated adapter.
//
// The line settings a program gives the terminal are read back from the
// master (the slave's termios), speed included, whether it was a standard
// rate or an arbitrary one set with BOTHER. Linux's pseudo-terminal driver
// keeps every terminal at 8 data bits without parity, whatever a program
// asks, so those two always read 8 and none; speed, stop bits and flow
// control (CRTSCTS, IXON, IXOFF and the XON/XOFF characters) come through.
//
// nuvix-sim keeps the slave open itself as well, so that the terminal does
// not hang up between programs; bytes that arrive while no program has it
// open wait in the terminal (a program that opens it may flush them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuvix::simtool {

struct TerminalSettings {
    uint32_t baud = 0;
    uint8_t dataBits = 8;
    char parity = 'n';  // n, o, e, m, s
    uint8_t stopBits = 1;
    bool rtsCts = false;      // CRTSCTS
    bool xonXoffOut = false;  // IXON: the far end's XOFF stops our output
    bool xonXoffIn = false;   // IXOFF
    uint8_t xon = 0x11;
    uint8_t xoff = 0x13;

    bool operator==(const TerminalSettings &) const = default;
};

class PseudoTerminal {
public:
    // A new terminal in raw mode at the given speed, 8N1, no flow control.
    // Returns false with the reason in error.
    bool Open(uint32_t baud, std::string &error);
    ~PseudoTerminal();

    const std::string &Path() const { return path_; }
    // Bytes a program wrote to the terminal; 0 when there are none now.
    size_t Read(uint8_t *buffer, size_t capacity);
    // Bytes for the program; how many the terminal took (0 when it is full).
    size_t Write(const uint8_t *data, size_t length);
    // The master, to wait on for bytes from the program.
    int Fd() const { return master_; }
    TerminalSettings Settings() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace nuvix::simtool
