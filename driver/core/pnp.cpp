#include "pnp.h"

#include "../base/requests.h"
#include "../firmware/download.h"
#include "../usb/transport.h"
#include "configure.h"
#include "enum_node.h"
#include "port_objects.h"
#include "removal.h"

static NTSTATUS NTAPI StartDeviceComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    RULE_DISPATCH_OR_BELOW();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The lower drivers start the device first; then the adapter is configured
// and either given its firmware or published to the host serial driver.
static NTSTATUS StartAdapter(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    KEVENT Started;
    KeInitializeEvent(&Started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartDeviceComplete, &Started, TRUE, TRUE, TRUE);
    if (IofCallDriver(Adapter->LowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&Started, Executive, KernelMode, FALSE, NULL);

    NTSTATUS Status = ConfigureDevice(Adapter->Fdo);
    if (NT_SUCCESS(Status)) {
        if (Adapter->FirmwareRunning) {
            CreateEnumNode(Adapter);
            Adapter->ControlOpenAllowed = TRUE;
        } else {
            Status = DownloadFirmware(Adapter->Fdo);
        }
    }
    return CompleteWith(Irp, Status);
}

static NTSTATUS QueryRemove(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    if (!Adapter->Configured)
        return PassDownSkip(Adapter, Irp);
    LockAcquire(&Adapter->Lock);
    BOOLEAN InUse = Adapter->OpenPortCount != 0;
    if (!InUse)
        Adapter->RemovePending = TRUE;
    LockRelease(&Adapter->Lock);
    if (InUse)
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
    DrainOutstandingWork(Adapter);
    return PassDownCopy(Adapter, Irp);
}

static NTSTATUS CancelRemove(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    if (!Adapter->Configured)
        return PassDownSkip(Adapter, Irp);
    LockAcquire(&Adapter->Lock);
    Adapter->RemovePending = FALSE;
    LockRelease(&Adapter->Lock);
    return PassDownCopy(Adapter, Irp);
}

// From the moment the stop begins no transfer re-arms (a read completing
// with data would otherwise start the next one behind the cancel), so the
// cancels leave nothing in flight on the deselected configuration.
static NTSTATUS StopAdapter(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    LockAcquire(&Adapter->Lock);
    Adapter->Stopping = TRUE;
    LockRelease(&Adapter->Lock);
    CancelPortIo(Adapter);
    NTSTATUS Status = UnconfigureDevice(Adapter->Fdo);
    if (!NT_SUCCESS(Status)) {
        // Still configured: the host may start its paths again.
        LockAcquire(&Adapter->Lock);
        Adapter->Stopping = FALSE;
        LockRelease(&Adapter->Lock);
        return CompleteWith(Irp, Status);
    }
    return PassDownCopy(Adapter, Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = AdapterOf(DeviceObject);
    if (!Adapter)
        return RefusePortRequest(Irp);
    AcquireIoRef(Adapter);
    NTSTATUS Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = StartAdapter(Adapter, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        Status = QueryRemove(Adapter, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Gives back the reference taken above: the adapter is gone after it.
        return RemoveAdapter(Adapter, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Status = CancelRemove(Adapter, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        Status = StopAdapter(Adapter, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Status = PassDownCopy(Adapter, Irp);
        break;
    default:
        Status = PassDownCopy(Adapter, Irp);
        break;
    }
    ReleaseIoRef(Adapter);
    return Status;
}

// The driver keeps no power state: power and system-control requests only
// pass through.
static NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RULE_DISPATCH_OR_BELOW();
    AdapterContext *Adapter = AdapterOf(DeviceObject);
    if (!Adapter)
        return RefusePortRequest(Irp);
    AcquireIoRef(Adapter);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    NTSTATUS Status = PassDownCopy(Adapter, Irp);
    ReleaseIoRef(Adapter);
    return Status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassThrough(DeviceObject, Irp); }

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassThrough(DeviceObject, Irp); }
