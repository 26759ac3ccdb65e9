#include "configure.h"

#include "../base/names.h"
#include "../command/command_queue.h"
#include "../usb/transport.h"
#include "port_objects.h"

// Reads a descriptor into a pool buffer the caller owns.
static NTSTATUS ReadDescriptor(AdapterContext *Adapter, PURB Urb, UCHAR Type, UCHAR Index, USHORT Language,
                               PVOID Buffer, ULONG Size)
{
    BuildDescriptorRequest(Urb, Type, Index, Language, Buffer, Size);
    return SubmitUrbSync(Adapter->LowerDevice, Urb);
}

#define RESTART_IDLE_WAIT_100NS (-50000000LL)  // 5 s, relative

static NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT AdapterDevice);

static NTSTATUS ReadSerialNumber(AdapterContext *Adapter);

// At a restart after a stop the command channel may still have requests in
// flight (a host port stayed open), and a port transfer whose cancel the bus
// had not finished; they go before the channel is reset and the buffers are
// reused. The stop keeps them from re-arming, so the wait ends; should a
// lower driver keep one regardless, the start fails rather than hang or
// reuse a buffer the bus still writes to.
static NTSTATUS QuiesceTransfers(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    CancelAndWait(Adapter, &Adapter->CommandInIrp, NULL);
    CancelAndWait(Adapter, &Adapter->CommandOutIrp, NULL);
    CancelPortIo(Adapter);
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = RESTART_IDLE_WAIT_100NS;
    if (KeWaitForSingleObject(&Adapter->TransfersIdleEvent, Executive, KernelMode, FALSE, &Timeout) != STATUS_SUCCESS)
        return STATUS_DEVICE_BUSY;
    return STATUS_SUCCESS;
}

// Every port starts closed again; a count of ports opened before a stop
// would keep query-remove refused for ports no one can close. The ports are
// prepared, and the count reset, with OpenCloseMutex held: a close that
// straddles the stop and the restart (its events and slots are what is
// prepared here) either finishes first or then finds its port closed.
static NTSTATUS PreparePorts(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    NTSTATUS Status = STATUS_SUCCESS;
    ExAcquireFastMutex(&Adapter->OpenCloseMutex);
    for (ULONG Index = 0; Index < Adapter->PortCount; Index++) {
        if (!InitPortContext(Adapter->Ports[Index])) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
    }
    if (NT_SUCCESS(Status)) {
        LockAcquire(&Adapter->Lock);
        Adapter->OpenPortCount = 0;
        Adapter->Configured = TRUE;
        Adapter->Stopping = FALSE;
        LockRelease(&Adapter->Lock);
    }
    ExReleaseFastMutex(&Adapter->OpenCloseMutex);
    return Status;
}

// Blocks of an earlier start are reused: the same sizes are needed again.
template <typename T>
static BOOLEAN EnsureBlock(T **Field, SIZE_T Size)
{
    if (!*Field)
        *Field = (T *)PoolAlloc(Size);
    return *Field != NULL;
}

// The device descriptor, in a block the caller keeps on success: its
// idProduct says whether the firmware runs, so one cut short is refused
// rather than read from whatever the pool held before.
static NTSTATUS ReadDeviceDescriptor(AdapterContext *Adapter, PUSB_DEVICE_DESCRIPTOR *Result)
{
    RULE_PASSIVE();
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    PUSB_DEVICE_DESCRIPTOR Device = NULL;
    PURB Urb = (PURB)PoolAlloc(DESCRIPTOR_URB_SIZE);
    if (!Urb)
        goto Done;
    Device = (PUSB_DEVICE_DESCRIPTOR)PoolAlloc(sizeof(USB_DEVICE_DESCRIPTOR));
    if (!Device)
        goto Done;
    Status = ReadDescriptor(Adapter, Urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Device, sizeof(USB_DEVICE_DESCRIPTOR));
    if (!NT_SUCCESS(Status))
        goto Done;
    if (Urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_DEVICE_DESCRIPTOR) ||
        Device->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
        Status = STATUS_DEVICE_DATA_ERROR;
        goto Done;
    }
    *Result = Device;
    Device = NULL;
