#include "scheduler.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>

#include "bugcheck.h"
#include "cpu.h"
#include "environment.h"
#include "fiber.h"
#include "thread_record.h"

namespace sim {

namespace {
thread_local Scheduler::ThreadRecord *tCurrent = nullptr;

constexpr uint64_t kWalkSwitchOneIn = 4;

}  // namespace

void Mutex::LockSlow()
{
    // Another thread holds it. With real threads, or for a thread outside
    // the simulation, that is ordinary contention. In a deterministic
    // schedule no fiber is ever switched away holding one, so the holder is
    // a thread outside the simulation that lets go soon; blocking the OS
    // thread on it would stop every fiber, so this spins, and a holder that
    // never lets go stops the run.
    Scheduler &scheduler = Scheduler::Get();
    if (scheduler.Deterministic() && scheduler.CurrentIsRegistered() && tInternalLocksHeld == 0) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!mutex_.try_lock()) {
            if (std::chrono::steady_clock::now() > limit)
                BugCheck("SIMULATION_MISUSE", "an internal simulation lock is held by a thread that waits");
            std::this_thread::yield();
        }
        return;
    }
    mutex_.lock();
}

Scheduler &Scheduler::Get()
{
    static Scheduler instance;
    return instance;
}

Scheduler::Scheduler() = default;

void Scheduler::JitterSlow()
{
    thread_local std::minstd_rand rng(static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id())));
    const int roll = static_cast<int>(rng() % 100);
    if (roll >= jitterPercent_)
        return;
    if (roll % 2)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
}

void Scheduler::Reset(ClockMode mode, Schedule schedule, uint64_t seed, uint64_t pctSteps)
{
    // Read before the lock: a malformed environment bug checks, and a bug
    // check reads the scheduler.
    const int jitterPercent = Env().jitterPercent;
    std::unique_lock lock(mutex_);
    jitterPercent_ = jitterPercent;
    if (!threads_.empty() && !(threads_.size() == 1 && threads_[0] == tCurrent))
        BugCheck("SIMULATION_MISUSE",
                 "scheduler reset while other simulated threads exist:\n" + DescribeThreadsLocked());
    mode_ = mode;
    simulatedNow_ = 0;
    realStart_ = std::chrono::steady_clock::now();
    // Real time is the wall clock's: its waits cannot be decided by a seed.
    schedule_ = mode == ClockMode::RealTime ? Schedule::RealThreads : schedule;
    deterministic_.store(schedule_ != Schedule::RealThreads, std::memory_order_relaxed);
    // The schedule's draws come from a stream of their own, so the
    // simulation's other seeded choices do not shift when it switches more.
    std::seed_seq sequence{uint32_t(seed), uint32_t(seed >> 32), 0x5eedu};
    rng_.seed(sequence);
    trace_ = 0xcbf29ce484222325ull;
    pctSteps_ = pctSteps ? pctSteps : steps_ ? std::clamp<uint64_t>(steps_, 16, 1'000'000) : 20000;
    steps_ = 0;
    nextOrdinal_ = 0;
    changePoints_.clear();
    const int depth = Env().pctDepth;
    for (int i = 1; i < depth; i++)
        changePoints_.push_back(1 + rng_() % pctSteps_);
    std::sort(changePoints_.begin(), changePoints_.end());
    nextLowPriority_ = depth - 1;
    token_ = threads_.empty() ? nullptr : threads_[0];
    windowOpen_ = false;
    choices_.clear();
    decisions_.clear();
    onFirstDecision_ = nullptr;
    lastOrdinal_ = 0;
    ReapLocked();
}

uint64_t Scheduler::TraceHash()
{
    std::unique_lock lock(mutex_);
    return trace_;
}

uint64_t Scheduler::Steps()
{
    std::unique_lock lock(mutex_);
    return steps_;
}

void Scheduler::TraceSlow(uint64_t value)
{
    if (!tCurrent)
        return;
    std::unique_lock lock(mutex_);
    MixLocked(value);
}

void Scheduler::PassTokenLocked(ThreadRecord *next)
{
    MixLocked(next ? next->ordinal + 1 : 0);
    token_ = next;
    if (next)
        lastOrdinal_ = next->ordinal;
}

