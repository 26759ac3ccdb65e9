// nuvix-sim: the driver's whole life with one adapter (or up to 32), run in
// the simulated platform and told as it happens; exit status 0 when every
// check held, 1 when one did not, 2 for a usage error.
#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "display.h"
#include "options.h"
#include "live_mode.h"
#include "session.h"
#include "sim/usb/capture.h"
#include "sim/world.h"

namespace {

// The verifier stops the process with abort() after printing the bug check
// on stderr. The run has failed then, and says so where its PASS would have
// been, with the failure's exit status rather than a signal's.
// The aborting thread's stack goes to stderr too: an abort that is no bug
// check (the C library finding its heap damaged, say) names nothing else.
void OnAbort(int)
{
    static const char kMidLine[] = "\n";
    static const char kFail[] = "FAIL: the simulation was stopped (see stderr)\n";
    static const char kStack[] = "nuvix-sim: stack of the aborting thread:\n";
    void *frames[64];
    int depth = backtrace(frames, 64);
    (void)!write(STDERR_FILENO, kStack, sizeof(kStack) - 1);
    backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    if (nuvix::simtool::RedrawInProgress())
        (void)!write(STDOUT_FILENO, kMidLine, sizeof(kMidLine) - 1);
    (void)!write(STDOUT_FILENO, kFail, sizeof(kFail) - 1);
    _exit(1);
}

// A crash names where it happened before the default action ends the
// process, so that a fault seen once in many runs can be chased.
void OnCrash(int signal)
{
    static const char kStack[] = "nuvix-sim: crashed; stack of the crashing thread:\n";
    void *frames[64];
    int depth = backtrace(frames, 64);
    (void)!write(STDERR_FILENO, kStack, sizeof(kStack) - 1);
    backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    raise(signal);
}

}  // namespace

int main(int argc, char **argv)
{
    nuvix::simtool::Options options;
    std::string error;
    if (!nuvix::simtool::ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "nuvix-sim: error: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        nuvix::simtool::PrintUsage(stdout);
        return 0;
    }
    // An explicit seed wins over one left in the environment for the tests.
    if (options.seed)
        unsetenv("NUVIX_SIM_SEED");

    struct sigaction action {};
    action.sa_handler = OnAbort;
    sigemptyset(&action.sa_mask);
    sigaction(SIGABRT, &action, nullptr);
    struct sigaction crash {};
    crash.sa_handler = OnCrash;
    sigemptyset(&crash.sa_mask);
    crash.sa_flags = SA_RESETHAND;
    sigaction(SIGSEGV, &crash, nullptr);
    sigaction(SIGBUS, &crash, nullptr);

    // Made before the world: a file that cannot be written is a usage error.
    std::unique_ptr<sim::usb::Capture> capture;
    if (!options.pcap.empty()) {
        capture = sim::usb::Capture::Create(options.pcap, error);
        if (!capture) {
            std::fprintf(stderr, "nuvix-sim: error: --pcap: %s\n", error.c_str());
            return 2;
        }
    }

    nuvix::simtool::Output output(isatty(STDOUT_FILENO) != 0, options.quiet);
    bool passed;
    {
        sim::WorldOptions world;
        world.seed = options.seed.value_or(1);
        // Programs on the terminals live in real time, and so must the adapter.
        world.clock = options.realTime || options.Live() ? sim::ClockMode::RealTime : sim::ClockMode::Simulated;
        world.schedule = options.schedule;
        // The wake rule's check evaluates every waiter's test on every keyed
        // change; beyond a few adapters it would cost more than the run.
        world.checkWakeRule = options.adapters <= 4;
        sim::World simulation(world);
        passed = options.Live() ? nuvix::simtool::RunLiveMode(options, output, capture.get())
                                : nuvix::simtool::RunSession(options, output, capture.get());
    }
    return passed ? 0 : 1;
}
