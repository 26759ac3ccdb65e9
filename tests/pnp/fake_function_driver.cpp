#include "fake_function_driver.h"

#include <cstring>
#include <map>

#include "sim/kernel/scheduler.h"
#include "tests/support/bus_configuration.h"

namespace pnptest {

namespace {

struct Extension {
    PDEVICE_OBJECT lower;
    int number;
};

sim::Mutex gMutex;
FakeDriverOptions gOptions;
FakeDriverLog gLog;

Extension *Ext(PDEVICE_OBJECT fdo) { return static_cast<Extension *>(fdo->DeviceExtension); }

FakeDriverOptions Options()
{
    std::lock_guard lock(gMutex);
    return gOptions;
}

void Note(PDEVICE_OBJECT fdo, const std::string &what)
{
    std::lock_guard lock(gMutex);
    gLog.events.push_back(std::to_string(Ext(fdo)->number) + " " + what);
}

const char *Name(UCHAR minor)
{
    static const std::map<UCHAR, const char *> names = {{IRP_MN_START_DEVICE, "start"},
                                                        {IRP_MN_QUERY_REMOVE_DEVICE, "query remove"},
                                                        {IRP_MN_REMOVE_DEVICE, "remove"},
                                                        {IRP_MN_CANCEL_REMOVE_DEVICE, "cancel remove"},
                                                        {IRP_MN_STOP_DEVICE, "stop"},
                                                        {IRP_MN_QUERY_STOP_DEVICE, "query stop"},
                                                        {IRP_MN_CANCEL_STOP_DEVICE, "cancel stop"},
                                                        {IRP_MN_SURPRISE_REMOVAL, "surprise"}};
    auto name = names.find(minor);
    return name == names.end() ? "other" : name->second;
}

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS Start(PDEVICE_OBJECT fdo, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
    NTSTATUS returned = IofCallDriver(Ext(fdo)->lower, irp);
    {
        std::lock_guard lock(gMutex);
        gLog.startPassedDown.push_back(returned);
    }
    if (returned == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        if (auto after = Options().afterStart)
            after(fdo);
    }
    Note(fdo, "start done");
    return Complete(irp, status);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    Note(fdo, Name(minor));
    FakeDriverOptions options = Options();
    if (options.onPnp)
        options.onPnp(fdo, minor);
    if (auto it = options.refuse.find(minor); it != options.refuse.end())
        return Complete(irp, it->second);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return Start(fdo, irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = Ext(fdo)->lower;
        NTSTATUS status = PassDown(fdo, irp);
        if (options.detachOnRemove) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(fdo, irp);
    default:
        return PassDown(fdo, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    Note(fdo, "power " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT fdo, PIRP irp)
{
    Note(fdo, "system control " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
    return PassDown(fdo, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    FakeDriverOptions options = Options();
    if (!NT_SUCCESS(options.addDevice))
        return options.addDevice;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Extension *ext = Ext(fdo);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    {
        std::lock_guard lock(gMutex);
        gLog.added.push_back(fdo);
        ext->number = static_cast<int>(gLog.added.size());
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    std::lock_guard lock(gMutex);
    gLog.unloads++;
}

}  // namespace

void FakeDriver::Reset(FakeDriverOptions options)
{
    std::lock_guard lock(gMutex);
    gOptions = std::move(options);
    gLog = FakeDriverLog{};
}

void FakeDriver::Change(const std::function<void(FakeDriverOptions &)> &change)
{
    std::lock_guard lock(gMutex);
    change(gOptions);
}

FakeDriverLog FakeDriver::Log()
{
    std::lock_guard lock(gMutex);
    return gLog;
}

NTSTATUS NTAPI FakeDriver::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    {
        std::lock_guard lock(gMutex);
        gLog.entries++;
        gLog.registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    if (Options().registerUnload)
        driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT FakeDriver::LowerOf(PDEVICE_OBJECT fdo) { return Ext(fdo)->lower; }

NTSTATUS FakeDriver::SubmitUrb(PDEVICE_OBJECT fdo, PURB urb)
{
    KEVENT done;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT lower = Ext(fdo)->lower;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE, &done,
                                             &status);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IofCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return status.Status;
}

NTSTATUS FakeDriver::ReadDeviceDescriptor(PDEVICE_OBJECT fdo)
{
    uint8_t buffer[18] = {};
    URB urb = testing_support::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof(buffer));
    return SubmitUrb(fdo, &urb);
}

NTSTATUS FakeDriver::VendorRequest(PDEVICE_OBJECT fdo, UCHAR code, USHORT value, std::vector<uint8_t> data)
{
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    auto &request = urb.UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request.Request = code;
    request.Value = value;
    request.TransferBuffer = data.empty() ? nullptr : data.data();
    request.TransferBufferLength = static_cast<ULONG>(data.size());
    return SubmitUrb(fdo, &urb);
}

}  // namespace pnptest
