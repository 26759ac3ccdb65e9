// The two records that carry all run-time state: one AdapterContext per
// physical adapter (the extension of its device object) and one PortContext
// per serial port (the extension of the port's device object), plus the
// driver-wide adapter table and error counters.
#pragma once

#include "../platform/platform.h"
#include "../platform/host_serial.h"
#include "protocol.h"

#define MAX_ADAPTERS 32
#define PORTS_PER_ADAPTER 4
#define PORT_SETTINGS_SIZE 13
#define STATUS_BLOCK_SIZE 19
#define FIRMWARE_INFO_SIZE 35
#define TRANSFER_CHUNK 64

struct PortContext;
struct CommandNode;

// The adapter's spin lock, with the interrupt level its acquire saved: only
// one level is kept, so the lock is never taken twice on one processor.
// Transfers started while the lock is held wait in DeferredSends and are
// passed down by LockRelease once the lock is free: a bus driver may complete
// a request inside IofCallDriver, and the completion routine takes this lock.
struct LockRecord {
    KSPIN_LOCK SpinLock;
    KIRQL SavedIrql;
    LIST_ENTRY DeferredSends;
};

struct AdapterContext {
    PCHAR SerialNumber;
    UCHAR StatusBlock[STATUS_BLOCK_SIZE];
    KEVENT StatusEvent;
    BOOLEAN FirmwareRunning;
    BOOLEAN Configured;
    BOOLEAN PortsCreated;
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    // Set when a stop begins, cleared when the restart has configured the
    // adapter again: from then on no bulk transfer starts, so a completion
    // cannot re-arm behind the stop's cancels. Guarded by Lock.
    BOOLEAN Stopping;
    ULONG SlotIndex;
    ULONG EnumNode;
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT LowerDevice;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PUSBD_PIPE_INFORMATION CommandInPipe;
    PUSBD_PIPE_INFORMATION CommandOutPipe;
    ULONG MaximumTransferSize;
    PortContext *Ports[PORTS_PER_ADAPTER];
    LIST_ENTRY CommandQueue;
    CommandNode *CurrentCommand;
    PURB CommandOutUrb;
    PIRP CommandOutIrp;
    BOOLEAN CommandBusy;
    PUCHAR CommandInBuffer;
    PURB CommandInUrb;
    PIRP CommandInIrp;
    ULONG PortCount;
    // Changed only with OpenCloseMutex held (and under Lock, for the
    // completion routines that read it). The mutex also makes a port's
    // open/closed decision one step with the count: OpenPort and ClosePort
    // hold it for all of their work. Initialised once, at adapter creation.
    ULONG OpenPortCount;
    FAST_MUTEX OpenCloseMutex;
    LockRecord Lock;
    LONG IoRefCount;
    KEVENT RemoveEvent;
    KEVENT StopEvent;
    UCHAR FirmwareInfo[FIRMWARE_INFO_SIZE];
    KEVENT FirmwareInfoEvent;
    BOOLEAN ControlOpenAllowed;

    // Cancelling without holding Lock across IoCancelIrp (see CancelAndWait):
    // while any canceller is inside IoCancelIrp, completion routines park the
    // requests they finished here instead of freeing them, and the last
    // canceller to leave frees them. Both fields are guarded by Lock.
    ULONG CancelsInProgress;
    LIST_ENTRY ParkedRequests;

    // Bulk transfers in flight on this adapter, and an event that is set
    // while there are none: buffers and URBs are freed or reused only once
    // nothing uses them. Changed under Lock.
    LONG TransfersInFlight;
    KEVENT TransfersIdleEvent;
};

struct PortContext {
    struct HostBinding HostBinding;  // copied whole by the bind request
    BOOLEAN BindPending;
    AdapterContext *Adapter;
    BOOLEAN Deleted;
    PDEVICE_OBJECT PortDevice;
    PUSBD_PIPE_INFORMATION DataInPipe;
    PUSBD_PIPE_INFORMATION DataOutPipe;
    BOOLEAN Open;
    UCHAR PortNumber;
    UCHAR PortSettings[PORT_SETTINGS_SIZE];
    EventRecord LastEvent;
    UCHAR ModemStatus;
    ULONG HandFlow[4];  // ControlHandShake, FlowReplace, XonLimit, XoffLimit
    PUCHAR ReadBuffer;
    PURB ReadUrb;
    PIRP ReadIrp;
    KEVENT ReadDoneEvent;
    PUCHAR WriteBuffer;
    PURB WriteUrb;
    PIRP WriteIrp;
    KEVENT WriteDoneEvent;
    KEVENT CommandDoneEvent;
    KEVENT PortStatusEvent;
    UCHAR Chars[6];  // EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar
    UCHAR EscapeChar;
    // The marker the last close asked the firmware to echo, and whether its
    // echo has not come back yet: a drain that ended on its time-out leaves
    // the echo to arrive later, and it is then not data for the next
    // session. Guarded by Lock.
    UCHAR DrainMarker[DRAIN_MARKER_LENGTH];
    BOOLEAN DrainMarkerPending;
};

// Driver-wide error counters, written to the registry at every removal.
#define ERROR_STAT_BAD_RESPONSE_PORT 0
#define ERROR_STAT_DOWNLOAD_FAILED 1  // firmware download passes that failed
#define ERROR_STAT_SERIAL_TOO_LONG 2
extern ULONG ErrorStats[3];

VOID AcquireIoRef(AdapterContext *Adapter);
VOID ReleaseIoRef(AdapterContext *Adapter);

// The adapter a device object of this driver belongs to, or null for a port
// device object (which shares the dispatch routines but is no adapter).
AdapterContext *AdapterOf(PDEVICE_OBJECT DeviceObject);
