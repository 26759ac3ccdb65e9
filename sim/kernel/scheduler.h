// Simulated threads and kernel time.
//
// Every thread that touches the simulated platform is registered here (the
// test's own thread, the USB controller thread, any caller thread a test
// starts through sim::Thread). A thread that has to wait blocks through
// Scheduler::Block with a readiness test and an optional deadline.
//
// In simulated time the clock never moves by itself: when every registered
// thread is blocked, it jumps to the earliest deadline and wakes whoever
// waits for it, the way paused-time test runtimes do. So a 0.5 s time-out
// costs no wall-clock time and happens at exactly 0.5 s of kernel time. When
// every thread is blocked and no deadline is pending, nothing can ever
// happen again: the scheduler reports the deadlock, naming what each thread
// waits for, instead of hanging.
//
// In real time the clock follows the machine's monotonic clock; waits end at
// their deadline in wall-clock time (for interactive tools).
//
// Threads run in one of two ways. With Schedule::RealThreads every simulated
// thread is an OS thread that runs whenever the OS lets it (what
// ThreadSanitizer and real time need). In the deterministic schedules
// (RandomWalk, Pct) every simulated thread is a fiber (fiber.h) on the one OS
// thread that registered itself (the World's), and exactly one runs at a
// time: it holds the token, and only at a switch point (SwitchPoint: where
// Change and Read are entered, spin lock acquisition and release, interlocked
// operations, IofCallDriver, IofCompleteRequest, and every Block) does the
// scheduler draw from the seed which runnable thread goes on; handing over is
// a context swap. The same seed therefore gives the same interleaving, bit
// for bit; TraceHash() shows it.
//
// A fiber must never block its OS thread: it would stop every simulated
// thread at once. The simulation's own waits all go through Block; holding a
// sim::Mutex across a switch, starting a simulated thread from outside the
// simulation, or leaving while started threads remain stops the run as a
// simulation misuse. Code a test runs on a simulated thread waits through
// the simulation too (Sleep, events, Join), never with a sleep or a
// condition variable of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sim {

struct CpuState;
class Fiber;

// Kernel time in 100-ns units, counted from the start of the world.
using Ticks = int64_t;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kTicksPerMillisecond = 10'000;

enum class ClockMode { Simulated, RealTime };

// How simulated threads take turns (see above). RandomWalk picks the next
// thread uniformly at every switch point; Pct gives threads random
// priorities, runs the highest runnable one, and lowers the running thread's
// priority at a few seeded steps (probabilistic concurrency testing).
// Bounded runs the thread that runs until it stops, then the next runnable
// one in turn, except at the choices it is given (see Decision): the bounded
// search of bounded_search.h enumerates those.
enum class Schedule { RealThreads, RandomWalk, Pct, Bounded };

// A point where the bounded schedule could go on with more than one thread,
// inside the window a test marks (OpenWindow). Threads are named by their
// ordinals (their order of registration), which equal choices reproduce.
struct Decision {
    std::vector<uint32_t> runnable;  // ascending
    uint32_t fallback = 0;           // what the schedule takes unless told
    uint32_t chosen = 0;
    // The running thread could have gone on: any other choice preempts it.
    bool preemptive = false;
};
// The choices that differ from the fallback, by decision index: a bounded
// schedule's id.
using Choices = std::map<uint64_t, uint32_t>;

const char *ScheduleName(Schedule schedule);
std::optional<Schedule> ParseSchedule(const std::string &name);
// NUVIX_SIM_SCHEDULE in the environment if set, else the build's default
// (RealThreads in the ThreadSanitizer build, RandomWalk elsewhere).
Schedule DefaultSchedule();

// Switch points never happen while a thread holds one of the simulation's
// own locks (sim::Mutex counts them here): a thread parked at a switch point
// with such a lock held would stop every other thread that needs it.
inline thread_local int tInternalLocksHeld = 0;

// The simulation's internal lock: a std::mutex that, while held, keeps its
// thread from being switched away in a deterministic schedule.
// While one exists, its thread passes no switch point (it holds the
// scheduler's own lock, and runs code that may reach one).
struct NoSwitch {
    NoSwitch() { tInternalLocksHeld++; }
    ~NoSwitch() { tInternalLocksHeld--; }
    NoSwitch(const NoSwitch &) = delete;
    NoSwitch &operator=(const NoSwitch &) = delete;
};

