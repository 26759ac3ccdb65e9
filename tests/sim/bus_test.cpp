// The simulated USB bus driver against a scripted device: what each URB kind
// does, when requests complete, and every way a pending transfer can end.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/io/io.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"
#include "tests/support/bulk_request.h"
#include "tests/support/bus_configuration.h"
#include "tests/support/sim_test.h"

namespace {

using sim::usb::Bus;
using sim::usb::CancelMode;
using sim::usb::CompletionMode;
using sim::usb::ScriptedDevice;
using testing_support::DescriptorRequest;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x01;
constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

struct SyncResult {
    NTSTATUS returned;  // what IofCallDriver returned
    NTSTATUS final;     // the request's final status
};

// The synchronous path a driver takes at PASSIVE_LEVEL.
SyncResult SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb)
{
    KEVENT done;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &done, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS returned = IofCallDriver(pdo, irp);
    if (returned == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    else
        EXPECT_EQ(KeReadStateEvent(&done), 1);
    return {returned, status.Status};
}

using Transfer = testing_support::BulkRequest;

// A scripted device that can be stopped inside its answer to one bulk
// transfer: the thread answering (the controller) waits there until the test
// lets it go, so the test can act on the bus at exactly that moment.
class GatedDevice : public ScriptedDevice {
public:
    void Gate(uint8_t endpoint)
    {
        sim::Scheduler::Get().Change([&] {
            gated_ = endpoint;
            entered_ = false;
            released_ = false;
        });
    }
    void WaitEntered()
    {
        sim::Scheduler::Get().Block([&] { return entered_; }, std::nullopt, "the device to be inside its answer");
    }
    void Release()
    {
        sim::Scheduler::Get().Change([&] { released_ = true; });
    }

    sim::usb::BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override
    {
        Pass(endpoint);
        return ScriptedDevice::BulkIn(endpoint, buffer, capacity);
    }
    sim::usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override
    {
        Pass(endpoint);
        return ScriptedDevice::BulkOut(endpoint, data, length);
    }

private:
    void Pass(uint8_t endpoint)
    {
        sim::Scheduler &scheduler = sim::Scheduler::Get();
        bool stop = scheduler.Change([&] {
            if (gated_ != endpoint)
                return false;
            gated_ = -1;
            entered_ = true;
            return true;
        });
        if (stop)
            scheduler.Block([&] { return released_; }, std::nullopt, "the test to let the device answer");
    }

    // Guarded by the scheduler lock.
    int gated_ = -1;
    bool entered_ = false;
    bool released_ = false;
};

class BusTest : public testing_support::SimTest {
protected:
    BusTest() : bus_(std::make_unique<Bus>(device_)) {}

    // The bus's device object must be gone before the leak check.
    void TearDown() override
    {
        bus_.reset();
        SimTest::TearDown();
    }

    PDEVICE_OBJECT Pdo() { return bus_->Pdo(); }

    // Selects the configuration with the given MaximumTransferSize on every
    // pipe and keeps the pipes' information.
    void Configure(ULONG maximumTransferSize = 4096)
    {
        pipes_ = testing_support::SelectWholeConfiguration([this](PURB urb) { return SubmitAndWait(Pdo(), urb).final; },
                                                           maximumTransferSize);
    }

    USBD_PIPE_HANDLE PipeFor(uint8_t endpoint) { return testing_support::PipeHandleFor(pipes_, endpoint); }

    GatedDevice device_;
    std::unique_ptr<Bus> bus_;
    std::vector<USBD_PIPE_INFORMATION> pipes_;
};

TEST_F(BusTest, DescriptorReadIsCutToTheBuffer)
{
    Bytes whole = sim::usb::MakeDeviceDescriptor(0x1234, 0x0001, 0);
    Bytes buffer(8, 0xEE);
    URB urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 8);
    EXPECT_EQ(SubmitAndWait(Pdo(), &urb).final, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(buffer, Bytes(whole.begin(), whole.begin() + 8));

    // A descriptor the device does not have stalls.
    urb = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, buffer.data(), 8);
    EXPECT_EQ(SubmitAndWait(Pdo(), &urb).final, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(BusTest, SelectConfigurationDescribesThePipes)
{
    Configure(64);
    EXPECT_EQ(device_.Configuration(), 1);
    ASSERT_EQ(pipes_.size(), 2u);
    EXPECT_EQ(pipes_[0].EndpointAddress, kIn);
    EXPECT_EQ(pipes_[1].EndpointAddress, kOut);
    for (const USBD_PIPE_INFORMATION &pipe : pipes_) {
        EXPECT_NE(pipe.PipeHandle, nullptr);
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 64);
    }
    EXPECT_NE(pipes_[0].PipeHandle, pipes_[1].PipeHandle);

    // The pipe keeps the transfer size the driver asked for.
    Transfer fits(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, Bytes(64, 1));
    EXPECT_EQ(fits.Start(), STATUS_PENDING);
    EXPECT_EQ(fits.Wait(), STATUS_SUCCESS);
    Transfer tooLong(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, Bytes(65, 1));
    tooLong.Start();
    EXPECT_EQ(tooLong.Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooLong.UrbStatus(), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_.TakeOut(kOut), Bytes(64, 1));
}

TEST_F(BusTest, BulkInWaitsForTheDeviceAndMayEndShort)
{
    Configure();
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(64));
    EXPECT_EQ(read.Start(), STATUS_PENDING);
    bus_->Drain();
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(bus_->PendingTransfers(), 1u);

    device_.PushIn(kIn, {1, 2, 3});
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Length(), 3u);
    EXPECT_EQ(read.Data(), (Bytes{1, 2, 3}));
    EXPECT_EQ(read.CompletedOn(), "usb controller");
    EXPECT_EQ(read.CompletedAt(), DISPATCH_LEVEL);

    // Without USBD_SHORT_TRANSFER_OK a short packet is an error.
    device_.PushIn(kIn, {4});
    Transfer strict(Pdo(), PipeFor(kIn), USBD_TRANSFER_DIRECTION_IN, Bytes(64));
    strict.Start();
    EXPECT_EQ(strict.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.UrbStatus(), USBD_STATUS_ERROR_SHORT_TRANSFER);
}

