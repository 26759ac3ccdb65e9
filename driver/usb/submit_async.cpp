#include "transport.h"

VOID SetSubmitUrbParameters(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Next->Parameters.Others.Argument1 = Urb;
}

VOID SetTransferCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Completion, PVOID Context)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->CompletionRoutine = Completion;
    Next->Context = Context;
    Next->Control = IRP_CONTROL_INVOKE_ALWAYS;
}

// A request and a descriptor list per transfer; the URB and the buffer are
// the caller's, reused from one transfer to the next.
NTSTATUS SubmitUrbAsync(const BulkTransfer *Transfer)
{
    RULE_DISPATCH_OR_BELOW();
    if (Transfer->HeldLock)
        RULE_LOCK_HELD(Transfer->HeldLock);
    PIRP Irp = IoAllocateIrp((CCHAR)(Transfer->LowerDevice->StackSize + 1), FALSE);
    if (!Irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    if (!IoAllocateMdl(Transfer->Buffer, Transfer->Length, FALSE, FALSE, Irp)) {
        IoFreeIrp(Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(Irp->MdlAddress);

    struct _URB_BULK_OR_INTERRUPT_TRANSFER *Bulk = &Transfer->Urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(Bulk, sizeof(*Bulk));
    Bulk->Hdr.Length = sizeof(*Bulk);
    Bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Bulk->PipeHandle = Transfer->Pipe->PipeHandle;
    Bulk->TransferFlags = Transfer->TransferFlags;
    Bulk->TransferBufferLength = Transfer->Length;
    Bulk->TransferBufferMDL = Irp->MdlAddress;
    Bulk->TransferBuffer = NULL;
    Bulk->UrbLink = NULL;

    SetTransferCompletion(Irp, Transfer->Completion, Transfer->Context);
    AdapterContext *Adapter = Transfer->Adapter;
    if (InterlockedIncrement(&Adapter->TransfersInFlight) == 1)
        KeClearEvent(&Adapter->TransfersIdleEvent);
    *Transfer->InFlightSlot = Irp;
    SetSubmitUrbParameters(Irp, Transfer->Urb);
    if (Transfer->HeldLock) {
        Irp->Tail.Overlay.DriverContext[0] = Transfer->LowerDevice;
        InsertTailList(&Transfer->HeldLock->DeferredSends, &Irp->Tail.Overlay.ListEntry);
        return STATUS_PENDING;
    }
    return IofCallDriver(Transfer->LowerDevice, Irp);
}

BOOLEAN MayReArm(AdapterContext *Adapter)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    return !Adapter->Removed && !Adapter->Stopping;
}

// Every re-arm of a completion routine comes through here, with Lock held,
// so one test keeps a stop or a removal from being outrun: once either has
// begun, no new transfer starts, and the cancels that follow find every
// transfer there is.
NTSTATUS StartBulkTransfer(AdapterContext *Adapter, PUSBD_PIPE_INFORMATION Pipe, ULONG TransferFlags, PVOID Buffer,
                           ULONG Length, PURB Urb, PIRP *InFlightSlot, PIO_COMPLETION_ROUTINE Completion, PVOID Context)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    if (!MayReArm(Adapter))
        return Adapter->Removed ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY;
    BulkTransfer Transfer;
    Transfer.Adapter = Adapter;
    Transfer.LowerDevice = Adapter->LowerDevice;
    Transfer.Pipe = Pipe;
    Transfer.TransferFlags = TransferFlags;
    Transfer.Buffer = Buffer;
    Transfer.Length = Length;
    Transfer.Urb = Urb;
    Transfer.InFlightSlot = InFlightSlot;
    Transfer.Completion = Completion;
    Transfer.Context = Context;
    Transfer.HeldLock = &Adapter->Lock;
    return SubmitUrbAsync(&Transfer);
}

VOID InitTransferTracking(AdapterContext *Adapter)
{
    Adapter->CancelsInProgress = 0;
    InitializeListHead(&Adapter->ParkedRequests);
    Adapter->TransfersInFlight = 0;
    KeInitializeEvent(&Adapter->TransfersIdleEvent, NotificationEvent, TRUE);
}

VOID WaitForTransfersIdle(AdapterContext *Adapter)
{
    RULE_APC_OR_BELOW();
    KeWaitForSingleObject(&Adapter->TransfersIdleEvent, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseCompletedTransfer(AdapterContext *Adapter, PIRP Irp, PIRP *InFlightSlot)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    IoFreeMdl(Irp->MdlAddress);
    Irp->MdlAddress = NULL;
    *InFlightSlot = NULL;
    if (InterlockedDecrement(&Adapter->TransfersInFlight) == 0)
        KeSetEvent(&Adapter->TransfersIdleEvent, EVENT_INCREMENT, FALSE);
    // A canceller may still be inside IoCancelIrp with this request: leave
    // the request for the last canceller to free once that call returned.
    if (Adapter->CancelsInProgress)
        InsertTailList(&Adapter->ParkedRequests, &Irp->Tail.Overlay.ListEntry);
    else
        IoFreeIrp(Irp);
}
