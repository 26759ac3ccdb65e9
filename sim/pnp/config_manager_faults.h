// The Configuration Manager's fault injection, one record. A World starts
// with WorldOptions::faults.configManager (no faults by default).
#pragma once

#include <optional>

#include "driver/platform/cm.h"

namespace sim::pnp {

struct ConfigManagerFaults {
    // The next CM_Create_DevNode fails with this result and creates nothing
    // (CR_OUT_OF_MEMORY as the platform reports an allocation failure, or
    // any other code); the fault is used up by that call.
    std::optional<CONFIGRET> failNextCreate;
};

}  // namespace sim::pnp
