// The kernel services every layer of the driver uses, in the driver's own
// terms: pool blocks with the driver's tag, the adapter lock (which also
// defers sends until it is released), and request completion.
#pragma once

#include "../platform/rules.h"
#include "context.h"

// The driver's own locks in rule form (see platform/rules.h).
#define RULE_LOCK_HELD(Lock) RULE_SPIN_LOCK_HELD(&(Lock)->SpinLock, #Lock)
#define RULE_MUTEX_HELD(Mutex) RULE_FAST_MUTEX_HELD(Mutex, #Mutex)

// Every pool block carries the tag "Wdm ".
#define POOL_TAG 0x206D6457

#define IRP_CONTROL_INVOKE_ALWAYS (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)

PVOID PoolAlloc(SIZE_T Size);
VOID PoolFreeBlock(PVOID Block);

// Frees the block a pointer variable holds (if any) and clears the variable,
// so teardown can run twice or on a half-built adapter.
template <typename T>
inline VOID PoolFree(T **Pointer)
{
    PoolFreeBlock(*Pointer);
    *Pointer = NULL;
}

VOID LockInitialize(LockRecord *Lock);
VOID LockAcquire(LockRecord *Lock);
VOID LockRelease(LockRecord *Lock);
VOID CompleteRequest(PIRP Irp, CCHAR PriorityBoost);
