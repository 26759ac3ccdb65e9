#include "image_facts.h"

#include <algorithm>
#include <array>

namespace nuvix::fw {

namespace {

const std::array<uint32_t, 256> &CrcTable()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

void Add(RegionFacts &region, const HexRecord &record)
{
    const uint32_t first = record.address;
    const uint32_t last = record.address + static_cast<uint32_t>(record.data.size()) - 1;
    region.records++;
    region.bytes += record.data.size();
    region.first = region.first ? std::min(*region.first, first) : first;
    region.last = region.last ? std::max(*region.last, last) : last;
}

}  // namespace

uint32_t Crc32(const uint8_t *data, size_t length, uint32_t crc)
{
    const auto &table = CrcTable();
    crc = ~crc;
    for (size_t i = 0; i < length; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t ImageCrc32(const HexImage &image)
{
    uint32_t crc = 0;
    for (const HexRecord &record : image) {
        const uint8_t address[2] = {static_cast<uint8_t>(record.address), static_cast<uint8_t>(record.address >> 8)};
        crc = Crc32(address, sizeof(address), crc);
        crc = Crc32(record.data.data(), record.data.size(), crc);
    }
    return crc;
}

ImageFacts Examine(const HexImage &image)
{
    ImageFacts facts;
    for (const HexRecord &record : image) {
        facts.records++;
        facts.bytes += record.data.size();
        if (IsInternal(record)) {
            Add(facts.internal, record);
            if (record.address + record.data.size() - 1 > kInternalLast)
                facts.spanningRecords++;
        } else {
            Add(facts.external, record);
        }
    }
    facts.crc32 = ImageCrc32(image);
    return facts;
}

}  // namespace nuvix::fw
