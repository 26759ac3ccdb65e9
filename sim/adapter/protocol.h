// The command protocol as the firmware speaks it: the codes it obeys on the
// command OUT pipe and the codes of the frames it sends on the command IN
// pipe. Defined here, from the device's side, never taken from the driver:
// the model is a witness of its own, so a driver that sends a wrong code
// meets a device that does not understand it, as it would on the bench.
#pragma once

#include <cstdint>

namespace sim::adapter::wire {

// Command frames: code, port number (1..4), payload.
enum Command : uint8_t {
    kOpen = 1,
    kClose = 2,
    kSetup = 3,  // 13-byte setup block (port included)
    kSetRts = 4,
    kSetDtr = 5,
    kSetBreak = 6,
    kGetStatus = 8,  // answered with kStatus
    kNoOp = 9,       // does nothing but answer kDone
    kEcho = 14,      // the payload comes back on the port's data IN pipe
    kGetInfo = 15,   // answered with kInfo
};

// Response frames, one per transfer.
enum Response : uint8_t {
    kStatus = 8,          // port, flags, modem status, 3 reserved
    kAdapterStatus = 11,  // the 19-byte adapter status block
    kEvent = 13,          // port, kind, value
    kInfo = 15,           // the 35-byte information block
    kDone = 16,           // result, port
};

// Flag bits of a kEvent frame: the value slot its value fills.
enum EventFlag : uint8_t {
    kModemStatusEvent = 0x01,  // slot 0: CTS, DSR, RI, DCD (kMsr*)
    kLineStatusEvent = 0x02,   // slot 1: overrun, parity, framing, break (kLsr*)
};

}  // namespace sim::adapter::wire
