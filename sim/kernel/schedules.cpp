// How the deterministic schedules choose: the schedule names, the thread
// each schedule picks at a switch (the random walk's draw, PCT's priorities,
// the bounded schedule's choices and the decisions it records inside a
// test's window), and the trace hash that replays are compared by.
#include <algorithm>

#include "bugcheck.h"
#include "environment.h"
#include "thread_record.h"

namespace sim {

const char *ScheduleName(Schedule schedule)
{
    switch (schedule) {
    case Schedule::RealThreads:
        return "real";
    case Schedule::RandomWalk:
        return "random";
    case Schedule::Pct:
        return "pct";
    case Schedule::Bounded:
        return "bounded";
    }
    return "?";
}

std::optional<Schedule> ParseSchedule(const std::string &name)
{
    for (Schedule s : {Schedule::RealThreads, Schedule::RandomWalk, Schedule::Pct, Schedule::Bounded})
        if (name == ScheduleName(s))
            return s;
    return std::nullopt;
}

Schedule DefaultSchedule()
{
    if (Env().schedule)
        return *Env().schedule;
#ifdef NUVIX_SIM_REAL_THREADS_DEFAULT
    return Schedule::RealThreads;
#else
    return Schedule::RandomWalk;
#endif
}

void Scheduler::MixLocked(uint64_t value)
{
    // FNV-1a over the value's bytes.
    for (int i = 0; i < 8; i++) {
        trace_ ^= (value >> (8 * i)) & 0xFF;
        trace_ *= 0x100000001b3ull;
    }
}

Scheduler::ThreadRecord *Scheduler::PickLocked(ThreadRecord *current)
{
    if (schedule_ == Schedule::Bounded)
        return PickBoundedLocked(current);
    ThreadRecord *best = nullptr;
    if (schedule_ == Schedule::Pct) {
        for (ThreadRecord *t : threads_)
            if (Runnable(t) && (!best || t->priority > best->priority))
                best = t;
        return best;
    }
    size_t count = 0;
    for (ThreadRecord *t : threads_)
        count += Runnable(t);
    if (count == 0)
        return nullptr;
    size_t chosen = count == 1 ? 0 : size_t(rng_() % count);
    for (ThreadRecord *t : threads_)
        if (Runnable(t) && chosen-- == 0)
            return t;
    return nullptr;
}

Scheduler::ThreadRecord *Scheduler::PickBoundedLocked(ThreadRecord *current)
{
    if (current && !windowOpen_)
        return current;
    std::vector<ThreadRecord *> runnable;
    for (ThreadRecord *t : threads_)  // in registration order
        if (Runnable(t))
            runnable.push_back(t);
    if (runnable.empty())
        return nullptr;
    ThreadRecord *fallback = current;
    if (!fallback) {
        for (ThreadRecord *t : runnable)
            if (t->ordinal > lastOrdinal_) {
                fallback = t;
                break;
            }
        if (!fallback)
            fallback = runnable.front();
    }
    if (!windowOpen_ || runnable.size() == 1)
        return fallback;
    if (decisions_.empty() && onFirstDecision_) {
        std::function<Choices()> snapshot = std::move(onFirstDecision_);
        onFirstDecision_ = nullptr;
        choices_ = snapshot();
    }
    Decision decision;
    for (ThreadRecord *t : runnable)
        decision.runnable.push_back(uint32_t(t->ordinal));
    decision.fallback = uint32_t(fallback->ordinal);
    decision.chosen = decision.fallback;
    decision.preemptive = current != nullptr;
    ThreadRecord *chosen = fallback;
    if (auto it = choices_.find(decisions_.size()); it != choices_.end()) {
        auto found =
            std::find_if(runnable.begin(), runnable.end(), [&](ThreadRecord *t) { return t->ordinal == it->second; });
        if (found == runnable.end())
            BugCheck("SIMULATION_MISUSE", "the bounded schedule's choice " + std::to_string(it->first) + ":" +
                                              std::to_string(it->second) +
                                              " names a thread that cannot run there; the id is not this test's");
        chosen = *found;
        decision.chosen = it->second;
    }
    decisions_.push_back(std::move(decision));
    return chosen;
}

void Scheduler::SetChoices(Choices choices)
{
    std::unique_lock lock(mutex_);
    choices_ = std::move(choices);
}

void Scheduler::OpenWindow(std::function<Choices()> onFirstDecision)
{
    std::unique_lock lock(mutex_);
    windowOpen_ = true;
    onFirstDecision_ = std::move(onFirstDecision);
}

void Scheduler::CloseWindow()
{
    std::unique_lock lock(mutex_);
    windowOpen_ = false;
    onFirstDecision_ = nullptr;
}

std::vector<Decision> Scheduler::Decisions()
{
    std::unique_lock lock(mutex_);
    return decisions_;
}

}  // namespace sim
