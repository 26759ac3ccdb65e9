// A Linux pseudo-terminal standing for one end of a serial line: a program
// opens the slave (/dev/pts/N) as it would open a serial port; nuvix-sim
// holds the master and moves bytes between it and the simulated adapter.
//
// The line settings a program gives the terminal are read back from the
// master (the slave's termios), speed included, whether it was a standard
// rate or an arbitrary one set with BOTHER (where the host has no termios2
// call, as under user-mode emulation, the fixed rates only). Linux's pseudo-terminal driver
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

#include "port_end.h"

namespace nuvix::simtool {

class PseudoTerminal : public PortEnd {
public:
    // A new terminal in raw mode at the given speed, 8N1, no flow control.
    // Returns false with the reason in error.
    bool Open(uint32_t baud, std::string &error);
    ~PseudoTerminal() override;

    std::string Where() const override { return path_; }
    size_t Read(uint8_t *buffer, size_t capacity) override;
    size_t Write(const uint8_t *data, size_t length) override;
    ProgramSettings Settings() const override;
    void Watch(std::vector<struct pollfd> &fds, bool input, bool output) const override;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace nuvix::simtool
