// The driver's view of an adapter before its firmware runs: an AddedAdapter
// over the EZ-USB chip, enough for the firmware download, which needs
// nothing but the default pipe.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "added_adapter.h"
#include "sim/chip/ezusb_chip.h"

namespace testing_support {

// The chip comes first: it must outlive the adapter.
struct ChipModel {
    explicit ChipModel(sim::chip::ChipOptions options) : chip(std::move(options)) {}
    sim::chip::EzUsbChip chip;
};

class ChipRig : public ChipModel, public AddedAdapter {
public:
    explicit ChipRig(sim::chip::ChipOptions options = {});

    // Reads the device descriptor through the adapter's lower device.
    std::vector<uint8_t> DeviceDescriptor();
    // Selects configuration 0 as the device now describes it and returns the
    // number of pipes the bus set up (the configuration is not kept).
    ULONG SelectConfigurationPipes();
};

}  // namespace testing_support
