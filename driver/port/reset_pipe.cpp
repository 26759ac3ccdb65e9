#include "reset_pipe.h"

#include "../usb/transport.h"

// Only signals: the submitter waits for it and frees the request itself.
static NTSTATUS NTAPI ResetPipeComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The host may reset one port's pipe from two callers at once (a write
// restarted while a purge or a bind restarts it too). Each caller therefore
// waits on an event of its own: with a shared one, the first completion
// would wake both, and the second caller would free a request the bus still
// holds.
NTSTATUS ResetPortOutPipe(PortContext *Port)
{
    RULE_APC_OR_BELOW();
    PDEVICE_OBJECT LowerDevice = Port->Adapter->LowerDevice;
    PIRP Irp = IoAllocateIrp((CCHAR)(LowerDevice->StackSize + 1), FALSE);
    PURB Urb = (PURB)PoolAlloc(PIPE_REQUEST_URB_SIZE);
    if (!Irp || !Urb) {
        if (Irp)
            IoFreeIrp(Irp);
        PoolFree(&Urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildPipeReset(Urb, Port->DataOutPipe);

    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    SetTransferCompletion(Irp, ResetPipeComplete, &Done);
    SetSubmitUrbParameters(Irp, Urb);

    NTSTATUS Status = IofCallDriver(LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    IoFreeIrp(Irp);
    PoolFree(&Urb);
    return Status;
}

// The reset's result is not looked at: a pipe that cannot be reset fails the
// next write, and that write's completion tells the host.
VOID AbandonPortWrite(PortContext *Port)
{
    RULE_APC_OR_BELOW();
    CancelAndWait(Port->Adapter, &Port->WriteIrp, &Port->WriteDoneEvent);
    ResetPortOutPipe(Port);
}
