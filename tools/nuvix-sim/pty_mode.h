// nuvix-sim --pty: one adapter brought up in real time, its four ports opened
// through the host serial driver and each offered as a Linux pseudo-terminal,
// until SIGINT or SIGTERM; then the ports close (with the echo drain) and the
// adapter is removed.
//
// Bytes a program writes to a port's terminal go to the host serial driver's
// transmit ring, and through the driver to the port's UART; what the UART
// receives comes back through the driver's receive path and out of the
// terminal. A terminal that is not read holds back the port (its ring
// fills, the driver stops reading, the UART's RTS drops under RTS/CTS flow
// control). The line settings a program sets on the terminal are looked at
// every few milliseconds and become the serial control requests a host would
// send (speed, line control, flow control and its characters); each change
// the UART takes is printed as "port N  UART <baud> <data><parity><stop>, ...".
//
// The far end of each cable is chosen per port (Options::farEnds): a loopback
// plug, a null-modem cable to another port, or a second pseudo-terminal that
// stands for the device at the far end: what the UART transmits comes out of
// it and what a program writes to it reaches the UART's receiver, while
// that UART's RTS allows; that device holds its RTS (the UART's CTS) off
// while it has a lot of unread output.
#pragma once

#include "display.h"
#include "options.h"

namespace sim::usb {
class Capture;
}

namespace nuvix::simtool {

// Needs a real-time world, with the calling thread as its first thread.
// Returns true when the adapter came up, served its terminals and went
// again with every check held.
bool RunPtyMode(const Options &options, Output &output, sim::usb::Capture *capture);

}  // namespace nuvix::simtool
