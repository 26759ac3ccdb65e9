// The firmware download against the simulated EZ-USB chip: the exact order
// of the control transfers, where the internal/external line falls, how an
// image ends, what a failed write or a failed allocation changes, and what
// the chip runs afterwards.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "driver/firmware/download.h"
#include "driver/usb/transport.h"
#include "sim/kernel/resources.h"
#include "tests/support/chip_rig.h"
#include "tests/support/sim_test.h"

namespace {

using sim::ResourceKind;
using sim::Resources;
using sim::chip::ChipOptions;
using sim::chip::ControlTransfer;
using sim::chip::EzUsbChip;
using sim::chip::Program;
using testing_support::ChipRig;

constexpr size_t kLoaderRecords = 283;
constexpr size_t kMainInternal = 412;
constexpr size_t kMainExternal = 636;
constexpr size_t kAlternateInternal = 14;
constexpr size_t kAlternateExternal = 241;

// One vendor write as the chip should see it.
struct Write {
    uint8_t request;
    uint16_t value;
    std::vector<uint8_t> data;
    USBD_STATUS result = USBD_STATUS_SUCCESS;
};

Write Cpucs(uint8_t value) { return {FIRMWARE_LOAD_INTERNAL, FIRMWARE_CPUCS_ADDRESS, {value}}; }

bool IsInternal(const LoadRecord &record) { return record.Address <= FIRMWARE_INTERNAL_LAST; }

// The writes one pass over an image makes: its internal or its external
// records, in table order.
std::vector<Write> Pass(const LoadRecord *image, bool internal)
{
    std::vector<Write> writes;
    for (const LoadRecord *record = image; record->Type == LOAD_RECORD_DATA; record++)
        if (IsInternal(*record) == internal)
            writes.push_back({uint8_t(internal ? FIRMWARE_LOAD_INTERNAL : FIRMWARE_LOAD_EXTERNAL), record->Address,
                              std::vector<uint8_t>(record->Data, record->Data + record->Length)});
    return writes;
}

void Append(std::vector<Write> &to, const std::vector<Write> &writes)
{
    to.insert(to.end(), writes.begin(), writes.end());
}

std::vector<Write> LoadSequence(const LoadRecord *image)
{
    std::vector<Write> writes = Pass(image, false);
    writes.push_back(Cpucs(1));
    Append(writes, Pass(image, true));
    return writes;
}

std::vector<Write> DownloadSequence(const LoadRecord *firmware)
{
    std::vector<Write> writes = {Cpucs(1)};
    Append(writes, LoadSequence(LoaderImage));
    writes.push_back(Cpucs(0));
    Append(writes, LoadSequence(firmware));
    writes.push_back(Cpucs(1));
    writes.push_back(Cpucs(0));
    return writes;
}

std::vector<ControlTransfer> VendorTransfers(EzUsbChip &chip)
{
    std::vector<ControlTransfer> vendor;
    for (auto &transfer : chip.Transfers())
        if (transfer.kind == ControlTransfer::Kind::Vendor)
            vendor.push_back(transfer);
    return vendor;
}

std::string Describe(const ControlTransfer &t)
{
    std::ostringstream text;
    text << std::hex << "request 0x" << int(t.request) << " value 0x" << t.value << " index " << t.index << " length "
         << std::dec << t.length << " result 0x" << std::hex << t.result;
    return text.str();
}

// The chip saw exactly these writes, OUT vendor requests to the device,
// index 0, each with its data and result.
void ExpectTransfers(EzUsbChip &chip, const std::vector<Write> &expected)
{
    const auto seen = VendorTransfers(chip);
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); i++) {
        const ControlTransfer &t = seen[i];
        const Write &w = expected[i];
        const bool same = t.requestType == 0x40 && t.request == w.request && t.value == w.value && t.index == 0 &&
                          t.length == w.data.size() && t.data == w.data && t.result == w.result;
        ASSERT_TRUE(same) << "transfer " << i << ": " << Describe(t);
    }
}

size_t Count(const std::vector<ControlTransfer> &transfers, uint8_t request, bool cpucs)
{
    size_t n = 0;
    for (const auto &t : transfers)
        n += t.request == request && (t.value == FIRMWARE_CPUCS_ADDRESS) == cpucs;
    return n;
}

