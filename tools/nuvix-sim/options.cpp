#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>

#include "options.h"

namespace nuvix::simtool {

namespace {

// Only plain decimal digits: strtoull would take a sign, spaces and
// wrap-around without a word.
std::optional<uint64_t> ParseDecimal(const std::string &text)
{
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    return value;
}

std::optional<uint64_t> ParseSeed(const std::string &text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 18)
            return std::nullopt;
        uint64_t value = 0;
        for (size_t i = 2; i < text.size(); i++) {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return std::nullopt;
            value = value << 4 | uint64_t(digit);
        }
        return value;
    }
    return ParseDecimal(text);
}

// "N=loopback", "N=null-modem:M", "N=pty" or "N=serve", ports 1 to 4.
bool ParseFarEnd(const std::string &text, int &port, FarEnd &end)
{
    if (text.size() < 3 || text[0] < '1' || text[0] > '4' || text[1] != '=')
        return false;
    port = text[0] - '0';
    const std::string what = text.substr(2);
    if (what == "loopback") {
        end = FarEnd{FarEndKind::Loopback, 0};
    } else if (what == "pty") {
        end = FarEnd{FarEndKind::Terminal, 0};
    } else if (what == "serve") {
        end = FarEnd{FarEndKind::Served, 0};
    } else if (what.size() == 12 && what.rfind("null-modem:", 0) == 0 && what[11] >= '1' && what[11] <= '4' &&
               what[11] - '0' != port) {
        end = FarEnd{FarEndKind::NullModem, what[11] - '0'};
    } else {
        return false;
    }
    return true;
}

// Given ends win; a cable names both its ports, so a port left to its
// default follows a cable given for its partner; a port whose cable is now
// taken by another falls back to a loopback plug.
bool ResolveFarEnds(Options &options, const std::array<bool, 5> &given, std::string &error)
{
    auto &ends = options.farEnds;
    for (int port = 1; port <= 4; port++) {
        if (!given[port] || ends[port].kind != FarEndKind::NullModem)
            continue;
        const int other = ends[port].partner;
        if (given[other] && !(ends[other].kind == FarEndKind::NullModem && ends[other].partner == port)) {
            error = "--far-end: port " + std::to_string(port) + "'s null-modem cable to port " + std::to_string(other) +
                    " disagrees with port " + std::to_string(other) + "'s far end";
            return false;
        }
        ends[other] = FarEnd{FarEndKind::NullModem, port};
    }
    for (int port = 1; port <= 4; port++)
        if (ends[port].kind == FarEndKind::NullModem &&
            !(ends[ends[port].partner].kind == FarEndKind::NullModem && ends[ends[port].partner].partner == port))
            ends[port] = FarEnd{};
    return true;
}

#if defined(NUVIX_SERVE)
// "[ADDR:]PORT": an IPv4 address (the loopback address when left out) and
// the first TCP port, low enough for every port and far end to fit above it.
bool ParseServe(const std::string &text, Options &options, std::string &error)
{
    const size_t colon = text.rfind(':');
    const std::string address = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::optional<uint64_t> port = ParseDecimal(colon == std::string::npos ? text : text.substr(colon + 1));
    in_addr parsed{};
    if (!port || *port < 1 || *port > uint64_t(kHighestServeBase) ||
        (colon != std::string::npos && inet_pton(AF_INET, address.c_str(), &parsed) != 1)) {
        error = "--serve must be [ADDR:]PORT, an IPv4 address and a port from 1 to " +
                std::to_string(kHighestServeBase) + ", not '" + text + "'";
        return false;
    }
    if (!address.empty())
        options.serveAddress = address;
    options.servePort = uint16_t(*port);
    options.serve = true;
    return true;
}
#endif

}  // namespace

uint64_t Options::BytesPerStream() const
{
    if (bytes)
        return *bytes;
    const uint64_t shared = kDefaultBytes / uint64_t(adapters);
    return shared < kSmallestDefaultBytes ? kSmallestDefaultBytes : shared;
}

std::optional<uint64_t> ParseByteCount(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    uint64_t multiplier = 1;
    std::string digits = text;
    switch (text.back()) {
    case 'k':
    case 'K':
        multiplier = uint64_t{1} << 10;
        break;
    case 'm':
    case 'M':
        multiplier = uint64_t{1} << 20;
        break;
    case 'g':
    case 'G':
        multiplier = uint64_t{1} << 30;
        break;
    default:
        break;
    }
    if (multiplier != 1)
        digits.pop_back();
    const std::optional<uint64_t> value = ParseDecimal(digits);
    if (!value || *value > kMaxBytes / multiplier)
        return std::nullopt;
    return *value * multiplier;
}

