// Port data drawn to look like the protocol's own frames (the close's echo
// marker in its every shape, "BONG", answers, events, the echo command
// itself) arriving all the time while the host closes its ports and opens
// them again, on one to four ports at once. Every open succeeds, and each
// session reads a run of its far end's stream that follows the last
// session's, whole and with nothing added: the drain ends only on the
// driver's own marker, and the marker never reaches the host.
#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <random>

#include "harness.h"
#include "rig.h"

namespace sweep {
namespace {

using sim::usb::CompletionMode;
using Bytes = std::vector<uint8_t>;

constexpr int kCycles = 30;

Bytes Frame(std::mt19937_64 &random, uint32_t seq, int port)
{
    const uint8_t hi = uint8_t(seq >> 8), lo = uint8_t(seq), p = uint8_t(port);
    Bytes frame;
    switch (random() % 7) {
    case 0:
        return {'B', hi, lo, 'G'};
    case 1:  // the marker's own length and ends
        frame = {'B', hi, lo};
        while (frame.size() < 15)
            frame.push_back(uint8_t(random()));
        frame.push_back('G');
        return frame;
    case 2:
        return {'B', 'O', 'N', 'G'};
    case 3:
        return {0x10, hi, p};  // an answer
    case 4:
        return {0x0D, p, 0x01, lo};  // an event
    case 5:                          // the echo command, marker and all
        frame = {0x0E, p, 16, 'B', hi, lo};
        frame.resize(18, 0x55);
        frame.push_back('G');
        return frame;
    default:
        frame = {hi, lo};
        frame.resize(1 + random() % 64, uint8_t(random()));
        return frame;
    }
}

struct PortRun {
    Bytes stream;                 // what the far end sent, in order
    std::vector<Bytes> sessions;  // what the host read in each session
    std::atomic<bool> stop{false};
};

void Cycles(const std::string &id, uint64_t seed, CompletionMode mode)
{
    RigOptions options;
    options.blank = false;
    options.completion = mode;
    Rig rig(id, seed, options);
    if (rig.PlugIn() != STATUS_SUCCESS)
        Fatal("the adapter does not start");
    std::shared_ptr<sim::adapter::MainFirmware> firmware = rig.Firmware();
    sim::host::HostSerialDriver *host = rig.Host();
    const int ports = 1 + int(seed % 4);
    std::array<PortRun, 4> runs;
    std::vector<std::unique_ptr<sim::Thread>> farEnds, hosts;
    for (int p = 0; p < ports; p++) {
        firmware->ConnectEndpoint(p + 1);
        farEnds.push_back(std::make_unique<sim::Thread>("far end " + std::to_string(p), [&, p] {
            std::mt19937_64 random(seed * 31 + uint64_t(p));
            for (uint32_t seq = 0; !runs[p].stop; seq++) {
                Bytes frame = Frame(random, seq, p + 1);
                runs[p].stream.insert(runs[p].stream.end(), frame.begin(), frame.end());
                firmware->Inject(p + 1, frame);
                Sleep(int64_t(random() % 3) * sim::kTicksPerMillisecond);
            }
        }));
        hosts.push_back(std::make_unique<sim::Thread>("host " + std::to_string(p), [&, p] {
            std::mt19937_64 random(seed * 37 + uint64_t(p));
            sim::host::HostPort &port = *rig.Port(p);
            for (int cycle = 0; cycle < kCycles; cycle++) {
                if (!host->Open(port) || !host->Bind(port, 1024, 1024)) {
                    Fail("port " + std::to_string(p) + " did not open in cycle " + std::to_string(cycle));
                    return;
                }
                Bytes session;
                for (int64_t wait = 1 + int64_t(random() % 8); wait > 0; wait--) {
                    uint8_t buffer[512];
                    session.insert(session.end(), buffer, buffer + host->Read(port, buffer, sizeof(buffer)));
                    Sleep(sim::kTicksPerMillisecond);
                }
                SWEEP_CHECK(host->Close(port), "port " + std::to_string(p) + " did not close");
                runs[p].sessions.push_back(std::move(session));
            }
        }));
    }
    for (auto &thread : hosts)
        thread->Join();
    for (int p = 0; p < ports; p++)
        runs[p].stop = true;
    for (auto &thread : farEnds)
        thread->Join();
    for (int p = 0; p < ports; p++) {
        auto from = runs[p].stream.begin();
        size_t read = 0;
        for (size_t s = 0; s < runs[p].sessions.size(); s++) {
            const Bytes &session = runs[p].sessions[s];
            auto at = std::search(from, runs[p].stream.end(), session.begin(), session.end());
            SWEEP_CHECK(at != runs[p].stream.end() || session.empty(),
                        "port " + std::to_string(p) + " session " + std::to_string(s) + ": " +
                            std::to_string(session.size()) + " bytes that are no run of the far end's stream after " +
                            "the last session (a lost, changed or added byte)");
            if (at != runs[p].stream.end())
                from = at + std::ptrdiff_t(session.size());
            read += session.size();
        }
        Note("port " + std::to_string(p) + ": " + std::to_string(runs[p].stream.size()) + " bytes sent, " +
             std::to_string(read) + " read in " + std::to_string(runs[p].sessions.size()) + " sessions");
        SWEEP_CHECK(firmware->Port(p + 1).bytesLost == 0, "the UART overran: the case proves nothing");
    }
    rig.RemoveCurrent();
    rig.FinishAndCheckPool();
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (CompletionMode mode : {CompletionMode::Pend, CompletionMode::Inline, CompletionMode::Random})
        for (int i = 0; i < 40; i++) {
            std::string id = std::string("marker:") +
                             (mode == CompletionMode::Pend     ? "pend"
                              : mode == CompletionMode::Inline ? "inline"
                                                               : "random") +
                             ":" + std::to_string(i);
            cases.push_back({id, [id, mode](uint64_t seed) { Cycles(id, seed, mode); }});
        }
    return cases;
}

Registrar registrar({"marker", "close and reopen under data shaped like the protocol's frames", Cases, 3});

}  // namespace
}  // namespace sweep
