// Traffic through a port the way the host serial driver's clients make it,
// shared by the tests, the sweeps and the adapter life the schedule
// benchmark runs: opening a port for traffic, a checked echo through a
// looped-back port, and the short "does this adapter still work" exchange. Each says what went wrong, or nothing;
// a test asserts on the text, a sweep reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host_serial_driver.h"
#include "sim/kernel/scheduler.h"

namespace sim::host {

enum class Flow {
    None,    // as a bind leaves it
    RtsCts,  // RTS follows the receive FIFO, the UART sends while CTS is on
};

constexpr int64_t kTrafficPatience = 2 * kTicksPerSecond;

// Opens and binds the port with rings of these sizes, then sets the flow
// control; false if any step fails, the port closed again if it opened.
bool OpenForTraffic(HostSerialDriver &host, HostPort &port, ULONG rxSize, ULONG txSize, Flow flow = Flow::RtsCts);

// The byte the echo sends at this offset through the port with this index.
inline uint8_t EchoByte(size_t offset, int index) { return static_cast<uint8_t>(offset * 7 + index); }

// Sends `total` bytes through a looped-back port, reading as it goes, and
// checks every one that returns; a stall of `patience` ticks fails it.
std::string CheckedEcho(HostSerialDriver &host, HostPort &port, int index, size_t total,
                        int64_t patience = kTrafficPatience);

// Writes these bytes to a looped-back port (opened already) and reads until
// they are back or the line stays quiet for `patience`; they must be the same.
std::string ShortEcho(HostSerialDriver &host, HostPort &port, const std::vector<uint8_t> &bytes,
                      int64_t patience = kTrafficPatience);

}  // namespace sim::host
