#include "../usb/transport.h"
#include "data_paths.h"

static NTSTATUS NTAPI PortWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

static VOID SetTxIdle(PortContext *Port, ULONG Value)
{
    if (Port->HostBinding.TxIdleFlag)
        *Port->HostBinding.TxIdleFlag = Value;
}

ULONG CopyTxData(HostBuffers *Buffers, PUCHAR Destination, ULONG Count)
{
    if (Count == 0)
        return 0;
    ULONG Index = Buffers->TxReadIndex;
    if (Index + Count > Buffers->TxSize) {
        ULONG First = Buffers->TxSize - Index;
        RtlCopyMemory(Destination, Buffers->TxBase + Index, First);
        RtlCopyMemory(Destination + First, Buffers->TxBase, Count - First);
    } else {
        RtlCopyMemory(Destination, Buffers->TxBase + Index, Count);
    }
    return Count;
}

// The chunk is copied, not taken: only a completed write removes bytes from
// the ring, exactly as many as the bus reports sent.
NTSTATUS StartPortWrite(PortContext *Port)
{
    RULE_LOCK_HELD(&Port->Adapter->Lock);
    HostBuffers *Buffers = Port->HostBinding.HostBuffers;
    if (!Buffers || !Buffers->TxBase) {
        SetTxIdle(Port, IDLE_STOPPED);
        return STATUS_UNSUCCESSFUL;
    }
    if (Port->WriteIrp) {
        SetTxIdle(Port, IDLE_RUNNING);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG Count = Buffers->TxCount;
    if (Count == 0) {
        SetTxIdle(Port, IDLE_STOPPED);
        return STATUS_UNSUCCESSFUL;
    }
    if (Count > TRANSFER_CHUNK)
        Count = TRANSFER_CHUNK;
    // A host that breaks its own ring's bounds gets nothing sent rather than
    // a copy from outside its ring.
    if (Buffers->TxReadIndex >= Buffers->TxSize || Count > Buffers->TxSize) {
        SetTxIdle(Port, IDLE_STOPPED);
        return STATUS_UNSUCCESSFUL;
    }
    CopyTxData(Buffers, Port->WriteBuffer, Count);
    SetTxIdle(Port, IDLE_RUNNING);

    AdapterContext *Adapter = Port->Adapter;
    NTSTATUS Status = StartBulkTransfer(Adapter, Port->DataOutPipe, BULK_FLAGS_PORT_WRITE, Port->WriteBuffer, Count,
                                        Port->WriteUrb, &Port->WriteIrp, PortWriteComplete, Port);
    // Without a write in flight nothing would ever restart transmission:
    // tell the host it stopped (no request to be had, or a stop or removal
    // under way), so its next StartWrite tries again.
    if (!NT_SUCCESS(Status))
        SetTxIdle(Port, IDLE_STOPPED);
    return Status;
}

static NTSTATUS NTAPI PortWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PortContext *Port = (PortContext *)Context;
    AdapterContext *Adapter = Port->Adapter;
    USBD_STATUS Status = Port->WriteUrb->UrbHeader.Status;
    ULONG Sent = Port->WriteUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;

    LockAcquire(&Adapter->Lock);
    KeSetEvent(&Port->WriteDoneEvent, EVENT_INCREMENT, FALSE);
    ReleaseCompletedTransfer(Adapter, Irp, &Port->WriteIrp);
    HostBuffers *Buffers = Port->HostBinding.HostBuffers;
    if (Port->Open && !Adapter->Removed) {
        if (!Buffers || !Buffers->TxBase || Status != USBD_STATUS_SUCCESS) {
            // A failed or cancelled write stops transmission; its bytes stay
            // in the ring, and the host restarts it with StartWrite.
            SetTxIdle(Port, IDLE_STOPPED);
        } else {
            if (Sent > 0 && Buffers->TxCount >= Sent) {
                Buffers->TxReadIndex = (Buffers->TxReadIndex + Sent) % Buffers->TxSize;
                Buffers->TxCount -= Sent;
                if (Port->HostBinding.TxNotify)
                    Port->HostBinding.TxNotify(Port->HostBinding.TxNotifyContext);
            }
            // During a stop the bytes sent leave the ring, the rest wait
            // for the host's StartWrite after the restart.
            if (MayReArm(Adapter))
                StartPortWrite(Port);
            else
                SetTxIdle(Port, IDLE_STOPPED);
        }
    }
    LockRelease(&Adapter->Lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
