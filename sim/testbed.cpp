#include "testbed.h"

#include "sim/kernel/registry.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/config_manager.h"

namespace sim {

Testbed::Testbed(PDRIVER_INITIALIZE driverEntry, host::HostSerialDriver::TableGetter serviceTable)
    : driverEntry_(driverEntry), serviceTable_(serviceTable)
{
    // The driver reads its settings from here; setup makes it before the
    // driver is ever loaded.
    Registry::Get().CreateKey(pnp::PnpManager::kParametersKey);
    Load();
}

void Testbed::Load() { pnp = std::make_unique<pnp::PnpManager>(driverEntry_, serviceTable_); }

Testbed::~Testbed() { pnp.reset(); }

pnp::PlugResult Testbed::PlugAdapter(const std::string &serial)
{
    return pnp->Plug(Own<adapter::MainFirmware>(serial));
}

Testbed::ChipArrival Testbed::PlugChip(chip::ChipOptions options)
{
    chip::EzUsbChip &chip = Own<chip::EzUsbChip>(options);
    return {chip, pnp::PlugChip(*pnp, chip).status};
}

host::HostSerialDriver *Testbed::Host(const std::string &serial) { return pnp::ConfigManager::Get().HostFor(serial); }

host::HostPort *Testbed::HostPort(const std::string &serial, int index)
{
    return pnp::ConfigManager::Get().HostPortFor(serial, index);
}

}  // namespace sim
