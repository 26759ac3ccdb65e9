// A blank adapter's arrival as the platform meets it, for every program that
// plugs one in (tests, nuvix-sim, benchmarks): the chip is plugged in through
// the Plug and Play manager, the driver downloads its firmware, the chip
// leaves the bus and comes back running it, and the manager starts it again
// on its own thread.
#pragma once

#include "sim/chip/ezusb_chip.h"
#include "sim/pnp/pnp_manager.h"

namespace sim::pnp {

// Wires the chip's re-enumeration to the manager, plugs it in and returns
// once the manager is idle, so the returning adapter has started (or failed
// to). The result is the first start's, the blank chip's; pnp.Current(chip)
// is the device that came back. The chip must outlive the manager.
PlugResult PlugChip(PnpManager &pnp, chip::EzUsbChip &chip);

}  // namespace sim::pnp
