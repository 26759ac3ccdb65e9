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
    : bed_(DriverEntry, RbGetServiceTable),
      arrived_(Add(*bed_.pnp, model)),
      bus(arrived_->Bus()),
      driver(bed_.pnp->Driver()),
      fdo(arrived_->Fdo()),
      adapter(static_cast<AdapterContext *>(fdo->DeviceExtension))
{
}

AddedAdapter::~AddedAdapter()
{
    bus.Drain();
    EXPECT_EQ(bed_.pnp->Remove(*arrived_).final, STATUS_SUCCESS);
}

}  // namespace testing_support