TEST_F(BusTest, BulkOutDataReachesTheDevice)
{
    Configure();
    Transfer first(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, {'a', 'b'});
    Transfer second(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, {'c'});
    first.Start();
    EXPECT_EQ(first.Wait(), STATUS_SUCCESS);
    second.Start();
    EXPECT_EQ(second.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first.Length(), 2u);
    EXPECT_EQ(device_.TakeOut(kOut), (Bytes{'a', 'b', 'c'}));

    device_.FailNext(kOut, USBD_STATUS_STALL_PID);
    Transfer stalled(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, {'d'});
    stalled.Start();
    EXPECT_EQ(stalled.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.UrbStatus(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(device_.TakeOut(kOut), Bytes{});
}

// A configuration change closes the old pipes as a bus driver aborts them,
// even when it runs on one processor while the controller, on another, is
// inside the device's answer to a transfer on one of those pipes.
TEST_F(BusTest, SelectingAgainEndsEveryTransferOnTheOldPipes)
{
    constexpr int64_t kPatience = sim::kTicksPerSecond;
    Configure();
    const USBD_PIPE_HANDLE oldIn = PipeFor(kIn);
    const USBD_PIPE_HANDLE oldOut = PipeFor(kOut);
    Transfer waiting(Pdo(), oldIn, kReadFlags, Bytes(8));
    EXPECT_EQ(waiting.Start(), STATUS_PENDING);
    bus_->Drain();
    ASSERT_EQ(bus_->PendingTransfers(), 1u);

    // The device is answering a write (it will say "not ready") when the
    // configuration is selected again, inline on this thread.
    device_.HoldOut(kOut, true);
    device_.Gate(kOut);
    Transfer write(Pdo(), oldOut, USBD_TRANSFER_DIRECTION_OUT, {'x'});
    EXPECT_EQ(write.Start(), STATUS_PENDING);
    device_.WaitEntered();
    bus_->SetCompletionMode(CompletionMode::Inline);
    Configure();
    EXPECT_NE(PipeFor(kIn), oldIn);
    ASSERT_TRUE(waiting.WaitFor(kPatience)) << "a transfer waiting on a closed pipe was never ended";
    EXPECT_EQ(waiting.UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(waiting.Length(), 0u);

    device_.Release();
    ASSERT_TRUE(write.WaitFor(kPatience)) << "a transfer whose pipe closed under it was never ended";
    EXPECT_EQ(write.UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_->PendingTransfers(), 0u);

    // The old handles lead nowhere; the new ones work.
    Transfer stale(Pdo(), oldIn, kReadFlags, Bytes(8));
    stale.Start();
    EXPECT_EQ(stale.Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
    device_.PushIn(kIn, {5, 6});
    Transfer fresh(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    fresh.Start();
    EXPECT_EQ(fresh.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(fresh.Data(), (Bytes{5, 6}));
}

// An answer the device had already given when the pipe closed stands: the
// bytes moved are reported, not lost behind a cancelled status.
TEST_F(BusTest, DeselectingWhileTheDeviceAnswersKeepsTheAnswerAndClosesThePipes)
{
    Configure();
    device_.PushIn(kIn, {1, 2, 3});
    device_.Gate(kIn);
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    EXPECT_EQ(read.Start(), STATUS_PENDING);
    device_.WaitEntered();
    bus_->SetCompletionMode(CompletionMode::Inline);
    URB deselect;
    std::memset(&deselect, 0, sizeof(deselect));
    deselect.UrbSelectConfiguration.Hdr.Length = sizeof(deselect.UrbSelectConfiguration);
    deselect.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(SubmitAndWait(Pdo(), &deselect).final, STATUS_SUCCESS);
    EXPECT_EQ(device_.Configuration(), 0);
    device_.Release();
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Data(), (Bytes{1, 2, 3}));

    Transfer after(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, {'y'});
    after.Start();
    EXPECT_EQ(after.Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_.TakeOut(kOut), Bytes{});
}

// A transfer through a descriptor list its sender already freed is refused
// by name before the device sees a byte of it.
TEST_F(BusTest, ABulkTransferThroughAFreedDescriptorListStops)
{
    Configure();
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554 /* Test */));
    PMDL mdl = IoAllocateMdl(block, 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IoFreeMdl(mdl);
    Transfer write(Pdo(), PipeFor(kOut), USBD_TRANSFER_DIRECTION_OUT, {'a'});
    write.Urb()->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    EXPECT_DEATH(
        {
            write.Start();
            write.Wait();
        },
        "BUG CHECK: DRIVER_VERIFIER_DETECTED_VIOLATION.*bulk transfer with a descriptor list that is not live");
    ExFreePool(block);
}

TEST_F(BusTest, InlineModeCompletesInsideTheCall)
{
    Configure();
    Bytes buffer(18);
    URB urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    EXPECT_EQ(SubmitAndWait(Pdo(), &urb).returned, STATUS_PENDING);

    bus_->SetCompletionMode(CompletionMode::Inline);
    SyncResult result = SubmitAndWait(Pdo(), &urb);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.final, STATUS_SUCCESS);

    // Inline or not, a transfer the device cannot serve yet stays pending.
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    EXPECT_EQ(read.Start(), STATUS_PENDING);
    EXPECT_EQ(bus_->PendingTransfers(), 1u);
    device_.PushIn(kIn, {9});
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);

    device_.PushIn(kIn, {7, 7});
    Transfer ready(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    EXPECT_EQ(ready.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(ready.Done());
    EXPECT_EQ(ready.CompletedOn(), "test");
}

// A cancel that reaches a request before the bus has it (the submitter sends
// it after dropping a lock) must still win over data that arrives later.
TEST_F(BusTest, RequestCancelledBeforeItReachesTheBusEndsCancelledInEveryMode)
{
    Configure();
    for (CompletionMode mode : {CompletionMode::Pend, CompletionMode::Inline}) {
        SCOPED_TRACE(mode == CompletionMode::Inline ? "inline" : "pend");
        bus_->SetCompletionMode(mode);
        Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
        EXPECT_FALSE(IoCancelIrp(read.Irp()));
        device_.PushIn(kIn, {1, 2, 3});
        read.Start();
        EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(read.UrbStatus(), USBD_STATUS_CANCELED);
        EXPECT_EQ(read.Length(), 0u);
        // The data stays for the next read.
        Transfer next(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
        next.Start();
        EXPECT_EQ(next.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(next.Length(), 3u);
    }
}

// A cancelled transfer is completed by the controller, inside the cancel
// call, or only when the test releases it; whoever completes it, it ends
// cancelled with nothing moved, and the log names the pipe it waited on.
struct CancelRow {
    CancelMode mode;
    bool doneInsideTheCall;
    bool held;  // until ReleaseHeldCancelled
    const char *completedOn;
};
class CancelModeTest : public BusTest, public testing::WithParamInterface<CancelRow> {};

TEST_P(CancelModeTest, ACancelledTransferEndsCancelledWhoeverCompletesIt)
{
    const CancelRow &row = GetParam();
    Configure();
    bus_->SetCancelMode(row.mode);
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    read.Start();
    bus_->Drain();
    EXPECT_TRUE(IoCancelIrp(read.Irp()));
    if (row.doneInsideTheCall) {
        EXPECT_TRUE(read.Done());
    }
    bus_->Drain();
    EXPECT_EQ(read.Done(), !row.held);
    EXPECT_EQ(bus_->HeldCancelled(), row.held ? 1u : 0u);
    EXPECT_EQ(bus_->PendingTransfers(), 0u);
    bus_->ReleaseHeldCancelled();
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(read.Length(), 0u);
    EXPECT_EQ(read.CompletedOn(), row.completedOn);
    EXPECT_EQ(read.CompletedAt(), DISPATCH_LEVEL);
    EXPECT_EQ(bus_->HeldCancelled(), 0u);
    auto log = bus_->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(log.back().status, USBD_STATUS_CANCELED);
    EXPECT_EQ(log.back().endpoint, kIn);
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelModeTest,
                         testing::Values(CancelRow{CancelMode::Controller, false, false, "usb controller"},
                                         CancelRow{CancelMode::Inline, true, false, "test"},
                                         CancelRow{CancelMode::Hold, false, true, "test"}));

TEST_F(BusTest, DeviceGoneFailsPendingAndNewRequests)
{
    Configure();
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    read.Start();
    bus_->Drain();
    bus_->SetDeviceGone(true);
    EXPECT_EQ(read.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbStatus(), USBD_STATUS_DEVICE_GONE);

    Bytes buffer(18);
    URB urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    SyncResult result = SubmitAndWait(Pdo(), &urb);
    EXPECT_EQ(result.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(result.final, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusTest, ResetPipeReachesTheDevice)
{
    Configure();
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    urb.UrbPipeRequest.Hdr.Length = sizeof(urb.UrbPipeRequest);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = PipeFor(kIn);
    EXPECT_EQ(SubmitAndWait(Pdo(), &urb).final, STATUS_SUCCESS);
    EXPECT_EQ(device_.ResetCount(kIn), 1);
    EXPECT_EQ(device_.ResetCount(kOut), 0);
    std::vector<sim::usb::UrbRecord> log = bus_->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(log.back().endpoint, kIn);
}

TEST_F(BusTest, PowerRequestsMayBeLeftPendingAndCompleteLater)
{
    constexpr sim::Ticks kDelay = 2 * sim::kTicksPerMillisecond;
    bus_->SetPowerPending(true, kDelay);
    bool done = false;
    NTSTATUS final = STATUS_NOT_SUPPORTED;
    PIRP irp = sim::io::AllocateSystemIrp(Pdo()->StackSize, [&](PIRP finished) {
        final = finished->IoStatus.Status;
        sim::io::FreeSystemIrp(finished);
        sim::Scheduler::Get().Change([&] { done = true; });
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(PoCallDriver(Pdo(), irp), STATUS_PENDING);
    EXPECT_FALSE(sim::Scheduler::Get().Read([&] { return done; }));
    sim::Scheduler::Get().Block([&] { return done; }, std::nullopt, "the power request");
    EXPECT_EQ(final, STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(kDelay));
    ASSERT_EQ(bus_->PdoRequests().size(), 1u);
    EXPECT_EQ(bus_->PdoRequests()[0].major, IRP_MJ_POWER);
}

TEST_F(BusTest, ScheduledDeviceEventsHappenAtTheirKernelTime)
{
    Configure();
    Transfer read(Pdo(), PipeFor(kIn), kReadFlags, Bytes(8));
    read.Start();
    const ULONGLONG start = KeQueryInterruptTime();
    bus_->Schedule(250 * sim::kTicksPerMillisecond, [this] { device_.PushIn(kIn, {42}); });
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 2'500'000u);
    EXPECT_EQ(read.Data(), Bytes{42});
}

}  // namespace
