// The loader refuses what the platform's loader would refuse, naming why, and
// catches a completion routine in the wrong calling convention at its first
// completion.
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "sim/chip/ezusb_chip.h"
#include "sim/testbed.h"
#include "tests/loader/real_image_support.h"
#include "tests/support/sim_test.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

uint32_t PeOffset(const std::vector<uint8_t> &image) { return image[0x3C] | image[0x3D] << 8; }

// Overwrites an ASCII string inside the image with one of the same length.
void ReplaceText(std::vector<uint8_t> &image, const std::string &from, const std::string &to)
{
    auto at = std::search(image.begin(), image.end(), from.begin(), from.end());
    ASSERT_NE(at, image.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

std::string RefusalOf(const std::vector<uint8_t> &image)
{
    sim::loader::LoadResult result = sim::loader::LoadImage(image);
    EXPECT_EQ(result.image, nullptr);
    return result.error;
}

TEST(ImageLoaderTest, TheShippedImageLoadsWithEveryImportBound)
{
    sim::loader::LoadResult result = sim::loader::LoadImageFile(testing_support::RealImagePath());
    ASSERT_TRUE(result.image) << result.error;
    EXPECT_NE(result.image->Entry(), nullptr);
    EXPECT_NE(result.image->GetServiceTable(), nullptr);
    EXPECT_NE(reinterpret_cast<uintptr_t>(result.image->Base()), result.image->PreferredBase()) << "not relocated";
    const auto &imports = result.image->Imports();
    EXPECT_NE(std::find(imports.begin(), imports.end(), "HAL.dll!KfAcquireSpinLock"), imports.end());
    EXPECT_NE(std::find(imports.begin(), imports.end(), "ntoskrnl.exe!IofCompleteRequest"), imports.end());
    // The table the export gives is the driver's: five routines and the end.
    const ServiceTableRecord *table = result.image->GetServiceTable()();
    EXPECT_NE(table->StartRead, nullptr);
    EXPECT_NE(table->PortControl, nullptr);
    EXPECT_EQ(table->End, nullptr);
}

TEST(ImageLoaderTest, RefusesWrongMachineSubsystemExportsAndImports)
{
    const std::vector<uint8_t> good = ReadFile(testing_support::RealImagePath());
    ASSERT_GT(good.size(), 1024u);
    const uint32_t pe = PeOffset(good);

    std::vector<uint8_t> image = good;
    image[pe + 4] = 0x64, image[pe + 5] = 0x86;  // x86-64
    EXPECT_NE(RefusalOf(image).find("machine 0x8664 is not the platform's"), std::string::npos);

    image = good;
    image[pe + 24 + 68] = 2;  // a windowed application
    EXPECT_NE(RefusalOf(image).find("subsystem 2 is not native"), std::string::npos);

    image = good;
    ReplaceText(image, "_RbGetServiceTable@0", "_RbGetServiceTablX@0");
    EXPECT_NE(RefusalOf(image).find("exports _RbGetServiceTablX@0"), std::string::npos);

    image = good;
    ReplaceText(image, "USBD.SYS", "USBX.SYS");
    EXPECT_NE(RefusalOf(image).find("imports from USBX.SYS"), std::string::npos);

    image = good;
    ReplaceText(image, "KeClearEvent", "KeClearEvenX");
    EXPECT_NE(RefusalOf(image).find("ntoskrnl.exe!KeClearEvenX, which the simulation does not provide"),
              std::string::npos);

    image = good;
    image[0] = 'X';
    EXPECT_NE(RefusalOf(image).find("no MZ header"), std::string::npos);

    EXPECT_NE(sim::loader::LoadImageFile("/nonexistent/nuvixusb.sys").error.find("cannot open the file"),
              std::string::npos);
}

// The port read's completion routine of the test image is cdecl: it leaves
// its three arguments on the stack, and the first completion of a port read
// bug-checks. (The 64-bit build, with one convention, cannot see this.)
class WrongConventionDeathTest : public testing_support::SimTest {};

TEST_F(WrongConventionDeathTest, ACompletionRoutineThatLeavesItsArgumentsIsCaught)
{
    testing_support::UseThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            sim::loader::LoadResult result = sim::loader::LoadImageFile(testing_support::WrongConventionImagePath());
            if (!result.image)
                abort();
            sim::Testbed bed(result.image->Entry(), result.image->GetServiceTable());
            sim::chip::EzUsbChip &chip = bed.PlugChip().chip;
            sim::host::HostSerialDriver &host = *sim::Testbed::Host("NX4A0001");
            sim::host::HostPort &port = *sim::Testbed::HostPort("NX4A0001", 0);
            chip.Firmware()->ConnectLoopback(1);
            host.Open(port);
            host.Bind(port, 1000, 1000);
            uint8_t byte = 0x5A;
            host.Write(port, &byte, 1);
            host.WaitReadable(port, sim::kTicksPerSecond);
        },
        // The routine is named by its place in the image, as the platform's
        // debugger would; the stack is told module+offset.
        "DRIVER_CALLING_CONVENTION.*completion routine at nuvixusb_wrong_convention\\.sys\\+0x[0-9A-F]+ returned "
        "with 12 bytes.*\\*\\*\\* stack:.*nuvix_tests\\+0x[0-9A-F]+");
}

}  // namespace
