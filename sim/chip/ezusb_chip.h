// The adapter's EZ-USB chip as the bus sees it, from power-up: an 8051 with
// internal memory (0x0000-0x1B3F) and a 64 KiB address space whose part above
// internal memory is external memory, behind a USB core that answers some
// requests by itself.
//
// Requests (vendor, OUT):
//   0xA0 (load internal), value = address: served by the chip itself, whether
//        the 8051 runs or is held. Writes internal memory (a write that would
//        pass 0x1B3F stalls), or, at 0x7F92 with one byte, the CPU control
//        register: 1 holds the 8051 in reset, 0 lets it run.
//   0xA3 (load external), value = address: served only by a loader running on
//        the 8051; writes external memory (above 0x1B3F). Stalls otherwise.
// Anything else stalls, except while a firmware that re-enumerated runs: then
// the firmware answers it.
//
// A blank chip enumerates as vendor sim::adapter::kVendorId, product 0x0004
// (bit 15 clear), no strings, and one configuration (value 1) with one
// interface and no endpoints: loading firmware needs only the default pipe.
//
// What runs: when the 8051 is let run (0 written after 1), the chip compares
// its memory with the bytes each known image writes (by default the shipped
// driver/firmware/images/*.hex) and runs the first that matches in full, in
// the order main, alternate, loader; or, if none matches, something it does
// not recognise, which does nothing a host could use. Holding the 8051 stops
// whatever ran.
//
// When the main or the alternate firmware starts, the device leaves the bus
// and comes back as the running adapter: from then on every DeviceModel call
// but 0xA0 goes to a fresh sim::adapter::MainFirmware (the alternate one with
// its own information block), ReEnumerations() counts one more, and the
// re-enumeration callback runs. The loader and unrecognised programs do not
// re-enumerate: the device keeps the identity it had (so a download that
// corrupted a byte leaves the blank chip's identity, running nothing
// useful). While no firmware runs (held, loader, unrecognised), bulk
// transfers stall even if a firmware's identity is still presented.
//
// Every control transfer the chip receives is recorded with its result.
//
// Lifetime: the Bus calls the model until it is destroyed, so a chip must
// outlive the Bus it is plugged into (declare the chip before the bus).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "chip_faults.h"
#include "sim/adapter/main_firmware.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/device_model.h"
#include "lib/fwimage/intel_hex.h"

namespace sim::chip {

constexpr uint8_t kLoadInternal = 0xA0;
constexpr uint8_t kLoadExternal = 0xA3;
constexpr uint16_t kCpuControl = 0x7F92;
constexpr uint16_t kInternalLast = 0x1B3F;
constexpr uint16_t kProductBlank = 0x0004;

enum class Program {
    None,  // held in reset, or never let run
    Loader,
    Main,
    Alternate,
    Unrecognised,
};
const char *ProgramName(Program program);

// The programs the chip can tell apart, as the records each one writes.
struct KnownImages {
    nuvix::fw::HexImage loader;
    nuvix::fw::HexImage main;
    nuvix::fw::HexImage alternate;

    // Read once from the shipped .hex files.
    static const KnownImages &Shipped();
};

struct ChipOptions {
    // Start as if the download had already been done: the main firmware in
    // memory and running, the adapter's identity presented (not counted as a
    // re-enumeration).
    bool runningMain = false;
    std::string serialNumber = "NX4A0001";
    const KnownImages *images = nullptr;  // null: KnownImages::Shipped()
};

struct ControlTransfer {
    enum class Kind { Vendor, GetDescriptor, SetConfiguration };
    Kind kind = Kind::Vendor;
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;   // GetDescriptor: type << 8 | index
    uint16_t index = 0;   // GetDescriptor: language
    uint16_t length = 0;  // Vendor: data stage; GetDescriptor: bytes the device offered
    std::vector<uint8_t> data;
    USBD_STATUS result = USBD_STATUS_SUCCESS;
};

class EzUsbChip : public usb::DeviceModel {
public:
    explicit EzUsbChip(ChipOptions options = {});
    ~EzUsbChip() override;
    EzUsbChip(const EzUsbChip &) = delete;
    EzUsbChip &operator=(const EzUsbChip &) = delete;

    // --- what tests look at --------------------------------------------
    Program Running();
    bool CpuHeld();
    // How often a firmware started and the device came back re-enumerated.
    int ReEnumerations();
    // Runs on the thread that carried the request which started the
    // firmware, inside that request (before it completes); it must not block
    // or call into the chip. Meant for the Plug-and-Play side of a test.
    void OnReEnumerate(std::function<void(Program started)> callback);
    std::vector<ControlTransfer> Transfers();
    void ClearTransfers();
    std::vector<uint8_t> Memory(uint16_t address, size_t length);
    // The firmware presenting the adapter since the last re-enumeration (it
    // may have been stopped since); null while the blank chip's identity is
    // presented.
    std::shared_ptr<adapter::MainFirmware> Firmware();

    // The alternate firmware's information block.
    static std::array<uint8_t, 35> AlternateInfoBlock();

    // --- misbehaviour -------------------------------------------------------
    // Fault injection (chip_faults.h): the chip starts with its World's
    // WorldOptions::faults.chip; SetFaults replaces the record, Faults reads
    // it, and FailVendorRequests sets its lost* fields (count 0 clears them).
    void SetFaults(const ChipFaults &faults);
    ChipFaults Faults();
    void FailVendorRequests(uint64_t first, uint64_t count, USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING);
    // Vendor requests numbered so far.
    uint64_t VendorRequests();

    // --- usb::DeviceModel -------------------------------------------------
    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) override;
    USBD_STATUS ControlOut(const usb::SetupPacket &setup, const uint8_t *data, size_t length) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    usb::BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override;
    void ResetPipe(uint8_t endpoint) override;
    void Plugged(usb::Bus *bus) override;

private:
    USBD_STATUS LoadInternalLocked(uint16_t address, const uint8_t *data, size_t length, Program &started);
    USBD_STATUS LoadExternalLocked(uint16_t address, const uint8_t *data, size_t length);
    void SetCpuControlLocked(uint8_t value, Program &started);
    Program RecogniseLocked() const;
    bool HoldsLocked(const nuvix::fw::HexImage &image) const;
    void StartFirmwareLocked(Program program);
    // The firmware that answers for the chip now, or null.
    std::shared_ptr<adapter::MainFirmware> ActiveFirmware();
    void Record(ControlTransfer transfer);
    void Announce(Program started);

    const KnownImages &images_;
    const std::string serial_;
    sim::Mutex mutex_;
    std::vector<uint8_t> memory_;
    bool held_ = true;
    Program running_ = Program::None;
    uint8_t configuration_ = 0;
    std::shared_ptr<adapter::MainFirmware> firmware_;
    int reEnumerations_ = 0;
    std::function<void(Program)> onReEnumerate_;
    std::vector<ControlTransfer> transfers_;
    uint64_t vendorRequests_ = 0;
    ChipFaults faults_;
};

}  // namespace sim::chip
