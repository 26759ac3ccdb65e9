// The service routines behind the table the driver exports to the host.
#pragma once

#include "../platform/host_serial.h"

BOOLEAN HOSTAPI StartRead(HostPortHandle Port);
BOOLEAN HOSTAPI StartWrite(HostPortHandle Port);
BOOLEAN HOSTAPI OpenPort(HostPortHandle Port);
BOOLEAN HOSTAPI ClosePort(HostPortHandle Port);
BOOLEAN HOSTAPI PortControl(HostPortHandle Port, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                            PVOID OutputBuffer, ULONG OutputLength);
