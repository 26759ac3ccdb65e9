// Intel HEX as the firmware images use it: data records (type 00) of 1 to 16
// bytes at 16-bit addresses, closed by one end-of-file record (type 01).
// The image generator writes it, and nuvix-fwinfo and the simulated
// chip read it, all through this one reader so that they agree on what a
// valid image file is. The build's own converter (cmake/hex_to_records.cmake)
// applies the same rules with the same wording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nuvix::fw {

constexpr size_t kMaxRecordData = 16;

struct HexRecord {
    uint16_t address = 0;
    std::vector<uint8_t> data;

    bool operator==(const HexRecord &) const = default;
};

// The data records of a file, in file order; the end-of-file record is implied.
using HexImage = std::vector<HexRecord>;

// A file that is not a valid image: where (line 0 when the file as a whole is
// at fault, such as one that cannot be opened) and why.
class HexError : public std::runtime_error {
public:
    HexError(std::string file, size_t line, std::string reason);

    const std::string &File() const { return file_; }
    size_t Line() const { return line_; }
    const std::string &Reason() const { return reason_; }

private:
    std::string file_;
    size_t line_;
    std::string reason_;
};

// Throws HexError naming `file` (used only in messages) for the first fault.
// Blank lines are ignored; anything after the end-of-file record is a fault.
HexImage ParseHex(std::string_view text, const std::string &file);
HexImage ReadHexFile(const std::string &path);

// Upper-case digits, one line per record, "\n" line ends, end record last.
std::string WriteHex(const HexImage &image);

}  // namespace nuvix::fw
