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
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sim {

// Kernel time in 100-ns units, counted from the start of the world.
using Ticks = int64_t;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kTicksPerMillisecond = 10'000;

enum class ClockMode { Simulated, RealTime };

class Scheduler {
public:
    struct ThreadRecord;

    static Scheduler &Get();

    void Reset(ClockMode mode);
    ClockMode Mode() const { return mode_; }
    Ticks Now();

    // Registration of the calling thread (RegisterCurrent) or of a thread that
    // is about to start (Register, then Adopt from inside it), so that time
    // cannot advance in the gap before a new thread runs.
    ThreadRecord *Register(std::string name);
    void Adopt(ThreadRecord *record);
    void RegisterCurrent(std::string name);
    void UnregisterCurrent();
    bool CurrentIsRegistered() const;
    std::string CurrentName() const;

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
        Jitter();
        std::unique_lock lock(mutex_);
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            WakeReadyLocked(key);
        } else {
            auto result = f();
            WakeReadyLocked(key);
            return result;
        }
    }

    // Reads state guarded by the scheduler lock.
    template <typename F>
    auto Read(F &&f) -> decltype(f())
    {
        Jitter();
        std::unique_lock lock(mutex_);
        return f();
    }

    // Shaking out tests that pass only for one interleaving of the real
    // threads: with NUVIX_SIM_JITTER=P (1..100) in the environment, P percent
    // of the calls above, and of spin lock acquisitions and releases, first
    // yield the processor or pause for up to 200 us, so the other threads get
    // ahead in ways a loaded machine would allow.
    // Simulated time is not affected; off (0) unless asked for.
    void Jitter()
    {
        if (jitterPercent_ > 0)
            JitterSlow();
    }

    // The clock, for code already inside Change or Read.
    Ticks NowLocked() const;

    // A description of every registered thread (for deadlock reports).
    std::string DescribeThreadsLocked() const;

private:
    Scheduler();
    void WakeReadyLocked(const void *key);
    bool WakeIfReadyLocked(ThreadRecord *t);
    void OnThreadStoppedLocked();
    void JitterSlow();

    mutable std::mutex mutex_;
    ClockMode mode_ = ClockMode::Simulated;
    Ticks simulatedNow_ = 0;
    std::chrono::steady_clock::time_point realStart_ = std::chrono::steady_clock::now();
    std::vector<ThreadRecord *> threads_;
    // Blocked threads, by the object they wait on; unkeyed_, those that
    // named none. A change to one object evaluates its list and unkeyed_.
    std::unordered_map<const void *, std::vector<ThreadRecord *>> keyed_;
    std::vector<ThreadRecord *> unkeyed_;
    int running_ = 0;
    int jitterPercent_ = 0;
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
    bool Joinable() const { return thread_.joinable(); }

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace sim
