// Simulated time: the clock moves only when every simulated thread is
// blocked, and then straight to the earliest deadline, so time-outs happen at
// exact kernel times and cost no wall-clock time.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "sim/kernel/scheduler.h"
#include "tests/support/sim_test.h"

namespace {

class TimeTest : public testing_support::SimTest {};

constexpr LONGLONG kHalfSecond = 5'000'000;

LARGE_INTEGER Relative(LONGLONG ticks)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ticks;
    return interval;
}

NTSTATUS Wait(KEVENT &event, LARGE_INTEGER *timeout)
{
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

NTSTATUS Delay(LONGLONG ticks)
{
    LARGE_INTEGER interval = Relative(ticks);
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST_F(TimeTest, TimeoutEndsAtExactlyItsKernelTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(kHalfSecond);
    EXPECT_EQ(Wait(event, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), 5'000'000u);

    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    LARGE_INTEGER absolute;
    absolute.QuadPart = systemTime.QuadPart + 2 * sim::kTicksPerSecond;
    EXPECT_EQ(Wait(event, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime(), 25'000'000u);

    // A zero time-out polls; a signalled event never waits.
    LARGE_INTEGER zero = Relative(0);
    EXPECT_EQ(Wait(event, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Wait(event, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), 25'000'000u);
}

TEST_F(TimeTest, AnHourOfDelayCostsNoWallClockTime)
{
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Delay(3600 * sim::kTicksPerSecond), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), 36'000'000'000u);
    // Far above any machine's overhead, far below the hour a real clock needs.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(1));
}

TEST_F(TimeTest, WaitSatisfiedByAnotherThreadEndsWhenItIsSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::Thread setter("setter", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER timeout = Relative(kHalfSecond);
    EXPECT_EQ(Wait(event, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), 0u);
    setter.Join();

    // The setter's own delay is the earliest deadline, so the wait ends there.
    KeClearEvent(&event);
    sim::Thread late("late setter", [&] {
        Delay(100 * sim::kTicksPerMillisecond);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(Wait(event, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), 1'000'000u);
    late.Join();
}

// A keyed wait is evaluated only by changes under its own key; a change
// under another that makes its test hold would leave it asleep, so the
// scheduler checks for that and stops the run.
class WakeRuleDeathTest : public testing_support::SimTest {};

TEST_F(WakeRuleDeathTest, AChangeUnderAnotherKeyMayNotReadyAKeyedWaiter)
{
    EXPECT_DEATH(
        {
            sim::Scheduler &scheduler = sim::Scheduler::Get();
            bool flag = false;
            int own = 0;
            int other = 0;
            sim::Thread waiter("keyed waiter",
                               [&] { scheduler.Block([&] { return flag; }, std::nullopt, "the flag", &own); });
            Delay(1000);  // time moves only once the waiter is blocked
            scheduler.ChangeFor(&other, [&] { flag = true; });
            waiter.Join();
        },
        "BUG CHECK: SIMULATION_MISUSE.*thread 'keyed waiter' waits for the flag under one key");
}

TEST_F(TimeTest, ThreadsWakeInDeadlineOrder)
{
    sim::Mutex mutex;
    std::vector<std::pair<std::string, uint64_t>> wakes;
    auto sleeper = [&](std::string name, int milliseconds) {
        return [&, name, milliseconds] {
            Delay(milliseconds * sim::kTicksPerMillisecond);
            std::lock_guard lock(mutex);
            wakes.emplace_back(name, KeQueryInterruptTime());
        };
    };
    sim::Thread slow("slow", sleeper("slow", 300));
    sim::Thread fast("fast", sleeper("fast", 100));
    sim::Thread middle("middle", sleeper("middle", 200));
    slow.Join();
    fast.Join();
    middle.Join();
    using Wake = std::pair<std::string, uint64_t>;
    EXPECT_EQ(wakes, (std::vector<Wake>{{"fast", 1'000'000}, {"middle", 2'000'000}, {"slow", 3'000'000}}));
}

TEST_F(TimeTest, SynchronizationEventReleasesOneWaiterPerSignal)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    sim::Mutex mutex;
    int woken = 0;
    auto waiter = [&] {
        Wait(event, nullptr);
        std::lock_guard lock(mutex);
        woken++;
    };
    sim::Thread first("first", waiter);
    sim::Thread second("second", waiter);
    auto wokenSoFar = [&] {
        std::lock_guard lock(mutex);
        return woken;
    };

    // Each delay ends only once both waiters are blocked or done.
    Delay(sim::kTicksPerMillisecond);
    EXPECT_EQ(wokenSoFar(), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    Delay(sim::kTicksPerMillisecond);
    EXPECT_EQ(wokenSoFar(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the waiter consumed the signal
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.Join();
    second.Join();
    EXPECT_EQ(wokenSoFar(), 2);

    // With nobody waiting the signal stays for the next waiter.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero = Relative(0);
    EXPECT_EQ(Wait(event, &zero), STATUS_SUCCESS);
    EXPECT_EQ(Wait(event, &zero), STATUS_TIMEOUT);
}

TEST_F(TimeTest, FastMutexSerialisesCriticalSections)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    constexpr int kRounds = 3;
    int counter = 0;  // guarded by mutex
    int inside = 0;   // guarded by mutex
    int maxInside = 0;
    KIRQL levelInside = PASSIVE_LEVEL;
    auto worker = [&] {
        for (int i = 0; i < kRounds; i++) {
            ExAcquireFastMutex(&mutex);
            maxInside = std::max(maxInside, ++inside);
            levelInside = KeGetCurrentIrql();
            int seen = counter;
            // Blocks inside the critical section, so the other thread runs and
            // tries to enter.
            Delay(10 * sim::kTicksPerMillisecond);
            counter = seen + 1;
            inside--;
            ExReleaseFastMutex(&mutex);
        }
    };
    sim::Thread a("a", worker);
    sim::Thread b("b", worker);
    a.Join();
    b.Join();
    EXPECT_EQ(counter, 2 * kRounds);
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(levelInside, APC_LEVEL);
    // Six 10 ms sections that never overlapped.
    EXPECT_EQ(KeQueryInterruptTime(), 2u * kRounds * 10 * sim::kTicksPerMillisecond);
}

}  // namespace
