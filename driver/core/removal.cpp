#include "removal.h"

#include "../base/adapter_table.h"
#include "../base/names.h"
#include "../base/requests.h"
#include "../command/command_queue.h"
#include "../usb/transport.h"
#include "control_link.h"
#include "enum_node.h"
#include "port_objects.h"

VOID DrainOutstandingWork(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    KeClearEvent(&Adapter->StopEvent);
    ReleaseIoRef(Adapter);
    KeWaitForSingleObject(&Adapter->StopEvent, Executive, KernelMode, FALSE, NULL);
    AcquireIoRef(Adapter);
}

static VOID DeletePorts(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    if (!Adapter->FirmwareRunning)
        return;
    for (ULONG Index = 0; Index < PORTS_PER_ADAPTER; Index++) {
        PortContext *Port = Adapter->Ports[Index];
        if (!Port)
            continue;
        PoolFree(&Port->ReadBuffer);
        PoolFree(&Port->ReadUrb);
        PoolFree(&Port->WriteBuffer);
        PoolFree(&Port->WriteUrb);
        LockAcquire(&Adapter->Lock);
        Port->Deleted = TRUE;
        Adapter->Ports[Index] = NULL;
        LockRelease(&Adapter->Lock);
        IoDeleteDevice(Port->PortDevice);
    }
    Adapter->PortsCreated = FALSE;
}

static VOID DeleteAdapter(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    ResetCommandChannel(Adapter);  // frees commands that were never written
    PoolFree(&Adapter->CommandOutUrb);
    PoolFree(&Adapter->CommandInUrb);
    PoolFree(&Adapter->CommandInBuffer);
    PoolFree(&Adapter->DeviceDescriptor);
    PoolFree(&Adapter->ConfigDescriptor);
    PoolFree(&Adapter->InterfaceInfo);
    PoolFree(&Adapter->SerialNumber);
    IoDetachDevice(Adapter->LowerDevice);
    // Normally hidden already (RemoveAdapter does it first).
    HideSlot(Adapter);
    ReleaseControlLink(Adapter);
    // The slot is given back only once the device name made from its index
    // is gone; until then an arriving adapter takes another slot, and with
    // it another name. The context may go with the device object.
    ULONG Slot = Adapter->SlotIndex;
    IoDeleteDevice(Adapter->Fdo);
    ReleaseSlot(Slot);
}

static VOID WriteErrorStats(VOID)
{
    RULE_PASSIVE();
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, ParametersKeyPath, NT_TEXT("ErrorStat"), REG_BINARY, ErrorStats,
                          sizeof(ErrorStats));
}

NTSTATUS RemoveAdapter(AdapterContext *Adapter, PIRP Irp)
{
    RULE_PASSIVE();
    ReleaseIoRef(Adapter);
    LockAcquire(&Adapter->Lock);
    Adapter->Removed = TRUE;
    // A diagnostic request waiting for the information block holds a
    // reference: it must end now (it sees Removed), not when its wait runs
    // out, or the final wait below would wait for it.
    KeSetEvent(&Adapter->FirmwareInfoEvent, EVENT_INCREMENT, FALSE);
    LockRelease(&Adapter->Lock);
    HideSlot(Adapter);
    CancelPortIo(Adapter);
    NTSTATUS Status = PassDownCopy(Adapter, Irp);
    ReleaseIoRef(Adapter);
    KeWaitForSingleObject(&Adapter->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    // The command channel's requests, and port transfers whose cancel wait ran
    // out, may still be in flight: their buffers go only once none is.
    CancelAndWait(Adapter, &Adapter->CommandInIrp, NULL);
    CancelAndWait(Adapter, &Adapter->CommandOutIrp, NULL);
    CancelPortIo(Adapter);
    WaitForTransfersIdle(Adapter);

    RemoveEnumNode(Adapter->EnumNode);
    Adapter->EnumNode = 0;
    DeletePorts(Adapter);
    // A host that still has ports open may still call in with them: the
    // context must stay valid memory, so the device object is kept.
    if (Adapter->OpenPortCount != 0)
        InterlockedIncrement(&Adapter->Fdo->ReferenceCount);
    DeleteAdapter(Adapter);
    WriteErrorStats();
    return Status;
}
