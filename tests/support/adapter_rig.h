// A minimal adapter for driver tests below the adapter's start (an
// AddedAdapter over a scripted device): a test drives the transport, the
// context and the data paths by hand. The configuration is selected on
// request; ports are hand-made contexts bound to the adapter's pipes (the
// driver makes its own only at a start), freed by the rig before the
// adapter's removal.
#pragma once

#include <memory>
#include <vector>

#include "added_adapter.h"
#include "driver/base/adapter_table.h"
#include "sim/usb/scripted_device.h"

namespace testing_support {

// The scripted device comes first: it must outlive the adapter.
struct OwnScriptedDevice {
    std::unique_ptr<sim::usb::ScriptedDevice> own;
};

class AdapterRig : private OwnScriptedDevice, public AddedAdapter {
public:
    // Endpoints of the device's single interface, by address (bit 7 = IN).
    explicit AdapterRig(std::vector<uint8_t> endpoints = {0x81, 0x01, 0x82, 0x02});
    // The same with a device model of the test's own, which must outlive the rig.
    AdapterRig(sim::usb::ScriptedDevice &device, std::vector<uint8_t> endpoints);
    ~AdapterRig();

    // Selects the configuration with this MaximumTransferSize on every pipe
    // and keeps the interface information in pool, as the driver does (the
    // driver frees it at the removal).
    void SelectConfiguration(ULONG maximumTransferSize = 4096);
    PUSBD_PIPE_INFORMATION Pipe(uint8_t endpointAddress);

    // A zeroed port context owned by the rig, bound to this adapter.
    PortContext *AddPort(UCHAR portNumber, uint8_t inEndpoint, uint8_t outEndpoint);

    sim::usb::ScriptedDevice &device;

private:
    std::vector<std::unique_ptr<PortContext>> ports_;
};

}  // namespace testing_support
