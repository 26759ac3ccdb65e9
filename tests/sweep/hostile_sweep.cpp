// A hostile device: the firmware answers commands in every wrong way (not at
// all, late, for the wrong port, with garbage, cut short) while the ports
// open, carry data or close; single transfers fail or are held by the
// device on each pipe; and a seeded random mix of all of it under traffic.
// Whatever the host is told must be true: a call may fail, but data the
// driver carried must arrive whole and in order, or the host must have been
// told the path stopped. Afterwards, with the device behaving again, every
// port must work, the adapter must go away cleanly and nothing may leak.
#include <random>

#include "harness.h"
#include "rig.h"

namespace sweep {
namespace {

using sim::adapter::AnswerMode;
using sim::usb::CompletionMode;

enum Phase { kOpen, kTraffic, kClose };
const char *kPhaseNames[] = {"open", "traffic", "close"};
const CompletionMode kModes[] = {CompletionMode::Pend, CompletionMode::Inline, CompletionMode::Random};
const char *kModeNames[] = {"pend", "inline", "random"};

struct Answer {
    const char *name;
    AnswerMode mode;
    int64_t delay;
};
const Answer kAnswers[] = {
    {"silent", AnswerMode::Silent, 0},           {"late-0.5s", AnswerMode::Late, 5'000'000},
    {"late-1.5s", AnswerMode::Late, 15'000'000}, {"wrongport", AnswerMode::WrongPort, 0},
    {"garbage", AnswerMode::Garbage, 0},         {"short", AnswerMode::Short, 0},
};

std::vector<uint8_t> Endpoints()
{
    std::vector<uint8_t> endpoints;
    for (int port = 1; port <= 4; port++) {
        endpoints.push_back(sim::adapter::PortIn(port));
        endpoints.push_back(sim::adapter::PortOut(port));
    }
    endpoints.push_back(sim::adapter::kCommandIn);
    endpoints.push_back(sim::adapter::kCommandOut);
    return endpoints;
}

std::string EndpointName(uint8_t endpoint)
{
    char text[8];
    std::snprintf(text, sizeof(text), "ep%02x", endpoint);
    return text;
}

// The life around a fault: `fault` is applied when `phase` begins (and
// `undo`, if any, when it ends). Calls made while the fault is active may
// fail; data must be whole or its stop told.
void Life(Rig &rig, const std::string &id, Phase phase, const std::function<void()> &fault,
          const std::function<void()> &undo, const std::function<void()> &during = {})
{
    if (rig.PlugIn() != STATUS_SUCCESS || !rig.Firmware())
        Fatal(id + ": the adapter does not start");
    auto firmware = rig.Firmware();
    sim::host::HostSerialDriver &host = *rig.Host();
    bool active = false;
    auto begin = [&](Phase p) {
        if (p == phase) {
            fault();
            active = true;
        }
    };
    auto finish = [&](Phase p) {
        if (p == phase) {
            if (undo)
                undo();
            active = false;
        }
    };
    for (int port = 1; port <= 4; port++)
        firmware->ConnectLoopback(port);

    begin(kOpen);
    bool open[4] = {};
    for (int i = 0; i < 4; i++) {
        open[i] = rig.OpenPort(i);
        if (!open[i]) {
            if (!active)
                Fail(id + ": port " + std::to_string(i) + " does not open with the device behaving");
            else
                Note("port " + std::to_string(i) + " refused to open");
        }
    }
    finish(kOpen);

    begin(kTraffic);
    {
        std::vector<std::unique_ptr<sim::Thread>> pumps;
        for (int i = 0; i < 4; i++)
            if (open[i])
                pumps.push_back(std::make_unique<sim::Thread>("pump " + std::to_string(i), [&rig, i, &id, &active] {
                    PathResult result = rig.Exchange(i, 800, id);
                    if (result == PathResult::Visible)
                        Note("port " + std::to_string(i) + " data path stopped, the host was told");
                    if (result == PathResult::Visible && !active)
                        Fail(id + ": port " + std::to_string(i) + " stopped with the device behaving");
                }));
        // A command in the middle of the traffic, as a host changes lines.
        if (open[2]) {
            bool dtr = host.Control(*rig.Port(2), IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
            if (!dtr && !active)
                Fail(id + ": a DTR change failed with the device behaving");
        }
        if (during)
            during();
        for (auto &pump : pumps)
            pump->Join();
    }
    finish(kTraffic);

    begin(kClose);
    for (int i = 0; i < 4; i++)
        if (open[i] && !host.Close(*rig.Port(i))) {
            if (!active)
                Fail(id + ": port " + std::to_string(i) + " does not close with the device behaving");
            else
                Note("port " + std::to_string(i) + " close reported failure");
        }
    finish(kClose);

    firmware->SetAnswerMode(AnswerMode::Normal);
    for (uint8_t endpoint : Endpoints())
        firmware->HoldEndpoint(endpoint, false);
    rig.CheckBooks(id);
    rig.CheckPortsWorkAndRemove(id);
    rig.FinishAndCheckPool();
}

RigOptions Options(int mode)
{
    RigOptions options;
    options.blank = false;
    options.completion = kModes[mode];
    return options;
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    // Every way of answering, in every phase and completion mode.
    for (int mode = 0; mode < 3; mode++)
        for (int phase = kOpen; phase <= kClose; phase++)
            for (const Answer &answer : kAnswers) {
                std::string id =
                    std::string("hostile:answer:") + answer.name + ":" + kPhaseNames[phase] + ":" + kModeNames[mode];
                cases.push_back({id, [id, mode, phase, answer](uint64_t seed) {
                                     Rig rig(id, seed, Options(mode));
                                     Life(
                                         rig, id, static_cast<Phase>(phase),
                                         [&] { rig.Firmware()->SetAnswerMode(answer.mode, answer.delay); },
                                         [&] { rig.Firmware()->SetAnswerMode(AnswerMode::Normal); });
                                 }});
            }
    // One failed transfer on each pipe, in each phase, two ways of failing.
    const std::pair<const char *, USBD_STATUS> failures[] = {{"stall", USBD_STATUS_STALL_PID},
                                                             {"noresponse", USBD_STATUS_DEV_NOT_RESPONDING}};
    for (int mode = 0; mode < 3; mode++)
        for (int phase = kOpen; phase <= kClose; phase++)
            for (uint8_t endpoint : Endpoints())
                for (const auto &failure : failures) {
                    std::string id = std::string("hostile:fail:") + EndpointName(endpoint) + ":" + failure.first + ":" +
                                     kPhaseNames[phase] + ":" + kModeNames[mode];
                    USBD_STATUS status = failure.second;
                    cases.push_back({id, [id, mode, phase, endpoint, status](uint64_t seed) {
                                         Rig rig(id, seed, Options(mode));
                                         Life(rig, id, static_cast<Phase>(phase),
                                              [&] { rig.Firmware()->FailNextTransfer(endpoint, status); }, {});
                                     }});
                }
    // Each pipe held by the device for a while in each phase.
    const int64_t holds[] = {2'000'000, 15'000'000, 60'000'000};
    for (int phase = kOpen; phase <= kClose; phase++)
        for (uint8_t endpoint : Endpoints())
            for (int h = 0; h < 3; h++) {
                int mode = (phase + h + endpoint) % 3;
                int64_t hold = holds[h];
                std::string id = std::string("hostile:hold:") + EndpointName(endpoint) + ":" +
                                 std::to_string(hold / sim::kTicksPerMillisecond) + "ms:" + kPhaseNames[phase] + ":" +
                                 kModeNames[mode];
                cases.push_back({id, [id, mode, phase, endpoint, hold](uint64_t seed) {
                                     Rig rig(id, seed, Options(mode));
                                     auto release = [&rig, endpoint, hold] {
                                         auto firmware = rig.Firmware();
                                         std::weak_ptr<sim::adapter::MainFirmware> weak = firmware;
                                         // Released from a thread of its own after the hold.
                                         return std::make_unique<sim::Thread>("release", [weak, endpoint, hold] {
                                             Sleep(hold);
                                             if (auto f = weak.lock())
                                                 f->HoldEndpoint(endpoint, false);
                                         });
                                     };
                                     std::unique_ptr<sim::Thread> releaser;
                                     Life(
                                         rig, id, static_cast<Phase>(phase),
                                         [&] {
                                             rig.Firmware()->HoldEndpoint(endpoint, true);
                                             releaser = release();
                                         },
                                         [&] {
                                             if (releaser)
                                                 releaser->Join();
                                             releaser.reset();
                                         });
                                     if (releaser)
                                         releaser->Join();
                                 }});
            }
    // A seeded mix during traffic: answer modes flip, transfers fail, pipes
    // are held and released, at random moments.
    for (int n = 0; n < 300; n++) {
        std::string id = "hostile:mix:" + std::to_string(n);
        cases.push_back({id, [id, n](uint64_t seed) {
                             Rig rig(id, seed, Options(n % 3));
                             std::mt19937_64 rng(seed);
                             auto below = [&](uint64_t bound) { return rng() % bound; };
                             std::vector<uint8_t> endpoints = Endpoints();
                             Life(
                                 rig, id, kTraffic, [] {}, {},
                                 [&] {
                                     auto firmware = rig.Firmware();
                                     int events = 3 + static_cast<int>(below(10));
                                     for (int e = 0; e < events; e++) {
                                         Sleep(static_cast<int64_t>(below(40)) * sim::kTicksPerMillisecond / 4);
                                         uint8_t endpoint = endpoints[below(endpoints.size())];
                                         switch (below(4)) {
                                         case 0: {
                                             const Answer &answer = kAnswers[below(std::size(kAnswers))];
                                             firmware->SetAnswerMode(answer.mode, answer.delay);
                                             Note(std::string("answers ") + answer.name);
                                             break;
                                         }
                                         case 1:
                                             firmware->FailNextTransfer(endpoint, below(2)
                                                                                      ? USBD_STATUS_STALL_PID
                                                                                      : USBD_STATUS_DEV_NOT_RESPONDING);
                                             Note("fail next on " + EndpointName(endpoint));
                                             break;
                                         case 2:
                                             firmware->HoldEndpoint(endpoint, true);
                                             Note("hold " + EndpointName(endpoint));
                                             break;
                                         default:
                                             for (uint8_t each : endpoints)
                                                 firmware->HoldEndpoint(each, false);
                                             firmware->SetAnswerMode(AnswerMode::Normal);
                                             Note("behaves again");
                                             break;
                                         }
                                     }
                                     // The device behaves again before the host gives up on it.
                                     Sleep(static_cast<int64_t>(below(20)) * sim::kTicksPerMillisecond);
                                     for (uint8_t each : endpoints)
                                         firmware->HoldEndpoint(each, false);
                                     firmware->SetAnswerMode(AnswerMode::Normal);
                                 });
                         }});
    }
    return cases;
}

Registrar registrar({"hostile", "a device that answers wrongly, fails or holds transfers; a seeded mix", Cases, 2});

}  // namespace
}  // namespace sweep
