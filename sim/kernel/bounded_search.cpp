#include "bounded_search.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "bugcheck.h"

namespace sim {

std::string FormatChoices(const Choices &choices)
{
    if (choices.empty())
        return "-";
    std::string text;
    for (const auto &[decision, thread] : choices)
        text += (text.empty() ? "" : ",") + std::to_string(decision) + ":" + std::to_string(thread);
    return text;
}

std::optional<Choices> ParseChoices(const std::string &text)
{
    Choices choices;
    if (text == "-" || text.empty())
        return choices;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const size_t colon = item.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == item.size() ||
            item.find(':', colon + 1) != std::string::npos ||
            item.find_first_not_of("0123456789:") != std::string::npos)
            return std::nullopt;
        choices[std::stoull(item.substr(0, colon))] = uint32_t(std::stoul(item.substr(colon + 1)));
    }
    return choices;
}

namespace {
int Cost(const Decision &d, uint32_t thread) { return d.preemptive && thread != d.fallback ? 1 : 0; }

// A decision's threads in the order the search tries them: the fallback
// first, then the others by ordinal.
std::vector<uint32_t> TryOrder(const Decision &d)
{
    std::vector<uint32_t> order{d.fallback};
    for (uint32_t t : d.runnable)
        if (t != d.fallback)
            order.push_back(t);
    return order;
}
}  // namespace

int Preemptions(const std::vector<Decision> &decisions)
{
    int count = 0;
    for (const Decision &d : decisions)
        count += Cost(d, d.chosen);
    return count;
}

std::optional<Choices> NextChoices(const std::vector<Decision> &decisions, int bound)
{
    std::vector<int> before(decisions.size() + 1, 0);
    for (size_t i = 0; i < decisions.size(); i++)
        before[i + 1] = before[i] + Cost(decisions[i], decisions[i].chosen);
    for (size_t i = decisions.size(); i-- > 0;) {
        const Decision &d = decisions[i];
        const std::vector<uint32_t> order = TryOrder(d);
        auto at = std::find(order.begin(), order.end(), d.chosen);
        for (auto next = at + 1; next < order.end(); ++next) {
            if (before[i] + Cost(d, *next) > bound)
                continue;
            Choices choices;
            for (size_t j = 0; j < i; j++)
                if (decisions[j].chosen != decisions[j].fallback)
                    choices[j] = decisions[j].chosen;
            choices[i] = *next;
            return choices;
        }
    }
    return std::nullopt;
}

namespace {

SnapshotSearch gSearch;
bool gArmed = false;
int gChildReport = -1;  // a child's end of the pipe to the search
uint64_t gWindows = 0;  // windows searched in this process
bool gFailed = false;   // some schedule of some window failed
SearchSummary gLast;
std::string gLabel;  // what the window belongs to, for the summary

void WriteAll(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n <= 0)
            _exit(3);
        bytes += n;
        size -= size_t(n);
    }
}

// What a child sends back: its outcome and the decisions it met.
struct Report {
    bool received = false;
    bool failed = false;
    std::vector<Decision> decisions;
};

Report ReadReport(int fd)
{
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        data.append(buffer, size_t(n));
    }
    Report report;
    std::istringstream in(data);
    size_t count = 0;
    if (!(in >> report.failed >> count))
        return report;
    for (size_t i = 0; i < count; i++) {
        Decision d;
        size_t threads = 0;
        in >> d.fallback >> d.chosen >> d.preemptive >> threads;
        d.runnable.resize(threads);
        for (uint32_t &t : d.runnable)
            in >> t;
        report.decisions.push_back(std::move(d));
    }
    report.received = bool(in);
    return report;
}

// A schedule's subtree is named by its first choice (decision:thread); the
// fallback schedule is the root's and shard 0's. A shard runs the subtrees
// the hash gives it and skips the others whole: every schedule of a subtree
// shares the root's decisions up to the subtree's first choice, so the
// sibling after a skipped subtree is found from the root's decisions alone.
bool Owned(const Choices &choices)
{
    if (gSearch.shards <= 1)
        return true;
    if (choices.empty())
        return gSearch.shard == 0;
    const auto &[decision, thread] = *choices.begin();
    return (decision * 1000003u + thread) % uint64_t(gSearch.shards) == uint64_t(gSearch.shard);
}

std::optional<Choices> NextOwned(std::optional<Choices> next, const std::vector<Decision> &root)
{
    while (next && !Owned(*next)) {
        const auto [decision, thread] = *next->begin();
        std::vector<Decision> prefix(root.begin(), root.begin() + std::min<size_t>(decision + 1, root.size()));
        if (prefix.size() != decision + 1)
            BugCheck("SIMULATION_MISUSE", "the bounded search's subtree lies past the root's decisions");
        prefix.back().chosen = thread;
        next = NextChoices(prefix, gSearch.bound);
    }
    return next;
}

