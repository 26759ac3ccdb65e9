// Standard USB descriptors as bytes, the way a device model answers
// GET_DESCRIPTOR: shared by every model (the blank chip, the running adapter,
// the scripted test device, the fuzzer's device).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::usb {

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t serialIndex);
// One configuration with one interface whose bulk endpoints are given by
// address (bit 7 set for IN), 64-byte packets.
std::vector<uint8_t> MakeBulkConfiguration(const std::vector<uint8_t> &endpoints);
std::vector<uint8_t> MakeStringDescriptor(const std::u16string &text);

}  // namespace sim::usb