class Mutex {
public:
    void lock()
    {
        if (!mutex_.try_lock())
            LockSlow();
        tInternalLocksHeld++;
    }
    bool try_lock()
    {
        if (!mutex_.try_lock())
            return false;
        tInternalLocksHeld++;
        return true;
    }
    void unlock()
    {
        tInternalLocksHeld--;
        mutex_.unlock();
    }

private:
    void LockSlow();
    std::mutex mutex_;
};

class Scheduler {
public:
    struct ThreadRecord;

    static Scheduler &Get();

    // RealTime always runs real threads; seed drives a deterministic schedule.
    // pctSteps is Pct's estimate of the run's length in switch points (k), over
    // which its priority change points are spread; 0 takes the length of the
    // previous run in this process (the last world's), or 20000 for a first.
    void Reset(ClockMode mode, Schedule schedule = Schedule::RealThreads, uint64_t seed = 1, uint64_t pctSteps = 0);
    uint64_t PctSteps() const { return pctSteps_; }
    ClockMode Mode() const { return mode_; }
    Schedule CurrentSchedule() const { return schedule_; }
    bool Deterministic() const { return deterministic_.load(std::memory_order_relaxed); }

    // A hash over every switch decision and everything passed to Trace since
    // Reset, and the number of switch points passed: equal for equal seeds.
    uint64_t TraceHash();
    uint64_t Steps();
    // Adds an event (a driver call, a completion) to the trace hash; only in
    // a deterministic schedule, where the calling thread holds the token.
    void Trace(uint64_t value)
    {
        if (Deterministic())
            TraceSlow(value);
    }
    Ticks Now();

    // Registration of the calling thread (RegisterCurrent) or of a thread that
    // is about to start (Register, then Adopt from inside it), so that time
    // cannot advance in the gap before a new thread runs.
    ThreadRecord *Register(std::string name);
    void Adopt(ThreadRecord *record);
    // A deterministic schedule's new thread: a fiber that runs body when the
    // schedule first picks it, on the OS thread that runs the schedule.
    ThreadRecord *RegisterFiber(std::string name, std::function<void()> body);
    void RegisterCurrent(std::string name);
    void UnregisterCurrent();
    bool CurrentIsRegistered() const;
    std::string CurrentName() const;
    // The calling simulated thread's processor state; null outside the
    // simulation.
    static CpuState *CurrentCpu();

    // Blocks the calling thread until ready() is true (evaluated with the
    // scheduler lock held; it may consume what it found, as an auto-reset
    // event does) or the deadline passes. Returns false on time-out.
    //
    // A waiter may name the object its test looks at (key: any address that
    // stands for it, such as an event, a bus or a host port). Its test is
    // then evaluated only by changes to that object (ChangeFor with the same
    // key) and by changes that name none (Change), so a change to one object
    // does not re-evaluate the tests of every thread in the simulation. A
    // keyed test must look at nothing that is changed under another key.
    bool Block(const std::function<bool()> &ready, std::optional<Ticks> deadline, std::string what,
               const void *key = nullptr);

    // Runs f with the scheduler lock held, then wakes every blocked thread
    // whose readiness test now holds. All state that readiness tests look at
    // is changed through here or through ChangeFor.
    template <typename F>
    auto Change(F &&f) -> decltype(f())
    {
        return ChangeFor(nullptr, std::forward<F>(f));
    }

