// The command line of nuvix-sim.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace nuvix::simtool {

constexpr int kMaxAdapters = 32;  // the driver's adapter table has 32 slots
constexpr uint64_t kDefaultBytes = 256 * 1024;
// With more than one adapter and no --bytes, the default is shared out, but
// never below this, so that every stream still wraps its rings many times.
constexpr uint64_t kSmallestDefaultBytes = 4 * 1024;
constexpr uint64_t kMaxBytes = uint64_t{1} << 30;

struct Options {
    int adapters = 1;
    std::optional<uint64_t> bytes;  // per stream; unset: the default
    bool realTime = false;
    std::optional<uint64_t> seed;
    bool quiet = false;
    bool help = false;
    // The real driver image to run instead of the linked driver (host32 build).
    std::string image;

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
