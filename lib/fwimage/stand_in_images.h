// The firmware images the project ships are stand-ins: the adapter's real
// 8051 programs are not part of this tree. They are made by a deterministic
// generator (tools/fwgen) with the shape of the real ones, which is what the
// driver's download and its timing depend on: how many records, how many
// bytes, where they land and in what order. Their contents are pseudo-random
// from a fixed seed per image, so the three differ and the simulated chip can
// tell which one it was given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "intel_hex.h"

namespace nuvix::fw {

// One address range an image fills: the first and last byte written, how
// many records and bytes it takes.
struct RegionPlan {
    uint32_t first;
    uint32_t last;
    size_t records;
    size_t bytes;
};

struct ImagePlan {
    const char *name;  // loader, main, alternate; the file is <name>.hex
    uint64_t seed;
    RegionPlan internal;
    RegionPlan external;  // records == 0: none
    size_t runs;          // runs per region, interleaved internal, external, ...
};

// The plans for the three images, in the order loader, main, alternate.
const std::vector<ImagePlan> &StandInPlans();

struct StandInImage {
    std::string name;
    HexImage records;
};

HexImage GenerateImage(const ImagePlan &plan);
std::vector<StandInImage> GenerateStandInImages();

// Where the shipped .hex files are: the source tree's driver/firmware/images,
// compiled in when the tools are built. Names are loader, main, alternate.
std::string ShippedImageDirectory();
std::string ShippedImagePath(const std::string &name);
bool IsImageName(const std::string &name);

}  // namespace nuvix::fw
