// Systematic search of a test's interleavings with at most K preemptions
// (iterative preemption bounding, as in Musuvathi and Qadeer's work on
// systematic concurrency testing). The bounded schedule runs each thread
// until it stops and then the next in turn; a schedule differs from that
// only at the choices of its id. The search runs one schedule, looks at the
// decisions it met inside the test's window, and takes the next schedule in
// a fixed depth-first order: the latest decision that has an untried thread
// left within the bound gets it, everything before stays, everything after
// falls back. A choice that preempts a thread that could have gone on costs
// one; a choice where the running thread stopped costs nothing. When no
// decision has a thread left, the space is exhausted.
//
// Two ways to run it: in one process, running the test again from its start
// for each schedule (tests/support/explore.h), or from a snapshot: with
// NUVIX_SIM_EXPLORE=K the World arms the search, and at the first decision
// in the window the process forks once per schedule, each child going on
// from that state with its choices and reporting back; the test's prefix
// (plug-in, download, configuration) runs once. Forking is the snapshot:
// every simulated thread is a fiber of the one OS thread that forks, so the
// child holds the whole world, and nothing of it needs to know how to be
// saved. NUVIX_SIM_SHARD=I/N runs one shard of each search: the subtrees of schedules are dealt to the
// shards by their first choice, and the shards' schedule counts add up to
// the whole search's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scheduler.h"

namespace sim {

// "12:3,40:1" (decision:thread), or "-" for the fallback schedule.
std::string FormatChoices(const Choices &choices);
std::optional<Choices> ParseChoices(const std::string &text);

int Preemptions(const std::vector<Decision> &decisions);

// The schedule after the one that met decisions, or nothing when every
// schedule within bound has run.
std::optional<Choices> NextChoices(const std::vector<Decision> &decisions, int bound);

// The snapshot search (see above). Armed by the World when the environment
// asks for it; each window it searches ends with a line
//   bounded search: window=W test=NAME bound=K shard=I/N schedules=S exhausted=yes|no failed=-|<id>
// (W counts the windows of the process; NAME is the label set below) after which the process goes on
// with the fallback schedule; SnapshotSearchFailed tells the test.
struct SnapshotSearch {
    int bound = 1;
    uint64_t limit = 100000;  // schedules at most, per window
    uint64_t seed = 0;        // for the replay hint
    int shard = 0;
    int shards = 1;
};
// False under ThreadSanitizer: its runtime keeps threads of its own and
// does not follow a process with fibers through fork, so a child reports
// races in the context switch itself and never gets to report its schedule.
bool SnapshotSearchSupported();
// Arms the search, or with nothing disarms it; arming it where it is not
// supported is a simulation misuse.
void ArmSnapshotSearch(std::optional<SnapshotSearch> search);
bool InSnapshotChild();
// Whether a schedule failed in a search since the last call.
bool SnapshotSearchFailed();
// What the latest search of this process found.
struct SearchSummary {
    uint64_t schedules = 0;
    bool exhausted = false;
    std::optional<Choices> failing;
};
SearchSummary LastSnapshotSearch();
// Names the windows searched from now on in the summary (the test's name).
void SetSnapshotSearchLabel(std::string label);
// What to hand Scheduler::OpenWindow: the snapshot point when the search is
// armed (and this is not already a child), else nothing.
std::function<Choices()> SnapshotPoint();
// A child's end: reports its outcome (empty for none) to the search and
// leaves the process. Does nothing outside a child.
void EndSnapshotChild(const std::string &failure);

}  // namespace sim
