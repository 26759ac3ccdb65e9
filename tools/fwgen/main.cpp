// nuvix-fwgen: writes the stand-in firmware images (loader.hex, main.hex,
// alternate.hex) into a directory. The output is the same on every run and
// every machine; the shipped files in driver/firmware/images are its output,
// and a test holds them to it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "lib/fwimage/stand_in_images.h"

namespace {

void Usage(FILE *out)
{
    std::fputs(
        "usage: nuvix-fwgen <output-directory>\n"
        "\n"
        "Writes the stand-in firmware images loader.hex, main.hex and alternate.hex\n"
        "(Intel HEX) into the directory, creating it if needed. The images are\n"
        "generated from fixed seeds: every run writes the same bytes. To refresh\n"
        "the shipped images, run it with driver/firmware/images as the directory.\n",
        out);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        Usage(stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        if (argc == 2)
            std::fprintf(stderr, "nuvix-fwgen: error: unknown option %s\n", argv[1]);
        else
            std::fprintf(stderr, "nuvix-fwgen: error: expected one output directory (see --help)\n");
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        std::fprintf(stderr, "nuvix-fwgen: error: %s: %s\n", directory.c_str(), error.message().c_str());
        return 1;
    }
    for (const auto &image : nuvix::fw::GenerateStandInImages()) {
        const std::filesystem::path path = directory / (image.name + ".hex");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << nuvix::fw::WriteHex(image.records);
        out.close();
        if (!out) {
            std::fprintf(stderr, "nuvix-fwgen: error: %s: cannot write the file\n", path.c_str());
            return 1;
        }
        std::printf("%s: %zu records\n", path.c_str(), image.records.size());
    }
    return 0;
}
