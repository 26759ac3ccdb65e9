// A minimal adapter for driver tests that come before adapter creation
// exists: the driver's device object with its AdapterContext, attached to a
// simulated USB bus with a scripted device, the lock, events and reference
// count prepared, and optionally the configuration selected.
#pragma once

#include <memory>
#include <vector>

#include "driver/base/adapter_table.h"
#include "driver/base/context.h"
#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"

namespace testing_support {

class AdapterRig {
public:
    // Endpoints of the device's single interface, by address (bit 7 = IN).
    explicit AdapterRig(std::vector<uint8_t> endpoints = {0x81, 0x01, 0x82, 0x02});
    // The same with a device model of the test's own, which must outlive the rig.
    AdapterRig(sim::usb::ScriptedDevice &device, std::vector<uint8_t> endpoints);
    ~AdapterRig();

    // Selects the configuration with this MaximumTransferSize on every pipe
    // and keeps the interface information in pool, as the driver does.
    void SelectConfiguration(ULONG maximumTransferSize = 4096);
    PUSBD_PIPE_INFORMATION Pipe(uint8_t endpointAddress);

    // A zeroed port context owned by the rig, bound to this adapter.
    PortContext *AddPort(UCHAR portNumber, uint8_t inEndpoint, uint8_t outEndpoint);

private:
    std::unique_ptr<sim::usb::ScriptedDevice> ownDevice_;

public:
    sim::usb::ScriptedDevice &device;
    sim::usb::Bus bus{device};
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    AdapterContext *adapter = nullptr;

private:
    void Build(const std::vector<uint8_t> &endpoints);
    std::vector<std::unique_ptr<PortContext>> ports_;
};

}  // namespace testing_support
