#include "intel_hex.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace nuvix::fw {

namespace {

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEnd = 0x01;

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%02X", value & 0xFF);
    return text;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Printable(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
        return std::string("'") + c + "'";
    return "byte 0x" + Hex2(u);
}

}  // namespace

HexError::HexError(std::string file, size_t line, std::string reason)
    : std::runtime_error(file + (line ? ":" + std::to_string(line) : std::string()) + ": " + reason),
      file_(std::move(file)),
      line_(line),
      reason_(std::move(reason))
{
}

HexImage ParseHex(std::string_view text, const std::string &file)
{
    HexImage image;
    bool ended = false;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        lineNumber++;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;

        auto fail = [&](const std::string &reason) { throw HexError(file, lineNumber, reason); };
        if (ended)
            fail("data after the end-of-file record");
        if (line[0] != ':')
            fail("line does not start with ':'");
        for (size_t i = 1; i < line.size(); i++)
            if (DigitValue(line[i]) < 0)
                fail("non-hex character " + Printable(line[i]) + " in column " + std::to_string(i + 1));
        if ((line.size() - 1) % 2 != 0)
            fail("odd number of hex digits");
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i < line.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(DigitValue(line[i]) * 16 + DigitValue(line[i + 1])));
        if (bytes.size() < 5)
            fail("record too short");
        const size_t count = bytes[0];
        if (bytes.size() != count + 5)
            fail("byte count 0x" + Hex2(static_cast<unsigned>(count)) + " does not match the " +
                 std::to_string(bytes.size() - 5) + " data bytes on the line");
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); i++)
            sum += bytes[i];
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        if (bytes.back() != expected)
            fail("bad checksum 0x" + Hex2(bytes.back()) + " (expected 0x" + Hex2(expected) + ")");
        const unsigned address = bytes[1] * 256u + bytes[2];
        const uint8_t type = bytes[3];
        if (type == kTypeEnd) {
            if (count != 0)
                fail("end-of-file record with data");
            ended = true;
            continue;
        }
        if (type != kTypeData)
            fail("unsupported record type 0x" + Hex2(type) + " (only 00 data and 01 end-of-file)");
        if (count == 0)
            fail("empty data record");
        if (count > kMaxRecordData)
            fail("data record of " + std::to_string(count) + " bytes (at most 16)");
        if (address + count > 0x10000)
            fail("record at 0x" + Hex4(address) + " with " + std::to_string(count) + " bytes runs past 0xFFFF");
        HexRecord record;
        record.address = static_cast<uint16_t>(address);
        record.data.assign(bytes.begin() + 4, bytes.end() - 1);
        image.push_back(std::move(record));
    }
    if (!ended)
        throw HexError(file, lineNumber, "missing end-of-file record");
    return image;
}

HexImage ReadHexFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw HexError(path, 0, "cannot open the file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw HexError(path, 0, "cannot read the file");
    return ParseHex(text.str(), path);
}

std::string WriteHex(const HexImage &image)
{
    std::string out;
    for (const HexRecord &record : image) {
        unsigned sum = static_cast<unsigned>(record.data.size()) + (record.address >> 8) + (record.address & 0xFF);
        out += ':' + Hex2(static_cast<unsigned>(record.data.size())) + Hex4(record.address) + "00";
        for (uint8_t byte : record.data) {
            out += Hex2(byte);
            sum += byte;
        }
        out += Hex2((0x100 - (sum & 0xFF)) & 0xFF) + "\n";
    }
    out += ":00000001FF\n";
    return out;
}

}  // namespace nuvix::fw