Done:
    PoolFree(&Device);
    PoolFree(&Urb);
    return Status;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT AdapterDevice)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = (AdapterContext *)AdapterDevice->DeviceExtension;
    PUSB_DEVICE_DESCRIPTOR Device = NULL;
    NTSTATUS Status = ReadDeviceDescriptor(Adapter, &Device);
    if (!NT_SUCCESS(Status))
        return Status;
    Adapter->FirmwareRunning = (Device->idProduct & FIRMWARE_RUNNING_BIT) != 0;
    PoolFree(&Adapter->DeviceDescriptor);
    Adapter->DeviceDescriptor = Device;
    Adapter->PortCount = PORTS_PER_ADAPTER;

    if (!Adapter->PortsCreated && Adapter->FirmwareRunning) {
        Status = ReadSerialNumber(Adapter);
        if (NT_SUCCESS(Status))
            Status = CreatePortObjects(Adapter);
        if (!NT_SUCCESS(Status)) {
            // An adapter without its ports must not answer to its serial
            // number: a second adapter of the same name (refused here) would
            // otherwise stand in the way of the first one's port lookups.
            PoolFree(&Adapter->SerialNumber);
            return Status;
        }
        // Once made, the port objects (and the serial number their names
        // hold) stay until removal, whatever happens to this start.
        Adapter->PortsCreated = TRUE;
    }
    if (Adapter->FirmwareRunning) {
        Status = QuiesceTransfers(Adapter);
        if (!NT_SUCCESS(Status))
            return Status;
    }

    Status = ReadConfigDescriptor(AdapterDevice);
    if (!NT_SUCCESS(Status) || !Adapter->FirmwareRunning)
        return Status;

    if (!EnsureBlock(&Adapter->CommandOutUrb, BULK_TRANSFER_URB_SIZE) |
        !EnsureBlock(&Adapter->CommandInUrb, BULK_TRANSFER_URB_SIZE) |
        !EnsureBlock(&Adapter->CommandInBuffer, RESPONSE_BUFFER_SIZE))
        return STATUS_INSUFFICIENT_RESOURCES;
    ResetCommandChannel(Adapter);
    Adapter->CommandInIrp = NULL;
    return PreparePorts(Adapter);
}

// The serial number as the port names spell it: the low byte of each UTF-16
// unit, up to the first zero. Count is what the descriptor holds whole.
static LONG SerialNumberLength(const UCHAR *Descriptor, ULONG Received, NTSTATUS *Status)
{
    *Status = STATUS_SUCCESS;
    // A device that sent nothing has said nothing about the length either.
    LONG Count = 0;
    if (Received >= 1) {
        Count = ((LONG)Descriptor[0] - 2) / 2;
        if (Count > SERIAL_NUMBER_MAX || Count < 0 || Descriptor[0] == 0) {
            ErrorStats[ERROR_STAT_SERIAL_TOO_LONG]++;
            *Status = STATUS_INSUFFICIENT_RESOURCES;
            return 0;
        }
        // A descriptor cut short keeps the characters that arrived whole.
        LONG Arrived = Received >= 2 ? ((LONG)Received - 2) / 2 : 0;
        if (Count > Arrived)
            Count = Arrived;
    }
    // The string ends at the first character whose low byte is 0, as every
    // user of it reads it.
    for (LONG i = 0; i < Count; i++) {
        if (Descriptor[2 + 2 * i] == 0)
            return i;
    }
    return Count;
}

