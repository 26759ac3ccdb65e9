// A small USB device that tests script directly: descriptors as given,
// control requests recorded and answered by an optional handler, bulk IN
// endpoints fed from queues the test fills, bulk OUT data collected, and
// failures or stalls on demand.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "bus.h"
#include "descriptors.h"
#include "device_model.h"
#include "endpoint_faults.h"

namespace sim::usb {

class ScriptedDevice : public DeviceModel {
public:
    ScriptedDevice();

    void SetDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes);
    // Data the device will return on an IN endpoint, one transfer per call.
    void PushIn(uint8_t endpoint, std::vector<uint8_t> bytes);
    // Everything the host wrote to an OUT endpoint, in order.
    std::vector<uint8_t> TakeOut(uint8_t endpoint);
    // The next transfer on the endpoint ends with this status.
    void FailNext(uint8_t endpoint, USBD_STATUS status);
    // While set, OUT transfers on the endpoint wait (flow control).
    void HoldOut(uint8_t endpoint, bool hold);
    void SetControlHandler(std::function<USBD_STATUS(const SetupPacket &, const uint8_t *, size_t)> handler);

    std::vector<SetupPacket> ControlRequests();
    uint8_t Configuration();
    int ResetCount(uint8_t endpoint);

    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) override;
    USBD_STATUS ControlOut(const SetupPacket &setup, const uint8_t *data, size_t length) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override;
    void ResetPipe(uint8_t endpoint) override;

private:
    sim::Mutex mutex_;
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> descriptors_;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> in_;
    std::map<uint8_t, std::vector<uint8_t>> out_;
    EndpointFaults faults_;
    std::map<uint8_t, int> resets_;
    std::vector<SetupPacket> control_;
    std::function<USBD_STATUS(const SetupPacket &, const uint8_t *, size_t)> controlHandler_;
    uint8_t configuration_ = 0;
};

}  // namespace sim::usb
