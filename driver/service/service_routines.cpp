// The four service routines that take a port in and out of use and start its
// data paths. Each begins the same way: find the port, judge it valid, take
// an outstanding-work reference, and give it back on every way out.
#include "../command/command_queue.h"
#include "../command/response_reader.h"
#include "../port/data_paths.h"
#include "../port/reset_pipe.h"
#include "../usb/transport.h"
#include "port_lookup.h"
#include "service_table.h"

#define DRAIN_WAIT_100NS (-5000000LL)  // 0.5 s, relative

// Counts the drain markers made since the driver loaded.
static LONG DrainMarkersMade;

// A marker no earlier close of any port used, under Lock: 'B', fourteen
// bytes mixed from a driver-wide count and the port's place, 'G'. Port data
// is whatever the far end sends, so the marker has to be one it cannot be
// expected to send; the mix (a 32-bit finaliser, no division, as the real
// image has no run-time library) spreads each count over every byte.
static VOID NewDrainMarker(PortContext *Port)
{
    RULE_LOCK_HELD(&Port->Adapter->Lock);
    ULONG State = (ULONG)InterlockedIncrement(&DrainMarkersMade) * 0x9E3779B9u ^
                  (Port->Adapter->SlotIndex << 8 | Port->PortNumber);
    Port->DrainMarker[0] = DRAIN_MARKER_FIRST;
    for (ULONG i = 1; i + 1 < DRAIN_MARKER_LENGTH; i++) {
        State += 0x7F4A7C15u;
        ULONG Mixed = State;
        Mixed = (Mixed ^ (Mixed >> 16)) * 0x85EBCA6Bu;
        Mixed = (Mixed ^ (Mixed >> 13)) * 0xC2B2AE35u;
        Port->DrainMarker[i] = (UCHAR)(Mixed ^ (Mixed >> 16));
    }
    Port->DrainMarker[DRAIN_MARKER_LENGTH - 1] = DRAIN_MARKER_LAST;
    Port->DrainMarkerPending = TRUE;
}

static BOOLEAN StartTransfer(HostPortHandle Handle, BOOLEAN Write)
{
    RULE_PASSIVE();
    PortContext *Port = EnterPort(Handle, FALSE);
    if (!Port)
        return FALSE;
    AdapterContext *Adapter = Port->Adapter;
    LockAcquire(&Adapter->Lock);
    BOOLEAN Bound = !Port->BindPending;
    BOOLEAN Writing = Port->WriteIrp != NULL;
    LockRelease(&Adapter->Lock);
    if (Bound) {
        if (Write && Writing)
            AbandonPortWrite(Port);
        LockAcquire(&Adapter->Lock);
        if (Write)
            StartPortWrite(Port);
        else
            StartPortRead(Port);
        LockRelease(&Adapter->Lock);
    }
    ReleaseIoRef(Adapter);
    return Bound;
}

BOOLEAN HOSTAPI StartRead(HostPortHandle Port) { return StartTransfer(Port, FALSE); }

BOOLEAN HOSTAPI StartWrite(HostPortHandle Port) { return StartTransfer(Port, TRUE); }

// The host may call OpenPort and ClosePort for one port from two threads at
// once. Each holds OpenCloseMutex for all of its work and judges the port
// again once it has it, so that the open/closed decision and the change of
// OpenPortCount are one step: of two opens (or two closes) of one port only
// the first succeeds, and the count never counts a port twice. The mutex and
// the reference are taken and given back here, in one place; the work
// itself returns by whichever way it ends.
static BOOLEAN UnderOpenCloseMutex(HostPortHandle Handle, BOOLEAN Opening, BOOLEAN (*Work)(PortContext *Port))
{
    PortContext *Port = EnterPort(Handle, Opening);
    if (!Port)
        return FALSE;
    AdapterContext *Adapter = Port->Adapter;
    ExAcquireFastMutex(&Adapter->OpenCloseMutex);
    BOOLEAN Done = Work(Port);
    ExReleaseFastMutex(&Adapter->OpenCloseMutex);
    ReleaseIoRef(Adapter);
    return Done;
}

