// What a test can make the EZ-USB chip do that a sound one on a good cable
// would not: lose vendor requests. One record per chip; the defaults lose
// nothing. Every chip made in a World starts with WorldOptions::faults.chip,
// and EzUsbChip's setters change the record later.
#pragma once

#include <cstdint>

#include "driver/platform/platform.h"

namespace sim::chip {

struct ChipFaults {
    // Vendor requests (the download's 0xA0 and 0xA3) are numbered from 1 over
    // the chip's life; those numbered lostFirst .. lostFirst + lostCount - 1
    // end with lostStatus and reach nothing, as requests lost on a bad cable
    // do. A lostCount of 0 loses none.
    uint64_t lostFirst = 0;
    uint64_t lostCount = 0;
    USBD_STATUS lostStatus = USBD_STATUS_DEV_NOT_RESPONDING;
};

}  // namespace sim::chip
