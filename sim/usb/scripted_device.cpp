#include "scripted_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim::usb {

ScriptedDevice::ScriptedDevice()
{
    descriptors_[{USB_DEVICE_DESCRIPTOR_TYPE, 0}] = MakeDeviceDescriptor(0x1234, 0x0001, 0);
    descriptors_[{USB_CONFIGURATION_DESCRIPTOR_TYPE, 0}] = MakeBulkConfiguration({0x81, 0x01});
}

void ScriptedDevice::SetDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    descriptors_[{type, index}] = std::move(bytes);
}

void ScriptedDevice::PushIn(uint8_t endpoint, std::vector<uint8_t> bytes)
{
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].push_back(std::move(bytes));
    }
    if (bus_)
        bus_->EndpointReady(endpoint);
}

std::vector<uint8_t> ScriptedDevice::TakeOut(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    return std::exchange(out_[endpoint], {});
}

void ScriptedDevice::FailNext(uint8_t endpoint, USBD_STATUS status)
{
    {
        std::lock_guard lock(mutex_);
        faults_.FailNext(endpoint, status);
    }
    if (bus_)
        bus_->EndpointReady(endpoint);
}

void ScriptedDevice::HoldOut(uint8_t endpoint, bool hold)
{
    {
        std::lock_guard lock(mutex_);
        faults_.Hold(endpoint, hold);
    }
    if (bus_ && !hold)
        bus_->EndpointReady(endpoint);
}

void ScriptedDevice::SetControlHandler(std::function<USBD_STATUS(const SetupPacket &, const uint8_t *, size_t)> handler)
{
    std::lock_guard lock(mutex_);
    controlHandler_ = std::move(handler);
}

std::vector<SetupPacket> ScriptedDevice::ControlRequests()
{
    std::lock_guard lock(mutex_);
    return control_;
}

uint8_t ScriptedDevice::Configuration()
{
    std::lock_guard lock(mutex_);
    return configuration_;
}

int ScriptedDevice::ResetCount(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    return resets_[endpoint];
}

std::optional<std::vector<uint8_t>> ScriptedDevice::Descriptor(uint8_t type, uint8_t index, uint16_t language)
{
    (void)language;
    std::lock_guard lock(mutex_);
    auto it = descriptors_.find({type, index});
    if (it == descriptors_.end())
        return std::nullopt;
    return it->second;
}

USBD_STATUS ScriptedDevice::ControlOut(const SetupPacket &setup, const uint8_t *data, size_t length)
{
    std::function<USBD_STATUS(const SetupPacket &, const uint8_t *, size_t)> handler;
    {
        std::lock_guard lock(mutex_);
        control_.push_back(setup);
        handler = controlHandler_;
    }
    return handler ? handler(setup, data, length) : USBD_STATUS_SUCCESS;
}

USBD_STATUS ScriptedDevice::SetConfiguration(uint8_t value)
{
    std::lock_guard lock(mutex_);
    configuration_ = value;
    return USBD_STATUS_SUCCESS;
}

BulkAnswer ScriptedDevice::BulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    std::lock_guard lock(mutex_);
    if (auto answer = faults_.Preempt(endpoint))
        return *answer;
    out_[endpoint].insert(out_[endpoint].end(), data, data + length);
    return BulkAnswer::Done(length);
}

BulkAnswer ScriptedDevice::BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity)
{
    std::lock_guard lock(mutex_);
    if (auto answer = faults_.Preempt(endpoint))
        return *answer;
    auto &queue = in_[endpoint];
    if (queue.empty())
        return BulkAnswer::NotReady();
    std::vector<uint8_t> &front = queue.front();
    size_t n = std::min(capacity, front.size());
    if (n)
        std::memcpy(buffer, front.data(), n);
    if (n == front.size())
        queue.pop_front();
    else
        front.erase(front.begin(), front.begin() + static_cast<long>(n));
    return BulkAnswer::Done(n);
}

void ScriptedDevice::ResetPipe(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    resets_[endpoint]++;
}

}  // namespace sim::usb
