// The checks behind the driver's calling rules (driver/platform/rules.h):
// the simulation knows each processor's level, each spin lock's holder and
// each fast mutex's owner, so a rule a routine states is checked, not trusted.
#include "driver/platform/rules.h"

#include <atomic>
#include <string>

#include "bugcheck.h"
#include "cpu.h"
#include "scheduler.h"

namespace {

[[noreturn]] void Broken(PCSTR routine, const std::string &rule, const std::string &found)
{
    sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                  std::string("calling rule broken: ") + routine + " requires " + rule + ", but " + found);
}

}  // namespace

VOID SimRuleIrqlAtMost(KIRQL Level, PCSTR Routine)
{
    const KIRQL now = sim::Cpu().irql;
    if (now > Level)
        Broken(Routine, std::string("IRQL at most ") + sim::IrqlName(Level),
               std::string("it was called at ") + sim::IrqlName(now));
}

VOID SimRuleSpinLockHeld(PKSPIN_LOCK SpinLock, PCSTR Name, PCSTR Routine)
{
    if (std::atomic_ref<ULONG_PTR>(*SpinLock).load(std::memory_order_relaxed) != sim::CpuToken())
        Broken(Routine, std::string(Name) + " held", "this processor does not hold it");
}

VOID SimRuleFastMutexHeld(PFAST_MUTEX Mutex, PCSTR Name, PCSTR Routine)
{
    PKTHREAD me = KeGetCurrentThread();
    const bool mine = sim::Scheduler::Get().Read([&] { return Mutex->Owner == me; });
    if (!mine)
        Broken(Routine, std::string(Name) + " held", "this thread does not own it");
}

VOID SimRuleNoSpinLockHeld(PCSTR Routine)
{
    if (sim::Cpu().spinLocksHeld != 0)
        Broken(Routine, "no spin lock held", "this processor holds " + std::to_string(sim::Cpu().spinLocksHeld));
}
