// Faults a test puts in front of a device model's bulk endpoints, kept apart
// from what the model does: the next transfer on an endpoint fails with a
// given status, or the endpoint answers NAK while it is held. A model asks
// Preempt before it looks at a transfer itself. Not locked: the model calls
// it under its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "sim/usb/device_model.h"

namespace sim::usb {

class EndpointFaults {
public:
    void FailNext(uint8_t endpoint, USBD_STATUS status) { failNext_[endpoint] = status; }

    // Returns true when a held endpoint was let go: the bus should retry it.
    bool Hold(uint8_t endpoint, bool hold)
    {
        if (hold) {
            held_.insert(endpoint);
            return false;
        }
        return held_.erase(endpoint) > 0;
    }

    // Every endpoint with a failure asked for or held.
    std::set<uint8_t> Named() const
    {
        std::set<uint8_t> named = held_;
        for (const auto &[endpoint, status] : failNext_)
            named.insert(endpoint);
        return named;
    }

    // The answer a transfer gets before the model sees it, if any: a failure
    // asked for (once), else NAK while held.
    std::optional<BulkAnswer> Preempt(uint8_t endpoint)
    {
        if (auto it = failNext_.find(endpoint); it != failNext_.end()) {
            const USBD_STATUS status = it->second;
            failNext_.erase(it);
            return BulkAnswer::Failed(status);
        }
        if (held_.count(endpoint))
            return BulkAnswer::NotReady();
        return std::nullopt;
    }

private:
    std::map<uint8_t, USBD_STATUS> failNext_;
    std::set<uint8_t> held_;
};

}  // namespace sim::usb
