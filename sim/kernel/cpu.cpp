#include "cpu.h"

#include <atomic>
#include <string>
#include <thread>

#include "bugcheck.h"
#include "scheduler.h"

namespace sim {

namespace {
// A thread outside the simulation (a tool's display thread, the test's
// thread between worlds) still has a level of its own.
thread_local CpuState tOutsideCpu;
}  // namespace

// A simulated thread's processor state lives in its scheduler record, as
// several of them share one OS thread in a deterministic schedule.
CpuState &Cpu()
{
    CpuState *own = Scheduler::CurrentCpu();
    return own ? *own : tOutsideCpu;
}

ULONG_PTR CpuToken() { return reinterpret_cast<ULONG_PTR>(&Cpu()) | 1; }

const char *IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "a device level";
    }
}

IrqlBalanceCheck::IrqlBalanceCheck(const char *what) : what_(what), irql_(Cpu().irql), locks_(Cpu().spinLocksHeld) {}

IrqlBalanceCheck::~IrqlBalanceCheck()
{
    const CpuState &cpu = Cpu();
    if (cpu.irql != irql_ || cpu.spinLocksHeld != locks_)
        BugCheck("IRQL_UNEXPECTED_VALUE", std::string(what_) + " was called at " + IrqlName(irql_) + " holding " +
                                              std::to_string(locks_) + " spin lock(s) and returned at " +
                                              IrqlName(cpu.irql) + " holding " + std::to_string(cpu.spinLocksHeld));
}

}  // namespace sim

using sim::BugCheck;
using sim::Cpu;
using sim::IrqlName;

KIRQL KeGetCurrentIrql(VOID) { return Cpu().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < Cpu().irql)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL",
                 std::string("KeRaiseIrql to ") + IrqlName(NewIrql) + " from " + IrqlName(Cpu().irql));
    *OldIrql = Cpu().irql;
    Cpu().irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > Cpu().irql)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 std::string("KeLowerIrql to ") + IrqlName(NewIrql) + " from " + IrqlName(Cpu().irql));
    Cpu().irql = NewIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { std::atomic_ref<ULONG_PTR>(*SpinLock).store(0); }

static void AcquireSpin(PKSPIN_LOCK SpinLock, const char *routine)
{
    // Lock boundaries are where the driver's threads meet; jitter (or, in a
    // deterministic schedule, a switch) here changes who gets a contended
    // lock first.
    sim::Scheduler &scheduler = sim::Scheduler::Get();
    scheduler.SwitchPoint();
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    const ULONG_PTR me = sim::CpuToken();
    if (word.load(std::memory_order_relaxed) == me)
        BugCheck("SPIN_LOCK_ALREADY_OWNED", std::string(routine) + ": spin lock " +
                                                sim::Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                                " is already held by this processor; acquiring it again would hang");
    ULONG_PTR expected = 0;
    if (scheduler.Deterministic() && scheduler.CurrentIsRegistered()) {
        // Only one thread runs: spinning would never let the holder release.
        // The acquirer waits instead, and takes the lock in its readiness test.
        if (!word.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
            scheduler.Block(
                [&word, me] {
                    ULONG_PTR free = 0;
                    return word.compare_exchange_strong(free, me, std::memory_order_acquire, std::memory_order_relaxed);
                },
                std::nullopt, "spin lock " + sim::Hex(reinterpret_cast<uintptr_t>(SpinLock)), SpinLock);
    } else {
        while (!word.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
            expected = 0;
            std::this_thread::yield();
        }
    }
    Cpu().spinLocksHeld++;
}

static void ReleaseSpin(PKSPIN_LOCK SpinLock, const char *routine)
{
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    if (word.load(std::memory_order_relaxed) != sim::CpuToken())
        BugCheck("SPIN_LOCK_NOT_OWNED", std::string(routine) + ": spin lock " +
                                            sim::Hex(reinterpret_cast<uintptr_t>(SpinLock)) +
                                            " released by a processor that does not hold it");
    word.store(0, std::memory_order_release);
    Cpu().spinLocksHeld--;
    sim::Scheduler &scheduler = sim::Scheduler::Get();
    if (scheduler.Deterministic())
        scheduler.WakeWaitersOf(SpinLock);
    scheduler.SwitchPoint();
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock above DISPATCH_LEVEL");
    KIRQL previous = Cpu().irql;
    AcquireSpin(SpinLock, "KeAcquireSpinLock");
    Cpu().irql = DISPATCH_LEVEL;
    *OldIrql = previous;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseSpin(SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock returning to a level above DISPATCH_LEVEL");
    Cpu().irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (Cpu().irql != DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string("KeAcquireSpinLockAtDpcLevel at ") + IrqlName(Cpu().irql));
    AcquireSpin(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (Cpu().irql != DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string("KeReleaseSpinLockFromDpcLevel at ") + IrqlName(Cpu().irql));
    ReleaseSpin(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// Interlocked operations are where lock-free code meets another processor:
// each is a switch point.
LONG InterlockedIncrement(LONG volatile *Addend)
{
    sim::Scheduler::Get().SwitchPoint();
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Addend)).fetch_add(1) + 1;
}
LONG InterlockedDecrement(LONG volatile *Addend)
{
    sim::Scheduler::Get().SwitchPoint();
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Addend)).fetch_sub(1) - 1;
}
LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    sim::Scheduler::Get().SwitchPoint();
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Target)).exchange(Value);
}
LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    sim::Scheduler::Get().SwitchPoint();
    std::atomic_ref<LONG>(*const_cast<LONG *>(Destination)).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    sim::Scheduler::Get().SwitchPoint();
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Addend)).fetch_add(Value);
}
PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    sim::Scheduler::Get().SwitchPoint();
    return std::atomic_ref<PVOID>(*const_cast<PVOID *>(Target)).exchange(Value);
}
