// The scheduler's record of one simulated thread, shared by the files that
// make up the scheduler (scheduler.cpp: threads, waits, time and switches;
// schedules.cpp: which thread the schedule picks). Not for anyone else.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cpu.h"
#include "fiber.h"
#include "scheduler.h"

namespace sim {

// Everything a simulated thread owns lives here, not in thread_local
// storage: in a deterministic schedule all simulated threads share one OS
// thread. (What stays thread_local is the OS thread's own: which record runs
// on it, the internal locks it holds, which are never held across a switch,
// and the jitter's random stream, used only with real threads.)
struct Scheduler::ThreadRecord {
    std::string name;
    uint64_t ordinal = 0;  // order of registration since Reset
    int64_t priority = 0;  // Pct: the highest runnable thread runs
    CpuState cpu;          // its processor: interrupt level, spin locks held
    // Deterministic schedules: the context it runs on (a thread's own for
    // the one that registered itself). Real threads: none.
    std::unique_ptr<Fiber> fiber;
    std::condition_variable wake;  // real threads: where it sleeps
    bool blocked = false;
    bool ready = false;     // set by whoever found the readiness test true
    bool timedOut = false;  // set when the clock reached the deadline
    const std::function<bool()> *readiness = nullptr;
    const void *key = nullptr;
    std::optional<Ticks> deadline;
    std::string waitingFor;
};

inline bool Runnable(const Scheduler::ThreadRecord *t) { return !t->blocked || t->ready || t->timedOut; }

}  // namespace sim
