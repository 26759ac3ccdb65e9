#include "firmware_rig.h"

#include <gtest/gtest.h>

#include "driver/base/kernel.h"
#include "driver/core/driver_entry.h"
#include "sim/kernel/bugcheck.h"
#include "sim/pnp/config_manager.h"

namespace testing_support {

namespace {
sim::pnp::Device *PlugStarted(sim::pnp::PnpManager &pnp, sim::adapter::MainFirmware &firmware)
{
    auto result = pnp.Plug(firmware);
    if (result.status != STATUS_SUCCESS || !result.device)
        sim::BugCheck("TEST_SETUP", "the adapter did not start");
    return result.device;
}

sim::host::HostSerialDriver &LoadedHost(const std::string &serial)
{
    sim::host::HostSerialDriver *host = sim::pnp::ConfigManager::Get().HostFor(serial);
    if (!host)
        sim::BugCheck("TEST_SETUP", "no host serial driver was loaded for " + serial);
    return *host;
}
}  // namespace

FirmwareRig::FirmwareRig(std::string serial)
    : serialNumber(serial),
      firmware(serial),
      pnp_(std::make_unique<sim::pnp::PnpManager>(DriverEntry, RbGetServiceTable)),
      device_(PlugStarted(*pnp_, firmware)),
      bus(device_->Bus()),
      host(LoadedHost(serial)),
      adapter(static_cast<AdapterContext *>(device_->Fdo()->DeviceExtension))
{
}

sim::host::HostPort &FirmwareRig::HostPort(int number)
{
    return *sim::pnp::ConfigManager::Get().HostPortFor(serialNumber, number - 1);
}

void FirmwareRig::OpenAndBind(int number, ULONG rxSize, ULONG txSize)
{
    ASSERT_TRUE(host.Open(HostPort(number)));
    ASSERT_TRUE(host.Bind(HostPort(number), rxSize, txSize));
}

// Pulled out, whatever the test left open: removal copes with open ports and
// transfers in flight.
FirmwareRig::~FirmwareRig()
{
    if (device_->Present())
        pnp_->SurpriseRemove(*device_);
    pnp_.reset();
}

void FirmwareRig::SetStopping(BOOLEAN stopping)
{
    LockAcquire(&adapter->Lock);
    adapter->Stopping = stopping;
    LockRelease(&adapter->Lock);
}

}  // namespace testing_support
