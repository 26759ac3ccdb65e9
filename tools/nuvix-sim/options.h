// The command line of nuvix-sim.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "sim/kernel/scheduler.h"

namespace nuvix::simtool {

constexpr int kMaxAdapters = 32;  // the driver's adapter table has 32 slots
constexpr uint64_t kDefaultBytes = 256 * 1024;
// With more than one adapter and no --bytes, the default is shared out, but
// never below this, so that every stream still wraps its rings many times.
constexpr uint64_t kSmallestDefaultBytes = 4 * 1024;
constexpr uint64_t kMaxBytes = uint64_t{1} << 30;
// Far ends are served above every port of the largest set of adapters.
constexpr int kServedFarEndOffset = 4 * kMaxAdapters;
constexpr int kHighestServeBase = 65535 - 2 * kServedFarEndOffset + 1;

// What is at the far end of a port's cable in --pty and --serve mode: a
// pseudo-terminal or a network port (--serve only) stands for the device there.
enum class FarEndKind { Loopback, NullModem, Terminal, Served };
struct FarEnd {
    FarEndKind kind = FarEndKind::Loopback;
    int partner = 0;  // the other port of a null-modem cable
};

struct Options {
    int adapters = 1;
    std::optional<uint64_t> bytes;  // per stream; unset: the default
    bool realTime = false;
    bool busTiming = true;  // full-speed bulk frames on every adapter's bus
    std::optional<uint64_t> seed;
    // How the simulated threads take turns; unset, NUVIX_SIM_SCHEDULE or the
    // random walk. Real time (and --pty) always runs real threads.
    std::optional<sim::Schedule> schedule;
    bool quiet = false;
    std::string pcap;     // a USB capture of the run goes here; empty: none
    bool pty = false;     // the ports as pseudo-terminals instead of the scripted life
    std::string ptyLink;  // a directory for links to the terminals; empty: none
    // The ports as network serial ports (telnet with COM-PORT-OPTION) from
    // servePort on: adapter A's port P at servePort + 4 x (A - 1) + P - 1, a
    // served far end kServedFarEndOffset above its port.
    bool serve = false;
    std::string serveAddress = "127.0.0.1";
    uint16_t servePort = 0;
    // By port number (index 0 unused): loopback plugs on 1 and 2, a
    // null-modem cable between 3 and 4, as in the scripted life.
    std::array<FarEnd, 5> farEnds{FarEnd{}, FarEnd{}, FarEnd{}, FarEnd{FarEndKind::NullModem, 4},
                                  FarEnd{FarEndKind::NullModem, 3}};
    bool help = false;
    // The real driver image to run instead of the linked driver (host32 build).
    std::string image;

    // The ports are offered to other programs (--pty or --serve).
    bool Live() const { return pty || serve; }
    // Bytes each stream carries.
    uint64_t BytesPerStream() const;
};

// Fills options from argv; on a usage error returns false with a one-line
// message (no program name, no newline) in error.
bool ParseOptions(int argc, char **argv, Options &options, std::string &error);

// "4096", "4K", "1M", "1G" (binary multiples, either case) as a byte count
// of at most kMaxBytes.
std::optional<uint64_t> ParseByteCount(const std::string &text);

void PrintUsage(std::FILE *out);

}  // namespace nuvix::simtool
