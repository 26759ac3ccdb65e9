#include "firmware_rig.h"

#include <gtest/gtest.h>

#include "driver/base/kernel.h"
#include "driver/core/driver_entry.h"
#include "sim/kernel/bugcheck.h"

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
    sim::host::HostSerialDriver *host = sim::Testbed::Host(serial);
    if (!host)
        sim::BugCheck("TEST_SETUP", "no host serial driver was loaded for " + serial);
    return *host;
}
}  // namespace

FirmwareRig::FirmwareRig(std::string serial)
    : bed_(DriverEntry, RbGetServiceTable),
      serialNumber(serial),
      firmware(bed_.Own<sim::adapter::MainFirmware>(serial)),
      device_(PlugStarted(*bed_.pnp, firmware)),
      bus(device_->Bus()),
      host(LoadedHost(serial)),
      adapter(static_cast<AdapterContext *>(device_->Fdo()->DeviceExtension))
{
}

sim::host::HostPort &FirmwareRig::HostPort(int number) { return *sim::Testbed::HostPort(serialNumber, number - 1); }

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
        bed_.pnp->SurpriseRemove(*device_);
}

void FirmwareRig::SetStopping(BOOLEAN stopping)
{
    LockAcquire(&adapter->Lock);
    adapter->Stopping = stopping;
    LockRelease(&adapter->Lock);
}

}  // namespace testing_support
