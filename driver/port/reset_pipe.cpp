#include "reset_pipe.h"

#include "../usb/transport.h"

// Only signals: the submitter waits for it and frees the request itself.
NTSTATUS NTAPI ResetPipeComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    PortContext *Port = (PortContext *)Context;
    KeSetEvent(&Port->ResetEvent, EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ResetPortOutPipe(PortContext *Port)
{
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

    SetTransferCompletion(Irp, ResetPipeComplete, Port);
    SetSubmitUrbParameters(Irp, Urb);

    KeInitializeEvent(&Port->ResetEvent, NotificationEvent, FALSE);
    NTSTATUS Status = IofCallDriver(LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Port->ResetEvent, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    IoFreeIrp(Irp);
    PoolFree(&Urb);
    return Status;
}
