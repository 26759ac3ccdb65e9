// The host serial driver's side of the platform: the records it exchanges
// with the driver, and the service table the driver exports to it.
//
// On the 32-bit platform every pointer and value here is 32 bits wide and the
// layouts are exact (the real build checks them). On the 64-bit simulation
// host the pointer fields widen; code uses sizeof/offsetof, never literals.
#pragma once

#include "platform.h"

// The host's records are 32-bit stdcall on the platform; callbacks run at
// DISPATCH_LEVEL under the adapter's Lock and must not call a service routine.
#if defined(NUVIX_TARGET)
#define HOSTAPI __stdcall
#elif defined(NUVIX_HOST32)
#define HOSTAPI __attribute__((stdcall, force_align_arg_pointer))
#else
#define HOSTAPI
#endif

typedef VOID(HOSTAPI *HostNotifyRoutine)(ULONG Context);
// The 6-byte event record travels by value in an 8-byte argument slot.
typedef VOID(HOSTAPI *HostEventRoutine)(ULONG Context, ULONGLONG EventRecordSlot);

// The host's ring record. The driver uses only the named fields; the rest
// (and the host's own ring positions) are the host's business.
struct HostBuffers {
    UCHAR HostPrivate[60];
    PUCHAR RxBase;
    ULONG RxSize;
    PUCHAR TxBase;
    ULONG TxSize;
    ULONG RxCount;
    ULONG HostPrivate80;
    ULONG RxWriteIndex;
    ULONG TxCount;
    ULONG TxReadIndex;
};

// Handed over by the bind request and copied whole into the port context.
struct HostBinding {
    struct HostBuffers *HostBuffers;
    HostNotifyRoutine RxNotify;
    ULONG RxNotifyContext;
    ULONG *RxIdleFlag;
    HostNotifyRoutine TxNotify;
    ULONG TxNotifyContext;
    ULONG *TxIdleFlag;
    HostEventRoutine EventNotify;
    ULONG EventNotifyContext;
};

// Port number, flags, value slots 0 to 3.
struct EventRecord {
    UCHAR PortNumber;
    UCHAR Flags;
    UCHAR Values[4];
};

// The host's port record: the driver reads only the UTF-16 name that starts
// at this byte offset.
#define HOST_PORT_NAME_OFFSET 32
typedef PVOID HostPortHandle;

// Both 32-bit builds: the platform's headers and the host's agree.
#if defined(NUVIX_TARGET) || defined(NUVIX_HOST32)
static_assert(sizeof(HostBuffers) == 96, "HostBuffers");
static_assert(alignof(HostBuffers) == 4, "HostBuffers");
static_assert(sizeof(HostBinding) == 36, "HostBinding is nine 32-bit values");
static_assert(offsetof(HostBinding, HostBuffers) == 0, "HostBuffers");
static_assert(offsetof(HostBinding, RxNotify) == 4, "RxNotify");
static_assert(offsetof(HostBinding, RxNotifyContext) == 8, "RxNotifyContext");
static_assert(offsetof(HostBinding, RxIdleFlag) == 12, "RxIdleFlag");
static_assert(offsetof(HostBinding, TxNotify) == 16, "TxNotify");
static_assert(offsetof(HostBinding, TxNotifyContext) == 20, "TxNotifyContext");
static_assert(offsetof(HostBinding, TxIdleFlag) == 24, "TxIdleFlag");
static_assert(offsetof(HostBinding, EventNotify) == 28, "EventNotify");
static_assert(offsetof(HostBinding, EventNotifyContext) == 32, "EventNotifyContext");
static_assert(offsetof(HostBuffers, RxBase) == 60, "RxBase");
static_assert(offsetof(HostBuffers, RxSize) == 64, "RxSize");
static_assert(offsetof(HostBuffers, TxBase) == 68, "TxBase");
static_assert(offsetof(HostBuffers, TxSize) == 72, "TxSize");
static_assert(offsetof(HostBuffers, RxCount) == 76, "RxCount");
static_assert(offsetof(HostBuffers, RxWriteIndex) == 84, "RxWriteIndex");
static_assert(offsetof(HostBuffers, TxCount) == 88, "TxCount");
static_assert(offsetof(HostBuffers, TxReadIndex) == 92, "TxReadIndex");
#endif
static_assert(sizeof(EventRecord) == 6, "EventRecord is 6 bytes");

// --- The driver's one export: the table of service routines the host calls.

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

#if defined(NUVIX_TARGET) || defined(NUVIX_HOST32)
static_assert(sizeof(ServiceTableRecord) == 24, "six 32-bit slots");
#endif

extern "C" const ServiceTableRecord *HOSTAPI RbGetServiceTable(VOID);

// The driver's own bind request: function 100 of the serial device type.
#define IOCTL_PORT_BIND CTL_CODE(FILE_DEVICE_SERIAL_PORT, 100, METHOD_BUFFERED, FILE_ANY_ACCESS)
