// An application's handles on a driver's named device: open, buffered
// control requests, close, the reference a handle holds, and a device
// deleted while handles are open.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "sim/io/io.h"
#include "sim/kernel/scheduler.h"
#include "sim/user/device_file.h"
#include "tests/support/sim_test.h"

namespace {

using sim::user::Handle;
using Bytes = std::vector<uint8_t>;

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

UNICODE_STRING Text(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

// A driver with one named device and a link to it, as a control device is
// made; each major function it serves goes to a routine the test sets.
class ControlDevice {
public:
    using Routine = std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION stack)>;

    struct Extension {
        ControlDevice *self;
        bool deleted;
        ULONG marker;
    };

    explicit ControlDevice(bool withCleanup = false)
    {
        driver_ = sim::io::CreateDriverObject("\\Driver\\ZerafinTest");
        driver_->MajorFunction[IRP_MJ_CREATE] = Route;
        driver_->MajorFunction[IRP_MJ_CLOSE] = Route;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Route;
        if (withCleanup)
            driver_->MajorFunction[IRP_MJ_CLEANUP] = Route;
        UNICODE_STRING name = Text(u"\\Device\\ZerafinTest");
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        *Ext() = Extension{this, false, 0x5AFE};
        UNICODE_STRING link = Text(u"\\DosDevices\\ZerafinTest");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    ~ControlDevice()
    {
        Delete();
        sim::io::DeleteDriverObject(driver_);
    }

    // What the driver does on removal: the link and the device go.
    void Delete()
    {
        if (deleted_)
            return;
        deleted_ = true;
        Ext()->deleted = true;
        UNICODE_STRING link = Text(u"\\DosDevices\\ZerafinTest");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device_);
    }

    PDEVICE_OBJECT Device() const { return device_; }
    Extension *Ext() const { return static_cast<Extension *>(device_->DeviceExtension); }

    Routine create = [](PIRP, PIO_STACK_LOCATION) { return STATUS_SUCCESS; };
    Routine control = [](PIRP, PIO_STACK_LOCATION) { return STATUS_INVALID_DEVICE_REQUEST; };
    std::vector<UCHAR> seen;
    std::vector<PFILE_OBJECT> files;

private:
    static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp)
    {
        auto *ext = static_cast<Extension *>(device->DeviceExtension);
        ControlDevice *self = ext->self;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        self->seen.push_back(stack->MajorFunction);
        self->files.push_back(stack->FileObject);
        NTSTATUS status = STATUS_SUCCESS;
        if (stack->MajorFunction == IRP_MJ_CREATE)
            status = self->create(irp, stack);
        else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            status = ext->deleted ? STATUS_DELETE_PENDING : self->control(irp, stack);
        if (status == STATUS_PENDING)
            return status;  // the routine keeps the request and completes it later
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool deleted_ = false;  // here, not in the extension: that may be gone
};

class DeviceFileTest : public testing_support::SimTest {
protected:
    Handle OpenOk()
    {
        Handle handle = nullptr;
        EXPECT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_SUCCESS);
        EXPECT_NE(handle, nullptr);
        return handle;
    }
};

class DeviceFileDeathTest : public DeviceFileTest {};