bool ParseOptions(int argc, char **argv, Options &options, std::string &error)
{
    std::array<bool, 5> farEndGiven{};
    bool ptyOnly = false;   // an option that means nothing without --pty
    bool liveOnly = false;  // one that means nothing without --pty or --serve
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                inlineValue = arg.substr(equals + 1);
                arg.erase(equals);
            }
        }
        // The option's value: after '=' or the next argument.
        auto value = [&](std::string &out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto takesNoValue = [&] {
            if (!inlineValue)
                return true;
            error = arg + " takes no value";
            return false;
        };

        std::string text;
        if (arg == "--help" || arg == "-h") {
            if (!takesNoValue())
                return false;
            options.help = true;
        } else if (arg == "--adapters") {
            if (!value(text))
                return false;
            const std::optional<uint64_t> n = ParseDecimal(text);
            if (!n || *n < 1 || *n > uint64_t(kMaxAdapters)) {
                error =
                    "--adapters must be a number from 1 to " + std::to_string(kMaxAdapters) + ", not '" + text + "'";
                return false;
            }
            options.adapters = int(*n);
        } else if (arg == "--bytes") {
            if (!value(text))
                return false;
            const std::optional<uint64_t> n = ParseByteCount(text);
            if (!n || *n == 0) {
                error = "--bytes must be a byte count from 1 to 1G (suffix K, M or G allowed), not '" + text + "'";
                return false;
            }
            options.bytes = *n;
        } else if (arg == "--image") {
            if (!value(text))
                return false;
#if defined(NUVIX_HOST32)
            // A file that is not there is a mistake on the command line, not
            // an image the loader refused.
            if (!std::filesystem::is_regular_file(text)) {
                error = "--image: no such file '" + text + "'";
                return false;
            }
            options.image = text;
#else
            error = "--image needs the 32-bit build of nuvix-sim (preset host32)";
            return false;
#endif
        } else if (arg == "--seed") {
            if (!value(text))
                return false;
            const std::optional<uint64_t> n = ParseSeed(text);
            if (!n) {
                error = "--seed must be a non-negative number (decimal or 0x hex), not '" + text + "'";
                return false;
            }
            options.seed = *n;
        } else if (arg == "--schedule") {
            if (!value(text))
                return false;
            options.schedule = sim::ParseSchedule(text);
            if (!options.schedule) {
                error = "--schedule must be random, pct or real, not '" + text + "'";
                return false;
            }
        } else if (arg == "--pcap") {
            if (!value(options.pcap))
                return false;
            if (options.pcap.empty()) {
                error = "--pcap needs a file name";
                return false;
            }
        } else if (arg == "--pty") {
            if (!takesNoValue())
                return false;
            options.pty = true;
        } else if (arg == "--serve") {
#if defined(NUVIX_SERVE)
            if (!value(text) || !ParseServe(text, options, error))
                return false;
#else
            error = "--serve needs the 64-bit build of nuvix-sim (libtelnet is there)";
            return false;
#endif
        } else if (arg == "--pty-link") {
            if (!value(options.ptyLink))
                return false;
            if (options.ptyLink.empty()) {
                error = "--pty-link needs a directory";
                return false;
            }
            ptyOnly = true;
        } else if (arg == "--far-end") {
            if (!value(text))
                return false;
            int port = 0;
            FarEnd end;
            if (!ParseFarEnd(text, port, end)) {
                error =
                    "--far-end must be PORT=loopback, PORT=null-modem:OTHER, PORT=pty or PORT=serve (ports 1 "
                    "to 4), not '" +
                    text + "'";
                return false;
            }
            options.farEnds[port] = end;
            farEndGiven[port] = true;
            liveOnly = true;
        } else if (arg == "--real-time") {
            if (!takesNoValue())
                return false;
            options.realTime = true;
        } else if (arg == "--no-bus-timing") {
            if (!takesNoValue())
                return false;
            options.busTiming = false;
        } else if (arg == "--quiet" || arg == "-q") {
            if (!takesNoValue())
                return false;
            options.quiet = true;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg + " (see --help)";
            return false;
        } else {
            error = "unexpected argument '" + arg + "' (see --help)";
            return false;
        }
    }
    if (ptyOnly && !options.pty) {
        error = "--pty-link needs --pty";
        return false;
    }
    if (liveOnly && !options.Live()) {
        error = "--far-end needs --pty or --serve";
        return false;
    }
    if (options.pty && options.serve) {
        error = "--pty and --serve are two ways of offering the ports: choose one";
        return false;
    }
    if (options.Live() && options.bytes) {
        error = "--pty and --serve take no --bytes: the programs on the ports move the data";
        return false;
    }
    for (int port = 1; port <= 4; port++)
        if (options.farEnds[port].kind == FarEndKind::Served && !options.serve) {
            error = "--far-end PORT=serve needs --serve";
            return false;
        }
    return ResolveFarEnds(options, farEndGiven, error);
}

