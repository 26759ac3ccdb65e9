// Plug and Play, power and system-control requests for an adapter: passed
// on to the USB stack, with the driver's own work where the minor function
// calls for it.
#pragma once

#include "../base/context.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