// A hand-made image: records of the given addresses and lengths (data made
// up), closed by a record of type `endType`.
std::vector<LoadRecord> Image(std::vector<std::pair<USHORT, UCHAR>> records, UCHAR endType = LOAD_RECORD_END)
{
    std::vector<LoadRecord> image;
    UCHAR next = 0x11;
    for (auto [address, length] : records) {
        LoadRecord record{};
        record.Length = length;
        record.Address = address;
        record.Type = LOAD_RECORD_DATA;
        for (UCHAR i = 0; i < length; i++)
            record.Data[i] = next++;
        image.push_back(record);
    }
    LoadRecord end{};
    end.Type = endType;
    image.push_back(end);
    return image;
}

Write WriteOf(const LoadRecord &record, uint8_t request, USBD_STATUS result = USBD_STATUS_SUCCESS)
{
    return {request, record.Address, std::vector<uint8_t>(record.Data, record.Data + record.Length), result};
}

// A copy of the image up to and including its end record.
std::vector<LoadRecord> Copy(const LoadRecord *image)
{
    std::vector<LoadRecord> copy;
    do
        copy.push_back(*image);
    while ((image++)->Type == LOAD_RECORD_DATA);
    return copy;
}

class DownloadTest : public testing_support::SimTest {
protected:
    // The loader downloaded and running, as before the firmware's load; the
    // chip's record starts after it.
    void StartLoader(ChipRig &rig)
    {
        EXPECT_EQ(SetCpuReset(rig.fdo, 1), STATUS_SUCCESS);
        EXPECT_EQ(LoadFirmwareImage(rig.fdo, LoaderImage), STATUS_SUCCESS);
        EXPECT_EQ(SetCpuReset(rig.fdo, 0), STATUS_SUCCESS);
        ASSERT_EQ(rig.chip.Running(), Program::Loader);
        rig.chip.ClearTransfers();
    }

    void ExpectRunningAdapter(ChipRig &rig)
    {
        EXPECT_EQ(rig.chip.Running(), Program::Main);
        EXPECT_EQ(rig.chip.ReEnumerations(), 1);
        auto descriptor = rig.DeviceDescriptor();
        ASSERT_EQ(descriptor.size(), sizeof(USB_DEVICE_DESCRIPTOR));
        const uint16_t vendor = uint16_t(descriptor[8] | descriptor[9] << 8);
        const uint16_t product = uint16_t(descriptor[10] | descriptor[11] << 8);
        EXPECT_EQ(vendor, sim::adapter::kVendorId);
        EXPECT_NE(product & 0x8000, 0);
        EXPECT_EQ(rig.SelectConfigurationPipes(), 10u);
    }

    void ExpectNoWorkingAdapter(ChipRig &rig)
    {
        EXPECT_NE(rig.chip.Running(), Program::Main);
        EXPECT_NE(rig.chip.Running(), Program::Alternate);
        EXPECT_EQ(rig.chip.ReEnumerations(), 0);
        auto descriptor = rig.DeviceDescriptor();
        ASSERT_EQ(descriptor.size(), sizeof(USB_DEVICE_DESCRIPTOR));
        EXPECT_EQ(descriptor[10] | descriptor[11] << 8, sim::chip::kProductBlank);
        EXPECT_EQ(rig.SelectConfigurationPipes(), 0u);
    }
};

TEST_F(DownloadTest, BlankChipGetsLoaderThenMainFirmwareInExactOrder)
{
    ChipRig rig;
    std::vector<Program> announced;
    rig.chip.OnReEnumerate([&](Program started) { announced.push_back(started); });

    EXPECT_EQ(DownloadFirmware(rig.fdo), STATUS_SUCCESS);

    ExpectTransfers(rig.chip, DownloadSequence(MainImage));
    const auto seen = VendorTransfers(rig.chip);
    EXPECT_EQ(seen.size(), 1337u);
    EXPECT_EQ(Count(seen, FIRMWARE_LOAD_INTERNAL, true), 6u);
    EXPECT_EQ(Count(seen, FIRMWARE_LOAD_INTERNAL, false), kLoaderRecords + kMainInternal);
    EXPECT_EQ(Count(seen, FIRMWARE_LOAD_EXTERNAL, false), kMainExternal);

    // Spelled out: hold, hold, 283 loader writes, run, 636 external writes,
    // hold, 412 internal writes, hold, run.
    size_t i = 0;
    auto expectCpucs = [&](uint8_t value) {
        ASSERT_LT(i, seen.size());
        EXPECT_EQ(seen[i].value, FIRMWARE_CPUCS_ADDRESS) << i;
        EXPECT_EQ(seen[i].data, std::vector<uint8_t>{value}) << i;
        i++;
    };
    auto expectRun = [&](size_t n, uint8_t request) {
        for (size_t end = i + n; i < end; i++) {
            ASSERT_LT(i, seen.size());
            EXPECT_EQ(seen[i].request, request) << i;
            EXPECT_NE(seen[i].value, FIRMWARE_CPUCS_ADDRESS) << i;
        }
    };
    expectCpucs(1);
    expectCpucs(1);
    expectRun(kLoaderRecords, FIRMWARE_LOAD_INTERNAL);
    expectCpucs(0);
    expectRun(kMainExternal, FIRMWARE_LOAD_EXTERNAL);
    expectCpucs(1);
    expectRun(kMainInternal, FIRMWARE_LOAD_INTERNAL);
    expectCpucs(1);
    expectCpucs(0);
    EXPECT_EQ(i, seen.size());

    ExpectRunningAdapter(rig);
    EXPECT_EQ(announced, std::vector<Program>{Program::Main});
}

