#include "descriptors.h"

#include "driver/platform/platform.h"

namespace sim::usb {

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t serialIndex)
{
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x10,
            0x01,
            0xFF,
            0xFF,
            0xFF,
            64,
            static_cast<uint8_t>(vendor),
            static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product),
            static_cast<uint8_t>(product >> 8),
            0x00,
            0x01,
            1,
            2,
            serialIndex,
            1};
}

std::vector<uint8_t> MakeBulkConfiguration(const std::vector<uint8_t> &endpoints)
{
    std::vector<uint8_t> bytes = {9,
                                  USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                  0,
                                  0,
                                  1,
                                  1,
                                  0,
                                  0x80,
                                  50,
                                  9,
                                  USB_INTERFACE_DESCRIPTOR_TYPE,
                                  0,
                                  0,
                                  static_cast<uint8_t>(endpoints.size()),
                                  0xFF,
                                  0xFF,
                                  0xFF,
                                  0};
    for (uint8_t address : endpoints)
        bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

std::vector<uint8_t> MakeStringDescriptor(const std::u16string &text)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

}  // namespace sim::usb
