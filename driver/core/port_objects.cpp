#include "port_objects.h"

#include "../base/names.h"
#include "../service/serial_settings.h"
#include "../usb/transport.h"

static VOID DeletePortObject(AdapterContext *Adapter, ULONG Index)
{
    RULE_PASSIVE();
    PortContext *Port = Adapter->Ports[Index];
    Adapter->Ports[Index] = NULL;
    IoDeleteDevice(Port->PortDevice);
}

NTSTATUS CreatePortObjects(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG Index = 0; Index < PORTS_PER_ADAPTER; Index++) {
        TextBuilder Text;
        TextStart(&Text);
        TextAppend(&Text, "\\Device\\NuvixUsb");
        TextAppend(&Text, Adapter->SerialNumber);
        TextAppend(&Text, "-");
        TextAppendDecimal(&Text, Index);
        UNICODE_STRING Name;
        Status = TextToUnicode(&Text, &Name);
        PDEVICE_OBJECT Device = NULL;
        if (NT_SUCCESS(Status)) {
            Status = IoCreateDevice(Adapter->Fdo->DriverObject, sizeof(PortContext), &Name, FILE_DEVICE_SERIAL_PORT, 0,
                                    TRUE, &Device);
            RtlFreeUnicodeString(&Name);
        }
        if (!NT_SUCCESS(Status)) {
            for (ULONG Made = 0; Made < Index; Made++)
                DeletePortObject(Adapter, Made);
            return Status;
        }
        Device->Flags &= ~DO_DEVICE_INITIALIZING;
        Device->Flags |= DO_BUFFERED_IO;
        PortContext *Port = (PortContext *)Device->DeviceExtension;
        Port->PortDevice = Device;
        Port->Adapter = Adapter;
        Adapter->Ports[Index] = Port;
    }
    return Status;
}

BOOLEAN InitPortContext(PortContext *Port)
{
    RULE_APC_OR_BELOW();
    // Blocks of an earlier start are reused: nothing is in flight by now.
    if (!Port->WriteUrb)
        Port->WriteUrb = (PURB)PoolAlloc(BULK_TRANSFER_URB_SIZE);
    if (!Port->ReadUrb)
        Port->ReadUrb = (PURB)PoolAlloc(BULK_TRANSFER_URB_SIZE);
    if (!Port->WriteBuffer)
        Port->WriteBuffer = (PUCHAR)PoolAlloc(TRANSFER_CHUNK);
    if (!Port->ReadBuffer)
        Port->ReadBuffer = (PUCHAR)PoolAlloc(TRANSFER_CHUNK);
    if (!Port->WriteUrb || !Port->ReadUrb || !Port->WriteBuffer || !Port->ReadBuffer)
        return FALSE;
    KeInitializeEvent(&Port->WriteDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->ReadDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->PortStatusEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Port->CommandDoneEvent, NotificationEvent, FALSE);
    SetDefaultPortSettings(Port);
    Port->WriteIrp = NULL;
    Port->ReadIrp = NULL;
    SERIAL_CHARS *Chars = (SERIAL_CHARS *)Port->Chars;
    Chars->XonChar = CHAR_XON;
    Chars->XoffChar = CHAR_XOFF;
    LockAcquire(&Port->Adapter->Lock);
    Port->Open = FALSE;
    Port->Deleted = FALSE;
    LockRelease(&Port->Adapter->Lock);
    return TRUE;
}
