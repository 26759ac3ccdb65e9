// What an image writes where: record and byte counts, split at the top of
// the chip's internal memory, and a checksum of the contents. nuvix-fwinfo
// prints these and the tests hold the shipped images to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "intel_hex.h"

namespace nuvix::fw {

// Records at or below this address go to the chip's internal memory (and are
// written by the chip itself); records above it go to external memory
// (written by the loader). The driver draws the same line.
constexpr uint16_t kInternalLast = 0x1B3F;

inline bool IsInternal(const HexRecord &record) { return record.address <= kInternalLast; }

struct RegionFacts {
    size_t records = 0;
    size_t bytes = 0;
    std::optional<uint32_t> first;  // lowest address written
    std::optional<uint32_t> last;   // highest address written
};

struct ImageFacts {
    size_t records = 0;
    size_t bytes = 0;
    RegionFacts internal;
    RegionFacts external;
    // Records that start internal and end above kInternalLast.
    size_t spanningRecords = 0;
    uint32_t crc32 = 0;
};

ImageFacts Examine(const HexImage &image);

// CRC-32 (the one of zlib and Ethernet: reflected, polynomial 0xEDB88320,
// initial and final XOR 0xFFFFFFFF) over each record's address (two bytes,
// low byte first) followed by its data, in file order. Two images with the
// same records in the same order have the same value, whatever the file's
// spelling (digit case, line ends).
uint32_t ImageCrc32(const HexImage &image);
uint32_t Crc32(const uint8_t *data, size_t length, uint32_t crc = 0);

}  // namespace nuvix::fw
