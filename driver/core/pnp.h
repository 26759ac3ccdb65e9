// Plug and Play, power and system-control requests for an adapter: passed
// on to the USB stack, with the driver's own work where the minor function
// calls for it.
#pragma once

#include "context.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartDeviceComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT AdapterDevice);

// The two ways of handing a request to LowerDevice.
NTSTATUS PassDownCopy(AdapterContext *Adapter, PIRP Irp);
NTSTATUS PassDownSkip(AdapterContext *Adapter, PIRP Irp);

// Completes a request that reached a port device object: those belong to no
// device stack and are not the adapter's to act on.
NTSTATUS RefusePortRequest(PIRP Irp);
