// Calling rules a routine states at its top: the interrupt level it may be
// called at, the spin lock or fast mutex its caller must hold. The simulated
// platform checks each one as the routine is entered and stops with a bug
// check that names the routine and the rule; the real image compiles them
// away, as the platform's ASSERT is compiled away outside a checked build.
#pragma once

#include "platform.h"

#if defined(NUVIX_TARGET)
#define RULE_IRQL_AT_MOST(Level) ((void)0)
#define RULE_SPIN_LOCK_HELD(SpinLock, Name) ((void)0)
#define RULE_FAST_MUTEX_HELD(Mutex, Name) ((void)0)
#define RULE_NO_SPIN_LOCK_HELD() ((void)0)
#else
VOID SimRuleIrqlAtMost(KIRQL Level, PCSTR Routine);
VOID SimRuleSpinLockHeld(PKSPIN_LOCK SpinLock, PCSTR Name, PCSTR Routine);
VOID SimRuleFastMutexHeld(PFAST_MUTEX Mutex, PCSTR Name, PCSTR Routine);
VOID SimRuleNoSpinLockHeld(PCSTR Routine);
#define RULE_IRQL_AT_MOST(Level) SimRuleIrqlAtMost(Level, __func__)
#define RULE_SPIN_LOCK_HELD(SpinLock, Name) SimRuleSpinLockHeld(SpinLock, Name, __func__)
#define RULE_FAST_MUTEX_HELD(Mutex, Name) SimRuleFastMutexHeld(Mutex, Name, __func__)
#define RULE_NO_SPIN_LOCK_HELD() SimRuleNoSpinLockHeld(__func__)
#endif

// The levels the driver's rules name. A routine that waits may run at
// APC_LEVEL: that is where a holder of a fast mutex is.
#define RULE_PASSIVE() RULE_IRQL_AT_MOST(PASSIVE_LEVEL)
#define RULE_APC_OR_BELOW() RULE_IRQL_AT_MOST(APC_LEVEL)
#define RULE_DISPATCH_OR_BELOW() RULE_IRQL_AT_MOST(DISPATCH_LEVEL)
