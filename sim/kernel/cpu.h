// Per-thread processor state: the interrupt level and the spin locks held.
// Every simulated thread behaves as a processor of its own.
#pragma once

#include "driver/platform/platform.h"

namespace sim {

struct CpuState {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
};

CpuState &Cpu();
// A value unique to the calling thread, stored in a spin lock it owns.
ULONG_PTR CpuToken();
const char *IrqlName(KIRQL irql);

// Checks that a routine the platform called returned at the level it was
// called at, with no spin lock gained or lost.
class IrqlBalanceCheck {
public:
    explicit IrqlBalanceCheck(const char *what);
    ~IrqlBalanceCheck();

private:
    const char *what_;
    KIRQL irql_;
    int locks_;
};

}  // namespace sim
