#include "driver_entry.h"

#include "../base/adapter_table.h"
#include "../base/kernel.h"
#include "../base/names.h"
#include "../diag/control_device.h"
#include "../usb/transport.h"
#include "control_link.h"
#include "pnp.h"

#define DEFAULT_MAXIMUM_TRANSFER_SIZE 4096
#define REGISTRY_PATH_BUFFER_SIZE 512

static BOOLEAN QueryRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG *Value);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    InitAdapterTable();
    InitControlLink();
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Whatever was made before a failure is unmade at Unwind, in reverse: the
// device object if there is one, then the slot.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    RULE_PASSIVE();
    LONG Slot = TakeSlot();
    if (Slot < 0)
        return STATUS_INSUFFICIENT_RESOURCES;

    PDEVICE_OBJECT Fdo = NULL;
    AdapterContext *Adapter = NULL;
    TextBuilder Text;
    UNICODE_STRING DeviceName;
    AdapterDeviceName(&Text, (ULONG)Slot);
    NTSTATUS Status = TextToUnicode(&Text, &DeviceName);
    if (!NT_SUCCESS(Status))
        goto Unwind;
    Status = IoCreateDevice(DriverObject, sizeof(AdapterContext), &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &Fdo);
    RtlFreeUnicodeString(&DeviceName);
    if (!NT_SUCCESS(Status)) {
        Fdo = NULL;
        goto Unwind;
    }
    Adapter = (AdapterContext *)Fdo->DeviceExtension;
    Adapter->ControlOpenAllowed = FALSE;
    Fdo->Flags &= ~DO_DEVICE_INITIALIZING;

    Adapter->SlotIndex = (ULONG)Slot;
    Adapter->Fdo = Fdo;
    Adapter->LowerDevice = IoAttachDeviceToDeviceStack(Fdo, PhysicalDeviceObject);
    if (!Adapter->LowerDevice) {
        // Every request of the adapter goes to the lower device: without one
        // it cannot work and must not be left in the table as if it could.
        Status = STATUS_NO_SUCH_DEVICE;
        goto Unwind;
    }

    Adapter->MaximumTransferSize = DEFAULT_MAXIMUM_TRANSFER_SIZE;
    QueryRegistryDword(ParametersKeyPath, NT_TEXT("MaximumTransferSize"), &Adapter->MaximumTransferSize);
    Adapter->SerialNumber = NULL;
    Adapter->OpenPortCount = 0;
    Adapter->EnumNode = 0;
    Adapter->Removed = FALSE;
    Adapter->Configured = FALSE;
    Adapter->PortsCreated = FALSE;
    Adapter->RemovePending = FALSE;
    Adapter->Stopping = FALSE;
    // Once per adapter: a restart must not re-initialise a mutex that a
    // close straddling the stop may hold.
    ExInitializeFastMutex(&Adapter->OpenCloseMutex);
    LockInitialize(&Adapter->Lock);
    InitTransferTracking(Adapter);
    InitializeListHead(&Adapter->CommandQueue);
    for (ULONG Port = 0; Port < PORTS_PER_ADAPTER; Port++)
        Adapter->Ports[Port] = NULL;
    Adapter->IoRefCount = 1;
    KeInitializeEvent(&Adapter->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Adapter->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Adapter->StatusEvent, NotificationEvent, FALSE);
    // Each diagnostic request prepares it again, but an information block
    // the firmware sends unasked must find a valid event too.
    KeInitializeEvent(&Adapter->FirmwareInfoEvent, NotificationEvent, FALSE);
    // Only now, complete, does the adapter become visible to port lookups,
    // and to a removal looking for an adapter to pass the link on to. The
    // first adapter takes the link; while it holds it, later ones live
    // without one.
    PublishSlot((ULONG)Slot, Adapter);
    ClaimControlLink(Adapter);
    return Status;

Unwind:
    if (Fdo)
        IoDeleteDevice(Fdo);
    ReleaseSlot((ULONG)Slot);
    return Status;
}

// Only a 32-bit number is taken; a value of another type or size leaves the
// default, rather than having the registry write something else into it.
static NTSTATUS NTAPI TakeDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                                PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG))
        RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

static BOOLEAN QueryRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG *Value)
{
    PWCHAR Path = (PWCHAR)ExAllocatePoolWithTag(PagedPool, REGISTRY_PATH_BUFFER_SIZE, POOL_TAG);
    if (!Path)
        return FALSE;
    RtlZeroMemory(Path, REGISTRY_PATH_BUFFER_SIZE);
    for (ULONG i = 0; KeyPath[i] && i < REGISTRY_PATH_BUFFER_SIZE / sizeof(WCHAR) - 1; i++)
        Path[i] = KeyPath[i];

    ULONG Default = *Value;
    RTL_QUERY_REGISTRY_TABLE Query[2];
    RtlZeroMemory(Query, sizeof(Query));
    Query[0].QueryRoutine = TakeDword;
    Query[0].Name = (PWSTR)ValueName;
    Query[0].EntryContext = Value;
    Query[0].DefaultType = REG_DWORD;
    Query[0].DefaultData = &Default;
    Query[0].DefaultLength = sizeof(ULONG);
    NTSTATUS Status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, Path, Query, NULL, NULL);
    ExFreePool(Path);
    return NT_SUCCESS(Status);
}
