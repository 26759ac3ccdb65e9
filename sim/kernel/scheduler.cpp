#include "scheduler.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>

#include "bugcheck.h"

namespace sim {

struct Scheduler::ThreadRecord {
    std::string name;
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

void Scheduler::Reset(ClockMode mode)
{
    std::unique_lock lock(mutex_);
    if (!threads_.empty() && !(threads_.size() == 1 && threads_[0] == tCurrent))
        BugCheck("SIMULATION_MISUSE",
                 "scheduler reset while other simulated threads exist:\n" + DescribeThreadsLocked());
    mode_ = mode;
    simulatedNow_ = 0;
    realStart_ = std::chrono::steady_clock::now();
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
    threads_.push_back(record);
    running_++;
    return record;
}

void Scheduler::Adopt(ThreadRecord *record) { tCurrent = record; }

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
