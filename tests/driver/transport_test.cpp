// Submitting URBs to the bus: the synchronous form, the asynchronous bulk
// form with its completion convention, cancelling with CancelAndWait, the
// reset of a pipe, and the pool and lock wrappers.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/port/reset_pipe.h"
#include "driver/usb/transport.h"
#include "sim/kernel/resources.h"
#include "tests/support/adapter_rig.h"
#include "tests/support/sim_test.h"

namespace {

using sim::ResourceKind;
using sim::Resources;
using sim::usb::CancelMode;
using sim::usb::CompletionMode;

constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x01;
constexpr LONGLONG kHalfSecond = 5'000'000;

// One transfer kind with its in-flight slot, as the driver's transfer paths
// keep them, and a completion routine that follows the driver's convention.
struct Transfer {
    AdapterContext *adapter = nullptr;
    PURB urb = nullptr;
    PUCHAR buffer = nullptr;
    PIRP slot = nullptr;
    KEVENT done;
    int completions = 0;
    PIRP slotAtCompletion = nullptr;
    KIRQL irqlAtCompletion = PASSIVE_LEVEL;
    USBD_STATUS status = 0;
    ULONG transferred = 0;
};

NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto *t = static_cast<Transfer *>(Context);
    LockAcquire(&t->adapter->Lock);
    t->slotAtCompletion = t->slot;
    t->irqlAtCompletion = t->adapter->Lock.SavedIrql;
    t->status = t->urb->UrbHeader.Status;
    t->transferred = t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    t->completions++;
    ReleaseCompletedTransfer(t->adapter, Irp, &t->slot);
    KeSetEvent(&t->done, EVENT_INCREMENT, FALSE);
    LockRelease(&t->adapter->Lock);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class TransportTest : public testing_support::SimTest {
protected:
    TransportTest()
    {
        rig.SelectConfiguration();
        transfer.adapter = rig.adapter;
        transfer.urb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
        transfer.buffer = static_cast<PUCHAR>(PoolAlloc(TRANSFER_CHUNK));
        KeInitializeEvent(&transfer.done, NotificationEvent, FALSE);
    }
    ~TransportTest() override
    {
        PoolFree(&transfer.urb);
        PoolFree(&transfer.buffer);
    }

    NTSTATUS StartRead(LockRecord *heldLock = nullptr)
    {
        BulkTransfer bulk{
            rig.adapter,  rig.adapter->LowerDevice, rig.Pipe(kIn),    BULK_FLAGS_READ, transfer.buffer, TRANSFER_CHUNK,
            transfer.urb, &transfer.slot,           TransferComplete, &transfer,       heldLock};
        return SubmitUrbAsync(&bulk);
    }

    NTSTATUS StartWrite(const std::vector<uint8_t> &bytes, LockRecord *heldLock = nullptr)
    {
        std::memcpy(transfer.buffer, bytes.data(), bytes.size());
        BulkTransfer bulk{rig.adapter,      rig.adapter->LowerDevice,
                          rig.Pipe(kOut),   BULK_FLAGS_PORT_WRITE,
                          transfer.buffer,  static_cast<ULONG>(bytes.size()),
                          transfer.urb,     &transfer.slot,
                          TransferComplete, &transfer,
                          heldLock};
        return SubmitUrbAsync(&bulk);
    }

    void WaitDone() { KeWaitForSingleObject(&transfer.done, Executive, KernelMode, FALSE, nullptr); }
    static ULONGLONG Now() { return KeQueryInterruptTime(); }

    testing_support::AdapterRig rig;
    Transfer transfer;
};

// --- Pool and lock wrappers ------------------------------------------------

TEST_F(TransportTest, PoolFreeClearsThePointerAndAFailedAllocationIsNull)
{
    PUCHAR block = static_cast<PUCHAR>(PoolAlloc(100));
    ASSERT_NE(block, nullptr);
    PoolFree(&block);
    EXPECT_EQ(block, nullptr);
    PoolFree(&block);  // a second free of the same field is harmless

    Resources::Get().FailNth(ResourceKind::Pool, 1);
    EXPECT_EQ(PoolAlloc(16), nullptr);
}

TEST_F(TransportTest, LockRaisesToDispatchAndRestoresTheSavedLevel)
{
    KIRQL outer;
    KeRaiseIrql(APC_LEVEL, &outer);
    LockAcquire(&rig.adapter->Lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(rig.adapter->Lock.SavedIrql, APC_LEVEL);
    LockRelease(&rig.adapter->Lock);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(outer);
}

// --- Synchronous submission ------------------------------------------------

TEST_F(TransportTest, SyncSubmissionReturnsAtOnceWhenTheBusCompletesInline)
{
    rig.bus.SetCompletionMode(CompletionMode::Inline);
    PURB urb = static_cast<PURB>(PoolAlloc(DESCRIPTOR_URB_SIZE));
    PUCHAR descriptor = static_cast<PUCHAR>(PoolAlloc(18));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18);

    EXPECT_EQ(SubmitUrbSync(rig.adapter->LowerDevice, urb), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(descriptor[1], USB_DEVICE_DESCRIPTOR_TYPE);
    PoolFree(&descriptor);
    PoolFree(&urb);
}

TEST_F(TransportTest, SyncSubmissionWaitsForAPendingRequestAndReportsItsStatus)
{
    rig.bus.SetCompletionMode(CompletionMode::Pend);
    PURB urb = static_cast<PURB>(PoolAlloc(DESCRIPTOR_URB_SIZE));
    PUCHAR buffer = static_cast<PUCHAR>(PoolAlloc(255));

    // The adapter form reaches the same lower device through the device object.
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, 255);
    EXPECT_EQ(SubmitAdapterUrbSync(rig.fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength,
              reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength);

    // A string the device does not have stalls: the request fails.
    BuildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, buffer, 255);
    EXPECT_EQ(SubmitUrbSync(rig.adapter->LowerDevice, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    PoolFree(&buffer);
    PoolFree(&urb);
}

TEST_F(TransportTest, SyncSubmissionWithoutARequestReportsInsufficientResources)
{
    PURB urb = static_cast<PURB>(PoolAlloc(VENDOR_URB_SIZE));
    UCHAR data[4] = {1, 2, 3, 4};
    BuildVendorRequest(urb, 0xA0, 0x7F92, data, sizeof(data));
    Resources::Get().FailNth(ResourceKind::Irp, 1);
    EXPECT_EQ(SubmitUrbSync(rig.adapter->LowerDevice, urb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(rig.device.ControlRequests().empty());

    EXPECT_EQ(SubmitUrbSync(rig.adapter->LowerDevice, urb), STATUS_SUCCESS);
    ASSERT_EQ(rig.device.ControlRequests().size(), 1u);
    sim::usb::SetupPacket setup = rig.device.ControlRequests()[0];
    EXPECT_EQ(setup.requestType, 0x40);  // vendor, device, host to device
    EXPECT_EQ(setup.request, 0xA0);
    EXPECT_EQ(setup.value, 0x7F92);
    EXPECT_EQ(setup.index, 0);
    EXPECT_EQ(setup.length, 4);
    PoolFree(&urb);
}

TEST_F(TransportTest, DeselectingLeavesTheDeviceUnconfigured)
{
    PURB urb = static_cast<PURB>(PoolAlloc(DESELECT_URB_SIZE));
    BuildDeselectConfiguration(urb);
    EXPECT_EQ(SubmitUrbSync(rig.adapter->LowerDevice, urb), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.Configuration(), 0);
    PoolFree(&urb);
}

// --- Asynchronous bulk transfers -------------------------------------------

TEST_F(TransportTest, ShortReadCompletesWithTheBytesReceived)
{
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    EXPECT_NE(transfer.slot, nullptr);

    rig.device.PushIn(kIn, {'h', 'e', 'l', 'l', 'o'});
    WaitDone();
    EXPECT_EQ(transfer.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(transfer.transferred, 5u);
    EXPECT_EQ(std::memcmp(transfer.buffer, "hello", 5), 0);
    EXPECT_EQ(transfer.slot, nullptr);
    EXPECT_EQ(transfer.irqlAtCompletion, DISPATCH_LEVEL);
}

TEST_F(TransportTest, BothCompletionOrdersFreeTheRequestAndEmptyTheSlot)
{
    // The bus completes inside IofCallDriver: the slot already holds the
    // request when the completion routine runs, and is empty afterwards.
    rig.bus.SetCompletionMode(CompletionMode::Inline);
    EXPECT_EQ(StartWrite({1, 2, 3}), STATUS_SUCCESS);
    EXPECT_EQ(transfer.completions, 1);
    EXPECT_NE(transfer.slotAtCompletion, nullptr);
    EXPECT_EQ(transfer.slot, nullptr);

    // The controller completes later: IofCallDriver returns first.
    rig.bus.SetCompletionMode(CompletionMode::Pend);
    KeClearEvent(&transfer.done);
    EXPECT_EQ(StartWrite({4, 5}), STATUS_PENDING);
    WaitDone();
    EXPECT_EQ(transfer.completions, 2);
    EXPECT_EQ(transfer.transferred, 2u);
    EXPECT_EQ(rig.device.TakeOut(kOut), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Mdl), 0u);
}

// A transfer started while Lock is held goes down when Lock is released, so
// a bus that completes inside IofCallDriver finds Lock free for the
// completion routine instead of spinning on its own processor's lock.
TEST_F(TransportTest, TransfersStartedUnderTheLockGoDownWhenItIsReleased)
{
    rig.bus.SetCompletionMode(CompletionMode::Inline);
    LockAcquire(&rig.adapter->Lock);
    EXPECT_EQ(StartWrite({9}, &rig.adapter->Lock), STATUS_PENDING);
    EXPECT_NE(transfer.slot, nullptr);
    EXPECT_TRUE(rig.device.TakeOut(kOut).empty());
    EXPECT_TRUE(rig.bus.Log().empty() || rig.bus.Log().back().function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    LockRelease(&rig.adapter->Lock);

    EXPECT_EQ(transfer.completions, 1);  // completed inline, inside LockRelease
    EXPECT_EQ(transfer.slot, nullptr);
    EXPECT_EQ(rig.device.TakeOut(kOut), std::vector<uint8_t>{9});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Later completion: the controller thread waits for Lock like any other.
    rig.bus.SetCompletionMode(CompletionMode::Pend);
    KeClearEvent(&transfer.done);
    LockAcquire(&rig.adapter->Lock);
    EXPECT_EQ(StartRead(&rig.adapter->Lock), STATUS_PENDING);
    rig.device.PushIn(kIn, {1, 2});
    LockRelease(&rig.adapter->Lock);
    WaitDone();
    EXPECT_EQ(transfer.transferred, 2u);
}

TEST_F(TransportTest, FailedTransferReportsTheBusStatus)
{
    rig.device.FailNext(kIn, USBD_STATUS_STALL_PID);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    WaitDone();
    EXPECT_EQ(transfer.status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(transfer.transferred, 0u);
}

TEST_F(TransportTest, AllocationFailuresLeaveTheSlotEmptyAndNothingAllocated)
{
    uint64_t irpsBefore = Resources::Get().AllocationCount(ResourceKind::Irp);
    Resources::Get().FailNth(ResourceKind::Irp, 1);
    EXPECT_EQ(StartRead(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(transfer.slot, nullptr);
    EXPECT_EQ(Resources::Get().AllocationCount(ResourceKind::Irp), irpsBefore);

    Resources::Get().FailNth(ResourceKind::Mdl, 1);
    EXPECT_EQ(StartRead(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(transfer.slot, nullptr);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Mdl), 0u);
    EXPECT_TRUE(rig.bus.Log().empty() || rig.bus.Log().back().function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
}

// --- Cancel and wait ---------------------------------------------------------

TEST_F(TransportTest, CancelWithAnEmptySlotReturnsAtOnceAndLeavesTheEventAlone)
{
    KeSetEvent(&transfer.done, EVENT_INCREMENT, FALSE);
    CancelAndWait(rig.adapter, &transfer.slot, &transfer.done);
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(KeReadStateEvent(&transfer.done), 1);
}

TEST_F(TransportTest, CancelWithoutAnEventReturnsRightAfterTheCancel)
{
    rig.bus.SetCancelMode(CancelMode::Hold);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    CancelAndWait(rig.adapter, &transfer.slot, nullptr);
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(transfer.completions, 0);
    EXPECT_EQ(rig.bus.HeldCancelled(), 1u);

    rig.bus.ReleaseHeldCancelled();
    WaitDone();
    EXPECT_EQ(transfer.status, USBD_STATUS_CANCELED);
    EXPECT_EQ(transfer.slot, nullptr);
}

TEST_F(TransportTest, CancelWaitIsBoundedByHalfASecondWhenTheRequestNeverReturns)
{
    rig.bus.SetCancelMode(CancelMode::Hold);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    CancelAndWait(rig.adapter, &transfer.slot, &transfer.done);
    EXPECT_EQ(Now(), static_cast<ULONGLONG>(kHalfSecond));
    EXPECT_EQ(transfer.completions, 0);
    EXPECT_NE(transfer.slot, nullptr);  // still in flight: nobody freed it

    rig.bus.ReleaseHeldCancelled();
    WaitDone();
    EXPECT_EQ(transfer.slot, nullptr);
}

TEST_F(TransportTest, CancelEndsEarlyWhenTheCompletionSignalsAfterTheClear)
{
    rig.bus.SetCancelMode(CancelMode::Hold);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    // The bus lets the cancelled read go 0.1 s into the wait.
    sim::World::Current().OpenWindow();
    sim::Thread bus("late bus", [this] {
        LARGE_INTEGER delay;
        delay.QuadPart = -1'000'000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        rig.bus.ReleaseHeldCancelled();
    });
    CancelAndWait(rig.adapter, &transfer.slot, &transfer.done);
    EXPECT_EQ(Now(), 1'000'000u);
    bus.Join();
    sim::World::Current().CloseWindow();
    EXPECT_EQ(transfer.completions, 1);
    EXPECT_EQ(transfer.status, USBD_STATUS_CANCELED);
    EXPECT_EQ(transfer.slot, nullptr);
}

// A bus that completes the cancelled request inside IoCancelIrp, on the
// cancelling thread. Holding Lock across that call would make the completion
// routine spin on a lock its own thread holds (the verifier reports it as a
// recursive acquisition). CancelAndWait calls IoCancelIrp without Lock; the
// completion routine then parks the request, and CancelAndWait frees it after
// IoCancelIrp has returned, so the request is never freed under the cancel.
TEST_F(TransportTest, CancelCompletedInsideTheCancelCallNeitherHangsNorFreesEarly)
{
    rig.bus.SetCancelMode(CancelMode::Inline);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    CancelAndWait(rig.adapter, &transfer.slot, &transfer.done);

    EXPECT_EQ(transfer.completions, 1);
    EXPECT_EQ(transfer.status, USBD_STATUS_CANCELED);
    EXPECT_EQ(transfer.slot, nullptr);
    // The completion signalled before CancelAndWait cleared the event: the
    // full half second elapses, as callers expect.
    EXPECT_EQ(Now(), static_cast<ULONGLONG>(kHalfSecond));
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
    EXPECT_EQ(rig.adapter->CancelsInProgress, 0u);
    EXPECT_TRUE(IsListEmpty(&rig.adapter->ParkedRequests));
}

TEST_F(TransportTest, ConcurrentCancellersOfOneRequestFreeItExactlyOnce)
{
    rig.bus.SetCancelMode(CancelMode::Inline);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    sim::World::Current().OpenWindow();
    sim::Thread other("second canceller", [this] { CancelAndWait(rig.adapter, &transfer.slot, nullptr); });
    CancelAndWait(rig.adapter, &transfer.slot, nullptr);
    other.Join();
    sim::World::Current().CloseWindow();
    EXPECT_EQ(transfer.completions, 1);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
}

// --- Resetting a port's OUT pipe ------------------------------------------

TEST_F(TransportTest, ResetPipeWaitsForAPendingResetAndFreesEverything)
{
    PortContext *port = rig.AddPort(1, kIn, kOut);
    rig.bus.SetCompletionMode(CompletionMode::Pend);
    EXPECT_EQ(ResetPortOutPipe(port), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.ResetCount(kOut), 1);

    rig.bus.SetCompletionMode(CompletionMode::Inline);
    EXPECT_EQ(ResetPortOutPipe(port), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.ResetCount(kOut), 2);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
}

TEST_F(TransportTest, ResetPipeWithoutRequestOrUrbFreesTheOtherHalf)
{
    PortContext *port = rig.AddPort(1, kIn, kOut);
    size_t poolBefore = Resources::Get().LiveCount(ResourceKind::Pool);

    Resources::Get().FailNth(ResourceKind::Irp, 1);
    EXPECT_EQ(ResetPortOutPipe(port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Pool), poolBefore);

    Resources::Get().FailNth(ResourceKind::Pool, 1, POOL_TAG);
    EXPECT_EQ(ResetPortOutPipe(port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
    EXPECT_EQ(rig.device.ResetCount(kOut), 0);
}

}  // namespace

namespace {

// Why CancelAndWait lets go of Lock before IoCancelIrp: against a bus that
// completes inside the cancel call, holding it there stops the machine.
TEST_F(TransportTest, CancellingUnderTheLockAgainstAnInlineCancellingBusIsABugCheck)
{
    rig.bus.SetCancelMode(CancelMode::Inline);
    ASSERT_EQ(StartRead(), STATUS_PENDING);
    rig.bus.Drain();
    EXPECT_DEATH(
        {
            LockAcquire(&rig.adapter->Lock);
            IoCancelIrp(transfer.slot);
        },
        "SPIN_LOCK_ALREADY_OWNED");
    CancelAndWait(rig.adapter, &transfer.slot, nullptr);
}

// Transfers started, completed and cancelled from several threads at once,
// with the bus choosing per request whether to complete inline or later.
TEST_F(TransportTest, RacingCancelsAndCompletionsLoseNothing)
{
    rig.bus.SetCompletionMode(CompletionMode::Random);
    rig.bus.SetCancelMode(CancelMode::Inline);
    int cancelled = 0;
    int received = 0;
    for (int round = 0; round < 200; round++) {
        if (round == 198)  // searched: a round with a cancel, and one without
            sim::World::Current().OpenWindow();
        KeClearEvent(&transfer.done);
        int before = transfer.completions;
        ASSERT_TRUE(NT_SUCCESS(StartRead()));
        sim::Thread device("device", [this] { rig.device.PushIn(kIn, {7}); });
        if (round % 3 == 0)
            CancelAndWait(rig.adapter, &transfer.slot, nullptr);
        device.Join();
        WaitDone();
        ASSERT_EQ(transfer.completions, before + 1);
        if (transfer.status == USBD_STATUS_CANCELED) {
            cancelled++;
        } else {
            ASSERT_EQ(transfer.transferred, 1u);
            received++;
        }
    }
    sim::World::Current().CloseWindow();
    // A cancelled read leaves its byte queued in the device for the next one.
    EXPECT_GT(received, 0);
    EXPECT_EQ(received + cancelled, 200);
    EXPECT_EQ(Resources::Get().LiveCount(ResourceKind::Irp), 0u);
    EXPECT_EQ(rig.adapter->CancelsInProgress, 0u);
}

}  // namespace
