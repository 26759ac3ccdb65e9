// The data path through the whole stack (driver, bus, firmware model, host
// serial driver), four ports full duplex per adapter. Figures, each with its
// goal; a missed goal makes the program exit 1:
//
//   timed      bus timing on (full-speed 1 ms frames, one 64-byte packet per
//              pipe per frame), UARTs unpaced: payload per second of kernel
//              time as a share of 512,000 B/s, the limit of an adapter's
//              eight data pipes with one transfer in flight each (>= 98%)
//   untimed    bus timing off: payload (written plus read) per second of
//              wall-clock time, one adapter (>= 10 MB/s) and 32 adapters at
//              once (>= 8 MB/s aggregate)
//   driver     instructions the driver's own routines (functions defined in
//              driver/) execute per bulk transfer: callgrind runs the data
//              phase with two sizes and the difference is divided by the
//              difference in transfers (<= 400); the commands are printed
//   memory     peak RSS of a run with 64 MiB per stream against one with
//              1 MiB, each in a child process (within 10%)
//
// --brief runs each figure with tiny sizes and enforces nothing (for ctest);
// --skip-callgrind leaves out the instruction count; --only NAME runs one
// figure (timed, one, many, driver, memory). Internal modes
// (--child-rss N, --child-callgrind N) are the child processes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "data_path/rig.h"
#include "sim/world.h"

namespace {

using nuvix::bench::Rig;
using nuvix::bench::RigOptions;
using nuvix::bench::StreamResult;

constexpr double kPipeLimit = 64'000.0;  // one 64-byte packet per 1 ms frame
constexpr double kAdapterLimit = 8 * kPipeLimit;

struct Sizes {
    uint64_t timed = 256 * 1024;         // per stream, with bus timing (4.1 s of kernel time)
    uint64_t untimed = 4 * 1024 * 1024;  // per stream, one adapter
    uint64_t many = 64 * 1024;           // per stream, 32 adapters
    uint64_t callgrind = 64 * 1024;      // per stream, under valgrind
    uint64_t rssSmall = 1024 * 1024;
    uint64_t rssLarge = 64 * 1024 * 1024;
};

int gMissed = 0;

void Report(const char *figure, double value, const char *unit, const char *goal, bool met, bool enforce)
{
    std::printf("  %-34s %12.3f %-8s goal %-12s %s\n", figure, value, unit, goal,
                met ? "met" : (enforce ? "MISSED" : "missed (not enforced)"));
    if (!met && enforce)
        gMissed++;
}

// The goals are the simulation's speed with its threads running at once, as
// they do unless a schedule is asked for; a deterministic schedule runs one
// at a time and is shown beside it.
StreamResult Run(int adapters, bool timing, uint64_t bytes, sim::Schedule schedule = sim::Schedule::RealThreads)
{
    sim::World world(sim::WorldOptions{.seed = 1, .schedule = schedule, .checkWakeRule = false});
    StreamResult result;
    {
        Rig rig(RigOptions{adapters, timing});
        std::string why;
        if (!rig.Ready(why)) {
            result.ok = false;
            result.failure = why;
            return result;
        }
        result = rig.Stream(bytes);
    }
    const std::string leaks = world.LeakReport();
    if (result.ok && !leaks.empty()) {
        result.ok = false;
        result.failure = "the driver leaked:\n" + leaks;
    }
    return result;
}

bool Check(const StreamResult &result, const char *what)
{
    if (result.ok)
        return true;
    std::printf("  %s FAILED: %s\n", what, result.failure.c_str());
    gMissed++;
    return false;
}

// Runs this program again as a child with args; returns its exit status and
// peak RSS (KiB), its standard output in out.
int RunChild(const std::vector<std::string> &args, long &maxRssKb, std::string &out)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        out.append(buffer, size_t(n));
    close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    maxRssKb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Instructions of functions defined under driver/ in a callgrind profile,
// from callgrind_annotate's per-function table ("Ir (share) file:function";
// the file is relative to the build's source directory or absolute).
bool DriverInstructions(const std::string &profile, uint64_t &instructions)
{
    const std::string command = "callgrind_annotate --inclusive=no --auto=no --threshold=100 " + profile;
    FILE *annotate = popen(command.c_str(), "r");
    if (!annotate)
        return false;
    const std::string absolute = std::string(NUVIX_SOURCE_DIR) + "/driver/";
    char here[4096];
    const std::string cwd = getcwd(here, sizeof(here)) ? here : "";
    char line[8192];
    instructions = 0;
    bool any = false;
    while (std::fgets(line, sizeof(line), annotate)) {
        const std::string text(line);
        size_t i = text.find_first_not_of(' ');
        if (i == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[i])))
            continue;
        uint64_t value = 0;
        for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == ','); i++)
            if (text[i] != ',')
                value = value * 10 + uint64_t(text[i] - '0');
        const size_t close = text.find(')', i);
        if (close == std::string::npos)
            continue;
        const size_t file = text.find_first_not_of(' ', close + 1);
        if (file == std::string::npos)
            continue;
        // callgrind_annotate shows paths under the current directory relative to it.
        std::string path = text.substr(file);
        if (path[0] != '/')
            path = cwd + "/" + path;
        if (path.compare(0, absolute.size(), absolute) != 0)
            continue;
        instructions += value;
        any = true;
    }
    return pclose(annotate) == 0 && any;
}

