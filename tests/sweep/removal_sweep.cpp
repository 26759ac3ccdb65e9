// Surprise removal at every phase of an adapter's life: during the firmware
// download, just after the chip came back re-enumerated, during
// configuration, while the ports open, with transfers in flight on all four
// ports, during the close's echo drain, and while a diagnostic request waits
// for the firmware, and with a diagnostic request waiting all through the
// ports' phases. The point is the Nth request reaching the device within
// the phase (the Nth 250 ms for the waiting diagnostic request), in each of
// the bus's completion modes. Nothing may break, hang or leak, no wrong byte
// may reach the host before the pull, a waiting diagnostic request must not
// hold the removal up, and the same chip plugged in again must work.
#include <cstdio>
#include <memory>
#include <sstream>

#include "driver/diag/control_device.h"
#include "harness.h"
#include "rig.h"
#include "sim/user/device_file.h"

namespace sweep {
namespace {

using sim::usb::CompletionMode;

enum Phase { kIdle, kDownload, kReEnumerated, kConfigure, kOpen, kTraffic, kClose, kDiagnostic, kPhaseCount };
const char *kPhaseNames[kPhaseCount] = {"idle", "download", "reenumerated", "configure",
                                        "open", "traffic",  "close",        "diag"};
constexpr size_t kTrafficBytes = 1500;
constexpr int64_t kDiagStep = 250 * sim::kTicksPerMillisecond;

const char *ModeName(CompletionMode mode)
{
    return mode == CompletionMode::Pend ? "pend" : mode == CompletionMode::Inline ? "inline" : "random";
}

bool Reached(Rig &rig) { return rig.socket->Pulled(); }

// The diagnostic device: a GET_INFO for port 1 that the silent firmware
// never answers, so it waits its full ten seconds unless the removal ends it.
void WaitingDiagnostic(Rig &rig, int64_t pullAfter)
{
    rig.Firmware()->SetAnswerMode(sim::adapter::AnswerMode::Silent);
    NTSTATUS opened = STATUS_UNSUCCESSFUL, asked = STATUS_UNSUCCESSFUL;
    bool tried = false;
    sim::Thread asker("diagnostic", [&] {
        sim::user::Handle handle = nullptr;
        opened = sim::user::Open("\\DosDevices\\ZerafinTest", &handle);
        sim::Scheduler::Get().Change([&] { tried = true; });
        if (!handle)
            return;
        std::vector<uint8_t> input(34, 0), output(35, 0);
        input[0] = 1;
        ULONG returned = 0;
        asked = sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), 34, output.data(), 35, &returned);
        SWEEP_CHECK(returned == 0, "the silent firmware's information block came back with bytes");
        sim::user::Close(handle);
    });
    // The point is counted from the open, as the request goes out.
    sim::Scheduler::Get().Block([&] { return tried; }, std::nullopt, "the diagnostic device to open");
    Sleep(pullAfter);
    rig.socket->Pull();
    asker.Join();
    Note("diagnostic open " + Rig::StatusText(opened) + ", request " + Rig::StatusText(asked));
    SWEEP_CHECK(NT_SUCCESS(opened), "the diagnostic device did not open before the removal");
}

// A diagnostic request for a port byte no command may carry: nothing is
// sent and it waits its full ten seconds, whatever the firmware does,
// unless the removal ends it. Asked again until the device is gone.
struct Asker {
    NTSTATUS last = STATUS_PENDING;
    std::unique_ptr<sim::Thread> thread;

    explicit Asker(Rig &rig)
    {
        thread = std::make_unique<sim::Thread>("diagnostic", [this, &rig] {
            while (!Reached(rig)) {
                sim::user::Handle handle = nullptr;
                if (!NT_SUCCESS(sim::user::Open("\\DosDevices\\ZerafinTest", &handle)))
                    return;
                std::vector<uint8_t> input(34, 0), output(35, 0);
                input[0] = 5;
                ULONG returned = 0;
                last = sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), 34, output.data(), 35,
                                                  &returned);
                sim::user::Close(handle);
            }
        });
    }
};

struct StepCounts {
    uint64_t steps[kPhaseCount] = {};
};

