// Allocation failures: one whole life (blank chip, firmware download,
// re-enumeration, configuration, four ports opened and bound, data each way,
// close, removal) is measured once, counting its pool blocks, requests and
// descriptor lists; then each case fails the Nth of one kind. The life must
// complete with every byte checked, or fail where the host or the Plug and
// Play manager sees it; nothing may leak, and a fresh adapter must work
// afterwards.
#include <cstdio>
#include <sstream>

#include "harness.h"
#include "rig.h"
#include "sim/kernel/resources.h"

namespace sweep {
namespace {

using sim::ResourceKind;

constexpr int kPhases = 6;
// Enough traffic that the data paths' requests and descriptor lists outnumber
// the download's: a fault at every one of them, in every state a transfer
// can be in when it re-arms.
constexpr size_t kBytesPerPort = 16384;

struct Counts {
    uint64_t at[kPhases][3] = {};  // allocations of each kind done by the end of each phase
};

void Mark(Counts *counts, int phase)
{
    if (!counts)
        return;
    for (int kind = 0; kind < 3; kind++)
        counts->at[phase][kind] = sim::Resources::Get().AllocationCount(static_cast<ResourceKind>(kind));
}

// One life. With counts, the measuring run (nothing fails); without, a case.
void Life(Rig &rig, const std::string &label, Counts *counts)
{
    Mark(counts, 0);
    if (!NT_SUCCESS(rig.bed->pnp->EntryStatus())) {
        Note("driver entry failed (" + Rig::StatusText(rig.bed->pnp->EntryStatus()) + "): the platform sees it");
        rig.bed->Unload();
        rig.CheckFreshAdapterWorks(label);
        rig.FinishAndCheckPool();
        return;
    }
    NTSTATUS status = rig.PlugIn();
    Mark(counts, 1);
    sim::pnp::Device *device = rig.Current();
    bool open[4] = {};
    if (!device || device->State() != sim::pnp::DeviceState::Started) {
        bool seen = !NT_SUCCESS(status);
        for (sim::pnp::Device *each : rig.bed->pnp->Devices())
            seen = seen || !NT_SUCCESS(each->AddDeviceStatus()) || !NT_SUCCESS(each->StartStatus());
        if (seen)
            Note("the adapter did not start, and the Plug and Play manager saw a start fail");
        else
            Fail(label + ": the adapter is not running and no start failed (plug status " + Rig::StatusText(status) +
                 ")");
    } else if (rig.chip->Running() != sim::chip::Program::Main || !rig.Firmware()) {
        // The download reports success whatever happened, so the start does
        // too and the adapter simply never appears: what counts is that the
        // chip, plugged in again, gets its firmware and works.
        Note(std::string("the download did not complete; the chip runs: ") +
             sim::chip::ProgramName(rig.chip->Running()));
        rig.RemoveCurrent();
        rig.CheckReplugWorks(label + " (chip without firmware)");
    } else if (!rig.Host()) {
        Fail(label + ": the adapter started but no host serial driver has its ports");
    } else {
        for (int port = 1; port <= 4; port++)
            rig.Firmware()->ConnectLoopback(port);
        for (int i = 0; i < 4; i++) {
            open[i] = rig.OpenPort(i);
            if (!open[i]) {
                // The one failed allocation is behind us: the host's second
                // try must find the adapter working.
                Note("port " + std::to_string(i) + " refused to open: the host sees it and tries again");
                open[i] = rig.OpenPort(i);
                if (!open[i])
                    Fail(label + ": port " + std::to_string(i) + " refuses to open again after one failed allocation");
            }
        }
        Mark(counts, 2);
        for (int i = 0; i < 4; i++)
            if (open[i]) {
                PathResult result = rig.Exchange(i, kBytesPerPort, label);
                if (result == PathResult::Visible)
                    Note("port " + std::to_string(i) + " data path stopped and the host was told");
                if (counts && result != PathResult::Ok)
                    Fail("the measuring life lost data on port " + std::to_string(i));
            }
        Mark(counts, 3);
        for (int i = 0; i < 4; i++)
            if (open[i] && !rig.Host()->Close(*rig.Port(i)))
                Note("port " + std::to_string(i) + " close failed: the host sees it");
        Mark(counts, 4);
    }
    rig.RemoveCurrent();
    Mark(counts, 5);
    SWEEP_CHECK(AdapterTable.Count == 0, label + ": an adapter is left in the table after removal");
    if (!counts)
        Note("allocations that succeeded in this life: pool " +
             std::to_string(sim::Resources::Get().AllocationCount(ResourceKind::Pool)) + ", irp " +
             std::to_string(sim::Resources::Get().AllocationCount(ResourceKind::Irp)) + ", mdl " +
             std::to_string(sim::Resources::Get().AllocationCount(ResourceKind::Mdl)));
    rig.CheckFreshAdapterWorks(label);
    rig.FinishAndCheckPool();
}

Counts Measure()
{
    std::string text = RunInChild(
        [] {
            Rig rig("alloc:measure", 1);
            Counts counts;
            Life(rig, "alloc:measure", &counts);
            std::printf("COUNTS");
            for (int phase = 0; phase < kPhases; phase++)
                std::printf(" %llu %llu %llu", static_cast<unsigned long long>(counts.at[phase][0]),
                            static_cast<unsigned long long>(counts.at[phase][1]),
                            static_cast<unsigned long long>(counts.at[phase][2]));
            std::printf("\n");
        },
        300);
    Counts counts;
    std::istringstream in(text.substr(text.find("COUNTS") + 6));
    for (int phase = 0; phase < kPhases; phase++)
        for (int kind = 0; kind < 3; kind++)
            in >> counts.at[phase][kind];
    return counts;
}

const char *KindWord(ResourceKind kind)
{
    return kind == ResourceKind::Pool ? "pool" : kind == ResourceKind::Irp ? "irp" : "mdl";
}

void RunCase(ResourceKind kind, uint64_t n, const std::string &id, uint64_t seed)
{
    RigOptions options;
    options.beforeDriverLoads = [kind, n] { sim::Resources::Get().FailNth(kind, n); };
    Rig rig(id, seed, options);
    Note(std::string("failing ") + KindWord(kind) + " allocation " + std::to_string(n));
    Life(rig, id, nullptr);
}

std::vector<Case> Cases()
{
    Counts counts = Measure();
    std::vector<Case> cases;
    for (ResourceKind kind : {ResourceKind::Pool, ResourceKind::Irp, ResourceKind::Mdl}) {
        int k = static_cast<int>(kind);
        // Rounded up, so that the list (and --from/--to) stays the same from
        // run to run although the data paths' allocations vary a little;
        // positions past a life's end run it without a fault.
        uint64_t total = (counts.at[kPhases - 1][k] + 15) / 16 * 16;
        // Every position of every kind, so every allocation site is hit in
        // every phase it allocates in.
        std::vector<uint64_t> positions;
        for (uint64_t n = 1; n <= total; n++)
            positions.push_back(n);
        for (uint64_t n : positions) {
            std::string id = std::string("alloc:") + KindWord(kind) + ":" + std::to_string(n);
            cases.push_back({id, [kind, n, id](uint64_t seed) { RunCase(kind, n, id, seed); }});
        }
    }
    return cases;
}

Registrar registrar({"alloc", "fail the Nth pool, request or descriptor-list allocation of a whole life", Cases, 13});

}  // namespace
}  // namespace sweep
