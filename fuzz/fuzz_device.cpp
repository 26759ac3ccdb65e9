#include "fuzz_device.h"

#include <cstring>

namespace fuzzing {

std::vector<uint8_t> AdapterEndpoints()
{
    return {0x81, 0x01, 0x82, 0x02, 0x83, 0x03, 0x84, 0x04, kCommandIn, kCommandOut};
}

void FuzzDevice::SetDescriptor(uint8_t type, uint8_t index, std::optional<std::vector<uint8_t>> bytes)
{
    descriptors_[{type, index}] = std::move(bytes);
}

bool FuzzDevice::HasQueued(uint8_t endpoint) const
{
    auto it = queues_.find(endpoint);
    return it != queues_.end() && !it->second.empty();
}

bool FuzzDevice::Waiting(uint8_t endpoint) const
{
    auto it = waiting_.find(endpoint);
    return it != waiting_.end() && it->second;
}

void FuzzDevice::ClearQueues()
{
    queues_.clear();
    waiting_.clear();
}

std::optional<std::vector<uint8_t>> FuzzDevice::Descriptor(uint8_t type, uint8_t index, uint16_t)
{
    auto it = descriptors_.find({type, index});
    if (it == descriptors_.end())
        return std::nullopt;
    return it->second;
}

USBD_STATUS FuzzDevice::ControlOut(const sim::usb::SetupPacket &, const uint8_t *, size_t)
{
    return stallVendor_ ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
}
USBD_STATUS FuzzDevice::SetConfiguration(uint8_t) { return USBD_STATUS_SUCCESS; }

sim::usb::BulkAnswer FuzzDevice::BulkOut(uint8_t, const uint8_t *, size_t length)
{
    return sim::usb::BulkAnswer::Done(length);
}

sim::usb::BulkAnswer FuzzDevice::BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity)
{
    auto &queue = queues_[endpoint];
    if (queue.empty()) {
        waiting_[endpoint] = true;
        return sim::usb::BulkAnswer::NotReady();
    }
    waiting_[endpoint] = false;
    InAnswer answer = std::move(queue.front());
    queue.pop_front();
    if (USBD_SUCCESS(answer.status) && answer.data.size() > capacity) {
        answer.status = USBD_STATUS_DATA_OVERRUN;
        answer.data.clear();
    }
    answers_++;
    if (observer_)
        observer_(observerContext_, endpoint, answer);
    if (!USBD_SUCCESS(answer.status))
        return sim::usb::BulkAnswer::Failed(answer.status);
    if (!answer.data.empty())
        std::memcpy(buffer, answer.data.data(), answer.data.size());
    return sim::usb::BulkAnswer::Done(answer.data.size());
}

void FuzzDevice::ResetPipe(uint8_t) {}

}  // namespace fuzzing