// The bus may complete a control transfer inside IofCallDriver or later from
// its controller thread; the download is the same either way.
TEST_F(DownloadTest, DownloadIsTheSameWhereverTheBusCompletes)
{
    for (auto mode : {sim::usb::CompletionMode::Inline, sim::usb::CompletionMode::Random}) {
        ChipRig rig;
        rig.bus.SetCompletionMode(mode);
        EXPECT_EQ(DownloadFirmware(rig.fdo), STATUS_SUCCESS);
        ExpectTransfers(rig.chip, DownloadSequence(MainImage));
        ExpectRunningAdapter(rig);
    }
}

TEST_F(DownloadTest, LoaderImageSendsNoExternalWrites)
{
    ChipRig rig;
    EXPECT_EQ(LoadFirmwareImage(rig.fdo, LoaderImage), STATUS_SUCCESS);
    ExpectTransfers(rig.chip, LoadSequence(LoaderImage));
    const auto seen = VendorTransfers(rig.chip);
    EXPECT_EQ(Count(seen, FIRMWARE_LOAD_EXTERNAL, false), 0u);
    EXPECT_EQ(Count(seen, FIRMWARE_LOAD_INTERNAL, false), kLoaderRecords);
}

TEST_F(DownloadTest, InternalEndsAt1B3FAndExternalStartsAt1B40)
{
    ChipRig rig;
    StartLoader(rig);
    const auto image = Image({{0x1B3F, 1}, {0x1B40, 1}});
    EXPECT_EQ(LoadFirmwareImage(rig.fdo, image.data()), STATUS_SUCCESS);
    ExpectTransfers(rig.chip,
                    {WriteOf(image[1], FIRMWARE_LOAD_EXTERNAL), Cpucs(1), WriteOf(image[0], FIRMWARE_LOAD_INTERNAL)});
    EXPECT_EQ(rig.chip.Memory(0x1B3F, 2), (std::vector<uint8_t>{image[0].Data[0], image[1].Data[0]}));
}

TEST_F(DownloadTest, ImageThatStartsWithItsEndRecordOnlyHoldsTheCpu)
{
    ChipRig rig;
    const auto image = Image({});
    EXPECT_EQ(LoadFirmwareImage(rig.fdo, image.data()), STATUS_SUCCESS);
    ExpectTransfers(rig.chip, {Cpucs(1)});
}

TEST_F(DownloadTest, AnyRecordTypeButDataEndsTheImage)
{
    for (UCHAR type : {UCHAR(1), UCHAR(2), UCHAR(0x80), UCHAR(0xFF)}) {
        SCOPED_TRACE(int(type));
        ChipRig rig;
        auto image = Image({{0x0100, 4}, {0x0200, 4}, {0x0300, 4}});
        image[1].Type = type;
        EXPECT_EQ(LoadFirmwareImage(rig.fdo, image.data()), STATUS_SUCCESS);
        ExpectTransfers(rig.chip, {Cpucs(1), WriteOf(image[0], FIRMWARE_LOAD_INTERNAL)});
    }
}

