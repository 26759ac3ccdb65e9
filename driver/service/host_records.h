// Records exchanged with the host serial driver.
//
// On the 32-bit platform every pointer and value here is 32 bits wide and the
// layouts are exact (the real build checks them). On the 64-bit simulation
// host the pointer fields widen; code uses sizeof/offsetof, never literals.
#pragma once

#include "../platform/platform.h"

// Callbacks run at DISPATCH_LEVEL under the adapter's Lock.
typedef VOID(NTAPI *HostNotifyRoutine)(ULONG Context);
// The 6-byte event record travels by value in an 8-byte argument slot.
typedef VOID(NTAPI *HostEventRoutine)(ULONG Context, ULONGLONG EventRecordSlot);

struct HostBuffers;

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

#if defined(NUVIX_TARGET)
static_assert(sizeof(HostBinding) == 36, "HostBinding is nine 32-bit values");
#endif
static_assert(sizeof(EventRecord) == 6, "EventRecord is 6 bytes");
