// The simulated EZ-USB chip on its own, driven with hand-built requests: what
// the chip serves by itself, what only a loader serves, how it decides what
// runs, and what it records.
#include <gtest/gtest.h>

#include <vector>

#include "driver/usb/transport.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/usb/bus.h"
#include "tests/support/sim_test.h"

namespace {

using sim::chip::ChipOptions;
using sim::chip::ControlTransfer;
using sim::chip::EzUsbChip;
using sim::chip::KnownImages;
using sim::chip::Program;
using Bytes = std::vector<uint8_t>;

struct Result {
    NTSTATUS status;
    USBD_STATUS usbd;
};

class EzUsbChipTest : public testing_support::SimTest {
protected:
    Result Vendor(uint8_t request, uint16_t value, Bytes data)
    {
        URB urb{};
        BuildVendorRequest(&urb, request, value, data.data(), static_cast<ULONG>(data.size()));
        NTSTATUS status = SubmitUrbSync(bus.Pdo(), &urb);
        return {status, urb.UrbHeader.Status};
    }
    Result LoadInternal(uint16_t address, Bytes data) { return Vendor(sim::chip::kLoadInternal, address, data); }
    Result LoadExternal(uint16_t address, Bytes data) { return Vendor(sim::chip::kLoadExternal, address, data); }
    Result Cpucs(uint8_t value) { return LoadInternal(sim::chip::kCpuControl, {value}); }

    void WriteImage(const nuvix::fw::HexImage &image, bool external)
    {
        for (const auto &record : image)
            if ((record.address > sim::chip::kInternalLast) == external) {
                ASSERT_EQ(
                    (external ? LoadExternal(record.address, record.data) : LoadInternal(record.address, record.data))
                        .usbd,
                    USBD_STATUS_SUCCESS);
            }
    }

    void StartLoader()
    {
        WriteImage(KnownImages::Shipped().loader, false);
        Cpucs(0);
        ASSERT_EQ(chip.Running(), Program::Loader);
    }

    Bytes Descriptor(UCHAR type)
    {
        URB urb{};
        Bytes buffer(256);
        BuildDescriptorRequest(&urb, type, 0, 0, buffer.data(), static_cast<ULONG>(buffer.size()));
        if (!NT_SUCCESS(SubmitUrbSync(bus.Pdo(), &urb)))
            return {};
        buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return buffer;
    }

    EzUsbChip chip;
    sim::usb::Bus bus{chip, "usb chip"};
};

TEST_F(EzUsbChipTest, BlankChipEnumeratesWithoutBit15AndWithOneEmptyInterface)
{
    EXPECT_TRUE(chip.CpuHeld());
    EXPECT_EQ(chip.Running(), Program::None);
    Bytes device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, sim::adapter::kVendorId);
    EXPECT_EQ(device[10] | device[11] << 8, sim::chip::kProductBlank);
    EXPECT_EQ(device[11] & 0x80, 0);
    Bytes config = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    ASSERT_EQ(config.size(), 18u);
    EXPECT_EQ(config[4], 1) << "one interface";
    EXPECT_EQ(config[9 + 4], 0) << "no endpoints";
    EXPECT_TRUE(Descriptor(USB_STRING_DESCRIPTOR_TYPE).empty());
}

TEST_F(EzUsbChipTest, ExternalWriteStallsWithoutALoader)
{
    Result result = LoadExternal(0x8000, {1, 2, 3});
    EXPECT_EQ(result.usbd, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(NT_SUCCESS(result.status));
    EXPECT_EQ(chip.Memory(0x8000, 3), (Bytes{0, 0, 0}));
    auto transfers = chip.Transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].request, sim::chip::kLoadExternal);
    EXPECT_EQ(transfers[0].value, 0x8000);
    EXPECT_EQ(transfers[0].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(transfers[0].result, USBD_STATUS_STALL_PID);
}

