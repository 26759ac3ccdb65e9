// The driver's one export: the table of service routines the host calls.
#pragma once

#include "host_records.h"

typedef BOOLEAN(HOSTAPI *PortRoutine)(HostPortHandle Port);
typedef BOOLEAN(HOSTAPI *PortControlRoutine)(HostPortHandle Port, ULONG IoControlCode, PVOID InputBuffer,
                                             ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength);

// Six pointer-sized slots; the last is null and ends the table.
struct ServiceTableRecord {
    PortRoutine StartRead;
    PortRoutine StartWrite;
    PortRoutine OpenPort;
    PortRoutine ClosePort;
    PortControlRoutine PortControl;
    PVOID End;
};

extern "C" const ServiceTableRecord *HOSTAPI RbGetServiceTable(VOID);

BOOLEAN HOSTAPI StartRead(HostPortHandle Port);
BOOLEAN HOSTAPI StartWrite(HostPortHandle Port);
BOOLEAN HOSTAPI OpenPort(HostPortHandle Port);
BOOLEAN HOSTAPI ClosePort(HostPortHandle Port);
BOOLEAN HOSTAPI PortControl(HostPortHandle Port, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                            PVOID OutputBuffer, ULONG OutputLength);

// The driver's own bind request: function 100 of the serial device type.
#define IOCTL_PORT_BIND CTL_CODE(FILE_DEVICE_SERIAL_PORT, 100, METHOD_BUFFERED, FILE_ANY_ACCESS)

#if defined(NUVIX_TARGET) || defined(NUVIX_HOST32)
static_assert(sizeof(ServiceTableRecord) == 24, "six 32-bit slots");
#endif