    // The same for a change to one object only: wakes the threads waiting on
    // key, and those that named no object, whose tests now hold.
    template <typename F>
    auto ChangeFor(const void *key, F &&f) -> decltype(f())
    {
        SwitchPoint();
        std::unique_lock lock(mutex_);
        NoSwitch held;
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            WakeReadyLocked(key);
        } else {
            auto result = f();
            WakeReadyLocked(key);
            return result;
        }
    }

    // Wakes the threads waiting on key whose tests now hold, without a
    // switch point and without the unkeyed waiters (a spin lock's release).
    void WakeWaitersOf(const void *key);

    // After every keyed change, evaluates the tests of the threads waiting
    // under other keys and bug checks if one now holds: the keyed-wait rule
    // above, enforced. On unless turned off (long runs where the cost of
    // evaluating every waiter's test on every change matters).
    void CheckWakeRule(bool on) { checkWakeRule_.store(on, std::memory_order_relaxed); }

    // Reads state guarded by the scheduler lock.
    template <typename F>
    auto Read(F &&f) -> decltype(f())
    {
        SwitchPoint();
        std::unique_lock lock(mutex_);
        NoSwitch held;
        return f();
    }

    // Shaking out tests that pass only for one interleaving of the real
    // threads: with NUVIX_SIM_JITTER=P (1..100) in the environment, P percent
    // of the calls above, and of spin lock acquisitions and releases, first
    // yield the processor or pause for up to 200 us, so the other threads get
    // ahead in ways a loaded machine would allow.
    // Simulated time is not affected; off (0) unless asked for.
    //
    // In a deterministic schedule the same places are switch points instead:
    // the running thread may hand the token to another runnable thread, as
    // the schedule draws it. Never while the caller holds a sim::Mutex.
    void SwitchPoint()
    {
        if (Deterministic()) {
            if (tInternalLocksHeld == 0)
                SwitchSlow();
        } else if (jitterPercent_ > 0) {
            JitterSlow();
        }
    }

    // The bounded schedule's window: decisions are counted, taken from the
    // given choices and offered to the search only from OpenWindow on (a
    // test opens it where its racing calls start). onFirstDecision, if
    // given, runs at the window's first decision, with the scheduler's lock
    // held: the search's snapshot point; what it returns are the choices the
    // run takes from there. All three are cleared by Reset.
    void SetChoices(Choices choices);
    void OpenWindow(std::function<Choices()> onFirstDecision = {});
    // Where the racing calls have ended: the rest of the run (the checks,
    // the teardown) takes the fallback everywhere and offers nothing more.
    void CloseWindow();
    std::vector<Decision> Decisions();

    // The clock, for code already inside Change or Read.
    Ticks NowLocked() const;

    // A description of every registered thread (for deadlock reports).
    std::string DescribeThreadsLocked() const;

private:
    Scheduler();
    void WakeReadyLocked(const void *key);
    bool WakeIfReadyLocked(ThreadRecord *t);
    void CheckOtherKeysLocked(const void *key);
    void OnThreadStoppedLocked();
    void JitterSlow();
    void SwitchSlow();
    void TraceSlow(uint64_t value);
    // Deterministic schedules, with the lock held: the runnable thread that
    // goes next (nullptr if none), and handing the token to it.
    // current: the running thread when it could go on, else null.
    ThreadRecord *PickLocked(ThreadRecord *current = nullptr);
    ThreadRecord *PickBoundedLocked(ThreadRecord *current);
    void PassTokenLocked(ThreadRecord *next);
    void SwitchLocked(std::unique_lock<std::mutex> &lock, ThreadRecord *self, ThreadRecord *next);
    Fiber *RetireCurrent();
    void ReapLocked();
    void MixLocked(uint64_t value);

    mutable std::mutex mutex_;
    ClockMode mode_ = ClockMode::Simulated;
    Schedule schedule_ = Schedule::RealThreads;
    std::atomic<bool> deterministic_{false};
    std::atomic<ThreadRecord *> token_{nullptr};  // the one thread that runs
    std::mt19937_64 rng_;
    uint64_t trace_ = 0;
    uint64_t steps_ = 0;
    uint64_t nextOrdinal_ = 0;
    // Pct: the steps at which the running thread's priority drops, and the
    // priority it drops to (below every initial one).
    std::vector<uint64_t> changePoints_;
    uint64_t pctSteps_ = 0;
    int64_t nextLowPriority_ = 0;
    // Bounded: the window, the choices it takes, the decisions it met, and
    // the thread that ran last (the fallback goes on from it in turn).
    bool windowOpen_ = false;
    Choices choices_;
    std::vector<Decision> decisions_;
    std::function<Choices()> onFirstDecision_;
    uint64_t lastOrdinal_ = 0;
    Ticks simulatedNow_ = 0;
    std::chrono::steady_clock::time_point realStart_ = std::chrono::steady_clock::now();
    std::vector<ThreadRecord *> threads_;
    std::vector<ThreadRecord *> graveyard_;  // ended fibers' records, to free
    // Blocked threads, by the object they wait on; unkeyed_, those that
    // named none. A change to one object evaluates its list and unkeyed_.
    std::unordered_map<const void *, std::vector<ThreadRecord *>> keyed_;
    std::vector<ThreadRecord *> unkeyed_;
    int running_ = 0;
    int jitterPercent_ = 0;
    std::atomic<bool> checkWakeRule_{true};
};

// A real thread that is part of the simulation from before it starts until
// after it ends. Join waits through the scheduler, so a joining thread counts
// as blocked while it waits.
class Thread {
public:
    Thread() = default;
    Thread(std::string name, std::function<void()> body);
    Thread(Thread &&) = delete;
    ~Thread();
    void Join();
    bool Joinable() const { return fiber_ || thread_.joinable(); }

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;  // real threads
    bool fiber_ = false;  // a deterministic schedule's fiber, not joined yet
};

}  // namespace sim
