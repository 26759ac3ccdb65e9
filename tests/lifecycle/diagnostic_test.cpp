// The diagnostic control device, opened through its DOS link from the
// user-mode side.
#include <cstring>

#include "driver/base/protocol.h"
#include "driver/diag/control_device.h"
#include "driver/usb/transport.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/user/device_file.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;

constexpr const char *kLink = "\\DosDevices\\ZerafinTest";

class DiagnosticTest : public LifecycleTest {
protected:
    NTSTATUS GetInfo(sim::user::Handle handle, std::vector<uint8_t> input, ULONG outputLength, ULONG *returned)
    {
        output.assign(std::max<ULONG>(outputLength, 1), 0);
        return sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), static_cast<ULONG>(input.size()),
                                          output.data(), outputLength, returned);
    }
    static std::vector<uint8_t> InfoRequest(uint8_t port)
    {
        std::vector<uint8_t> input(34, 0);
        input[0] = port;
        return input;
    }
    std::vector<uint8_t> output;
};

TEST_F(DiagnosticTest, TheInformationBlockComesBackWhole)
{
    sim::pnp::Device &device = PlugAdapter("D1");
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(device.Model());
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    ULONG returned = 0;
    EXPECT_EQ(GetInfo(handle, InfoRequest(1), 35, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 35u);
    auto block = firmware.InfoBlock();
    EXPECT_EQ(std::memcmp(output.data(), block.data(), 35), 0);
    auto last = firmware.Commands().back();
    EXPECT_EQ(last.size(), 35u);
    EXPECT_EQ(last[0], CMD_GET_INFO);

    // Too little room either way: refused at once, nothing sent.
    size_t sent = firmware.Commands().size();
    EXPECT_EQ(GetInfo(handle, std::vector<uint8_t>(33, 1), 35, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetInfo(handle, InfoRequest(1), 34, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(firmware.Commands().size(), sent);

    // Any other code, a serial one for instance.
    EXPECT_EQ(sim::user::DeviceIoControl(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, output.data(), 4, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

TEST_F(DiagnosticTest, ABadPortByteRunsIntoTheTenSecondLimit)
{
    PlugAdapter("D2");
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    ULONG returned = 99;
    ULONGLONG start = Now();
    EXPECT_EQ(GetInfo(handle, InfoRequest(5), 35, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Now() - start, 100'000'000u);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

TEST_F(DiagnosticTest, OpeningNeedsTheMainFirmwareRunningAndSurvivesAStop)
{
    // A blank chip gets its firmware at start: nothing to open then.
    models.push_back(std::make_unique<sim::chip::EzUsbChip>());
    auto &blank = static_cast<sim::chip::EzUsbChip &>(*models.back());
    EXPECT_EQ(pnp->Plug(blank).status, STATUS_SUCCESS);
    sim::user::Handle handle = nullptr;
    EXPECT_EQ(sim::user::Open(kLink, &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp->SurpriseRemove(*pnp->Current(blank)), STATUS_SUCCESS);

    // Once the chip comes back running the main firmware, it can be opened.
    auto &chip = PlugChip();
    sim::pnp::Device *running = pnp->Current(chip);
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(Adapter(*running)->ControlOpenAllowed);
    EXPECT_FALSE(pnp->Stop(*running).Refused());
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(pnp->Restart(*running), STATUS_SUCCESS);
    EXPECT_EQ(pnp->SendRemove(*running), STATUS_SUCCESS);
}

TEST_F(DiagnosticTest, TheAlternateFirmwareIsLoadedThroughTheControlDevice)
{
    sim::chip::ChipOptions options;
    options.runningMain = true;
    options.serialNumber = "ALT1";
    auto &chip = PlugChip(options);
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    ULONG returned = 1;
    EXPECT_EQ(sim::user::DeviceIoControl(handle, IOCTL_DIAG_LOAD_ALTERNATE, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(chip.Running(), sim::chip::Program::Alternate);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    pnp->WaitIdle();
}

// Closing the diagnostic device cancels the response read even while a port
// is open; the port's next command starts the reader again, so its answer
// still arrives (without that, every port's commands would time out).
TEST_F(DiagnosticTest, ClosingCancelsTheReaderAndThePortsNextCommandStartsItAgain)
{
    sim::pnp::Device &device = PlugAdapter("D3");
    AdapterContext *adapter = Adapter(device);
    sim::host::HostPort *port = HostPort("D3", 0);
    ASSERT_TRUE(Host("D3")->Open(*port));
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    device.Bus().Drain();
    LockAcquire(&adapter->Lock);
    EXPECT_EQ(adapter->CommandInIrp, nullptr);
    LockRelease(&adapter->Lock);
    ULONGLONG start = Now();
    EXPECT_TRUE(Host("D3")->Bind(*port, 256, 256));
    EXPECT_LT(Now() - start, 10'000'000u);
    EXPECT_TRUE(Host("D3")->Close(*port));
}

TEST_F(DiagnosticTest, AHandleThatOutlivesItsAdapterGetsNothingDone)
{
    sim::pnp::Device &device = PlugAdapter("D4");
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open(kLink, &handle), STATUS_SUCCESS);
    EXPECT_FALSE(pnp->Remove(device).Refused());
    ULONG returned = 0;
    EXPECT_EQ(GetInfo(handle, InfoRequest(1), 35, &returned), STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::user::DeviceIoControl(handle, IOCTL_DIAG_LOAD_ALTERNATE, nullptr, 0, nullptr, 0, &returned),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

}  // namespace