TEST_F(EzUsbChipTest, InternalWritesStopAt1B3F)
{
    EXPECT_EQ(LoadInternal(0x1B3F, {0xAA}).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(LoadInternal(0x1B30, Bytes(16, 0x55)).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(LoadInternal(0x1B40, {0xBB}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(LoadInternal(0x1B3E, {1, 2, 3}).usbd, USBD_STATUS_STALL_PID) << "crosses 0x1B40";
    EXPECT_EQ(LoadInternal(0x8000, {1}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(chip.Memory(0x1B3E, 3), (Bytes{0x55, 0x55, 0x00}));
}

TEST_F(EzUsbChipTest, CpuControlWritesAreServedAndRecorded)
{
    EXPECT_EQ(Cpucs(1).usbd, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(chip.CpuHeld());
    EXPECT_EQ(Cpucs(0).usbd, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(chip.CpuHeld());
    EXPECT_EQ(chip.Running(), Program::Unrecognised) << "blank memory is no known program";
    EXPECT_EQ(LoadInternal(sim::chip::kCpuControl, {1, 0}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Cpucs(1).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(chip.Running(), Program::None);

    auto transfers = chip.Transfers();
    ASSERT_EQ(transfers.size(), 4u);
    const Bytes values[] = {{1}, {0}, {1, 0}, {1}};
    for (size_t i = 0; i < transfers.size(); i++) {
        EXPECT_EQ(transfers[i].kind, ControlTransfer::Kind::Vendor);
        EXPECT_EQ(transfers[i].requestType, 0x40);
        EXPECT_EQ(transfers[i].request, sim::chip::kLoadInternal);
        EXPECT_EQ(transfers[i].value, sim::chip::kCpuControl);
        EXPECT_EQ(transfers[i].index, 0);
        EXPECT_EQ(transfers[i].length, values[i].size());
        EXPECT_EQ(transfers[i].data, values[i]);
        EXPECT_EQ(transfers[i].result, i == 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS);
    }
}

TEST_F(EzUsbChipTest, UnknownVendorRequestsStall)
{
    EXPECT_EQ(Vendor(0xA1, 0x0000, {1}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Vendor(0x40, 0x0000, {}).usbd, USBD_STATUS_STALL_PID);
}

TEST_F(EzUsbChipTest, RunningLoaderServesExternalWritesUntilHeld)
{
    StartLoader();
    EXPECT_EQ(LoadExternal(0x8000, {1, 2, 3}).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(LoadExternal(0xFFFF, {9}).usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(LoadExternal(0xFFFF, {9, 9}).usbd, USBD_STATUS_STALL_PID) << "past the address space";
    EXPECT_EQ(LoadExternal(0x1B3F, {7}).usbd, USBD_STATUS_STALL_PID) << "the loader writes external memory only";
    EXPECT_EQ(chip.Memory(0x8000, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(LoadInternal(0x0000, {0x42}).usbd, USBD_STATUS_SUCCESS) << "internal writes while the 8051 runs";

    Cpucs(1);
    EXPECT_EQ(chip.Running(), Program::None);
    EXPECT_EQ(LoadExternal(0x8003, {4}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(chip.ReEnumerations(), 0) << "the loader does not re-enumerate";
}

TEST_F(EzUsbChipTest, MainFirmwareStartsAndReEnumerates)
{
    int calls = 0;
    Program started = Program::None;
    chip.OnReEnumerate([&](Program program) {
        calls++;
        started = program;
    });
    StartLoader();
    WriteImage(KnownImages::Shipped().main, true);
    Cpucs(1);
    WriteImage(KnownImages::Shipped().main, false);
    Cpucs(0);
    EXPECT_EQ(chip.Running(), Program::Main);
    EXPECT_EQ(chip.ReEnumerations(), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(started, Program::Main);

    Bytes device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[10] | device[11] << 8, sim::adapter::kProductRunning);
    EXPECT_EQ(Vendor(0xB0, 0, {}).usbd, USBD_STATUS_STALL_PID) << "the main firmware's own answer";
    EXPECT_EQ(LoadExternal(0x8000, {1}).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Cpucs(1).usbd, USBD_STATUS_SUCCESS) << "the chip still serves 0xA0";
    EXPECT_EQ(chip.Running(), Program::None);
}

TEST_F(EzUsbChipTest, RecordsDescriptorReads)
{
    Descriptor(USB_DEVICE_DESCRIPTOR_TYPE);
    Descriptor(USB_STRING_DESCRIPTOR_TYPE);
    auto transfers = chip.Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].kind, ControlTransfer::Kind::GetDescriptor);
    EXPECT_EQ(transfers[0].value, USB_DEVICE_DESCRIPTOR_TYPE << 8);
    EXPECT_EQ(transfers[0].length, 18);
    EXPECT_EQ(transfers[0].result, USBD_STATUS_SUCCESS);
    EXPECT_EQ(transfers[1].result, USBD_STATUS_STALL_PID);
}

class EzUsbChipStartTest : public testing_support::SimTest {};

TEST_F(EzUsbChipStartTest, ChipStartedRunningMainHoldsTheMainImage)
{
    ChipOptions options;
    options.runningMain = true;
    EzUsbChip chip(options);
    EXPECT_EQ(chip.Running(), Program::Main);
    EXPECT_FALSE(chip.CpuHeld());
    EXPECT_EQ(chip.ReEnumerations(), 0);
    ASSERT_NE(chip.Firmware(), nullptr);
    const auto &record = KnownImages::Shipped().main.front();
    EXPECT_EQ(chip.Memory(record.address, record.data.size()), record.data);
}

}  // namespace
