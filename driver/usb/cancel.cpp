#include "transport.h"

#define CANCEL_WAIT_100NS (-5000000LL)  // 0.5 s, relative

static VOID FreeParkedRequests(AdapterContext *Adapter)
{
    while (!IsListEmpty(&Adapter->ParkedRequests)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Adapter->ParkedRequests);
        IoFreeIrp(CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry));
    }
}

// The slot is read under Lock, so the request cannot be freed before
// IoCancelIrp sees it. IoCancelIrp itself is called without Lock: a bus
// driver may complete the request inside that call, on this processor, and
// the completion routine takes Lock first. While a cancel is in progress the
// completion routine parks the request instead of freeing it (see
// ReleaseCompletedTransfer), and the last canceller out frees it.
VOID CancelAndWait(AdapterContext *Adapter, PIRP *InFlightSlot, PKEVENT Event)
{
    RULE_APC_OR_BELOW();
    LockAcquire(&Adapter->Lock);
    PIRP Irp = *InFlightSlot;
    if (!Irp) {
        LockRelease(&Adapter->Lock);
        return;
    }
    Adapter->CancelsInProgress++;
    LockRelease(&Adapter->Lock);

    IoCancelIrp(Irp);

    LockAcquire(&Adapter->Lock);
    if (--Adapter->CancelsInProgress == 0)
        FreeParkedRequests(Adapter);
    LockRelease(&Adapter->Lock);

    if (Event) {
        // Cleared after the cancel, not before: a completion that already
        // signalled costs the full wait, which callers accept.
        KeClearEvent(Event);
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = CANCEL_WAIT_100NS;
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &Timeout);
    }
}

// Every port's write and read: at a stop, at removal, and before a restart
// reuses the ports' buffers.
VOID CancelPortIo(AdapterContext *Adapter)
{
    if (!Adapter->FirmwareRunning)
        return;
    for (ULONG Index = 0; Index < PORTS_PER_ADAPTER; Index++) {
        PortContext *Port = Adapter->Ports[Index];
        if (!Port)
            continue;
        CancelAndWait(Adapter, &Port->WriteIrp, &Port->WriteDoneEvent);
        CancelAndWait(Adapter, &Port->ReadIrp, &Port->ReadDoneEvent);
    }
}