int ChildRss(uint64_t bytes)
{
    StreamResult result = Run(1, false, bytes);
    std::printf("%s\n", result.ok ? "ok" : result.failure.c_str());
    return result.ok ? 0 : 1;
}

int ChildCallgrind(uint64_t bytes)
{
    StreamResult result = Run(1, false, bytes);
    std::printf("transfers %llu payload %llu %s\n", (unsigned long long)result.bulkTransfers,
                (unsigned long long)result.payload, result.ok ? "ok" : result.failure.c_str());
    return result.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    bool brief = false, skipCallgrind = false;
    std::string only;  // one figure: timed, one, many, driver or memory
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--child-rss" && i + 1 < argc)
            return ChildRss(std::strtoull(argv[i + 1], nullptr, 10));
        if (arg == "--child-callgrind" && i + 1 < argc)
            return ChildCallgrind(std::strtoull(argv[i + 1], nullptr, 10));
        if (arg == "--brief") {
            brief = true;
        } else if (arg == "--skip-callgrind") {
            skipCallgrind = true;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: nuvix_data_path_bench [--brief] [--skip-callgrind] [--only timed|one|many|driver|memory]\n");
            return 2;
        }
    }
    Sizes sizes;
    if (brief)
        sizes = Sizes{8 * 1024, 16 * 1024, 1024, 2 * 1024, 4 * 1024, 16 * 1024};
    const bool enforce = !brief;
    const std::string self = argv[0];

    std::printf("data path: four ports full duplex per adapter (loopback 1, 2; null-modem 3-4)\n");

    auto wanted = [&only](const char *figure) { return only.empty() || only == figure; };

    if (wanted("timed")) {
        StreamResult timed = Run(1, true, sizes.timed);
        if (Check(timed, "timed")) {
            const double rate = double(timed.payload) / timed.kernelSeconds;
            std::printf("  timed: %llu bytes in %.3f s of kernel time (%.2f s wall), %.0f B/s\n",
                        (unsigned long long)timed.payload, timed.kernelSeconds, timed.wallSeconds, rate);
            Report("bus timing on, share of 512,000 B/s", 100.0 * rate / kAdapterLimit, "%", ">= 98",
                   rate >= 0.98 * kAdapterLimit, enforce);
        }
    }

    if (wanted("one")) {
        StreamResult one = Run(1, false, sizes.untimed);
        if (Check(one, "untimed, 1 adapter")) {
            const double mbs = double(one.payload) / one.wallSeconds / 1e6;
            Report("bus timing off, 1 adapter", mbs, "MB/s", ">= 10", mbs >= 10.0, enforce);
        }
        StreamResult walk = Run(1, false, sizes.untimed, sim::Schedule::RandomWalk);
        if (Check(walk, "untimed, 1 adapter, random walk")) {
            const double mbs = double(walk.payload) / walk.wallSeconds / 1e6;
            std::printf("  %-34s %12.3f %-8s (one thread at a time; shown, no goal)\n",
                        "the same, random-walk schedule", mbs, "MB/s");
        }
    }

    if (wanted("many")) {
        StreamResult many = Run(32, false, sizes.many);
        if (Check(many, "untimed, 32 adapters")) {
            const double mbs = double(many.payload) / many.wallSeconds / 1e6;
            Report("bus timing off, 32 adapters", mbs, "MB/s", ">= 8", mbs >= 8.0, enforce);
        }
    }

    if (!skipCallgrind && wanted("driver")) {
        // Two runs that differ only in how much data they move: the
        // difference is the data path's own, start-up and removal cancel out.
        struct Profile {
            unsigned long long transfers = 0, payload = 0;
            uint64_t instructions = 0;
            bool ok = false;
        };
        auto profile = [&](uint64_t bytes) {
            Profile result;
            const std::string file = "callgrind.data_path." + std::to_string(getpid()) + "." + std::to_string(bytes);
            std::vector<std::string> args = {"valgrind", "--tool=callgrind",  "--callgrind-out-file=" + file,
                                             self,       "--child-callgrind", std::to_string(bytes)};
            std::string command;
            for (const std::string &arg : args)
                command += (command.empty() ? "" : " ") + arg;
            std::printf("  %s\n  callgrind_annotate --inclusive=no --auto=no %s   (the lines of files in driver/)\n",
                        command.c_str(), file.c_str());
            long rss = 0;
            std::string out;
            const int status = RunChild(args, rss, out);
            result.ok =
                status == 0 &&
                std::sscanf(out.c_str(), "transfers %llu payload %llu", &result.transfers, &result.payload) == 2 &&
                DriverInstructions(file, result.instructions);
            if (!result.ok)
                std::printf("  callgrind run FAILED (status %d): %s\n", status, out.c_str());
            std::remove(file.c_str());
            return result;
        };
        std::printf("  driver instructions, from two runs under callgrind:\n");
        const Profile small = profile(sizes.callgrind);
        const Profile large = profile(3 * sizes.callgrind);
        if (!small.ok || !large.ok || large.transfers <= small.transfers) {
            gMissed += enforce;
        } else {
            const double transfers = double(large.transfers - small.transfers);
            const double perTransfer = double(large.instructions - small.instructions) / transfers;
            std::printf("  %.0f more bulk transfers, %.1f payload bytes each\n", transfers,
                        double(large.payload - small.payload) / transfers);
            Report("driver instructions per transfer", perTransfer, "instr", "<= 400", perTransfer <= 400.0, enforce);
        }
    }

    long smallRss = 0, largeRss = 0;
    std::string out;
    if (wanted("memory")) {
        const int smallStatus = RunChild({self, "--child-rss", std::to_string(sizes.rssSmall)}, smallRss, out);
        const int largeStatus = RunChild({self, "--child-rss", std::to_string(sizes.rssLarge)}, largeRss, out);
        if (smallStatus != 0 || largeStatus != 0) {
            std::printf("  memory FAILED: %s\n", out.c_str());
            gMissed++;
        } else {
            std::printf("  peak RSS: %ld KiB with %llu bytes per stream, %ld KiB with %llu\n", smallRss,
                        (unsigned long long)sizes.rssSmall, largeRss, (unsigned long long)sizes.rssLarge);
            const double ratio = double(largeRss) / double(smallRss);
            Report("peak RSS, large run / small run", ratio, "x", "<= 1.10", ratio <= 1.10, enforce);
        }
    }

    if (gMissed)
        std::printf("nuvix_data_path_bench: %d goal%s missed\n", gMissed, gMissed == 1 ? "" : "s");
    return gMissed ? 1 : 0;
}