static NTSTATUS ReadSerialNumber(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    const ULONG BufferSize = 255;
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG Received = 0;
    LONG Count = 0;
    PCHAR Serial = NULL;
    PURB Urb = (PURB)PoolAlloc(DESCRIPTOR_URB_SIZE);
    PUCHAR Descriptor = (PUCHAR)PoolAlloc(BufferSize);
    if (!Urb || !Descriptor)
        goto Done;
    Status = ReadDescriptor(Adapter, Urb, USB_STRING_DESCRIPTOR_TYPE, SERIAL_NUMBER_STRING_INDEX, LANGUAGE_US_ENGLISH,
                            Descriptor, BufferSize);
    if (!NT_SUCCESS(Status))
        goto Done;
    // Only the bytes the device sent are its; the rest of the buffer is
    // whatever the pool held.
    Received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (Received > BufferSize)
        Received = BufferSize;
    Count = SerialNumberLength(Descriptor, Received, &Status);
    if (!NT_SUCCESS(Status))
        goto Done;
    // An empty serial number would name no port and match every host
    // port name: such an adapter cannot be told apart and is not taken.
    if (Count == 0) {
        Status = STATUS_DEVICE_DATA_ERROR;
        goto Done;
    }
    Serial = (PCHAR)PoolAlloc((SIZE_T)Count + 1);
    if (!Serial) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    // The serial number names the port objects and the enumeration node:
    // characters no name may hold are made safe here, once, so that every
    // name and the host's port names agree. Two adapters whose serial
    // numbers become one name are told apart when their port objects are
    // created: the second is refused with the name collision.
    for (LONG i = 0; i < Count; i++)
        Serial[i] = NameSafeCharacter(Descriptor[2 + 2 * i]);
    Serial[Count] = 0;
    Adapter->SerialNumber = Serial;
Done:
    PoolFree(&Descriptor);
    PoolFree(&Urb);
    return Status;
}

