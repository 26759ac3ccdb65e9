// What the Plug and Play manager's two files share: the scheduler, how an
// address is printed and the check that the manager is called at
// PASSIVE_LEVEL, as the platform's own manager always runs.
#pragma once

#include <string>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"
#include "sim/kernel/scheduler.h"

namespace sim::pnp::detail {

inline Scheduler &Sched() { return Scheduler::Get(); }

inline std::string Address(const void *p) { return Hex(reinterpret_cast<uintptr_t>(p)); }

inline void RequirePassive(const std::string &what)
{
    if (Cpu().irql != PASSIVE_LEVEL)
        BugCheck("SIMULATION_MISUSE",
                 what + " from " + IrqlName(Cpu().irql) + "; the Plug and Play manager runs at PASSIVE_LEVEL");
}

}  // namespace sim::pnp::detail