TEST_F(DeviceFileTest, NameThatLeadsNowhereIsNotFound)
{
    ControlDevice control;
    Handle handle = reinterpret_cast<Handle>(1);
    EXPECT_EQ(sim::user::Open("\\DosDevices\\Nothing", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(control.seen.empty());
}

TEST_F(DeviceFileTest, OpenAndCloseReachTheDriverAndHoldAReference)
{
    ControlDevice control;
    KPROCESSOR_MODE mode = KernelMode;
    control.create = [&](PIRP irp, PIO_STACK_LOCATION) {
        mode = irp->RequestorMode;
        return STATUS_SUCCESS;
    };
    Handle first = OpenOk();
    EXPECT_EQ(mode, UserMode);
    EXPECT_EQ(control.Device()->ReferenceCount, 1);
    Handle second = OpenOk();
    EXPECT_EQ(control.Device()->ReferenceCount, 2);
    EXPECT_EQ(sim::user::DeviceOf(first), control.Device());
    EXPECT_EQ(sim::user::OpenHandles(), 2u);

    EXPECT_EQ(sim::user::Close(first), STATUS_SUCCESS);
    EXPECT_EQ(control.Device()->ReferenceCount, 1);
    EXPECT_EQ(sim::user::Close(second), STATUS_SUCCESS);
    EXPECT_EQ(control.Device()->ReferenceCount, 0);
    EXPECT_EQ(sim::user::OpenHandles(), 0u);
    // No cleanup routine, no cleanup request; each open is its own file.
    EXPECT_EQ(control.seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLOSE}));
    ASSERT_EQ(control.files.size(), 4u);
    EXPECT_NE(control.files[0], nullptr);
    EXPECT_NE(control.files[0], control.files[1]);
    EXPECT_EQ(control.files[0], control.files[2]);
}