// What arrived must be a whole configuration descriptor: its own header,
// a wTotalLength within what was read, and descriptors that walk from the
// header to exactly wTotalLength, each long enough for what the bus
// driver's parser reads of it. Anything else never reaches that parser.
static BOOLEAN IsWholeConfiguration(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Received)
{
    if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FALSE;
    if (Descriptor->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return FALSE;
    ULONG Total = Descriptor->wTotalLength;
    if (Total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Total > Received)
        return FALSE;
    const UCHAR *Bytes = (const UCHAR *)Descriptor;
    ULONG Offset = 0;
    while (Offset < Total) {
        if (Total - Offset < sizeof(USB_COMMON_DESCRIPTOR))
            return FALSE;
        ULONG Length = Bytes[Offset];
        UCHAR Type = Bytes[Offset + 1];
        if (Length < sizeof(USB_COMMON_DESCRIPTOR) || Length > Total - Offset)
            return FALSE;
        if (Type == USB_INTERFACE_DESCRIPTOR_TYPE && Length < sizeof(USB_INTERFACE_DESCRIPTOR))
            return FALSE;
        if (Type == USB_ENDPOINT_DESCRIPTOR_TYPE && Length < sizeof(USB_ENDPOINT_DESCRIPTOR))
            return FALSE;
        Offset += Length;
    }
    return TRUE;
}

// A configuration longer than the first read is read once more with its
// wTotalLength, a 16-bit field, so never more than 65535 bytes; what that
// read brings must then be whole. A device that sent nothing is not asked
// again.
static NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT AdapterDevice)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = (AdapterContext *)AdapterDevice->DeviceExtension;
    PURB Urb = (PURB)PoolAlloc(DESCRIPTOR_URB_SIZE);
    if (!Urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    PoolFree(&Adapter->ConfigDescriptor);
    ULONG Size = CONFIG_DESCRIPTOR_FIRST_READ;
    ULONG Received = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG Read = 1;; Read++) {
        Adapter->ConfigDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)PoolAlloc(Size);
        if (!Adapter->ConfigDescriptor) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        Status = ReadDescriptor(Adapter, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Adapter->ConfigDescriptor, Size);
        if (!NT_SUCCESS(Status)) {
            PoolFree(&Adapter->ConfigDescriptor);
            break;
        }
        Received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (Received > Size)
            Received = Size;
        // wTotalLength is bytes 2 and 3: a shorter read has not told it.
        if (Read > 1 || Received < 4)
            break;
        ULONG Total = Adapter->ConfigDescriptor->wTotalLength;
        if (Total <= Size)
            break;
        PoolFree(&Adapter->ConfigDescriptor);
        Size = Total;
    }
    PoolFree(&Urb);
    if (!NT_SUCCESS(Status))
        return Status;
    if (!IsWholeConfiguration(Adapter->ConfigDescriptor, Received)) {
        PoolFree(&Adapter->ConfigDescriptor);
        return STATUS_DEVICE_DATA_ERROR;
    }
    return SelectConfiguration(AdapterDevice, Adapter->ConfigDescriptor);
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT AdapterDevice, PUSB_CONFIGURATION_DESCRIPTOR Descriptor)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = (AdapterContext *)AdapterDevice->DeviceExtension;
    if (!USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1))
        return STATUS_UNSUCCESSFUL;
    USHORT Size = 0;
    PURB Urb = USBD_CreateConfigurationRequest(Descriptor, &Size);
    if (!Urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUSBD_INTERFACE_INFORMATION Interface = &Urb->UrbSelectConfiguration.Interface;
    for (ULONG Pipe = 0; Pipe < Interface->NumberOfPipes; Pipe++) {
        Interface->Pipes[Pipe].MaximumTransferSize = Adapter->MaximumTransferSize;
        Interface->Pipes[Pipe].PipeFlags = 0;
    }
    Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Urb->UrbHeader.Length = Size;
    Urb->UrbSelectConfiguration.ConfigurationDescriptor = Descriptor;
    PUSBD_PIPE_INFORMATION Pipes = NULL;
    NTSTATUS Status = SubmitUrbSync(Adapter->LowerDevice, Urb);
    if (!NT_SUCCESS(Status) || !Adapter->FirmwareRunning)
        goto Done;
    // The pipe map needs a command pair after the ports' pairs; an interface
    // with fewer pipes is not an adapter that can work.
    if (Interface->NumberOfPipes < 2 * Adapter->PortCount + 2) {
        Status = STATUS_UNSUCCESSFUL;
        goto Done;
    }
    PoolFree(&Adapter->InterfaceInfo);
    Adapter->InterfaceInfo = (PUSBD_INTERFACE_INFORMATION)PoolAlloc(Interface->Length);
    if (!Adapter->InterfaceInfo) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Done;
    }
    RtlCopyMemory(Adapter->InterfaceInfo, Interface, Interface->Length);

    Pipes = Adapter->InterfaceInfo->Pipes;
    for (ULONG Index = 0; Index < Adapter->PortCount; Index++) {
        PortContext *Port = Adapter->Ports[Index];
        if (!Port)
            continue;
        Port->DataInPipe = &Pipes[2 * Index];
        Port->DataOutPipe = &Pipes[2 * Index + 1];
        Port->PortNumber = (UCHAR)(Index + 1);
    }
    Adapter->CommandInPipe = &Pipes[2 * Adapter->PortCount];
    Adapter->CommandOutPipe = &Pipes[2 * Adapter->PortCount + 1];
Done:
    // Made by the bus driver's library, so the platform's own free.
    ExFreePool(Urb);
    return Status;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT AdapterDevice)
{
    RULE_PASSIVE();
    AdapterContext *Adapter = (AdapterContext *)AdapterDevice->DeviceExtension;
    PURB Urb = (PURB)PoolAlloc(DESELECT_URB_SIZE);
    if (!Urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    BuildDeselectConfiguration(Urb);
    NTSTATUS Status = SubmitUrbSync(Adapter->LowerDevice, Urb);
    PoolFree(&Urb);
    if (NT_SUCCESS(Status)) {
        LockAcquire(&Adapter->Lock);
        Adapter->Configured = FALSE;
        LockRelease(&Adapter->Lock);
    }
    return Status;
}