// The snapshot point, at the window's first decision: forks one child per
// schedule, each returning from here with its choices to run the rest of
// the test; the parent waits for each and takes the next schedule. At the
// end it prints the summary and goes on itself with the fallback schedule,
// so the test program's next test is searched in turn.
Choices Snapshot()
{
    gWindows++;
    Choices choices;
    std::vector<Decision> root;
    uint64_t schedules = 0;
    std::optional<Choices> failed;
    bool exhausted = false;
    for (;;) {
        int ends[2];
        if (pipe(ends) != 0)
            BugCheck("SIMULATION_MISUSE", "the bounded search could not make a pipe");
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t child = fork();
        if (child < 0)
            BugCheck("SIMULATION_MISUSE", "the bounded search could not fork");
        if (child == 0) {
            close(ends[0]);
            gChildReport = ends[1];
            return choices;
        }
        close(ends[1]);
        const Report report = ReadReport(ends[0]);
        close(ends[0]);
        int status = 0;
        waitpid(child, &status, 0);
        const bool isRoot = root.empty() && choices.empty();
        if (isRoot)
            root = report.decisions;
        if (Owned(choices))
            schedules++;
        const bool exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!report.received || report.failed || !exitedCleanly) {
            failed = choices;
            std::printf(
                "bounded search: a schedule fails (%s)\n  replay with NUVIX_SIM_SEED=%llu "
                "NUVIX_SIM_SCHEDULE=bounded NUVIX_SIM_CHOICES=%s\n",
                !report.received ? "it ended without reporting" : "see above",
                static_cast<unsigned long long>(gSearch.seed), FormatChoices(choices).c_str());
            break;
        }
        std::optional<Choices> next = NextOwned(NextChoices(report.decisions, gSearch.bound), root);
        if (!next) {
            exhausted = true;
            break;
        }
        if (schedules >= gSearch.limit)
            break;
        choices = *next;
    }
    std::printf("bounded search: window=%llu test=%s bound=%d shard=%d/%d schedules=%llu exhausted=%s failed=%s\n",
                static_cast<unsigned long long>(gWindows), gLabel.empty() ? "-" : gLabel.c_str(), gSearch.bound,
                gSearch.shard, gSearch.shards, static_cast<unsigned long long>(schedules), exhausted ? "yes" : "no",
                failed ? FormatChoices(*failed).c_str() : "-");
    std::fflush(stdout);
    gFailed = gFailed || failed.has_value();
    gLast = SearchSummary{.schedules = schedules, .exhausted = exhausted, .failing = failed};
    return {};
}

}  // namespace

bool SnapshotSearchSupported()
{
#if defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return false;
#endif
#endif
    return true;
}

void ArmSnapshotSearch(std::optional<SnapshotSearch> search)
{
    if (search && !SnapshotSearchSupported())
        BugCheck("SIMULATION_MISUSE",
                 "the bounded search from a snapshot forks the process, which the ThreadSanitizer build cannot "
                 "follow; search in another build, or run the schedules from the start (NUVIX_SIM_CHOICES)");
    gSearch = search.value_or(SnapshotSearch{});
    gArmed = search.has_value();
}

bool InSnapshotChild() { return gChildReport >= 0; }

bool SnapshotSearchFailed() { return std::exchange(gFailed, false); }

SearchSummary LastSnapshotSearch() { return gLast; }

void SetSnapshotSearchLabel(std::string label) { gLabel = std::move(label); }

// Called by whoever opens the window (Scheduler::OpenWindow's caller).
std::function<Choices()> SnapshotPoint()
{
    if (!gArmed || InSnapshotChild())
        return {};
    return [] { return Snapshot(); };
}

void EndSnapshotChild(const std::string &failure)
{
    if (!InSnapshotChild())
        return;
    if (!failure.empty())
        std::printf("%s\n", failure.c_str());
    std::ostringstream out;
    const std::vector<Decision> decisions = Scheduler::Get().Decisions();
    out << !failure.empty() << " " << decisions.size() << "\n";
    for (const Decision &d : decisions) {
        out << d.fallback << " " << d.chosen << " " << d.preemptive << " " << d.runnable.size();
        for (uint32_t t : d.runnable)
            out << " " << t;
        out << "\n";
    }
    const std::string text = out.str();
    WriteAll(gChildReport, text.data(), text.size());
    close(gChildReport);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
}

}  // namespace sim
