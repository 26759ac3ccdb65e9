// The bus's full-speed bulk timing: 1 ms frames, at most one 64-byte packet
// per pipe per frame and 19 bulk packets per frame on the whole bus; an IN
// the device has no data for is NAKed and tried again in the frame after the
// device says it has some.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"
#include "tests/support/bulk_request.h"
#include "tests/support/bus_configuration.h"
#include "tests/support/sim_test.h"

namespace {

using testing_support::BulkRequest;
constexpr sim::Ticks kFrame = sim::kTicksPerMillisecond;

sim::Ticks Now() { return sim::Scheduler::Get().Now(); }

class BulkTimingTest : public testing_support::SimTest {
protected:
    // Every OUT endpoint 1..15 and IN endpoint 0x81..0x8F, in that order.
    void Configure()
    {
        std::vector<uint8_t> endpoints;
        for (uint8_t n = 1; n <= 15; n++)
            endpoints.push_back(n);
        for (uint8_t n = 1; n <= 15; n++)
            endpoints.push_back(uint8_t(0x80 | n));
        device.SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sim::usb::MakeBulkConfiguration(endpoints));
        pipes = testing_support::SelectWholeConfiguration([this](PURB urb) { return SubmitSync(urb); });
        ASSERT_EQ(pipes.size(), 30u);
        bus.SetBulkTiming(true);
    }
    NTSTATUS SubmitSync(PURB urb)
    {
        KEVENT done;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.Pdo(), nullptr, 0, nullptr, 0, TRUE,
                                                 &done, &status);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        if (IofCallDriver(bus.Pdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status.Status;
    }
    std::unique_ptr<BulkRequest> Out(int pipe, size_t length)
    {
        return std::make_unique<BulkRequest>(bus.Pdo(), pipes[pipe].PipeHandle, USBD_TRANSFER_DIRECTION_OUT,
                                             BulkRequest::Bytes(length, 0x5A));
    }
    static void Pause(sim::Ticks ticks)
    {
        sim::Scheduler::Get().Block([] { return false; }, Now() + ticks, "a pause");
    }

    sim::usb::ScriptedDevice device;
    sim::usb::Bus bus{device};
    std::vector<USBD_PIPE_INFORMATION> pipes;
};

TEST_F(BulkTimingTest, APipeCarriesOnePacketPerFrame)
{
    Configure();
    const sim::Ticks start = Now();
    for (int i = 0; i < 5; i++) {
        auto request = Out(0, 64);
        EXPECT_EQ(request->Start(), STATUS_PENDING) << "timed bulk transfers always pend";
        EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(Now() - start, (i + 1) * kFrame) << "transfer " << i;
    }
    // 200 bytes are four packets, so four frames.
    auto longer = Out(0, 200);
    longer->Start();
    EXPECT_EQ(longer->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, 9 * kFrame);
    EXPECT_EQ(device.TakeOut(0x01).size(), 5 * 64u + 200u);
}

TEST_F(BulkTimingTest, TheBusCarriesNineteenPacketsPerFrameSharedByEveryPipe)
{
    Configure();
    Pause(kFrame / 2);  // mid-frame: the transfers still go in the frame under way
    std::vector<std::unique_ptr<BulkRequest>> requests;
    for (int pipe = 0; pipe < 15; pipe++)
        requests.push_back(Out(pipe, 64));
    for (int pipe = 15; pipe < 30; pipe++) {
        device.PushIn(pipes[pipe].EndpointAddress, std::vector<uint8_t>(64, 1));
        requests.push_back(std::make_unique<BulkRequest>(bus.Pdo(), pipes[pipe].PipeHandle, USBD_TRANSFER_DIRECTION_IN,
                                                         BulkRequest::Bytes(64)));
    }
    for (auto &request : requests)
        EXPECT_EQ(request->Start(), STATUS_PENDING);
    size_t first = 0, second = 0;
    for (auto &request : requests) {
        EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
        first += request->CompletedTime() == kFrame;
        second += request->CompletedTime() == 2 * kFrame;
    }
    EXPECT_EQ(first, size_t(sim::usb::Bus::kBulkPacketsPerFrame));
    EXPECT_EQ(second, 30u - sim::usb::Bus::kBulkPacketsPerFrame) << "the rest go in the next frame";
    EXPECT_EQ(bus.Counts().bulkTransfers, 30u);
    EXPECT_EQ(bus.Counts().bytesIn, 15 * 64u);
}

TEST_F(BulkTimingTest, AnInWithoutDataIsNakedUntilTheDeviceHasSome)
{
    Configure();
    BulkRequest in(bus.Pdo(), pipes[15].PipeHandle, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                   BulkRequest::Bytes(64));
    EXPECT_EQ(in.Start(), STATUS_PENDING);
    EXPECT_FALSE(in.WaitFor(5 * kFrame + kFrame / 2));
    device.PushIn(pipes[15].EndpointAddress, {1, 2, 3});
    EXPECT_EQ(in.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Data(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Now(), 6 * kFrame) << "completed at the end of the frame the data arrived in";
}

TEST_F(BulkTimingTest, AWaitingTransferCanBeCancelled)
{
    Configure();
    BulkRequest in(bus.Pdo(), pipes[16].PipeHandle, USBD_TRANSFER_DIRECTION_IN, BulkRequest::Bytes(64));
    EXPECT_EQ(in.Start(), STATUS_PENDING);
    IoCancelIrp(in.Irp());
    EXPECT_EQ(in.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(in.UrbStatus(), USBD_STATUS_CANCELED);
}

}  // namespace
