#include "requests.h"

#include "kernel.h"

NTSTATUS PassDownCopy(AdapterContext *Adapter, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(Adapter->LowerDevice, Irp);
}

NTSTATUS PassDownSkip(AdapterContext *Adapter, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Adapter->LowerDevice, Irp);
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS RefusePortRequest(PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
}
