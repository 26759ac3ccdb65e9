#include "context.h"

ULONG ErrorStats[3];

VOID AcquireIoRef(AdapterContext *Adapter) { InterlockedIncrement(&Adapter->IoRefCount); }

// The value the decrement produced decides which waiter to wake: 1 means only
// the adapter's own reference is left (a query-remove may proceed), 0 means
// the removal may finish.
VOID ReleaseIoRef(AdapterContext *Adapter)
{
    LONG Remaining = InterlockedDecrement(&Adapter->IoRefCount);
    if (Remaining == 1)
        KeSetEvent(&Adapter->StopEvent, EVENT_INCREMENT, FALSE);
    else if (Remaining == 0)
        KeSetEvent(&Adapter->RemoveEvent, EVENT_INCREMENT, FALSE);
}

AdapterContext *AdapterOf(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject->DeviceType == FILE_DEVICE_SERIAL_PORT)
        return NULL;
    return (AdapterContext *)DeviceObject->DeviceExtension;
}