// The running fiber hands the turn to next and runs again only when some
// fiber hands it back. The scheduler lock is not held across the swap: the
// next fiber runs on this same OS thread and takes it itself.
void Scheduler::SwitchLocked(std::unique_lock<std::mutex> &lock, ThreadRecord *self, ThreadRecord *next)
{
    PassTokenLocked(next);
    if (next == self)
        return;
    if (!next)
        BugCheck("SIMULATION_MISUSE", "thread '" + self->name + "' gave up its turn and no thread can run");
    if (tInternalLocksHeld)
        BugCheck("SIMULATION_MISUSE",
                 "thread '" + self->name + "' was switched away holding an internal simulation lock");
    tCurrent = next;
    lock.unlock();
    Fiber::Switch(*self->fiber, *next->fiber);
    lock.lock();
    ReapLocked();
}

// Frees the records of fibers that have ended; never the running one's, as
// an ended fiber never runs again.
void Scheduler::ReapLocked()
{
    for (ThreadRecord *record : graveyard_)
        delete record;
    graveyard_.clear();
}

void Scheduler::SwitchSlow()
{
    ThreadRecord *self = tCurrent;
    if (!self)
        return;  // a thread outside the simulation never holds the token
    std::unique_lock lock(mutex_);
    steps_++;
    if (schedule_ == Schedule::Pct && !changePoints_.empty() && changePoints_.front() == steps_) {
        changePoints_.erase(changePoints_.begin());
        self->priority = nextLowPriority_--;
    }
    // The walk moves on at one switch point in kWalkSwitchOneIn: a walk that
    // stays a few points still reaches every interleaving, with other odds,
    // and these odds are the ones recorded seeds replay.
    if (schedule_ == Schedule::RandomWalk && rng_() % kWalkSwitchOneIn != 0) {
        MixLocked(self->ordinal + 1);
        return;
    }
    SwitchLocked(lock, self, PickLocked(self));
}

