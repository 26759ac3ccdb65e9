#include "added_adapter.h"

#include <gtest/gtest.h>

#include "driver/core/driver_entry.h"

namespace testing_support {

namespace {
sim::pnp::Device *Add(sim::pnp::PnpManager &pnp, sim::usb::DeviceModel &model)
{
    const sim::pnp::PlugResult added = pnp.Add(model);
    EXPECT_EQ(added.status, STATUS_SUCCESS);
    return added.device;
}
}  // namespace

AddedAdapter::AddedAdapter(sim::usb::DeviceModel &model)
    : pnp_(std::make_unique<sim::pnp::PnpManager>(DriverEntry, RbGetServiceTable)),
      arrived_(Add(*pnp_, model)),
      bus(arrived_->Bus()),
      driver(pnp_->Driver()),
      fdo(arrived_->Fdo()),
      adapter(static_cast<AdapterContext *>(fdo->DeviceExtension))
{
}

AddedAdapter::~AddedAdapter()
{
    bus.Drain();
    EXPECT_EQ(pnp_->Remove(*arrived_).final, STATUS_SUCCESS);
    pnp_.reset();
}

}  // namespace testing_support
