#include "chip_arrival.h"

namespace sim::pnp {

PlugResult PlugChip(PnpManager &pnp, chip::EzUsbChip &chip)
{
    chip.OnReEnumerate([&pnp, &chip](chip::Program) { pnp.DeviceLeftAndReturned(chip); });
    PlugResult result = pnp.Plug(chip);
    pnp.WaitIdle();
    return result;
}

}  // namespace sim::pnp
