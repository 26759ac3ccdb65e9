#include "response_reader.h"

#include "../usb/transport.h"

// With Lock held: acts on the frame of Received bytes in CommandInBuffer.
static VOID DispatchResponse(AdapterContext *Adapter, ULONG Received);

static NTSTATUS NTAPI ResponseReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Callers do not know whether a read is in flight (a port open and the
// diagnostic device both start the reader); a second read would reuse the
// URB and buffer of the first, so it is refused here, under Lock.
NTSTATUS StartResponseReader(AdapterContext *Adapter, LockRecord *HeldLock)
{
    if (HeldLock)
        RULE_LOCK_HELD(HeldLock);
    if (!HeldLock)
        LockAcquire(&Adapter->Lock);
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    if (!Adapter->CommandInIrp) {
        Status = StartBulkTransfer(Adapter, Adapter->CommandInPipe, BULK_FLAGS_READ, Adapter->CommandInBuffer,
                                   RESPONSE_BUFFER_SIZE, Adapter->CommandInUrb, &Adapter->CommandInIrp,
                                   ResponseReadComplete, Adapter);
    }
    if (!HeldLock)
        LockRelease(&Adapter->Lock);
    return Status;
}

static NTSTATUS NTAPI ResponseReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    AdapterContext *Adapter = (AdapterContext *)Context;
    LockAcquire(&Adapter->Lock);
    ReleaseCompletedTransfer(Adapter, Irp, &Adapter->CommandInIrp);
    if (!Adapter->Removed && Adapter->CommandInUrb->UrbHeader.Status == USBD_STATUS_SUCCESS) {
        ULONG Received = Adapter->CommandInUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        DispatchResponse(Adapter, Received);
        // With no port open the reader runs until the answer to the last
        // close (or the diagnostic device's last frame) has been read.
        if (MayReArm(Adapter) &&
            (Adapter->OpenPortCount > 0 || Received == 0 || Adapter->CommandInBuffer[0] != RSP_DONE))
            StartResponseReader(Adapter, &Adapter->Lock);
    }
    LockRelease(&Adapter->Lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The port a status or event frame names, counting frames that name none.
static PortContext *PortNamedBy(AdapterContext *Adapter, UCHAR PortNumber)
{
    if (PortNumber == 0 || PortNumber > Adapter->PortCount || PortNumber > PORTS_PER_ADAPTER) {
        ErrorStats[ERROR_STAT_BAD_RESPONSE_PORT]++;
        return NULL;
    }
    return Adapter->Ports[PortNumber - 1];
}

static VOID NotifyHostEvent(PortContext *Port)
{
    if (!Port->HostBinding.EventNotify)
        return;
    ULONGLONG Slot = 0;
    RtlCopyMemory(&Slot, &Port->LastEvent, sizeof(EventRecord));
    Port->HostBinding.EventNotify(Port->HostBinding.EventNotifyContext, Slot);
}

static VOID DispatchPortStatus(AdapterContext *Adapter, const UCHAR *Frame)
{
    PortContext *Port = PortNamedBy(Adapter, Frame[1]);
    if (!Port || !Port->Open)
        return;
    if (!Port->BindPending) {
        RtlCopyMemory(&Port->LastEvent, &Frame[1], sizeof(EventRecord));
        NotifyHostEvent(Port);
    }
    KeSetEvent(&Port->PortStatusEvent, EVENT_INCREMENT, FALSE);
}

// Only the lowest of flag bits 0 to 3 selects the slot the value goes to;
// slot 0 is the modem status.
static VOID DispatchPortEvent(AdapterContext *Adapter, const UCHAR *Frame)
{
    PortContext *Port = PortNamedBy(Adapter, Frame[1]);
    if (!Port || !Port->Open || Port->BindPending)
        return;
    UCHAR Flags = Frame[2];
    UCHAR Value = Frame[3];
    for (int Slot = 0; Slot < 4; Slot++) {
        if (Flags & (1 << Slot)) {
            Port->LastEvent.Values[Slot] = Value;
            if (Slot == 0)
                Port->ModemStatus = Value;
            break;
        }
    }
    Port->LastEvent.PortNumber = Frame[1];
    Port->LastEvent.Flags = Flags;
    NotifyHostEvent(Port);
}

// The bytes a frame of each kind must have; a frame cut shorter is dropped,
// since the rest of the buffer still holds an earlier frame's bytes.
static ULONG ResponseLength(UCHAR Code)
{
    switch (Code) {
    case RSP_DONE:
        return 3;
    case RSP_INFO:
        return 1 + FIRMWARE_INFO_SIZE;
    case RSP_ADAPTER_STATUS:
        return 1 + STATUS_BLOCK_SIZE;
    case RSP_STATUS:
        return 1 + sizeof(EventRecord);
    case RSP_EVENT:
        return 4;
    default:
        return 1;
    }
}

static VOID DispatchResponse(AdapterContext *Adapter, ULONG Received)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    const UCHAR *Frame = Adapter->CommandInBuffer;
    if (Received == 0 || Received > RESPONSE_BUFFER_SIZE || Received < ResponseLength(Frame[0]))
        return;
    switch (Frame[0]) {
    case RSP_DONE: {
        UCHAR PortIndex = (UCHAR)(Frame[2] - 1);
        if (PortIndex < PORTS_PER_ADAPTER && Adapter->Ports[PortIndex])
            KeSetEvent(&Adapter->Ports[PortIndex]->CommandDoneEvent, EVENT_INCREMENT, FALSE);
        break;
    }
    case RSP_INFO:
        RtlCopyMemory(Adapter->FirmwareInfo, &Frame[1], FIRMWARE_INFO_SIZE);
        KeSetEvent(&Adapter->FirmwareInfoEvent, EVENT_INCREMENT, FALSE);
        break;
    case RSP_ADAPTER_STATUS:
        RtlCopyMemory(Adapter->StatusBlock, &Frame[1], STATUS_BLOCK_SIZE);
        KeSetEvent(&Adapter->StatusEvent, EVENT_INCREMENT, FALSE);
        break;
    case RSP_STATUS:
        DispatchPortStatus(Adapter, Frame);
        break;
    case RSP_EVENT:
        DispatchPortEvent(Adapter, Frame);
        break;
    default:
        break;
    }
}
