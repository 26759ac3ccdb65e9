// The driver's view of an adapter before its firmware runs: a driver object
// and the adapter's device object (an AdapterContext extension) attached to a
// simulated USB bus with the EZ-USB chip on it, the lower device set. Enough
// for the firmware download, which needs nothing but the default pipe.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/base/context.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/usb/bus.h"

namespace testing_support {

class ChipRig {
public:
    explicit ChipRig(sim::chip::ChipOptions options = {});
    ~ChipRig();
    ChipRig(const ChipRig &) = delete;
    ChipRig &operator=(const ChipRig &) = delete;

    // Reads the device descriptor through the adapter's lower device.
    std::vector<uint8_t> DeviceDescriptor();
    // Selects configuration 0 as the device now describes it and returns the
    // number of pipes the bus set up (the configuration is not kept).
    ULONG SelectConfigurationPipes();

    sim::chip::EzUsbChip chip;
    sim::usb::Bus bus{chip, "usb chip"};
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    AdapterContext *adapter = nullptr;
};

}  // namespace testing_support
