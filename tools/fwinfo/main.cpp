// nuvix-fwinfo: what a firmware image file holds, checked the way the
// build's converter and the simulated chip check it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/fwimage/image_facts.h"
#include "lib/fwimage/stand_in_images.h"

namespace {

using namespace nuvix::fw;

void Usage(FILE *out)
{
    std::fprintf(out,
                 "usage: nuvix-fwinfo [--images DIR] IMAGE...\n"
                 "\n"
                 "Prints what each firmware image writes to the adapter's 8051: the number\n"
                 "of data records and bytes, split into internal memory (addresses up to\n"
                 "0x%04X, written by the chip itself) and external memory (above it,\n"
                 "written by the loader), each with its address range (first to last byte\n"
                 "written), and a checksum of the contents.\n"
                 "\n"
                 "IMAGE is an Intel HEX file (any argument containing '/' or ending in\n"
                 "'.hex') or the name of a shipped image: loader, main or alternate.\n"
                 "Names are looked up in DIR, by default the source tree's images:\n"
                 "  %s\n"
                 "\n"
                 "The checksum is CRC-32 (as zlib's crc32) over each record's address, two\n"
                 "bytes low byte first, followed by its data bytes, in file order.\n"
                 "\n"
                 "A file that is not a valid image (a bad checksum, a record type other\n"
                 "than 00 data and 01 end-of-file, a record over 16 bytes or past 0xFFFF,\n"
                 "a character that is not a hex digit, no end-of-file record) is reported\n"
                 "as FILE:LINE: REASON and the exit status is 1; a usage error gives 2.\n",
                 kInternalLast, ShippedImageDirectory().c_str());
}

std::string Range(const RegionFacts &region)
{
    if (!region.first)
        return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "0x%04X-0x%04X", *region.first, *region.last);
    return text;
}

void Print(const std::string &label, const HexImage &image)
{
    const ImageFacts facts = Examine(image);
    std::printf("image     %s\n", label.c_str());
    std::printf("records   %zu\n", facts.records);
    std::printf("bytes     %zu\n", facts.bytes);
    std::printf("internal  %zu records, %zu bytes, %s\n", facts.internal.records, facts.internal.bytes,
                Range(facts.internal).c_str());
    std::printf("external  %zu records, %zu bytes, %s\n", facts.external.records, facts.external.bytes,
                Range(facts.external).c_str());
    if (facts.spanningRecords)
        std::printf("warning   %zu records cross from internal into external memory\n", facts.spanningRecords);
    std::printf("crc32     0x%08X\n", facts.crc32);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string directory = ShippedImageDirectory();
    std::vector<std::string> images;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--images") {
            if (i + 1 == argc) {
                std::fprintf(stderr, "nuvix-fwinfo: error: --images needs a directory\n");
                return 2;
            }
            directory = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "nuvix-fwinfo: error: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        } else {
            images.push_back(arg);
        }
    }
    if (images.empty()) {
        std::fprintf(stderr, "nuvix-fwinfo: error: no image given (see --help)\n");
        return 2;
    }

    for (size_t n = 0; n < images.size(); n++) {
        const std::string &arg = images[n];
        const bool isPath =
            arg.find('/') != std::string::npos || (arg.size() > 4 && arg.compare(arg.size() - 4, 4, ".hex") == 0);
        if (!isPath && !IsImageName(arg)) {
            std::fprintf(stderr,
                         "nuvix-fwinfo: error: %s: unknown image name (loader, main, alternate, or a .hex path)\n",
                         arg.c_str());
            return 2;
        }
        const std::string path = isPath ? arg : directory + "/" + arg + ".hex";
        try {
            HexImage image = ReadHexFile(path);
            if (n)
                std::printf("\n");
            Print(isPath ? path : arg + " (" + path + ")", image);
        } catch (const HexError &error) {
            std::fprintf(stderr, "nuvix-fwinfo: error: %s\n", error.what());
            return 1;
        }
    }
    return 0;
}
