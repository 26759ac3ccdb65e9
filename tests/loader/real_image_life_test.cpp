// The real image, nuvixusb.sys as the target build links it, loaded the way
// the platform loads it and run through an adapter's whole life in the
// simulation: its entry point is DriverEntry, its one export gives the host
// serial driver the service table, and every platform routine it calls is
// the simulation's, with the verifier's checks.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/base/protocol.h"
#include "driver/diag/control_device.h"
#include "sim/adapter/main_firmware.h"
#include "sim/user/device_file.h"

#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/registry.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/loader/real_image_support.h"
#include "tests/support/sim_test.h"

namespace {

constexpr int64_t kPatience = 2 * sim::kTicksPerSecond;

class RealImageLifeTest : public testing_support::SimTest {
protected:
    void SetUp() override
    {
        sim::loader::LoadResult result = sim::loader::LoadImageFile(testing_support::RealImagePath());
        ASSERT_TRUE(result.image) << result.error;
        image = std::move(result.image);
        sim::Registry::Get().CreateKey(sim::pnp::PnpManager::kParametersKey);
        pnp = std::make_unique<sim::pnp::PnpManager>(image->Entry(), image->GetServiceTable());
        ASSERT_EQ(pnp->EntryStatus(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        pnp.reset();
        SimTest::TearDown();
    }

    sim::chip::EzUsbChip &PlugChip()
    {
        chips.push_back(std::make_unique<sim::chip::EzUsbChip>());
        sim::chip::EzUsbChip &chip = *chips.back();
        EXPECT_EQ(sim::pnp::PlugChip(*pnp, chip).status, STATUS_SUCCESS);
        return chip;
    }

    static sim::host::HostSerialDriver &Host() { return *sim::pnp::ConfigManager::Get().HostFor(kSerial); }
    static sim::host::HostPort &Port(int index) { return *sim::pnp::ConfigManager::Get().HostPortFor(kSerial, index); }

    void OpenAll()
    {
        for (int i = 0; i < 4; i++) {
            ASSERT_TRUE(Host().Open(Port(i))) << i;
            ASSERT_TRUE(Host().Bind(Port(i), 700 + 100 * i, 500 + 50 * i)) << i;
            // Hardware flow control, so a full receiver holds the sender off.
            SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
            Host().Control(Port(i), IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
        }
    }

    // Sends total bytes through a looped-back port; every one must return.
    void Echo(int index, size_t total)
    {
        size_t sent = 0, received = 0;
        std::vector<uint8_t> buffer(256);
        while (received < total) {
            while (sent < total) {
                uint8_t chunk[97];
                size_t n = std::min(sizeof(chunk), total - sent);
                for (size_t i = 0; i < n; i++)
                    chunk[i] = static_cast<uint8_t>((sent + i) * 7 + index);
                size_t taken = Host().Write(Port(index), chunk, n);
                sent += taken;
                if (taken < n)
                    break;
            }
            size_t n = Host().Read(Port(index), buffer.data(), buffer.size());
            for (size_t i = 0; i < n; i++)
                ASSERT_EQ(buffer[i], static_cast<uint8_t>((received + i) * 7 + index)) << "byte " << received + i;
            received += n;
            if (n == 0) {
                ASSERT_TRUE(Host().WaitReadable(Port(index), kPatience)) << "stalled at " << received;
            }
        }
    }

    static constexpr const char *kSerial = "NX4A0001";
    std::unique_ptr<sim::loader::LoadedImage> image;
    std::vector<std::unique_ptr<sim::chip::EzUsbChip>> chips;
    std::unique_ptr<sim::pnp::PnpManager> pnp;
};

// Blank chip, download, re-enumeration, configuration, four ports with data
// checked, modem events, the diagnostic block, closes with their drain,
// surprise removal, the same chip plugged in again and used again; the
// pool check runs at the end (SimTest).
TEST_F(RealImageLifeTest, AdapterLifeFromBlankChipToReplug)
{
    sim::chip::EzUsbChip &chip = PlugChip();
    ASSERT_EQ(chip.Running(), sim::chip::Program::Main);
    EXPECT_EQ(chip.ReEnumerations(), 1);
    sim::pnp::Device *device = pnp->Current(chip);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->State(), sim::pnp::DeviceState::Started);
    ASSERT_NE(sim::pnp::ConfigManager::Get().HostFor(kSerial), nullptr) << "the enumeration node loaded no host";

    chip.Firmware()->ConnectLoopback(1);
    chip.Firmware()->ConnectLoopback(2);
    chip.Firmware()->ConnectNullModem(3, 4);
    OpenAll();
    Echo(0, 20000);
    Echo(1, 20000);

    // DTR dropped and raised again on port 3 shows as events at port 4, its
    // null-modem peer.
    for (ULONG code : {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_DTR}) {
        size_t before = Port(3).Events().size();
        ASSERT_TRUE(Host().Control(Port(2), code, nullptr, 0, nullptr, 0));
        ASSERT_TRUE(Host().WaitEvents(Port(3), before + 1, kPatience)) << code;
        EXPECT_EQ(Port(3).Events().back().PortNumber, 4);
    }

    // The diagnostic device's information block comes back whole.
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_SUCCESS);
    std::vector<uint8_t> input(34, 0), output(35, 0);
    input[0] = 1;
    ULONG returned = 0;
    EXPECT_EQ(sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), ULONG(input.size()), output.data(),
                                         ULONG(output.size()), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 35u);
    auto block = chip.Firmware()->InfoBlock();
    EXPECT_EQ(std::memcmp(output.data(), block.data(), 35), 0);
    sim::user::Close(handle);

    // Each close drains its port with the echo marker.
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(Host().Close(Port(i))) << i;

    // Pulled out with ports open, plugged in again: a working adapter again.
    OpenAll();
    EXPECT_EQ(pnp->SurpriseRemove(*device), STATUS_SUCCESS);
    pnp->WaitIdle();
    ASSERT_EQ(pnp->Plug(chip).status, STATUS_SUCCESS);
    pnp->WaitIdle();
    device = pnp->Current(chip);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->State(), sim::pnp::DeviceState::Started);
    chip.Firmware()->ConnectLoopback(1);
    OpenAll();
    Echo(0, 5000);
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(Host().Close(Port(i))) << i;
    EXPECT_EQ(pnp->SurpriseRemove(*device), STATUS_SUCCESS);
}

}  // namespace
