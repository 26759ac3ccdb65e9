// What a simulated USB device is to the bus: its descriptors plus a few
// handlers for control requests and bulk endpoints. Handlers run on the bus's
// controller thread, or on the submitting thread when the bus completes a
// request inline; they never block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "driver/platform/platform.h"

namespace sim::usb {

class Bus;

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// The device's answer to a bulk transfer: done (with a USBD status and the
// bytes moved), or not ready yet (the bus keeps the transfer pending until
// the device calls Bus::EndpointReady).
struct BulkAnswer {
    bool ready = true;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    size_t length = 0;

    static BulkAnswer NotReady() { return {false, USBD_STATUS_SUCCESS, 0}; }
    static BulkAnswer Done(size_t length) { return {true, USBD_STATUS_SUCCESS, length}; }
    static BulkAnswer Failed(USBD_STATUS status) { return {true, status, 0}; }
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // A whole descriptor (the bus cuts it to the request's length); nullopt stalls.
    virtual std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) = 0;
    // A vendor or class request with its OUT data stage.
    virtual USBD_STATUS ControlOut(const SetupPacket &setup, const uint8_t *data, size_t length) = 0;
    // The configuration was selected (value) or deselected (0).
    virtual USBD_STATUS SetConfiguration(uint8_t value) = 0;
    virtual BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) = 0;
    virtual BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) = 0;
    virtual void ResetPipe(uint8_t endpoint) = 0;

    // Called by the bus when the device is plugged into it, and with null
    // when the device is unplugged before its bus goes away.
    virtual void Plugged(Bus *bus) { bus_ = bus; }

protected:
    Bus *bus_ = nullptr;
};

}  // namespace sim::usb