TEST_F(DownloadTest, EachPassKeepsTableOrder)
{
    ChipRig rig;
    StartLoader(rig);
    const auto image = Image({{0x0300, 2}, {0x9000, 3}, {0x0100, 16}, {0x8000, 1}, {0x1B30, 16}, {0xFFF0, 16}});
    EXPECT_EQ(LoadFirmwareImage(rig.fdo, image.data()), STATUS_SUCCESS);
    ExpectTransfers(rig.chip,
                    {WriteOf(image[1], FIRMWARE_LOAD_EXTERNAL), WriteOf(image[3], FIRMWARE_LOAD_EXTERNAL),
                     WriteOf(image[5], FIRMWARE_LOAD_EXTERNAL), Cpucs(1), WriteOf(image[0], FIRMWARE_LOAD_INTERNAL),
                     WriteOf(image[2], FIRMWARE_LOAD_INTERNAL), WriteOf(image[4], FIRMWARE_LOAD_INTERNAL)});
}

// No loader runs, so the chip stalls the first external write: the external
// pass ends there, and every internal write still goes out.
TEST_F(DownloadTest, FailedExternalWriteEndsOnlyTheExternalPass)
{
    ChipRig rig;
    const NTSTATUS status = LoadFirmwareImage(rig.fdo, MainImage);
    EXPECT_FALSE(NT_SUCCESS(status)) << "the image did not go in whole, however well its internal half went";

    const auto external = Pass(MainImage, false);
    std::vector<Write> expected = {external[0]};
    expected[0].result = USBD_STATUS_STALL_PID;
    expected.push_back(Cpucs(1));
    Append(expected, Pass(MainImage, true));
    ExpectTransfers(rig.chip, expected);
    EXPECT_EQ(VendorTransfers(rig.chip).size(), 1 + 1 + kMainInternal);
}

TEST_F(DownloadTest, ResultIsTheLastWritesStatus)
{
    ChipRig rig;
    // External only, no loader: the one write sent fails, and so does the load.
    const auto image = Image({{0x8000, 4}, {0x8004, 4}});
    EXPECT_FALSE(NT_SUCCESS(LoadFirmwareImage(rig.fdo, image.data())));
    ExpectTransfers(rig.chip, {WriteOf(image[0], FIRMWARE_LOAD_EXTERNAL, USBD_STATUS_STALL_PID), Cpucs(1)});
}

// A write the chip refuses (it would pass the top of internal memory) ends
// the internal pass and the load.
TEST_F(DownloadTest, FailedInternalWriteEndsTheLoad)
{
    ChipRig rig;
    const auto image = Image({{0x0010, 4}, {0x1B3E, 4}, {0x0020, 4}});
    EXPECT_FALSE(NT_SUCCESS(LoadFirmwareImage(rig.fdo, image.data())));
    ExpectTransfers(rig.chip, {Cpucs(1), WriteOf(image[0], FIRMWARE_LOAD_INTERNAL),
                               WriteOf(image[1], FIRMWARE_LOAD_INTERNAL, USBD_STATUS_STALL_PID)});
}

TEST_F(DownloadTest, SetCpuResetWithoutPoolReturnsNoMemoryAndSendsNothing)
{
    ChipRig rig;
    Resources::Get().FailNth(ResourceKind::Pool, 1, POOL_TAG);
    EXPECT_EQ(SetCpuReset(rig.fdo, 1), STATUS_NO_MEMORY);
    EXPECT_TRUE(VendorTransfers(rig.chip).empty());
    EXPECT_EQ(SetCpuReset(rig.fdo, 1), STATUS_SUCCESS);
    ExpectTransfers(rig.chip, {Cpucs(1)});
}

TEST_F(DownloadTest, LoadWithoutPoolReturnsNoMemoryAndSendsNothing)
{
    ChipRig rig;
    Resources::Get().FailNth(ResourceKind::Pool, 1, POOL_TAG);
    EXPECT_EQ(LoadFirmwareImage(rig.fdo, LoaderImage), STATUS_NO_MEMORY);
    EXPECT_TRUE(VendorTransfers(rig.chip).empty());
}

