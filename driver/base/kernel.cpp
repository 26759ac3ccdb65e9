#include "kernel.h"

PVOID PoolAlloc(SIZE_T Size) { return ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG); }

VOID PoolFreeBlock(PVOID Block)
{
    if (Block)
        ExFreePool(Block);
}

VOID LockInitialize(LockRecord *Lock)
{
    KeInitializeSpinLock(&Lock->SpinLock);
    Lock->SavedIrql = PASSIVE_LEVEL;
    InitializeListHead(&Lock->DeferredSends);
}

VOID LockAcquire(LockRecord *Lock)
{
    KIRQL Previous;
    KeAcquireSpinLock(&Lock->SpinLock, &Previous);
    Lock->SavedIrql = Previous;
}

// Requests queued for sending while the lock was held go down after the
// release, in the order they were started; the request is ours until then,
// so its overlay list entry and driver context carry it.
VOID LockRelease(LockRecord *Lock)
{
    if (IsListEmpty(&Lock->DeferredSends)) {
        KeReleaseSpinLock(&Lock->SpinLock, Lock->SavedIrql);
        return;
    }
    LIST_ENTRY Sends;
    InitializeListHead(&Sends);
    while (!IsListEmpty(&Lock->DeferredSends))
        InsertTailList(&Sends, RemoveHeadList(&Lock->DeferredSends));
    KeReleaseSpinLock(&Lock->SpinLock, Lock->SavedIrql);

    while (!IsListEmpty(&Sends)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&Sends), IRP, Tail.Overlay.ListEntry);
        PDEVICE_OBJECT Target = (PDEVICE_OBJECT)Irp->Tail.Overlay.DriverContext[0];
        IofCallDriver(Target, Irp);
    }
}

VOID CompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
