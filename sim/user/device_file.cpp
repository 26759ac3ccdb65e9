#include "device_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"
#include "sim/kernel/scheduler.h"

namespace sim::user {

struct File {
    std::string name;
    PDEVICE_OBJECT device = nullptr;
    bool open = true;
};

namespace {

sim::Mutex gMutex;
// Records stay until the world ends, so a handle closed twice is reported,
// not a use after free.
std::vector<std::unique_ptr<File>> gFiles;

void RequirePassive(const char *call)
{
    if (Cpu().irql != PASSIVE_LEVEL)
        BugCheck("SIMULATION_MISUSE",
                 std::string(call) + " from " + IrqlName(Cpu().irql) + "; applications run at PASSIVE_LEVEL");
}

File &Live(Handle handle, const char *call)
{
    std::lock_guard lock(gMutex);
    auto it = std::find_if(gFiles.begin(), gFiles.end(), [&](auto &file) { return file.get() == handle; });
    if (it == gFiles.end())
        BugCheck("SIMULATION_MISUSE", std::string(call) + " on something that is not a handle");
    if (!handle->open)
        BugCheck("SIMULATION_MISUSE", std::string(call) + " on a closed handle to '" + handle->name + "'");
    return *handle;
}

// Requests go to the top of the stack the named device belongs to.
PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

// Builds the request, lets fill set its stack location and buffers, sends it
// and waits for its completion; returns the final status block.
IO_STATUS_BLOCK Send(File *file, PDEVICE_OBJECT device, UCHAR major,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)> &fill)
{
    struct Done {
        bool done = false;
        IO_STATUS_BLOCK status{};
    };
    auto done = std::make_shared<Done>();
    PDEVICE_OBJECT top = TopOf(device);
    PIRP irp = io::AllocateSystemIrp(top->StackSize, [done](PIRP irp) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        io::FreeSystemIrp(irp);
        Scheduler::Get().Change([&] {
            done->status = status;
            done->done = true;
        });
    });
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    // The file object is opaque to the driver; it only tells opens apart.
    next->FileObject = reinterpret_cast<PFILE_OBJECT>(file);
    irp->Tail.Overlay.OriginalFileObject = next->FileObject;
    if (fill)
        fill(irp, next);
    IofCallDriver(top, irp);
    Scheduler::Get().Block([&] { return done->done; }, std::nullopt,
                           "request " + std::to_string(major) + " to '" + file->name + "' to complete");
    return done->status;
}

}  // namespace

NTSTATUS Open(const std::string &name, Handle *handle)
{
    RequirePassive("Open");
    if (!handle)
        BugCheck("SIMULATION_MISUSE", "Open without a place for the handle");
    *handle = nullptr;
    PDEVICE_OBJECT device = io::LookupDevice(name);
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto file = std::make_unique<File>();
    file->name = name;
    file->device = device;
    // The reference is taken before the create goes down, as the object
    // manager's parse does, and dropped again if the driver refuses.
    io::ReferenceDevice(device);
    NTSTATUS status = Send(file.get(), device, IRP_MJ_CREATE, {}).Status;
    if (!NT_SUCCESS(status)) {
        io::DereferenceDevice(device);
        return status;
    }
    std::lock_guard lock(gMutex);
    *handle = file.get();
    gFiles.push_back(std::move(file));
    return status;
}

NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void *input, ULONG inputLength, void *output,
                         ULONG outputLength, ULONG *returned)
{
    RequirePassive("DeviceIoControl");
    File &file = Live(handle, "DeviceIoControl");
    if (returned)
        *returned = 0;
    if ((inputLength && !input) || (outputLength && !output))
        BugCheck("SIMULATION_MISUSE", "DeviceIoControl with a length but no buffer");
    const ULONG method = code & 3;
    if (method != METHOD_BUFFERED && method != METHOD_NEITHER)
        BugCheck("SIMULATION_UNSUPPORTED", "DeviceIoControl with a direct-I/O control code " + Hex(code));

    std::vector<uint8_t> system;
    if (method == METHOD_BUFFERED) {
        system.resize(std::max(inputLength, outputLength));
        if (inputLength)
            std::memcpy(system.data(), input, inputLength);
    }
    IO_STATUS_BLOCK status = Send(&file, file.device, IRP_MJ_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if (method == METHOD_BUFFERED) {
            irp->AssociatedIrp.SystemBuffer = system.empty() ? nullptr : system.data();
        } else {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(input);
            irp->UserBuffer = output;
        }
    });
    if (method == METHOD_BUFFERED && !NT_ERROR(status.Status)) {
        size_t n = std::min<size_t>(status.Information, outputLength);
        if (n)
            std::memcpy(output, system.data(), n);
    }
    if (returned && !NT_ERROR(status.Status))
        *returned = static_cast<ULONG>(status.Information);
    return status.Status;
}

NTSTATUS Close(Handle handle)
{
    RequirePassive("Close");
    File &file = Live(handle, "Close");
    // Whoever serves the device now (the driver may have deleted it, but the
    // reference keeps it valid) decides whether it wants the cleanup call.
    PDEVICE_OBJECT top = TopOf(file.device);
    if (top->DriverObject->MajorFunction[IRP_MJ_CLEANUP])
        Send(&file, file.device, IRP_MJ_CLEANUP, {});
    NTSTATUS status = Send(&file, file.device, IRP_MJ_CLOSE, {}).Status;
    {
        std::lock_guard lock(gMutex);
        file.open = false;
    }
    io::DereferenceDevice(file.device);
    return status;
}

PDEVICE_OBJECT DeviceOf(Handle handle) { return Live(handle, "DeviceOf").device; }

size_t OpenHandles()
{
    std::lock_guard lock(gMutex);
    return static_cast<size_t>(std::count_if(gFiles.begin(), gFiles.end(), [](auto &file) { return file->open; }));
}

void Reset()
{
    std::lock_guard lock(gMutex);
    gFiles.clear();
}

}  // namespace sim::user