void PrintUsage(std::FILE *out)
{
    std::fprintf(out,
                 "usage: nuvix-sim [--adapters N] [--bytes N] [--seed N] [--schedule S] [--real-time]\n"
                 "                 [--no-bus-timing]\n"
                 "                 [--quiet] [--pcap FILE] [--image nuvixusb.sys]\n"
                 "       nuvix-sim --pty [--adapters N] [--pty-link DIR] [--far-end PORT=END]...\n"
                 "                 [--seed N] [--pcap FILE]\n"
                 "       nuvix-sim --serve [ADDR:]PORT [--adapters N] [--far-end PORT=END]...\n"
                 "                 [--seed N] [--pcap FILE]\n"
                 "\n"
                 "Runs the driver in the simulated platform through the whole life of one\n"
                 "four-port adapter (or several at once): a blank chip is plugged in and\n"
                 "given its firmware, comes back as the adapter, is configured and handed\n"
                 "to the host serial driver, which moves data through all four ports\n"
                 "(a loopback plug on ports 1 and 2, a null-modem cable between 3 and 4)\n"
                 "and checks every byte, toggles the modem lines and watches the events;\n"
                 "the diagnostic device reads the firmware's information block; the ports\n"
                 "close and the adapter is removed. A summary per port follows, then the\n"
                 "driver's error counters, then PASS or FAIL.\n"
                 "\n"
                 "options:\n"
                 "  --adapters N   adapters present at once, 1 to %d (default 1), serial\n"
                 "                 numbers NX4A0001 upwards; plugged in one after another\n"
                 "                 (as the platform starts devices), then used concurrently\n"
                 "  --bytes N      bytes per stream, per port and per adapter; suffix K, M or\n"
                 "                 G for binary multiples. Default 256K for one adapter;\n"
                 "                 with more, 256K divided among them (at least 4K each)\n"
                 "  --seed N       seed of the run's choices: ring sizes, write sizes, data\n"
                 "                 (default 1; NUVIX_SIM_SEED applies when --seed is absent)\n"
                 "                 and, in a deterministic schedule, of every thread switch:\n"
                 "                 the same seed replays the whole run\n"
                 "  --schedule S   random (default) or pct: one simulated thread runs at a\n"
                 "                 time, switching where the seed says; real: every thread\n"
                 "                 is an OS thread (NUVIX_SIM_SCHEDULE applies when absent;\n"
                 "                 --real-time, --pty and --serve always run real threads)\n"
                 "  --real-time    kernel time follows the wall clock instead of jumping\n"
                 "                 over idle waits (each download then takes about 1.3 s)\n"
                 "  --pcap FILE    writes every USB transfer of the run to FILE as a usbmon\n"
                 "                 capture (pcap, link type 220) that packet analysers read;\n"
                 "                 kernel time for timestamps, bus 1, one device number per\n"
                 "                 adapter and a new one after re-enumeration\n"
                 "  --no-bus-timing  bulk transfers complete as soon as the device answers;\n"
                 "                 by default each adapter's bus runs full-speed 1 ms frames,\n"
                 "                 one 64-byte packet per pipe per frame (64,000 B/s a pipe),\n"
                 "                 so the default 256K per stream takes over 4 s of kernel time\n"
                 "  -q, --quiet    only the summary and the result\n"
                 "  --image FILE   run the real driver image (build/host32/target/nuvixusb.sys),\n"
                 "                 loaded as the platform loads it, instead of the linked\n"
                 "                 driver; the 32-bit build (preset host32) only\n"
                 "  --pty          instead: brings the adapters up in real time and offers their\n"
                 "                 ports as pseudo-terminals (paths printed) until Ctrl-C;\n"
                 "                 line settings made on a terminal go to the port's UART\n"
                 "  --serve [ADDR:]PORT  instead: the same, each port offered as a network\n"
                 "                 serial port (telnet with the COM-PORT option, RFC 2217) on\n"
                 "                 ADDR (default 127.0.0.1), TCP port PORT + 4 x adapter + port\n"
                 "                 (both from 0); bus timing on. One client a port; line\n"
                 "                 settings, modem lines, break and purge reach the driver\n"
                 "  --pty-link DIR also links DIR/nuvix-<serial>-<port> (and -<port>-far) to them\n"
                 "  --far-end PORT=END  what is at the far end of a port's cable: loopback,\n"
                 "                 null-modem:OTHER (a cable to another port), pty (another\n"
                 "                 pseudo-terminal, the device at the far end) or serve (with\n"
                 "                 --serve: that device as a network port, %d above its port).\n"
                 "                 Default: loopback on 1 and 2, a null-modem cable between 3 and 4\n"
                 "  -h, --help     this text\n"
                 "\n"
                 "Progress is redrawn in place on a terminal and printed as plain lines\n"
                 "otherwise. Exit status: 0 pass, 1 fail, 2 usage error.\n",
                 kMaxAdapters, kServedFarEndOffset);
}

}  // namespace nuvix::simtool
