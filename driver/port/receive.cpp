#include "../base/protocol.h"
#include "../usb/transport.h"
#include "data_paths.h"

static VOID SetRxIdle(PortContext *Port, ULONG Value)
{
    if (Port->HostBinding.RxIdleFlag)
        *Port->HostBinding.RxIdleFlag = Value;
}

// A read is submitted only while a whole read fits into the ring, so a
// completed read never needs a partial copy.
NTSTATUS StartPortRead(PortContext *Port)
{
    RULE_LOCK_HELD(&Port->Adapter->Lock);
    HostBuffers *Buffers = Port->HostBinding.HostBuffers;
    if (!Buffers || !Buffers->RxBase) {
        SetRxIdle(Port, IDLE_STOPPED);
        return STATUS_UNSUCCESSFUL;
    }
    if (Port->ReadIrp) {
        SetRxIdle(Port, IDLE_RUNNING);
        return STATUS_UNSUCCESSFUL;
    }
    if ((ULONG)(Buffers->RxSize - Buffers->RxCount) < TRANSFER_CHUNK) {
        SetRxIdle(Port, IDLE_STOPPED);
        return STATUS_UNSUCCESSFUL;
    }
    SetRxIdle(Port, IDLE_RUNNING);

    AdapterContext *Adapter = Port->Adapter;
    NTSTATUS Status = StartBulkTransfer(Adapter, Port->DataInPipe, BULK_FLAGS_READ, Port->ReadBuffer, TRANSFER_CHUNK,
                                        Port->ReadUrb, &Port->ReadIrp, PORT_READ_COMPLETE_ROUTINE, Port);
    // Without a read in flight nothing would ever restart reception: tell
    // the host it stopped (no request to be had, or a stop or removal under
    // way), so its next StartRead tries again.
    if (!NT_SUCCESS(Status))
        SetRxIdle(Port, IDLE_STOPPED);
    return Status;
}

ULONG AppendRxData(HostBuffers *Buffers, const UCHAR *Source, ULONG Count)
{
    if ((ULONG)(Buffers->RxSize - Buffers->RxCount) < TRANSFER_CHUNK || Count == 0)
        return 0;
    ULONG Index = Buffers->RxWriteIndex;
    // A host that broke its own ring's bounds loses the data rather than
    // having it written outside its ring.
    if (Index >= Buffers->RxSize || Count > Buffers->RxSize)
        return 0;
    if (Index + Count > Buffers->RxSize) {
        ULONG First = Buffers->RxSize - Index;
        RtlCopyMemory(Buffers->RxBase + Index, Source, First);
        RtlCopyMemory(Buffers->RxBase, Source + First, Count - First);
    } else {
        RtlCopyMemory(Buffers->RxBase + Index, Source, Count);
    }
    Buffers->RxWriteIndex = (Index + Count) % Buffers->RxSize;
    Buffers->RxCount += Count;
    return Count;
}

// The echo of the marker the port's last close sent, whole and alone in one
// transfer, while it is still awaited. Port data that merely looks like a
// marker (any "B..G" frame) is data.
static BOOLEAN IsAwaitedDrainMarker(PortContext *Port, ULONG Received)
{
    if (!Port->DrainMarkerPending || Received != DRAIN_MARKER_LENGTH)
        return FALSE;
    for (ULONG i = 0; i < DRAIN_MARKER_LENGTH; i++) {
        if (Port->ReadBuffer[i] != Port->DrainMarker[i])
            return FALSE;
    }
    return TRUE;
}

NTSTATUS PORT_READ_COMPLETE_API PortReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PortContext *Port = (PortContext *)Context;
    AdapterContext *Adapter = Port->Adapter;
    USBD_STATUS Status = Port->ReadUrb->UrbHeader.Status;
    ULONG Received = Port->ReadUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (Received > TRANSFER_CHUNK)
        Received = TRANSFER_CHUNK;

    LockAcquire(&Adapter->Lock);
    ReleaseCompletedTransfer(Adapter, Irp, &Port->ReadIrp);
    HostBuffers *Buffers = Port->HostBinding.HostBuffers;
    if ((!Buffers || !Buffers->RxBase) && Port->Open) {
        SetRxIdle(Port, IDLE_STOPPED);
    } else if (Status != USBD_STATUS_SUCCESS) {
        // A failed or cancelled read stops reception; an open port's host
        // learns it from the idle word and restarts it with StartRead.
        if (Port->Open)
            SetRxIdle(Port, IDLE_STOPPED);
        KeSetEvent(&Port->ReadDoneEvent, EVENT_INCREMENT, FALSE);
    } else if (Port->Open) {
        // What arrived is delivered even during a stop or removal; only the
        // next read waits for the host's StartRead after the restart. The
        // late echo of a drain that timed out is the driver's own, not data.
        if (IsAwaitedDrainMarker(Port, Received))
            Port->DrainMarkerPending = FALSE;
        else if (AppendRxData(Buffers, Port->ReadBuffer, Received) > 0 && Port->HostBinding.RxNotify)
            Port->HostBinding.RxNotify(Port->HostBinding.RxNotifyContext);
        if (MayReArm(Adapter))
            StartPortRead(Port);
        else
            SetRxIdle(Port, IDLE_STOPPED);
    } else if (IsAwaitedDrainMarker(Port, Received)) {
        // The close drain is over: everything before the echo has been read.
        Port->DrainMarkerPending = FALSE;
        KeSetEvent(&Port->ReadDoneEvent, EVENT_INCREMENT, FALSE);
    } else if (MayReArm(Adapter)) {
        StartPortRead(Port);
    } else {
        // The drain cannot go on (a stop or removal keeps the next read from
        // starting): the close's wait ends now, not on its time-out.
        KeSetEvent(&Port->ReadDoneEvent, EVENT_INCREMENT, FALSE);
    }
    LockRelease(&Adapter->Lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
