#include "command_queue.h"

#include "../usb/transport.h"

#define COMMAND_WAIT_100NS (-10000000LL)  // 1 s, relative

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

BOOLEAN QueueCommand(AdapterContext *Adapter, UCHAR Code, const UCHAR *Payload, ULONG PayloadLength)
{
    UCHAR PortIndex = (UCHAR)(Payload[0] - 1);
    if (PortIndex >= PORTS_PER_ADAPTER || PayloadLength + 1 > COMMAND_FRAME_MAX)
        return FALSE;
    PortContext *Port = Adapter->Ports[PortIndex];
    if (!Port)
        return FALSE;

    LockAcquire(&Adapter->Lock);
    // The node is filled under Lock, so settings that change only under Lock
    // go out whole, as they stand now.
    CommandNode *Node = (CommandNode *)PoolAlloc(sizeof(CommandNode));
    if (!Node) {
        LockRelease(&Adapter->Lock);
        return FALSE;
    }
    Node->FrameLength = PayloadLength + 1;
    Node->Frame[0] = Code;
    RtlCopyMemory(&Node->Frame[1], Payload, PayloadLength);
    KeClearEvent(&Port->CommandDoneEvent);
    KeClearEvent(&Port->PortStatusEvent);
    InsertTailList(&Adapter->CommandQueue, &Node->Links);
    KickCommandSender(Adapter);
    LockRelease(&Adapter->Lock);

    PKEVENT Answer = AnswerEventFor(Port, Code);
    if (!Answer)
        return TRUE;
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = COMMAND_WAIT_100NS;
    return KeWaitForSingleObject(Answer, Executive, KernelMode, FALSE, &Timeout) == STATUS_SUCCESS;
}

VOID KickCommandSender(AdapterContext *Adapter)
{
    if (Adapter->CommandBusy || IsListEmpty(&Adapter->CommandQueue))
        return;
    Adapter->CommandBusy = TRUE;
    SendNextCommand(Adapter);
}

// When no request or descriptor list can be had, the node goes back to the
// head of the queue and the channel to idle: nothing is lost, order is kept,
// and the next QueueCommand or completed write tries again.
NTSTATUS SendNextCommand(AdapterContext *Adapter)
{
    CommandNode *Node = CONTAINING_RECORD(RemoveHeadList(&Adapter->CommandQueue), CommandNode, Links);
    Adapter->CurrentCommand = Node;

    NTSTATUS Status = StartBulkTransfer(Adapter, Adapter->CommandOutPipe, BULK_FLAGS_COMMAND_WRITE, Node->Frame,
                                        Node->FrameLength, Adapter->CommandOutUrb, &Adapter->CommandOutIrp,
                                        CommandWriteComplete, Adapter);
    if (Status == STATUS_INSUFFICIENT_RESOURCES && !Adapter->CommandOutIrp) {
        InsertHeadList(&Adapter->CommandQueue, &Node->Links);
        Adapter->CurrentCommand = NULL;
        Adapter->CommandBusy = FALSE;
    }
    return Status;
}

NTSTATUS NTAPI CommandWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    AdapterContext *Adapter = (AdapterContext *)Context;
    LockAcquire(&Adapter->Lock);
    ReleaseCompletedTransfer(Adapter, Irp, &Adapter->CommandOutIrp);
    PoolFree(&Adapter->CurrentCommand);
    // A failed or cancelled write, or removal, stops the channel: CommandBusy
    // stays set until the next configuration.
    if (!Adapter->Removed && Adapter->CommandOutUrb->UrbHeader.Status == USBD_STATUS_SUCCESS) {
        Adapter->CommandBusy = FALSE;
        KickCommandSender(Adapter);
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
