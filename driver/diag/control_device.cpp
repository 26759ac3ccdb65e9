#include "control_device.h"

#include "../base/requests.h"
#include "../command/command_queue.h"
#include "../command/response_reader.h"
#include "../firmware/download.h"
#include "../usb/transport.h"

#define INFO_WAIT_100NS (-100000000LL)  // 10 s, relative

static NTSTATUS Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// A handle can outlive the adapter's removal, after which the command
// buffers and ports are gone: a request on it gets nothing done. While a
// request works it holds a reference, so removal waits for it instead of
// freeing what it uses.
static BOOLEAN AdapterRemoved(AdapterContext *Adapter)
{
    LockAcquire(&Adapter->Lock);
    BOOLEAN Gone = Adapter->Removed;
    LockRelease(&Adapter->Lock);
    return Gone;
}

static BOOLEAN EnterAdapter(AdapterContext *Adapter)
{
    AcquireIoRef(Adapter);
    BOOLEAN Gone = AdapterRemoved(Adapter);
    if (Gone)
        ReleaseIoRef(Adapter);
    return !Gone;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = AdapterOf(DeviceObject);
    if (!Adapter)
        return RefusePortRequest(Irp);
    if (!EnterAdapter(Adapter))
        return Finish(Irp, STATUS_DELETE_PENDING, 0);
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    if (Adapter->ControlOpenAllowed) {
        LockAcquire(&Adapter->Lock);
        StartResponseReader(Adapter, &Adapter->Lock);
        LockRelease(&Adapter->Lock);
        Status = STATUS_SUCCESS;
    }
    ReleaseIoRef(Adapter);
    return Finish(Irp, Status, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = AdapterOf(DeviceObject);
    if (!Adapter)
        return RefusePortRequest(Irp);
    if (EnterAdapter(Adapter)) {
        CancelAndWait(Adapter, &Adapter->CommandInIrp, NULL);
        ReleaseIoRef(Adapter);
    }
    return Finish(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS GetFirmwareInfo(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (!Buffer || Stack->Parameters.DeviceIoControl.InputBufferLength < GET_INFO_PAYLOAD_SIZE ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < FIRMWARE_INFO_SIZE)
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    KeInitializeEvent(&Adapter->FirmwareInfoEvent, NotificationEvent, FALSE);
    // Removal sets the event once it has marked the adapter removed, so a
    // request waiting for an answer that can no longer come ends at once
    // (and lets the removal go on) instead of holding it for the full wait.
    // Looked at after the event is prepared: a removal that came first is
    // seen here, one that comes later sets the event.
    if (AdapterRemoved(Adapter))
        return Finish(Irp, STATUS_DELETE_PENDING, 0);
    // A payload whose first byte names no port is not queued: the wait then
    // simply runs out.
    QueueCommand(Adapter, CMD_GET_INFO, Buffer, GET_INFO_PAYLOAD_SIZE);
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = INFO_WAIT_100NS;
    NTSTATUS Waited = KeWaitForSingleObject(&Adapter->FirmwareInfoEvent, Executive, KernelMode, FALSE, &Timeout);
    if (AdapterRemoved(Adapter))
        return Finish(Irp, STATUS_DELETE_PENDING, 0);
    if (Waited != STATUS_SUCCESS)
        return Finish(Irp, STATUS_SUCCESS, 0);
    LockAcquire(&Adapter->Lock);
    RtlCopyMemory(Buffer, Adapter->FirmwareInfo, FIRMWARE_INFO_SIZE);
    LockRelease(&Adapter->Lock);
    return Finish(Irp, STATUS_SUCCESS, FIRMWARE_INFO_SIZE);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = AdapterOf(DeviceObject);
    if (!Adapter)
        return RefusePortRequest(Irp);
    if (!EnterAdapter(Adapter))
        return Finish(Irp, STATUS_DELETE_PENDING, 0);
    NTSTATUS Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DIAG_GET_INFO:
        Status = GetFirmwareInfo(Adapter, Irp);
        break;
    case IOCTL_DIAG_LOAD_ALTERNATE:
        // The tool is told whether the image went in: a download whose
        // transfers failed leaves the chip as it was.
        Status = Finish(Irp, DownloadAlternateFirmware(Adapter->Fdo), 0);
        break;
    default:
        Status = Finish(Irp, STATUS_INVALID_PARAMETER, 0);
        break;
    }
    ReleaseIoRef(Adapter);
    return Status;
}