// A step that fails (here its first request block cannot be had) ends the
// pass; the pass is counted and tried again from the start, and the second
// one gives the chip its firmware. A download that fails every time is
// reported after its last attempt. Which allocation fails where, the
// allocation sweep covers over a whole life.
TEST_F(DownloadTest, AFailedStepEndsThePassAndTheWholePassIsTriedAgain)
{
    const size_t all = 1337;
    {
        ErrorStats[ERROR_STAT_DOWNLOAD_FAILED] = 0;
        ChipRig rig;
        Resources::Get().FailNth(ResourceKind::Pool, 1, POOL_TAG);
        EXPECT_EQ(DownloadFirmware(rig.fdo), STATUS_SUCCESS);
        EXPECT_EQ(VendorTransfers(rig.chip).size(), all);
        EXPECT_EQ(rig.chip.Running(), Program::Main);
        EXPECT_EQ(rig.chip.ReEnumerations(), 1);
        EXPECT_EQ(ErrorStats[ERROR_STAT_DOWNLOAD_FAILED], 1u);
        Resources::Get().ClearFaults();
    }

    ErrorStats[ERROR_STAT_DOWNLOAD_FAILED] = 0;
    ChipRig rig;
    Resources::Get().FailEvery(ResourceKind::Pool, POOL_TAG);
    EXPECT_EQ(DownloadFirmware(rig.fdo), STATUS_NO_MEMORY);
    Resources::Get().ClearFaults();
    EXPECT_TRUE(VendorTransfers(rig.chip).empty());
    EXPECT_EQ(ErrorStats[ERROR_STAT_DOWNLOAD_FAILED], ULONG(DOWNLOAD_ATTEMPTS));
    ErrorStats[ERROR_STAT_DOWNLOAD_FAILED] = 0;
}

TEST_F(DownloadTest, AlternateDownloadReplacesTheRunningMainFirmware)
{
    ChipOptions options;
    options.runningMain = true;
    ChipRig rig(options);
    ASSERT_EQ(rig.chip.Running(), Program::Main);
    ASSERT_NE(rig.chip.Firmware(), nullptr);
    EXPECT_NE(rig.chip.Firmware()->InfoBlock(), EzUsbChip::AlternateInfoBlock());

    EXPECT_EQ(DownloadAlternateFirmware(rig.fdo), STATUS_SUCCESS);

    ExpectTransfers(rig.chip, DownloadSequence(AlternateImage));
    EXPECT_EQ(VendorTransfers(rig.chip).size(), kLoaderRecords + kAlternateExternal + kAlternateInternal + 6);
    EXPECT_EQ(rig.chip.Running(), Program::Alternate);
    EXPECT_EQ(rig.chip.ReEnumerations(), 1);
    ASSERT_NE(rig.chip.Firmware(), nullptr);
    EXPECT_EQ(rig.chip.Firmware()->InfoBlock(), EzUsbChip::AlternateInfoBlock());
    auto descriptor = rig.DeviceDescriptor();
    ASSERT_EQ(descriptor.size(), sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_NE(descriptor[11] & 0x80, 0);
    EXPECT_EQ(rig.SelectConfigurationPipes(), 10u);
}

// The same steps as DownloadFirmware, with a copy of the main image in
// which one data byte differs.
void DownloadWithFirmware(PDEVICE_OBJECT fdo, const LoadRecord *firmware)
{
    SetCpuReset(fdo, 1);
    LoadFirmwareImage(fdo, LoaderImage);
    SetCpuReset(fdo, 0);
    LoadFirmwareImage(fdo, firmware);
    SetCpuReset(fdo, 1);
    SetCpuReset(fdo, 0);
}

TEST_F(DownloadTest, OneCorruptedByteLeavesNoWorkingAdapter)
{
    for (bool internal : {true, false}) {
        SCOPED_TRACE(internal ? "internal record" : "external record");
        auto copy = Copy(MainImage);
        size_t victim = 0;
        for (size_t i = copy.size() / 2; i < copy.size(); i++)
            if (copy[i].Type == LOAD_RECORD_DATA && IsInternal(copy[i]) == internal) {
                victim = i;
                break;
            }
        ASSERT_NE(victim, 0u);
        copy[victim].Data[copy[victim].Length - 1] ^= 0x01;

        ChipRig rig;
        DownloadWithFirmware(rig.fdo, copy.data());
        EXPECT_EQ(VendorTransfers(rig.chip).size(), 1337u);
        EXPECT_EQ(rig.chip.Running(), Program::Unrecognised);
        ExpectNoWorkingAdapter(rig);
    }
}

TEST_F(DownloadTest, UncorruptedCopyStillWorks)
{
    auto copy = Copy(MainImage);
    ChipRig rig;
    DownloadWithFirmware(rig.fdo, copy.data());
    ExpectRunningAdapter(rig);
}

}  // namespace
