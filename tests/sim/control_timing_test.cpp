// The bus's control-transfer timing: with a transfer time set, descriptor,
// vendor and select-configuration requests pend and complete exactly that
// much kernel time after they start; bulk transfers do not wait for it.
#include <gtest/gtest.h>

#include <vector>

#include "driver/usb/transport.h"
#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"
#include "tests/support/sim_test.h"

namespace {

constexpr sim::Ticks kFrame = sim::kTicksPerMillisecond;

class ControlTimingTest : public testing_support::SimTest {
protected:
    // Starts a vendor request and returns what IofCallDriver said; the
    // request's status lands in final_.
    NTSTATUS StartVendor()
    {
        BuildVendorRequest(&urb_, 0x42, 0x1234, data_, sizeof(data_));
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.Pdo(), nullptr, 0, nullptr, 0, TRUE,
                                                 &done_, &status_);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb_;
        return IofCallDriver(bus.Pdo(), irp);
    }
    void Wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

    sim::usb::ScriptedDevice device;
    sim::usb::Bus bus{device};
    URB urb_{};
    UCHAR data_[4] = {1, 2, 3, 4};
    KEVENT done_;
    IO_STATUS_BLOCK status_{};
};

TEST_F(ControlTimingTest, VendorRequestCompletesOneTransferTimeAfterItStarts)
{
    bus.SetCompletionMode(sim::usb::CompletionMode::Inline);
    bus.SetControlTransferTime(kFrame);
    const auto start = sim::Scheduler::Get().Now();
    EXPECT_EQ(StartVendor(), STATUS_PENDING) << "timed transfers always pend, even in inline mode";
    Wait();
    EXPECT_EQ(status_.Status, STATUS_SUCCESS);
    EXPECT_EQ(sim::Scheduler::Get().Now() - start, kFrame);
    ASSERT_EQ(device.ControlRequests().size(), 1u);
}

TEST_F(ControlTimingTest, BackToBackTransfersTakeOneTransferTimeEach)
{
    bus.SetControlTransferTime(kFrame);
    const auto start = sim::Scheduler::Get().Now();
    for (int i = 0; i < 10; i++) {
        URB urb{};
        UCHAR byte = UCHAR(i);
        BuildVendorRequest(&urb, 0x42, 0, &byte, 1);
        EXPECT_EQ(SubmitUrbSync(bus.Pdo(), &urb), STATUS_SUCCESS);
    }
    URB descriptor{};
    UCHAR buffer[18];
    BuildDescriptorRequest(&descriptor, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof(buffer));
    EXPECT_EQ(SubmitUrbSync(bus.Pdo(), &descriptor), STATUS_SUCCESS);
    EXPECT_EQ(sim::Scheduler::Get().Now() - start, 11 * kFrame);
}

TEST_F(ControlTimingTest, ZeroTurnsTheTimingOff)
{
    bus.SetControlTransferTime(kFrame);
    bus.SetControlTransferTime(0);
    const auto start = sim::Scheduler::Get().Now();
    URB urb{};
    BuildVendorRequest(&urb, 0x42, 0, data_, sizeof(data_));
    EXPECT_EQ(SubmitUrbSync(bus.Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(sim::Scheduler::Get().Now(), start);
}

TEST_F(ControlTimingTest, BulkTransfersDoNotWait)
{
    device.SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sim::usb::MakeBulkConfiguration({0x81, 0x01}));
    auto bytes = device.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0).value();
    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data()), &size);
    ASSERT_EQ(SubmitUrbSync(bus.Pdo(), select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out = select->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
    ExFreePool(select);

    bus.SetControlTransferTime(kFrame);
    const auto start = sim::Scheduler::Get().Now();
    URB urb{};
    auto &bulk = urb.UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(bulk);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = out;
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    bulk.TransferBuffer = data_;
    bulk.TransferBufferLength = sizeof(data_);
    EXPECT_EQ(SubmitUrbSync(bus.Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(sim::Scheduler::Get().Now(), start);
    EXPECT_EQ(device.TakeOut(0x01), (std::vector<uint8_t>{1, 2, 3, 4}));
}

}  // namespace
