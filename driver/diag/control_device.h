// The adapter's own device object doubles as a diagnostic control device,
// reached through a fixed DOS link: it reads the firmware's information
// block and loads the alternate firmware image.
#pragma once

#include "../base/context.h"

#define IOCTL_DIAG_GET_INFO CTL_CODE(0x8000u, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DIAG_LOAD_ALTERNATE CTL_CODE(0x8000u, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
