#include "transport.h"

PVOID PoolAlloc(SIZE_T Size)
{
    return ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG);
}

VOID PoolFreeBlock(PVOID Block)
{
    if (Block)
        ExFreePool(Block);
}

VOID LockAcquire(LockRecord *Lock)
{
    KIRQL Previous;
    KeAcquireSpinLock(&Lock->SpinLock, &Previous);
    Lock->SavedIrql = Previous;
}

VOID LockRelease(LockRecord *Lock)
{
    KeReleaseSpinLock(&Lock->SpinLock, Lock->SavedIrql);
}

VOID CompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IofCompleteRequest(Irp, PriorityBoost);
}
