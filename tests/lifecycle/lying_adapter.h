// A running adapter whose descriptors a test bends: its configuration
// descriptor (given the honest one and the number of the read, from 1), its
// device descriptor or its serial-number string, or a deselect it refuses;
// and the byte shapes the bending is made of.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "driver/core/configure.h"
#include "sim/adapter/main_firmware.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

class LyingAdapter : public sim::adapter::MainFirmware {
public:
    using MainFirmware::MainFirmware;
    std::function<Bytes(Bytes, int)> config;
    std::function<Bytes(Bytes)> serial;
    std::function<Bytes(Bytes)> device;
    bool failDeselect = false;
    std::atomic<int> configReads{0};
    std::atomic<int> serialReads{0};

    std::optional<Bytes> Descriptor(uint8_t type, uint8_t index, uint16_t language) override
    {
        auto bytes = MainFirmware::Descriptor(type, index, language);
        if (bytes && type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            int read = ++configReads;
            if (config)
                return config(*bytes, read);
        }
        if (bytes && type == USB_DEVICE_DESCRIPTOR_TYPE && device)
            return device(*bytes);
        if (type == USB_STRING_DESCRIPTOR_TYPE && index == SERIAL_NUMBER_STRING_INDEX) {
            serialReads++;
            if (bytes && serial)
                return serial(*bytes);
        }
        return bytes;
    }
    USBD_STATUS SetConfiguration(uint8_t value) override
    {
        if (value == 0 && failDeselect)
            return USBD_STATUS_STALL_PID;
        return MainFirmware::SetConfiguration(value);
    }
};

inline void SetTotalLength(Bytes &bytes, uint16_t total)
{
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
}

inline Bytes Cut(Bytes bytes, size_t length)
{
    bytes.resize(std::min(bytes.size(), length));
    return bytes;
}

// A string descriptor: bLength as given, then the characters, then only the
// first `arrive` bytes of it all.
inline Bytes StringDescriptor(uint8_t length, const std::u16string &text, size_t arrive = SIZE_MAX)
{
    Bytes bytes = {length, USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return Cut(bytes, arrive);
}

// A string descriptor of exactly `length` bytes (at least its header), its
// characters 'T', 'U' and so on; an odd length ends in half a character.
inline Bytes FilledString(uint8_t length)
{
    Bytes bytes(std::max<size_t>(length, 2), 0);
    bytes[0] = length;
    bytes[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        bytes[i] = static_cast<uint8_t>(u'S' + (i / 2) % 10);
    return bytes;
}

}  // namespace testing_support
