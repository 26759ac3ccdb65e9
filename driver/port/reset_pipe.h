// Resetting a port's bulk OUT pipe, waiting for the bus driver to finish.
#pragma once

#include "../base/context.h"

NTSTATUS ResetPortOutPipe(PortContext *Port);
NTSTATUS NTAPI ResetPipeComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
