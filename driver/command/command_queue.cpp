#include "command_queue.h"

#include "../usb/transport.h"
#include "response_reader.h"

#define COMMAND_WAIT_100NS (-10000000LL)  // 1 s, relative

static NTSTATUS NTAPI CommandWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

static NTSTATUS SendNextCommand(AdapterContext *Adapter);

// Which per-port event a command's caller waits for, if any.
static PKEVENT AnswerEventFor(PortContext *Port, UCHAR Code)
{
    switch (Code) {
    case CMD_OPEN:
    case CMD_CLOSE:
    case CMD_SETUP:
    case CMD_SET_RTS:
    case CMD_SET_DTR:
    case CMD_SET_BREAK:
    case CMD_WAITS_FOR_DONE_9:
        return &Port->CommandDoneEvent;
    case CMD_GET_STATUS:
        return &Port->PortStatusEvent;
    default:
        return NULL;
    }
}

// A command whose answer is awaited needs the response reader. A reader
// whose re-arm failed (no request to be had) or whose read failed is started
// again here, at the next command or completed write, as the sender recovers
// from its own failed starts; without this one failure would stall every
// port's commands until all ports closed.
static VOID EnsureResponseReader(AdapterContext *Adapter)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    if (Adapter->OpenPortCount > 0 && !Adapter->CommandInIrp)
        StartResponseReader(Adapter, &Adapter->Lock);
}

NTSTATUS SendCommand(AdapterContext *Adapter, UCHAR Code, const UCHAR *Payload, ULONG PayloadLength)
{
    RULE_APC_OR_BELOW();
    UCHAR PortIndex = (UCHAR)(Payload[0] - 1);
    if (PortIndex >= PORTS_PER_ADAPTER || PayloadLength + 1 > COMMAND_FRAME_MAX)
        return STATUS_INVALID_PARAMETER;
    PortContext *Port = Adapter->Ports[PortIndex];
    if (!Port)
        return STATUS_INVALID_PARAMETER;

    LockAcquire(&Adapter->Lock);
    // A stop or a removal under way sends nothing more: the command would
    // only wait in the queue until the channel is reset.
    if (Adapter->Removed || Adapter->Stopping) {
        LockRelease(&Adapter->Lock);
        return Adapter->Removed ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY;
    }
    // The node is filled under Lock, so settings that change only under Lock
    // go out whole, as they stand now.
    CommandNode *Node = (CommandNode *)PoolAlloc(sizeof(CommandNode));
    if (!Node) {
        LockRelease(&Adapter->Lock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Node->FrameLength = PayloadLength + 1;
    Node->Frame[0] = Code;
    RtlCopyMemory(&Node->Frame[1], Payload, PayloadLength);
    KeClearEvent(&Port->CommandDoneEvent);
    KeClearEvent(&Port->PortStatusEvent);
    InsertTailList(&Adapter->CommandQueue, &Node->Links);
    EnsureResponseReader(Adapter);
    KickCommandSender(Adapter);
    LockRelease(&Adapter->Lock);

    PKEVENT Answer = AnswerEventFor(Port, Code);
    if (!Answer)
        return STATUS_SUCCESS;
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = COMMAND_WAIT_100NS;
    if (KeWaitForSingleObject(Answer, Executive, KernelMode, FALSE, &Timeout) != STATUS_SUCCESS)
        return STATUS_IO_TIMEOUT;
    return STATUS_SUCCESS;
}

BOOLEAN QueueCommand(AdapterContext *Adapter, UCHAR Code, const UCHAR *Payload, ULONG PayloadLength)
{
    return NT_SUCCESS(SendCommand(Adapter, Code, Payload, PayloadLength));
}

VOID KickCommandSender(AdapterContext *Adapter)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    if (Adapter->CommandBusy || IsListEmpty(&Adapter->CommandQueue))
        return;
    Adapter->CommandBusy = TRUE;
    SendNextCommand(Adapter);
}

// When no request or descriptor list can be had (or a stop or removal keeps
// transfers from starting), the node goes back to the head of the queue and
// the channel to idle: nothing is lost, order is kept, and the next
// QueueCommand or completed write tries again.
static NTSTATUS SendNextCommand(AdapterContext *Adapter)
{
    RULE_LOCK_HELD(&Adapter->Lock);
    CommandNode *Node = CONTAINING_RECORD(RemoveHeadList(&Adapter->CommandQueue), CommandNode, Links);
    Adapter->CurrentCommand = Node;

    NTSTATUS Status =
        StartBulkTransfer(Adapter, Adapter->CommandOutPipe, BULK_FLAGS_COMMAND_WRITE, Node->Frame, Node->FrameLength,
                          Adapter->CommandOutUrb, &Adapter->CommandOutIrp, CommandWriteComplete, Adapter);
    if (!NT_SUCCESS(Status) && !Adapter->CommandOutIrp) {
        InsertHeadList(&Adapter->CommandQueue, &Node->Links);
        Adapter->CurrentCommand = NULL;
        Adapter->CommandBusy = FALSE;
    }
    return Status;
}

static NTSTATUS NTAPI CommandWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    AdapterContext *Adapter = (AdapterContext *)Context;
    LockAcquire(&Adapter->Lock);
    ReleaseCompletedTransfer(Adapter, Irp, &Adapter->CommandOutIrp);
    PoolFree(&Adapter->CurrentCommand);
    // After a failed or cancelled write (the last close cancels the one in
    // flight) the channel goes idle without sending on by itself, so a pipe
    // that keeps failing is not hammered; the next command sends what is
    // queued, in order, then itself. Stopping it for good would leave every
    // later open waiting for answers to commands never written. After
    // removal nothing is sent again.
    if (!Adapter->Removed) {
        Adapter->CommandBusy = FALSE;
        if (Adapter->CommandOutUrb->UrbHeader.Status == USBD_STATUS_SUCCESS && MayReArm(Adapter)) {
            EnsureResponseReader(Adapter);
            KickCommandSender(Adapter);
        }
    }
    LockRelease(&Adapter->Lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID ResetCommandChannel(AdapterContext *Adapter)
{
    LockAcquire(&Adapter->Lock);
    if (Adapter->CommandQueue.Flink) {
        while (!IsListEmpty(&Adapter->CommandQueue)) {
            CommandNode *Node = CONTAINING_RECORD(RemoveHeadList(&Adapter->CommandQueue), CommandNode, Links);
            PoolFree(&Node);
        }
    }
    InitializeListHead(&Adapter->CommandQueue);
    Adapter->CommandBusy = FALSE;
    Adapter->CommandOutIrp = NULL;
    LockRelease(&Adapter->Lock);
}
