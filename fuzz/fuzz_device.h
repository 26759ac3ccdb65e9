// The device a fuzz target plays: descriptors the target sets, and on each
// bulk IN endpoint a queue of answers (data or a failed transfer) taken one
// per transfer. An empty queue leaves the transfer pending on the bus, as a
// device with nothing to send does; the target then makes the bus retry it.
// Bulk OUT and configuration selection always succeed; vendor requests too
// unless the target makes them stall.
//
// Answers never carry more bytes than the transfer asked for: a real bus
// reports a device that sends more as a failed transfer (babble), so an
// over-long answer becomes one.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "sim/usb/bus.h"
#include "sim/usb/device_model.h"

namespace fuzzing {

struct InAnswer {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<uint8_t> data;
};

// Called for every answer the device gives on a bulk IN endpoint, just
// before the bus completes the transfer with it (same thread, same call).
using AnswerObserver = void (*)(void *context, uint8_t endpoint, const InAnswer &answer);

class FuzzDevice : public sim::usb::DeviceModel {
public:
    void SetDescriptor(uint8_t type, uint8_t index, std::optional<std::vector<uint8_t>> bytes);
    void ClearDescriptors() { descriptors_.clear(); }

    void Push(uint8_t endpoint, InAnswer answer) { queues_[endpoint].push_back(std::move(answer)); }
    bool HasQueued(uint8_t endpoint) const;
    // A transfer on the endpoint found nothing to read and waits on the bus.
    bool Waiting(uint8_t endpoint) const;
    void ClearQueues();
    void Observe(AnswerObserver observer, void *context)
    {
        observer_ = observer;
        observerContext_ = context;
    }
    uint64_t Answers() const { return answers_; }
    void StallVendorRequests(bool stall) { stallVendor_ = stall; }

    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) override;
    USBD_STATUS ControlOut(const sim::usb::SetupPacket &setup, const uint8_t *data, size_t length) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    sim::usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    sim::usb::BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override;
    void ResetPipe(uint8_t endpoint) override;

private:
    std::map<std::pair<uint8_t, uint8_t>, std::optional<std::vector<uint8_t>>> descriptors_;
    std::map<uint8_t, std::deque<InAnswer>> queues_;
    std::map<uint8_t, bool> waiting_;
    AnswerObserver observer_ = nullptr;
    void *observerContext_ = nullptr;
    uint64_t answers_ = 0;
    bool stallVendor_ = false;
};

// The adapter's pipes, in interface order: port n (1..4) IN 0x80|n, OUT n;
// then the command channel, IN 0x85 and OUT 0x05.
constexpr uint8_t kCommandIn = 0x85;
constexpr uint8_t kCommandOut = 0x05;
constexpr uint8_t PortIn(int port) { return static_cast<uint8_t>(0x80 | port); }
std::vector<uint8_t> AdapterEndpoints();

}  // namespace fuzzing