Ticks Scheduler::NowLocked() const
{
    if (mode_ == ClockMode::Simulated)
        return simulatedNow_;
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

CpuState *Scheduler::CurrentCpu() { return tCurrent ? &tCurrent->cpu : nullptr; }

Ticks Scheduler::Now()
{
    std::unique_lock lock(mutex_);
    return NowLocked();
}

Scheduler::ThreadRecord *Scheduler::Register(std::string name)
{
    auto *record = new ThreadRecord;
    record->name = std::move(name);
    std::unique_lock lock(mutex_);
    record->ordinal = nextOrdinal_++;
    // Pct's initial priorities lie above every priority a change point gives.
    record->priority = int64_t(1) << 40 | int64_t(rng_() >> 24);
    threads_.push_back(record);
    running_++;
    if (Deterministic() && !token_)
        token_ = record;
    return record;
}

Scheduler::ThreadRecord *Scheduler::RegisterFiber(std::string name, std::function<void()> body)
{
    ThreadRecord *self = tCurrent;
    if (!self || !self->fiber)
        BugCheck("SIMULATION_MISUSE", "thread '" + CurrentName() + "' starts simulated thread '" + name +
                                          "' in a deterministic schedule; only simulated threads may");
    ThreadRecord *record = Register(std::move(name));
    // No switch point lies between registering and having a context, so the
    // schedule cannot pick the thread before it can run.
    record->fiber = std::make_unique<Fiber>([this, body = std::move(body)]() -> Fiber * {
        body();
        return RetireCurrent();
    });
    return record;
}

void Scheduler::Adopt(ThreadRecord *record) { tCurrent = record; }

void Scheduler::RegisterCurrent(std::string name)
{
    if (tCurrent)
        BugCheck("SIMULATION_MISUSE", "thread '" + tCurrent->name + "' registered twice");
    ThreadRecord *record = Register(std::move(name));
    if (Deterministic()) {
        // The fibers this thread starts run on it, switching back and forth.
        if (token_ != record)
            BugCheck("SIMULATION_MISUSE",
                     "thread '" + record->name + "' joins a deterministic schedule that another OS thread runs");
        record->fiber = Fiber::ForThisThread();
    }
    Adopt(record);
}

void Scheduler::UnregisterCurrent()
{
    ThreadRecord *record = tCurrent;
    if (!record)
        return;
    {
        std::unique_lock lock(mutex_);
        if (Deterministic() && threads_.size() > 1)
            BugCheck("SIMULATION_MISUSE", "thread '" + record->name +
                                              "' leaves while the simulated threads it runs remain:\n" +
                                              DescribeThreadsLocked());
        threads_.erase(std::find(threads_.begin(), threads_.end(), record));
        running_--;
        OnThreadStoppedLocked();
        if (Deterministic() && token_ == record)
            PassTokenLocked(PickLocked());
        ReapLocked();
    }
    tCurrent = nullptr;
    delete record;
}

// The end of a fiber's thread: it leaves the schedule, its record waits for
// the next fiber to free it, and the fiber to run next is returned.
Fiber *Scheduler::RetireCurrent()
{
    ThreadRecord *self = tCurrent;
    std::unique_lock lock(mutex_);
    threads_.erase(std::find(threads_.begin(), threads_.end(), self));
    running_--;
    OnThreadStoppedLocked();
    ThreadRecord *next = PickLocked();
    if (!next)
        BugCheck("SIMULATION_MISUSE", "thread '" + self->name + "' ended and no thread can run");
    PassTokenLocked(next);
    graveyard_.push_back(self);
    tCurrent = next;
    return next->fiber.get();
}

bool Scheduler::CurrentIsRegistered() const { return tCurrent != nullptr; }

std::string Scheduler::CurrentName() const { return tCurrent ? tCurrent->name : "(not a simulated thread)"; }

std::string Scheduler::DescribeThreadsLocked() const
{
    std::ostringstream out;
    for (const ThreadRecord *t : threads_) {
        out << "  thread '" << t->name << "': ";
        if (t->blocked && !t->ready && !t->timedOut) {
            out << "waits for " << t->waitingFor;
            if (t->deadline)
                out << " until t=" << *t->deadline;
        } else {
            out << "running";
        }
        out << "\n";
    }
    return out.str();
}

bool Scheduler::WakeIfReadyLocked(ThreadRecord *t)
{
    if (!t->blocked || t->ready || t->timedOut)
        return false;
    if (!(*t->readiness)())
        return false;
    t->ready = true;
    running_++;
    if (!Deterministic())  // there it runs when the schedule gives it the token
        t->wake.notify_one();
    return true;
}

void Scheduler::WakeReadyLocked(const void *key)
{
    if (!key) {
        for (ThreadRecord *t : threads_)
            WakeIfReadyLocked(t);
        return;
    }
    if (auto it = keyed_.find(key); it != keyed_.end())
        for (ThreadRecord *t : it->second)
            WakeIfReadyLocked(t);
    for (ThreadRecord *t : unkeyed_)
        WakeIfReadyLocked(t);
    CheckOtherKeysLocked(key);
}

void Scheduler::WakeWaitersOf(const void *key)
{
    std::unique_lock lock(mutex_);
    if (auto it = keyed_.find(key); it != keyed_.end())
        for (ThreadRecord *t : it->second)
            WakeIfReadyLocked(t);
    CheckOtherKeysLocked(key);
}

// The rule keyed waits rest on, checked: a change under one key must not
// make the test of a thread waiting under another hold, for nothing would
// ever wake that thread (it would hang, or wait out its time-out, only in
// the interleavings where nothing else happens to change its key). A test
// found holding here may have consumed what it found; the run stops anyway.
void Scheduler::CheckOtherKeysLocked(const void *key)
{
    if (!checkWakeRule_.load(std::memory_order_relaxed))
        return;
    for (auto &[other, waiters] : keyed_) {
        if (other == key)
            continue;
        for (ThreadRecord *t : waiters)
            if (t->blocked && !t->ready && !t->timedOut && (*t->readiness)())
                BugCheck("SIMULATION_MISUSE",
                         "thread '" + t->name + "' waits for " + t->waitingFor +
                             " under one key, and a change under another made its test hold; a keyed wait may "
                             "look only at what is changed under its own key (or wait unkeyed)");
    }
}

// Called whenever the number of running threads drops. If nobody can run,
// simulated time jumps to the next deadline; with no deadline at all, the
// simulation can never move again.
void Scheduler::OnThreadStoppedLocked()
{
    if (running_ > 0 || threads_.empty())
        return;
    std::optional<Ticks> next;
    for (ThreadRecord *t : threads_)
        if (t->blocked && t->deadline)
            next = next ? std::min(*next, *t->deadline) : *t->deadline;
    if (!next) {
        BugCheck("SIMULATION_DEADLOCK",
                 "every simulated thread is blocked and no time-out is pending:\n" + DescribeThreadsLocked());
    }
    if (mode_ == ClockMode::RealTime)
        return;  // the deadline arrives by itself
    simulatedNow_ = std::max(simulatedNow_, *next);
    for (ThreadRecord *t : threads_) {
        if (t->blocked && !t->ready && !t->timedOut && t->deadline && *t->deadline <= simulatedNow_) {
            t->timedOut = true;
            running_++;
            if (!Deterministic())
                t->wake.notify_one();
        }
    }
}

bool Scheduler::Block(const std::function<bool()> &ready, std::optional<Ticks> deadline, std::string what,
                      const void *key)
{
    ThreadRecord *self = tCurrent;
    if (!self)
        BugCheck("SIMULATION_MISUSE",
                 "a thread unknown to the simulation waits for " + what + "; start it with sim::Thread or register it");
    if (Deterministic()) {
        if (tInternalLocksHeld)
            BugCheck("SIMULATION_MISUSE",
                     "thread '" + self->name + "' waits for " + what + " while holding an internal simulation lock");
        SwitchSlow();
    }
    std::unique_lock lock(mutex_);
    if (ready())
        return true;
    if (deadline && *deadline <= NowLocked())
        return false;

    self->blocked = true;
    self->ready = false;
    self->timedOut = false;
    self->readiness = &ready;
    self->key = key;
    self->deadline = deadline;
    std::vector<ThreadRecord *> &waiters = key ? keyed_[key] : unkeyed_;
    waiters.push_back(self);
    self->waitingFor = std::move(what);
    running_--;
    OnThreadStoppedLocked();

    if (Deterministic()) {
        // Give the turn to whoever the schedule picks; the clock has already
        // jumped if nobody could run, so someone can (perhaps this thread).
        // The schedule picks only runnable threads, so this one is ready or
        // timed out when it runs again.
        SwitchLocked(lock, self, PickLocked());
    }
    while (!self->ready && !self->timedOut) {
        if (mode_ == ClockMode::RealTime && deadline) {
            auto wallDeadline = realStart_ + std::chrono::nanoseconds(*deadline * 100);
            if (self->wake.wait_until(lock, wallDeadline) == std::cv_status::timeout && !self->ready) {
                self->timedOut = true;
                running_++;
            }
        } else {
            self->wake.wait(lock);
        }
    }
    bool satisfied = self->ready;
    waiters.erase(std::find(waiters.begin(), waiters.end(), self));
    if (key && waiters.empty())
        keyed_.erase(key);
    self->blocked = false;
    self->readiness = nullptr;
    self->deadline.reset();
    return satisfied;
}

struct Thread::Shared {
    bool finished = false;
};

Thread::Thread(std::string name, std::function<void()> body) : shared_(std::make_shared<Shared>())
{
    Scheduler &scheduler = Scheduler::Get();
    auto run = [body = std::move(body), shared = shared_, &scheduler] {
        body();
        scheduler.Change([&] { shared->finished = true; });
    };
    if (scheduler.Deterministic()) {
        scheduler.RegisterFiber(std::move(name), std::move(run));
        fiber_ = true;
        return;
    }
    Scheduler::ThreadRecord *record = scheduler.Register(std::move(name));
    thread_ = std::thread([record, run = std::move(run), &scheduler] {
        scheduler.Adopt(record);
        run();
        scheduler.UnregisterCurrent();
    });
}

void Thread::Join()
{
    if (!Joinable())
        return;
    auto shared = shared_;
    Scheduler::Get().Block([shared] { return shared->finished; }, std::nullopt, "a thread to finish");
    if (fiber_)
        fiber_ = false;  // its record is freed by the schedule once it has ended
    else
        thread_.join();
}

Thread::~Thread()
{
    if (Joinable())
        BugCheck("SIMULATION_MISUSE", "sim::Thread destroyed without Join");
}

}  // namespace sim
