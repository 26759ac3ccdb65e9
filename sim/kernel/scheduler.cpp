#include "scheduler.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>

#include "bugcheck.h"

namespace sim {

struct Scheduler::ThreadRecord {
    std::string name;
    uint64_t ordinal = 0;  // order of registration since Reset
    int64_t priority = 0;  // Pct: the highest runnable thread runs
    std::condition_variable wake;
    bool blocked = false;
    bool ready = false;     // set by whoever found the readiness test true
    bool timedOut = false;  // set when the clock reached the deadline
    const std::function<bool()> *readiness = nullptr;
    const void *key = nullptr;
    std::optional<Ticks> deadline;
    std::string waitingFor;
};

namespace {
thread_local Scheduler::ThreadRecord *tCurrent = nullptr;

// Pct's depth (d: d-1 priority change points) and its estimate of a run's
// length in switch points (k), over which the change points are spread.
int EnvInt(const char *name, int fallback)
{
    const char *text = std::getenv(name);
    return text ? std::max(1, std::atoi(text)) : fallback;
}

constexpr uint64_t kWalkSwitchOneIn = 4;

bool Runnable(const Scheduler::ThreadRecord *t) { return !t->blocked || t->ready || t->timedOut; }
}  // namespace

const char *ScheduleName(Schedule schedule)
{
    switch (schedule) {
    case Schedule::RealThreads:
        return "real";
    case Schedule::RandomWalk:
        return "random";
    case Schedule::Pct:
        return "pct";
    }
    return "?";
}

std::optional<Schedule> ParseSchedule(const std::string &name)
{
    for (Schedule s : {Schedule::RealThreads, Schedule::RandomWalk, Schedule::Pct})
        if (name == ScheduleName(s))
            return s;
    return std::nullopt;
}

Schedule DefaultSchedule()
{
    if (const char *text = std::getenv("NUVIX_SIM_SCHEDULE")) {
        if (auto s = ParseSchedule(text))
            return *s;
        BugCheck("SIMULATION_MISUSE",
                 std::string("NUVIX_SIM_SCHEDULE must be real, random or pct, not '") + text + "'");
    }
#ifdef NUVIX_SIM_REAL_THREADS_DEFAULT
    return Schedule::RealThreads;
#else
    return Schedule::RandomWalk;
#endif
}

void Mutex::LockSlow()
{
    // Another thread holds it. With real threads, or for a thread outside
    // the simulation, that is ordinary contention. In a deterministic
    // schedule the holder is parked (no switch happens while it holds a
    // sim::Mutex, so it must have waited while holding it): waiting here
    // would stop the simulation for good.
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

Scheduler::Scheduler()
{
    if (const char *text = std::getenv("NUVIX_SIM_JITTER"))
        jitterPercent_ = std::clamp(std::atoi(text), 0, 100);
}

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
    std::unique_lock lock(mutex_);
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
    const int depth = EnvInt("NUVIX_SIM_PCT_DEPTH", 3);
    for (int i = 1; i < depth; i++)
        changePoints_.push_back(1 + rng_() % pctSteps_);
    std::sort(changePoints_.begin(), changePoints_.end());
    nextLowPriority_ = depth - 1;
    token_ = threads_.empty() ? nullptr : threads_[0];
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

void Scheduler::MixLocked(uint64_t value)
{
    // FNV-1a over the value's bytes.
    for (int i = 0; i < 8; i++) {
        trace_ ^= (value >> (8 * i)) & 0xFF;
        trace_ *= 0x100000001b3ull;
    }
}

void Scheduler::TraceSlow(uint64_t value)
{
    if (!tCurrent)
        return;
    std::unique_lock lock(mutex_);
    MixLocked(value);
}

Scheduler::ThreadRecord *Scheduler::PickLocked()
{
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

void Scheduler::PassTokenLocked(ThreadRecord *next)
{
    MixLocked(next ? next->ordinal + 1 : 0);
    token_ = next;
    if (next && next != tCurrent)
        next->wake.notify_one();
}

void Scheduler::WaitForTokenLocked(std::unique_lock<std::mutex> &lock, ThreadRecord *self)
{
    while (token_.load(std::memory_order_relaxed) != self)
        self->wake.wait(lock);
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
    // The walk moves on at one switch point in kWalkSwitchOneIn: a hand-over
    // costs a wake-up of another OS thread, and a walk that stays a few
    // points still reaches every interleaving, with other odds.
    if (schedule_ == Schedule::RandomWalk && rng_() % kWalkSwitchOneIn != 0) {
        MixLocked(self->ordinal + 1);
        return;
    }
    ThreadRecord *next = PickLocked();
    PassTokenLocked(next);
    if (next != self)
        WaitForTokenLocked(lock, self);
}

Ticks Scheduler::NowLocked() const
{
    if (mode_ == ClockMode::Simulated)
        return simulatedNow_;
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

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

void Scheduler::Adopt(ThreadRecord *record)
{
    tCurrent = record;
    if (Deterministic()) {
        std::unique_lock lock(mutex_);
        WaitForTokenLocked(lock, record);
    }
}

void Scheduler::RegisterCurrent(std::string name)
{
    if (tCurrent)
        BugCheck("SIMULATION_MISUSE", "thread '" + tCurrent->name + "' registered twice");
    Adopt(Register(std::move(name)));
}

void Scheduler::UnregisterCurrent()
{
    ThreadRecord *record = tCurrent;
    if (!record)
        return;
    {
        std::unique_lock lock(mutex_);
        threads_.erase(std::find(threads_.begin(), threads_.end(), record));
        running_--;
        OnThreadStoppedLocked();
        if (Deterministic() && token_ == record)
            PassTokenLocked(PickLocked());
    }
    tCurrent = nullptr;
    delete record;
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
}

void Scheduler::WakeWaitersOf(const void *key)
{
    std::unique_lock lock(mutex_);
    if (auto it = keyed_.find(key); it != keyed_.end())
        for (ThreadRecord *t : it->second)
            WakeIfReadyLocked(t);
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
        // Give the token to whoever the schedule picks; the clock has already
        // jumped if nobody could run, so someone can (perhaps this thread).
        PassTokenLocked(PickLocked());
        WaitForTokenLocked(lock, self);
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
    Scheduler::ThreadRecord *record = scheduler.Register(std::move(name));
    thread_ = std::thread([record, body = std::move(body), shared = shared_, &scheduler] {
        scheduler.Adopt(record);
        body();
        scheduler.Change([&] { shared->finished = true; });
        scheduler.UnregisterCurrent();
    });
}

void Thread::Join()
{
    if (!thread_.joinable())
        return;
    auto shared = shared_;
    Scheduler::Get().Block([shared] { return shared->finished; }, std::nullopt, "a thread to finish");
    thread_.join();
}

Thread::~Thread()
{
    if (thread_.joinable())
        BugCheck("SIMULATION_MISUSE", "sim::Thread destroyed without Join");
}

}  // namespace sim
