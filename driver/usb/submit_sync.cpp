#include "transport.h"

// The request built here belongs to the I/O manager, which frees it when it
// completes; the URB's own status is left for the caller to read.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb)
{
    RULE_PASSIVE();
    KEVENT Done;
    IO_STATUS_BLOCK StatusBlock;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);

    PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Target, NULL, 0, NULL, 0, TRUE, &Done,
                                             &StatusBlock);
    if (!Irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS Status = IofCallDriver(Target, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
        Status = StatusBlock.Status;
    }
    return Status;
}

NTSTATUS SubmitAdapterUrbSync(PDEVICE_OBJECT AdapterDevice, PURB Urb)
{
    AdapterContext *Adapter = (AdapterContext *)AdapterDevice->DeviceExtension;
    return SubmitUrbSync(Adapter->LowerDevice, Urb);
}
