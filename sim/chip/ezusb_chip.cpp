#include "ezusb_chip.h"

#include <algorithm>
#include <cstring>

#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "sim/world.h"
#include "lib/fwimage/stand_in_images.h"

namespace sim::chip {

namespace {

constexpr size_t kAddressSpace = 0x10000;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetConfiguration = 0x09;

std::vector<uint8_t> BlankDeviceDescriptor()
{
    std::vector<uint8_t> bytes = usb::MakeDeviceDescriptor(adapter::kVendorId, kProductBlank, 0);
    bytes[14] = 0;  // no manufacturer string
    bytes[15] = 0;  // no product string
    return bytes;
}

void WriteImage(std::vector<uint8_t> &memory, const nuvix::fw::HexImage &image)
{
    for (const auto &record : image)
        std::copy(record.data.begin(), record.data.end(), memory.begin() + record.address);
}

}  // namespace

const char *ProgramName(Program program)
{
    switch (program) {
    case Program::None:
        return "none";
    case Program::Loader:
        return "loader";
    case Program::Main:
        return "main";
    case Program::Alternate:
        return "alternate";
    case Program::Unrecognised:
        return "unrecognised";
    }
    return "?";
}

const KnownImages &KnownImages::Shipped()
{
    static const KnownImages images = [] {
        KnownImages known;
        known.loader = nuvix::fw::ReadHexFile(nuvix::fw::ShippedImagePath("loader"));
        known.main = nuvix::fw::ReadHexFile(nuvix::fw::ShippedImagePath("main"));
        known.alternate = nuvix::fw::ReadHexFile(nuvix::fw::ShippedImagePath("alternate"));
        return known;
    }();
    return images;
}

EzUsbChip::EzUsbChip(ChipOptions options)
    : images_(options.images ? *options.images : KnownImages::Shipped()),
      serial_(std::move(options.serialNumber)),
      memory_(kAddressSpace, 0),
      faults_(World::Current().Faults().chip)
{
    if (options.runningMain) {
        WriteImage(memory_, images_.loader);
        WriteImage(memory_, images_.main);
        held_ = false;
        running_ = Program::Main;
        firmware_ = std::make_shared<adapter::MainFirmware>(serial_);
    }
}

EzUsbChip::~EzUsbChip() = default;

std::array<uint8_t, 35> EzUsbChip::AlternateInfoBlock()
{
    std::array<uint8_t, 35> block{};
    static constexpr char kName[] = "NX4 alternate fw";
    std::memcpy(block.data(), kName, sizeof(kName) - 1);
    block[20] = 2;
    block[21] = 0;
    block[22] = 3;
    block[23] = adapter::kPorts;
    return block;
}

Program EzUsbChip::Running()
{
    std::lock_guard lock(mutex_);
    return running_;
}

bool EzUsbChip::CpuHeld()
{
    std::lock_guard lock(mutex_);
    return held_;
}

int EzUsbChip::ReEnumerations()
{
    std::lock_guard lock(mutex_);
    return reEnumerations_;
}

void EzUsbChip::OnReEnumerate(std::function<void(Program)> callback)
{
    std::lock_guard lock(mutex_);
    onReEnumerate_ = std::move(callback);
}

std::vector<ControlTransfer> EzUsbChip::Transfers()
{
    std::lock_guard lock(mutex_);
    return transfers_;
}

void EzUsbChip::ClearTransfers()
{
    std::lock_guard lock(mutex_);
    transfers_.clear();
}

std::vector<uint8_t> EzUsbChip::Memory(uint16_t address, size_t length)
{
    std::lock_guard lock(mutex_);
    length = std::min(length, kAddressSpace - address);
    return std::vector<uint8_t>(memory_.begin() + address, memory_.begin() + address + length);
}

std::shared_ptr<adapter::MainFirmware> EzUsbChip::Firmware()
{
    std::lock_guard lock(mutex_);
    return firmware_;
}

std::shared_ptr<adapter::MainFirmware> EzUsbChip::ActiveFirmware()
{
    std::lock_guard lock(mutex_);
    if (running_ == Program::Main || running_ == Program::Alternate)
        return firmware_;
    return nullptr;
}

void EzUsbChip::Record(ControlTransfer transfer)
{
    std::lock_guard lock(mutex_);
    transfers_.push_back(std::move(transfer));
}

void EzUsbChip::Announce(Program started)
{
    std::function<void(Program)> callback;
    {
        std::lock_guard lock(mutex_);
        callback = onReEnumerate_;
    }
    if (callback)
        callback(started);
}

bool EzUsbChip::HoldsLocked(const nuvix::fw::HexImage &image) const
{
    if (image.empty())
        return false;
    for (const auto &record : image)
        if (!std::equal(record.data.begin(), record.data.end(), memory_.begin() + record.address))
            return false;
    return true;
}

// The firmware images overwrite the loader's internal memory, so a loaded
// firmware never also holds the loader; the firmware is tried first anyway.
Program EzUsbChip::RecogniseLocked() const
{
    if (HoldsLocked(images_.main))
        return Program::Main;
    if (HoldsLocked(images_.alternate))
        return Program::Alternate;
    if (HoldsLocked(images_.loader))
        return Program::Loader;
    return Program::Unrecognised;
}

// A fresh firmware per start: a restarted firmware remembers nothing of the
// last run (ports closed, UARTs at power-up settings).
void EzUsbChip::StartFirmwareLocked(Program program)
{
    auto firmware = std::make_shared<adapter::MainFirmware>(serial_);
    if (program == Program::Alternate)
        firmware->SetInfoBlock(AlternateInfoBlock());
    if (bus_)
        firmware->Plugged(bus_);
    firmware_ = std::move(firmware);
    configuration_ = 0;
    reEnumerations_++;
}

void EzUsbChip::SetCpuControlLocked(uint8_t value, Program &started)
{
    if (value & 1) {
        held_ = true;
        running_ = Program::None;
        return;
    }
    if (!held_)
        return;
    held_ = false;
    running_ = RecogniseLocked();
    if (running_ == Program::Main || running_ == Program::Alternate) {
        StartFirmwareLocked(running_);
        started = running_;
    }
}

USBD_STATUS EzUsbChip::LoadInternalLocked(uint16_t address, const uint8_t *data, size_t length, Program &started)
{
    if (address == kCpuControl) {
        if (length != 1)
            return USBD_STATUS_STALL_PID;
        SetCpuControlLocked(data[0], started);
        return USBD_STATUS_SUCCESS;
    }
    if (address > kInternalLast || length > size_t(kInternalLast) + 1 - address)
        return USBD_STATUS_STALL_PID;
    std::copy(data, data + length, memory_.begin() + address);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS EzUsbChip::LoadExternalLocked(uint16_t address, const uint8_t *data, size_t length)
{
    if (address <= kInternalLast || length > kAddressSpace - address)
        return USBD_STATUS_STALL_PID;
    std::copy(data, data + length, memory_.begin() + address);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS EzUsbChip::ControlOut(const usb::SetupPacket &setup, const uint8_t *data, size_t length)
{
    ControlTransfer transfer;
    transfer.kind = ControlTransfer::Kind::Vendor;
    transfer.requestType = setup.requestType;
    transfer.request = setup.request;
    transfer.value = setup.value;
    transfer.index = setup.index;
    transfer.length = setup.length;
    if (data)
        transfer.data.assign(data, data + length);

    Program started = Program::None;
    std::shared_ptr<adapter::MainFirmware> firmware;
    {
        std::lock_guard lock(mutex_);
        const bool vendorOut = setup.requestType == kVendorOut;
        const uint64_t number = ++vendorRequests_;
        if (number >= faults_.lostFirst && number - faults_.lostFirst < faults_.lostCount)
            transfer.result = faults_.lostStatus;
        else if (vendorOut && setup.request == kLoadInternal)
            transfer.result = LoadInternalLocked(setup.value, data, length, started);
        else if (vendorOut && setup.request == kLoadExternal && running_ == Program::Loader)
            transfer.result = LoadExternalLocked(setup.value, data, length);
        else if (running_ == Program::Main || running_ == Program::Alternate)
            firmware = firmware_;
        else
            transfer.result = USBD_STATUS_STALL_PID;
    }
    if (firmware)
        transfer.result = firmware->ControlOut(setup, data, length);
    const USBD_STATUS result = transfer.result;
    Record(std::move(transfer));
    if (started != Program::None)
        Announce(started);
    return result;
}

void EzUsbChip::SetFaults(const ChipFaults &faults)
{
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

ChipFaults EzUsbChip::Faults()
{
    std::lock_guard lock(mutex_);
    return faults_;
}

void EzUsbChip::FailVendorRequests(uint64_t first, uint64_t count, USBD_STATUS status)
{
    SetFaults(ChipFaults{.lostFirst = first, .lostCount = count, .lostStatus = status});
}

uint64_t EzUsbChip::VendorRequests()
{
    std::lock_guard lock(mutex_);
    return vendorRequests_;
}

std::optional<std::vector<uint8_t>> EzUsbChip::Descriptor(uint8_t type, uint8_t index, uint16_t language)
{
    std::shared_ptr<adapter::MainFirmware> firmware = Firmware();
    std::optional<std::vector<uint8_t>> bytes;
    if (firmware) {
        bytes = firmware->Descriptor(type, index, language);
    } else if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        bytes = BlankDeviceDescriptor();
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        bytes = usb::MakeBulkConfiguration({});
    }
    ControlTransfer transfer;
    transfer.kind = ControlTransfer::Kind::GetDescriptor;
    transfer.requestType = 0x80;
    transfer.request = kGetDescriptor;
    transfer.value = static_cast<uint16_t>(type << 8 | index);
    transfer.index = language;
    transfer.length = bytes ? static_cast<uint16_t>(bytes->size()) : 0;
    transfer.result = bytes ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    Record(std::move(transfer));
    return bytes;
}

USBD_STATUS EzUsbChip::SetConfiguration(uint8_t value)
{
    std::shared_ptr<adapter::MainFirmware> firmware = Firmware();
    USBD_STATUS result = USBD_STATUS_SUCCESS;
    if (firmware) {
        result = firmware->SetConfiguration(value);
    } else if (value > 1) {
        result = USBD_STATUS_STALL_PID;
    } else {
        std::lock_guard lock(mutex_);
        configuration_ = value;
    }
    ControlTransfer transfer;
    transfer.kind = ControlTransfer::Kind::SetConfiguration;
    transfer.request = kSetConfiguration;
    transfer.value = value;
    transfer.result = result;
    Record(std::move(transfer));
    return result;
}

usb::BulkAnswer EzUsbChip::BulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    if (auto firmware = ActiveFirmware())
        return firmware->BulkOut(endpoint, data, length);
    return usb::BulkAnswer::Failed(USBD_STATUS_STALL_PID);
}

usb::BulkAnswer EzUsbChip::BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity)
{
    if (auto firmware = ActiveFirmware())
        return firmware->BulkIn(endpoint, buffer, capacity);
    return usb::BulkAnswer::Failed(USBD_STATUS_STALL_PID);
}

void EzUsbChip::ResetPipe(uint8_t endpoint)
{
    if (auto firmware = ActiveFirmware())
        firmware->ResetPipe(endpoint);
}

void EzUsbChip::Plugged(usb::Bus *bus)
{
    std::shared_ptr<adapter::MainFirmware> firmware;
    {
        std::lock_guard lock(mutex_);
        DeviceModel::Plugged(bus);
        firmware = firmware_;
    }
    if (firmware)
        firmware->Plugged(bus);
}

}  // namespace sim::chip