// One life, pulled at (phase, step); with counts, never pulled before its
// end and the steps of each phase are recorded.
void Life(Rig &rig, const std::string &label, int phase, uint64_t step, StepCounts *counts, bool diag = false)
{
    auto end = [&](int) {
        if (counts)
            for (int p = 0; p < kPhaseCount; p++)
                counts->steps[p] = std::max(counts->steps[p], rig.socket->Longest(p));
    };
    rig.StartRemover();
    if (!counts && phase != kDiagnostic)
        rig.socket->ArmPull(phase, step);
    rig.socket->SetPhase(rig.options.blank ? kDownload : kConfigure);
    NTSTATUS status = rig.PlugIn();
    end(rig.socket->Phase());
    bool ran = !Reached(rig) && rig.Current() && rig.Firmware();
    if (!ran && !Reached(rig))
        Fail(label + ": the adapter did not come up before the pull (plug status " + Rig::StatusText(status) + ")");
    if (ran && phase == kDiagnostic) {
        rig.socket->SetPhase(kDiagnostic);
        WaitingDiagnostic(rig, counts ? 0 : static_cast<int64_t>(step) * kDiagStep);
    } else if (ran) {
        std::unique_ptr<Asker> asker = diag ? std::make_unique<Asker>(rig) : nullptr;
        for (int port = 1; port <= 4; port++)
            rig.Firmware()->ConnectLoopback(port);
        rig.socket->SetPhase(kOpen);
        bool open[4] = {};
        sim::host::HostSerialDriver *host = rig.Host();
        sim::host::HostPort *ports[4] = {};
        for (int i = 0; i < 4; i++)
            ports[i] = rig.Port(i);
        for (int i = 0; i < 4; i++) {
            open[i] = rig.OpenPort(i);
            if (!open[i] && !Reached(rig))
                Fail(label + ": port " + std::to_string(i) + " did not open, device present");
        }
        end(kOpen);
        rig.socket->SetPhase(kTraffic);
        {
            std::vector<std::unique_ptr<sim::Thread>> pumps;
            for (int i = 0; i < 4; i++)
                if (open[i])
                    pumps.push_back(std::make_unique<sim::Thread>("pump " + std::to_string(i), [&rig, i, &label] {
                        PathResult result = rig.Exchange(i, kTrafficBytes, label);
                        if (result == PathResult::Visible && !rig.socket->Pulled())
                            Fail(label + ": port " + std::to_string(i) + " stopped, device present");
                    }));
            for (auto &pump : pumps)
                pump->Join();
        }
        end(kTraffic);
        rig.socket->SetPhase(kClose);
        for (int i = 0; i < 4; i++)
            if (open[i] && host && ports[i] && !host->Close(*ports[i]) && !Reached(rig))
                Fail(label + ": port " + std::to_string(i) + " did not close, device present");
        end(kClose);
        if (asker) {
            rig.JoinRemover();
            asker->thread->Join();
            Note("the last diagnostic request ended " + Rig::StatusText(asker->last));
        }
    }
    if (!Reached(rig))
        Note("the life ended before its point; pulled at its end");
    rig.JoinRemover();
    // The removal waits for the work in progress: ports closing wait their
    // firmware's answers (about 2.5 s at most), a diagnostic request waiting
    // for an answer that cannot come must not hold it at all.
    const sim::Ticks limit = (phase == kDiagnostic ? 1 : 5) * sim::kTicksPerSecond;
    SWEEP_CHECK(rig.RemovalTicks() < limit, label + ": the removal took " +
                                                std::to_string(rig.RemovalTicks() / sim::kTicksPerMillisecond) +
                                                " ms of kernel time");
    SWEEP_CHECK(AdapterTable.Count == 0, label + ": an adapter is left in the table after the surprise removal");
    SWEEP_CHECK(rig.Host() == nullptr, label + ": the host serial driver is still loaded after the removal");
    if (!counts)
        rig.CheckReplugWorks(label);
    rig.FinishAndCheckPool();
}

StepCounts Measure()
{
    std::string text = RunInChild(
        [] {
            StepCounts counts;
            for (bool blank : {true, false}) {
                RigOptions options;
                options.blank = blank;
                options.phaseOnReEnumerate = kReEnumerated;
                Rig rig("removal:measure", 1, options);
                Life(rig, "removal:measure", -1, 0, &counts);
            }
            std::printf("STEPS");
            for (int p = 0; p < kPhaseCount; p++)
                std::printf(" %llu", static_cast<unsigned long long>(counts.steps[p]));
            std::printf("\n");
        },
        300);
    StepCounts counts;
    std::istringstream in(text.substr(text.find("STEPS") + 5));
    for (int p = 0; p < kPhaseCount; p++)
        in >> counts.steps[p];
    return counts;
}

std::vector<Case> Cases()
{
    StepCounts counts = Measure();
    // Points per phase: every step of the short phases, an even spread over
    // the long ones (the download and the traffic repeat one pattern).
    struct Plan {
        int phase;
        uint64_t points;
        uint64_t last;
    };
    std::vector<Plan> plans;
    for (int p = kDownload; p < kDiagnostic; p++) {
        // With a margin, rounded so that the list (and --from/--to) stays
        // the same from run to run although the threads' timing varies.
        uint64_t last = (counts.steps[p] + counts.steps[p] / 10 + 2 + 31) / 32 * 32;
        plans.push_back({p, std::min<uint64_t>(last, p == kDownload ? 450 : 400), last});
    }
    plans.push_back({kDiagnostic, 42, 42});  // up to 10.5 s, in 250 ms steps
    // A diagnostic request waits all through the phases of a started
    // adapter's ports, at fewer points.
    for (int p = kOpen; p <= kClose; p++)
        plans.push_back({-p, 24, plans[size_t(p - kDownload)].last});
    std::vector<Case> cases;
    for (CompletionMode mode : {CompletionMode::Pend, CompletionMode::Inline, CompletionMode::Random})
        for (const Plan &plan : plans)
            for (uint64_t i = 0; i < plan.points; i++) {
                const bool diag = plan.phase < 0;
                const int phase = diag ? -plan.phase : plan.phase;
                uint64_t step = plan.points >= plan.last ? i : i * plan.last / plan.points;
                std::string id = std::string("removal:") + ModeName(mode) + ":" + kPhaseNames[phase] +
                                 (diag ? "+diag:" : ":") + std::to_string(step);
                cases.push_back({id, [mode, phase, step, id, diag](uint64_t seed) {
                                     RigOptions options;
                                     options.completion = mode;
                                     options.blank = phase == kDownload || phase == kReEnumerated;
                                     options.phaseOnReEnumerate = kReEnumerated;
                                     Rig rig(id, seed, options);
                                     Life(rig, id, phase, step, nullptr, diag);
                                 }});
            }
    return cases;
}

Registrar registrar({"removal", "surprise removal at every phase, in every completion mode", Cases, 5});

}  // namespace
}  // namespace sweep
