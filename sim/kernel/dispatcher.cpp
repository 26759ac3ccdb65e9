// Kernel events, waits, fast mutexes and the clock.
//
// Event and mutex state is only changed under the scheduler's lock (the
// simulated dispatcher lock), so a waiter's readiness test always sees a
// consistent state.
#include <string>

#include "bugcheck.h"
#include "cpu.h"
#include "scheduler.h"

namespace {

using sim::BugCheck;
using sim::Cpu;
using sim::Hex;
using sim::Scheduler;

// System time at the world's start: 2001-01-01, for KeQuerySystemTime.
constexpr LONGLONG kSystemTimeBase = 126227808000000000LL;

std::string Address(const void *p) { return Hex(reinterpret_cast<uintptr_t>(p)); }

void CheckInitialised(PRKEVENT Event, const char *routine)
{
    if (Event->Header.WaitListHead.Flink != &Event->Header.WaitListHead ||
        (Event->Header.Type != NotificationEvent && Event->Header.Type != SynchronizationEvent))
        BugCheck("INVALID_KERNEL_OBJECT",
                 std::string(routine) + " on " + Address(Event) + ", which is not an initialised event");
}

std::optional<sim::Ticks> DeadlineFrom(PLARGE_INTEGER Timeout, sim::Ticks now)
{
    if (!Timeout)
        return std::nullopt;
    if (Timeout->QuadPart <= 0)
        return now - Timeout->QuadPart;
    return Timeout->QuadPart - kSystemTimeBase;
}

}  // namespace

// Waits on an event or a fast mutex name it, so that setting one event wakes
// only its own waiters' tests.
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Scheduler::Get().ChangeFor(Event, [&] {
        Event->Header.Type = static_cast<UCHAR>(Type);
        Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
        Event->Header.SignalState = State ? 1 : 0;
        Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    });
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    if (Wait)
        BugCheck("SIMULATION_UNSUPPORTED", "KeSetEvent with Wait TRUE is not used by this driver");
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL");
    return Scheduler::Get().ChangeFor(Event, [&] {
        CheckInitialised(Event, "KeSetEvent");
        LONG previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        return previous;
    });
}

VOID KeClearEvent(PRKEVENT Event)
{
    Scheduler::Get().ChangeFor(Event, [&] {
        CheckInitialised(Event, "KeClearEvent");
        Event->Header.SignalState = 0;
    });
}

LONG KeResetEvent(PRKEVENT Event)
{
    return Scheduler::Get().ChangeFor(Event, [&] {
        CheckInitialised(Event, "KeResetEvent");
        LONG previous = Event->Header.SignalState;
        Event->Header.SignalState = 0;
        return previous;
    });
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    return Scheduler::Get().Read([&] {
        CheckInitialised(Event, "KeReadStateEvent");
        return Event->Header.SignalState;
    });
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    const bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (Cpu().irql >= DISPATCH_LEVEL && !zeroTimeout)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 std::string("KeWaitForSingleObject with ") + (Timeout ? "a non-zero" : "no") + " time-out at " +
                     sim::IrqlName(Cpu().irql) + (Cpu().spinLocksHeld ? " (a spin lock is held)" : "") + "; object " +
                     Address(Object));
    auto *event = static_cast<PRKEVENT>(Object);
    Scheduler &scheduler = Scheduler::Get();
    scheduler.Read([&] {
        CheckInitialised(event, "KeWaitForSingleObject");
        return 0;
    });
    auto deadline = DeadlineFrom(Timeout, scheduler.Now());
    std::function<bool()> signalled = [event] {
        if (event->Header.SignalState == 0)
            return false;
        if (event->Header.Type == SynchronizationEvent)
            event->Header.SignalState = 0;
        return true;
    };
    bool satisfied = scheduler.Block(signalled, deadline, "event " + Address(event), event);
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (Cpu().irql > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread above APC_LEVEL");
    Scheduler &scheduler = Scheduler::Get();
    scheduler.Block([] { return false; }, DeadlineFrom(Interval, scheduler.Now()), "a delay");
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kSystemTimeBase + Scheduler::Get().Now(); }

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(Scheduler::Get().Now()); }

PKTHREAD KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(sim::CpuToken()); }

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    Scheduler::Get().ChangeFor(FastMutex, [&] {
        FastMutex->Count = 1;
        FastMutex->Owner = nullptr;
        FastMutex->Contention = 0;
        FastMutex->OldIrql = 0;
    });
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (Cpu().irql > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string("ExAcquireFastMutex at ") + sim::IrqlName(Cpu().irql) +
                                               (Cpu().spinLocksHeld ? " while holding a spin lock" : "") + "; mutex " +
                                               Address(FastMutex));
    PKTHREAD me = KeGetCurrentThread();
    Scheduler &scheduler = Scheduler::Get();
    scheduler.Read([&] {
        CheckInitialised(&FastMutex->Event, "ExAcquireFastMutex (mutex never initialised)");
        if (FastMutex->Owner == me)
            BugCheck("FAST_MUTEX_RECURSION", "ExAcquireFastMutex on " + Address(FastMutex) +
                                                 ", already owned by this thread: it would wait forever");
        return 0;
    });
    std::function<bool()> free = [FastMutex, me] {
        if (FastMutex->Owner != nullptr)
            return false;
        FastMutex->Owner = me;
        FastMutex->Count = 0;
        return true;
    };
    scheduler.Block(free, std::nullopt, "fast mutex " + Address(FastMutex), FastMutex);
    FastMutex->OldIrql = Cpu().irql;
    Cpu().irql = APC_LEVEL;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    PKTHREAD me = KeGetCurrentThread();
    if (Cpu().irql != APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 std::string("ExReleaseFastMutex at ") + sim::IrqlName(Cpu().irql) + "; mutex " + Address(FastMutex));
    KIRQL previous = static_cast<KIRQL>(FastMutex->OldIrql);
    Scheduler::Get().ChangeFor(FastMutex, [&] {
        if (FastMutex->Owner != me)
            BugCheck("FAST_MUTEX_NOT_OWNED",
                     "ExReleaseFastMutex on " + Address(FastMutex) + " by a thread that does not own it");
        FastMutex->Owner = nullptr;
        FastMutex->Count = 1;
    });
    Cpu().irql = previous;
}