TEST_F(DeviceFileTest, CleanupComesFirstWhenTheDriverServesIt)
{
    ControlDevice control(true);
    sim::user::Close(OpenOk());
    EXPECT_EQ(control.seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(DeviceFileTest, RefusedOpenGivesNoHandleAndKeepsNoReference)
{
    ControlDevice control;
    control.create = [](PIRP, PIO_STACK_LOCATION) { return STATUS_ACCESS_DENIED; };
    Handle handle = nullptr;
    EXPECT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(control.Device()->ReferenceCount, 0);
    EXPECT_EQ(sim::user::OpenHandles(), 0u);
}

// A buffered control request as the driver answers it: the driver finds the
// input in the one system buffer (none when neither side has a buffer),
// writes its answer over it and reports a length; the caller gets no more
// than its output length back, and nothing at all when the request failed.
struct ControlRow {
    Bytes input;
    ULONG outputLength;
    Bytes answer;       // what the driver writes into the system buffer
    ULONG information;  // the length it reports
    NTSTATUS status;
    ULONG returned;
    Bytes output;  // the caller's eight bytes afterwards; 0xEE: untouched
};
class BufferedControlTest : public DeviceFileTest, public testing::WithParamInterface<ControlRow> {};

TEST_P(BufferedControlTest, CopiesInAndNoMoreThanTheDriverReportsAndTheCallerHasRoomFor)
{
    const ControlRow &row = GetParam();
    ControlDevice control;
    control.control = [&](PIRP irp, PIO_STACK_LOCATION stack) {
        auto &parameters = stack->Parameters.DeviceIoControl;
        EXPECT_EQ(parameters.IoControlCode, kEcho);
        EXPECT_EQ(parameters.InputBufferLength, row.input.size());
        EXPECT_EQ(parameters.OutputBufferLength, row.outputLength);
        auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer == nullptr, row.input.empty() && row.outputLength == 0);
        if (buffer) {
            EXPECT_EQ(Bytes(buffer, buffer + row.input.size()), row.input);
            std::memcpy(buffer, row.answer.data(), row.answer.size());
        }
        irp->IoStatus.Information = row.information;
        return row.status;
    };
    Handle handle = OpenOk();
    Bytes output(8, 0xEE);
    ULONG returned = 99;
    EXPECT_EQ(sim::user::DeviceIoControl(handle, kEcho, row.input.empty() ? nullptr : row.input.data(),
                                         ULONG(row.input.size()), row.outputLength ? output.data() : nullptr,
                                         row.outputLength, &returned),
              row.status);
    EXPECT_EQ(returned, row.returned);
    EXPECT_EQ(output, row.output);
    sim::user::Close(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BufferedControlTest,
    testing::Values(
        ControlRow{{1, 2, 3}, 8, {9, 8, 7, 6, 5, 4}, 6, STATUS_SUCCESS, 6, {9, 8, 7, 6, 5, 4, 0xEE, 0xEE}},
        // The input is the larger: the copy back stops at the output length.
        ControlRow{
            Bytes(16), 4, Bytes(16, 0x42), 10, STATUS_SUCCESS, 10, {0x42, 0x42, 0x42, 0x42, 0xEE, 0xEE, 0xEE, 0xEE}},
        ControlRow{{}, 4, Bytes(4, 0x42), 4, STATUS_INVALID_PARAMETER, 0, Bytes(8, 0xEE)},
        ControlRow{{}, 0, {}, 0, STATUS_SUCCESS, 0, Bytes(8, 0xEE)}));

TEST_F(DeviceFileTest, PendingControlIsWaitedFor)
{
    ControlDevice control;
    PIRP held = nullptr;
    control.control = [&](PIRP irp, PIO_STACK_LOCATION) {
        IoMarkIrpPending(irp);
        sim::Scheduler::Get().Change([&] { held = irp; });
        return STATUS_PENDING;
    };
    // Another processor completes it a millisecond later.
    sim::Thread completer("completer", [&] {
        sim::Scheduler &scheduler = sim::Scheduler::Get();
        scheduler.Block([&] { return held != nullptr; }, std::nullopt, "the request");
        scheduler.Block([] { return false; }, scheduler.Now() + sim::kTicksPerMillisecond, "a millisecond");
        std::memcpy(held->AssociatedIrp.SystemBuffer, "ok", 2);
        held->IoStatus.Information = 2;
        held->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(held, IO_NO_INCREMENT);
    });
    Handle handle = OpenOk();
    char output[2] = {};
    ULONG returned = 0;
    EXPECT_EQ(sim::user::DeviceIoControl(handle, kEcho, nullptr, 0, output, sizeof(output), &returned), STATUS_SUCCESS);
    EXPECT_EQ(std::string(output, 2), "ok");
    EXPECT_EQ(sim::Scheduler::Get().Now(), sim::kTicksPerMillisecond);
    completer.Join();
    sim::user::Close(handle);
}

TEST_F(DeviceFileTest, DeviceDeletedWithAnOpenHandleStaysValidUntilTheClose)
{
    ControlDevice control;
    Handle handle = OpenOk();
    PDEVICE_OBJECT device = control.Device();
    control.Delete();

    // The name is gone and so is the device, for everyone but the handle.
    EXPECT_EQ(sim::io::LookupDevice("\\DosDevices\\ZerafinTest"), nullptr);
    EXPECT_EQ(sim::io::LookupDevice("\\Device\\ZerafinTest"), nullptr);
    auto live = sim::io::LiveDevices();
    EXPECT_EQ(std::find(live.begin(), live.end(), device), live.end());
    EXPECT_TRUE(sim::io::DeletePending(device));
    EXPECT_EQ(control.Ext()->marker, 0x5AFEu);  // readable: not poisoned
    Handle refused = nullptr;
    EXPECT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &refused), STATUS_OBJECT_NAME_NOT_FOUND);

    // Requests still reach the driver, which refuses them itself.
    EXPECT_EQ(sim::user::DeviceIoControl(handle, kEcho, nullptr, 0, nullptr, 0, nullptr), STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(sim::io::DeletePending(device));
    EXPECT_EQ(control.seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLOSE}));
}

TEST_F(DeviceFileTest, ReferenceTheDriverTakesItselfKeepsTheMemoryForGood)
{
    ControlDevice control;
    Handle handle = OpenOk();
    PDEVICE_OBJECT device = control.Device();
    InterlockedIncrement(&device->ReferenceCount);
    control.Delete();
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_TRUE(sim::io::DeletePending(device));
    EXPECT_EQ(control.Ext()->marker, 0x5AFEu);
    // Not a leak: the driver deleted it; the world frees it at its end.
    EXPECT_EQ(world_.LeakReport(), "");
}

TEST_F(DeviceFileDeathTest, ClosingTwiceIsAMistake)
{
    ControlDevice control;
    Handle handle = OpenOk();
    sim::user::Close(handle);
    EXPECT_DEATH(sim::user::Close(handle), "BUG CHECK: SIMULATION_MISUSE.*Close on a closed handle");
}

}  // namespace
