// The firmware download with each of its vendor requests lost in turn, as a
// bad cable loses them: lost once, the pass is tried again (at most one pass
// counted) and the adapter must come up and carry data on every port; lost
// from that request on, the start must fail (never a started blank chip),
// every pass counted, and the same chip plugged in again must work.
#include <cstdio>
#include <string>

#include "driver/firmware/download.h"
#include "harness.h"
#include "rig.h"

namespace sweep {
namespace {

// The vendor requests of one whole download, counted on a chip that lost
// none.
uint64_t MeasureRequests()
{
    std::string text = RunInChild(
        [] {
            Rig rig("download:measure", 1);
            if (rig.PlugIn() != STATUS_SUCCESS)
                Fatal("the download does not work with nothing lost");
            std::printf("REQUESTS %llu\n", static_cast<unsigned long long>(rig.chip->VendorRequests()));
            rig.RemoveCurrent();
            rig.FinishAndCheckPool();
        },
        120);
    return std::stoull(text.substr(text.find("REQUESTS") + 9));
}

void LoseRequests(const std::string &id, uint64_t seed, uint64_t first, bool forGood)
{
    Rig rig(id, seed);
    rig.chip->FailVendorRequests(first, forGood ? UINT64_MAX : 1);
    NTSTATUS status = rig.PlugIn();
    const ULONG passes = ErrorStats[ERROR_STAT_DOWNLOAD_FAILED];
    Note("start " + Rig::StatusText(status) + ", failed passes " + std::to_string(passes));
    if (!forGood) {
        // The hold between an image's two passes is no step of its own (the
        // 8051 is held already): losing it costs no pass.
        SWEEP_CHECK(status == STATUS_SUCCESS, "one lost request failed the start");
        SWEEP_CHECK(passes <= 1, "failed passes counted: " + std::to_string(passes));
        rig.CheckPortsWorkAndRemove(id);
    } else {
        SWEEP_CHECK(!NT_SUCCESS(status), "a download that lost its requests was reported started");
        SWEEP_CHECK(passes == DOWNLOAD_ATTEMPTS, "failed passes counted: " + std::to_string(passes));
        SWEEP_CHECK(rig.Current() == nullptr, "the failed adapter is still present");
        SWEEP_CHECK(AdapterTable.Count == 0, "the failed adapter is still in the table");
        rig.chip->FailVendorRequests(0, 0);
        rig.CheckReplugWorks(id);
    }
    rig.FinishAndCheckPool();
}

std::vector<Case> Cases()
{
    const uint64_t requests = MeasureRequests();
    std::vector<Case> cases;
    for (bool forGood : {false, true})
        for (uint64_t first = 1; first <= requests; first++) {
            std::string id = std::string("download:") + (forGood ? "lost" : "once") + ":" + std::to_string(first);
            cases.push_back({id, [id, first, forGood](uint64_t seed) { LoseRequests(id, seed, first, forGood); }});
        }
    return cases;
}

Registrar registrar({"download", "each vendor request of the download lost once, and from it on", Cases, 13});

}  // namespace
}  // namespace sweep
