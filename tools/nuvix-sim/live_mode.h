// nuvix-sim --pty and --serve: the adapters brought up in real time and
// their ports offered to other programs until SIGINT or SIGTERM; then the
// ports close (with the echo drain) and the adapters are removed.
//
// Each port has a program end (port_end.h): a Linux pseudo-terminal
// (--pty, terminal.h), open for the whole run, or a network serial port
// (--serve, served_port.h), open while a client is connected and closed with
// the echo drain when it goes. Bytes a program sends go to the host serial
// driver's transmit ring, and through the driver to the port's UART; what
// the UART receives comes back through the driver's receive path to the
// program. A program that does not read holds back the port (its ring
// fills, the driver stops reading, the UART's RTS drops under RTS/CTS flow
// control). The line a program asks for is looked at every pass and the
// changes become the serial control requests a host would send (speed, line
// control, flow control and its characters, DTR, RTS, break, purge); each
// change the UART takes is printed as "port N  UART <baud> <data><parity>
// <stop>, ...". The driver's modem and line events go back to the program
// end (a network client hears of them; a terminal cannot).
//
// The far end of each cable is chosen per port number (Options::farEnds): a
// loopback plug, a null-modem cable to another port, or an end of its own
// that stands for the device at the far end (a second pseudo-terminal, or
// with --serve a second network port): what the UART transmits comes out of
// it and what a program sends to it reaches the UART's receiver at line
// speed. A terminal device holds its RTS (the UART's CTS) off while it has a
// lot of unread output; a network device's modem lines are its client's.
#pragma once

#include "display.h"
#include "options.h"

namespace sim::usb {
class Capture;
}

namespace nuvix::simtool {

// Needs a real-time world, with the calling thread as its first thread.
// Returns true when the adapters came up, served their ports and went again
// with every check held.
bool RunLiveMode(const Options &options, Output &output, sim::usb::Capture *capture);

}  // namespace nuvix::simtool
