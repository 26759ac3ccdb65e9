// The driver's view of one adapter that has arrived but not started, as
// the platform makes it: the Plug and Play manager loads the driver and runs
// its AddDevice for a device model on a simulated bus, and removes the
// adapter through the driver at the end. The rigs below a start build on it
// (AdapterRig for transfers and data paths, ChipRig for the download), so
// every test's AdapterContext is the one AddDevice made.
#pragma once

#include "driver/base/context.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"
#include "sim/usb/device_model.h"

namespace testing_support {

class AddedAdapter {
public:
    // model must outlive the adapter.
    explicit AddedAdapter(sim::usb::DeviceModel &model);
    // Removes the adapter (query and removal) and unloads the driver.
    ~AddedAdapter();
    AddedAdapter(const AddedAdapter &) = delete;
    AddedAdapter &operator=(const AddedAdapter &) = delete;

private:
    sim::Testbed bed_;
    sim::pnp::Device *arrived_ = nullptr;

public:
    sim::usb::Bus &bus;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    AdapterContext *adapter = nullptr;
};

}  // namespace testing_support