static BOOLEAN OpenHeldPort(PortContext *Port)
{
    AdapterContext *Adapter = Port->Adapter;
    RULE_MUTEX_HELD(&Adapter->OpenCloseMutex);
    // An open port belongs to whoever opened it; opening it again would
    // count it twice and forget the transfers in flight.
    if (!IsPortValid(Port, TRUE) || IsPortValid(Port, FALSE))
        return FALSE;
    // The transfer slots are left as they are: a slot holds a request only
    // while that request is in flight (a cancel the bus has not finished
    // yet), and forgetting it would let a second transfer share its URB.
    // The flags and the count that completion routines read change under
    // Lock, so those routines see them whole.
    LockAcquire(&Adapter->Lock);
    Port->BindPending = TRUE;
    if (++Adapter->OpenPortCount == 1)
        StartResponseReader(Adapter, &Adapter->Lock);
    LockRelease(&Adapter->Lock);

    // A failed open gives back its count, so that a port that never opened
    // does not keep the adapter counted as in use (query-remove, the
    // reader's re-arm).
    BOOLEAN Opened = NT_SUCCESS(ResetPortOutPipe(Port)) && QueueCommand(Adapter, CMD_OPEN, &Port->PortNumber, 1);
    LockAcquire(&Adapter->Lock);
    if (Opened)
        Port->Open = TRUE;
    else
        Adapter->OpenPortCount--;
    LockRelease(&Adapter->Lock);
    return Opened;
}

// Drain: the firmware echoes a marker behind whatever it still had for the
// port; the read path discards data until the marker comes back, or ends the
// wait at once when a stop or removal keeps the next read from starting.
static VOID DrainClosedPort(PortContext *Port)
{
    AdapterContext *Adapter = Port->Adapter;
    RULE_APC_OR_BELOW();
    LockAcquire(&Adapter->Lock);
    BOOLEAN Reading = Port->ReadIrp != NULL;
    LockRelease(&Adapter->Lock);
    if (!Reading)
        return;
    KeClearEvent(&Port->ReadDoneEvent);
    UCHAR Echo[2 + DRAIN_MARKER_LENGTH];
    Echo[0] = Port->PortNumber;
    Echo[1] = DRAIN_MARKER_LENGTH;
    LockAcquire(&Adapter->Lock);
    NewDrainMarker(Port);
    RtlCopyMemory(&Echo[2], Port->DrainMarker, DRAIN_MARKER_LENGTH);
    LockRelease(&Adapter->Lock);
    QueueCommand(Adapter, CMD_ECHO, Echo, Echo[1] + 2);
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = DRAIN_WAIT_100NS;
    if (KeWaitForSingleObject(&Port->ReadDoneEvent, Executive, KernelMode, FALSE, &Timeout) == STATUS_TIMEOUT)
        CancelAndWait(Adapter, &Port->ReadIrp, &Port->ReadDoneEvent);
}

// Another close of this port may have run while this one waited for the
// mutex, or a restart may have closed every port meanwhile.
static BOOLEAN CloseHeldPort(PortContext *Port)
{
    AdapterContext *Adapter = Port->Adapter;
    RULE_MUTEX_HELD(&Adapter->OpenCloseMutex);
    LockAcquire(&Adapter->Lock);
    BOOLEAN WasOpen = Port->Open;
    Port->Open = FALSE;
    LockRelease(&Adapter->Lock);
    if (!WasOpen)
        return FALSE;
    CancelAndWait(Adapter, &Port->WriteIrp, &Port->WriteDoneEvent);
    LockAcquire(&Adapter->Lock);
    Adapter->OpenPortCount--;
    LockRelease(&Adapter->Lock);
    QueueCommand(Adapter, CMD_CLOSE, &Port->PortNumber, 1);
    DrainClosedPort(Port);

    LockAcquire(&Adapter->Lock);
    BOOLEAN LastClosed = Adapter->OpenPortCount == 0;
    LockRelease(&Adapter->Lock);
    if (LastClosed) {
        CancelAndWait(Adapter, &Adapter->CommandInIrp, NULL);
        CancelAndWait(Adapter, &Adapter->CommandOutIrp, NULL);
    }
    return TRUE;
}

BOOLEAN HOSTAPI OpenPort(HostPortHandle Handle)
{
    RULE_PASSIVE();
    return UnderOpenCloseMutex(Handle, TRUE, OpenHeldPort);
}

BOOLEAN HOSTAPI ClosePort(HostPortHandle Handle)
{
    RULE_PASSIVE();
    return UnderOpenCloseMutex(Handle, FALSE, CloseHeldPort);
}
