// The firmware images as the driver carries them: the shape of the three
// built tables (which the download's length and timing depend on), the
// tables against the shipped .hex files, the generator against the shipped
// files, and the Intel HEX reader's refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/firmware/download.h"
#include "lib/fwimage/image_facts.h"
#include "lib/fwimage/intel_hex.h"
#include "lib/fwimage/stand_in_images.h"

namespace {

using nuvix::fw::HexError;
using nuvix::fw::HexImage;
using nuvix::fw::HexRecord;

std::vector<LoadRecord> Records(const LoadRecord *image)
{
    std::vector<LoadRecord> records;
    for (const LoadRecord *record = image; record->Type == LOAD_RECORD_DATA; record++)
        records.push_back(*record);
    return records;
}

const LoadRecord *EndOf(const LoadRecord *image)
{
    while (image->Type == LOAD_RECORD_DATA)
        image++;
    return image;
}

HexImage AsHex(const LoadRecord *image)
{
    HexImage hex;
    for (const LoadRecord &record : Records(image))
        hex.push_back({record.Address, std::vector<uint8_t>(record.Data, record.Data + record.Length)});
    return hex;
}

std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Region {
    size_t records, bytes;
    uint32_t first, last;
};

struct Shape {
    const char *name;
    const LoadRecord *table;
    size_t records;
    Region internal;
    Region external;  // records == 0: none
};

const Shape kShapes[] = {
    {"loader", LoaderImage, 283, {283, 3601, 0x0000, 0x11D1}, {0, 0, 0, 0}},
    {"main", MainImage, 1048, {412, 5959, 0x0000, 0x1B2F}, {636, 9207, 0x8000, 0xA3F6}},
    {"alternate", AlternateImage, 255, {14, 218, 0x0000, 0x00D9}, {241, 3793, 0xE000, 0xEF75}},
};

// Each of the three built tables, a row.
class BuiltTableTest : public testing::TestWithParam<Shape> {};

TEST_P(BuiltTableTest, HasItsShape)
{
    const Shape &shape = GetParam();
    const auto records = Records(shape.table);
    ASSERT_EQ(records.size(), shape.records);

    const auto facts = nuvix::fw::Examine(AsHex(shape.table));
    EXPECT_EQ(facts.internal.records, shape.internal.records);
    EXPECT_EQ(facts.internal.bytes, shape.internal.bytes);
    EXPECT_EQ(facts.internal.first, shape.internal.first);
    EXPECT_EQ(facts.internal.last, shape.internal.last);
    EXPECT_EQ(facts.external.records, shape.external.records);
    EXPECT_EQ(facts.external.bytes, shape.external.bytes);
    if (shape.external.records) {
        EXPECT_EQ(facts.external.first, shape.external.first);
        EXPECT_EQ(facts.external.last, shape.external.last);
    }
    EXPECT_EQ(facts.spanningRecords, 0u);

    for (const LoadRecord &record : records) {
        EXPECT_GE(record.Length, 1);
        EXPECT_LE(record.Length, 16);
        EXPECT_EQ(record.Fill0, 0);
        EXPECT_EQ(record.Fill1, 0);
        for (int i = record.Length; i < LOAD_RECORD_MAX_DATA; i++)
            EXPECT_EQ(record.Data[i], 0) << "at 0x" << std::hex << record.Address;
        const bool internal = record.Address <= FIRMWARE_INTERNAL_LAST;
        const bool endsInternal = record.Address + record.Length - 1 <= FIRMWARE_INTERNAL_LAST;
        EXPECT_EQ(internal, endsInternal) << "a record spans 0x1B3F/0x1B40 at 0x" << std::hex << record.Address;
    }

    const LoadRecord *end = EndOf(shape.table);
    EXPECT_EQ(end->Type, LOAD_RECORD_END);
    EXPECT_EQ(end->Length, 0);
    EXPECT_EQ(end->Address, 0);
    for (UCHAR byte : end->Data)
        EXPECT_EQ(byte, 0);
}

TEST_P(BuiltTableTest, NoTwoRecordsWriteTheSameByte)
{
    std::vector<bool> written(0x10000, false);
    for (const LoadRecord &record : Records(GetParam().table))
        for (int i = 0; i < record.Length; i++) {
            EXPECT_FALSE(written[record.Address + i]) << "0x" << std::hex << record.Address + i;
            written[record.Address + i] = true;
        }
}

// Internal and external records come in alternating runs, and neither the
// whole table nor either kind on its own is in address order.
TEST_P(BuiltTableTest, RecordsAreNotInAddressOrder)
{
    const auto records = Records(GetParam().table);
    size_t descents = 0;
    size_t switches = 0;
    for (size_t i = 1; i < records.size(); i++) {
        descents += records[i].Address < records[i - 1].Address;
        switches +=
            (records[i].Address <= FIRMWARE_INTERNAL_LAST) != (records[i - 1].Address <= FIRMWARE_INTERNAL_LAST);
    }
    EXPECT_GT(descents, 0u);
    if (GetParam().external.records) {
        EXPECT_GE(switches, 4u) << "internal and external records should alternate in runs";
    }
}

TEST_P(BuiltTableTest, EqualsTheShippedFile)
{
    const HexImage shipped = nuvix::fw::ReadHexFile(nuvix::fw::ShippedImagePath(GetParam().name));
    EXPECT_TRUE(AsHex(GetParam().table) == shipped);
}

INSTANTIATE_TEST_SUITE_P(Images, BuiltTableTest, testing::ValuesIn(kShapes));

TEST(FirmwareImages, TheThreeImagesDiffer)
{
    const uint32_t loader = nuvix::fw::ImageCrc32(AsHex(LoaderImage));
    const uint32_t main = nuvix::fw::ImageCrc32(AsHex(MainImage));
    const uint32_t alternate = nuvix::fw::ImageCrc32(AsHex(AlternateImage));
    EXPECT_NE(loader, main);
    EXPECT_NE(loader, alternate);
    EXPECT_NE(main, alternate);
}

TEST(FirmwareImages, GeneratorReproducesTheShippedFilesByteForByte)
{
    const auto images = nuvix::fw::GenerateStandInImages();
    ASSERT_EQ(images.size(), 3u);
    for (const auto &image : images) {
        SCOPED_TRACE(image.name);
        const std::string shipped = ReadText(nuvix::fw::ShippedImagePath(image.name));
        ASSERT_FALSE(shipped.empty());
        EXPECT_TRUE(nuvix::fw::WriteHex(image.records) == shipped) << "run nuvix-fwgen driver/firmware/images";
    }
}

TEST(FirmwareImages, GeneratorIsDeterministic)
{
    for (const auto &plan : nuvix::fw::StandInPlans())
        EXPECT_TRUE(nuvix::fw::GenerateImage(plan) == nuvix::fw::GenerateImage(plan)) << plan.name;
}

// --- the Intel HEX reader ------------------------------------------------

HexError ParseError(const std::string &text)
{
    try {
        nuvix::fw::ParseHex(text, "t.hex");
    } catch (const HexError &error) {
        return error;
    }
    ADD_FAILURE() << "accepted:\n" << text;
    return HexError("", 0, "");
}

TEST(IntelHex, ReadsDataRecordsAndTheEndRecord)
{
    const HexImage image = nuvix::fw::ParseHex(":0300300002337A1E\r\n\n:02FFFE00ABCD89\n:00000001FF\n", "t.hex");
    ASSERT_EQ(image.size(), 2u);
    EXPECT_EQ(image[0].address, 0x0030);
    EXPECT_EQ(image[0].data, (std::vector<uint8_t>{0x02, 0x33, 0x7A}));
    EXPECT_EQ(image[1].address, 0xFFFE);
    EXPECT_EQ(image[1].data, (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(IntelHex, WriterAndReaderRoundTrip)
{
    const HexImage image = {{0x1234, {1, 2, 3}}, {0x0000, std::vector<uint8_t>(16, 0xEE)}, {0xFFFF, {0x5A}}};
    EXPECT_TRUE(nuvix::fw::ParseHex(nuvix::fw::WriteHex(image), "t.hex") == image);
    EXPECT_EQ(nuvix::fw::WriteHex({}), ":00000001FF\n");
}

TEST(IntelHex, RefusesMalformedFilesNamingLineAndReason)
{
    struct Case {
        std::string text;
        size_t line;
        std::string reason;
    };
    const Case cases[] = {
        {":0300300002337A1E\n:0300300002337A1F\n:00000001FF\n", 2, "bad checksum 0x1F (expected 0x1E)"},
        {":020000040000FA\n:00000001FF\n", 1, "unsupported record type 0x04 (only 00 data and 01 end-of-file)"},
        {":11000000000102030405060708090A0B0C0D0E0F1067\n:00000001FF\n", 1, "data record of 17 bytes (at most 16)"},
        {":04FFFE0001020304F5\n:00000001FF\n", 1, "record at 0xFFFE with 4 bytes runs past 0xFFFF"},
        {":0300300002G37A1E\n:00000001FF\n", 1, "non-hex character 'G' in column 12"},
        {":0300300002337A1E \n:00000001FF\n", 1, "non-hex character ' ' in column 18"},
        {":0300300002337A1E\n", 1, "missing end-of-file record"},
        {"0300300002337A1E\n:00000001FF\n", 1, "line does not start with ':'"},
        {":0400300002337A1D\n:00000001FF\n", 1, "byte count 0x04 does not match the 3 data bytes on the line"},
        {":00000001FF\n:0300300002337A1E\n", 2, "data after the end-of-file record"},
        {":00001000F0\n:00000001FF\n", 1, "empty data record"},
        {":03003000\n:00000001FF\n", 1, "record too short"},
        {":0300300002337A1E0\n:00000001FF\n", 1, "odd number of hex digits"},
        {":01000001AA54\n", 1, "end-of-file record with data"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        HexError error = ParseError(c.text);
        EXPECT_EQ(error.File(), "t.hex");
        EXPECT_EQ(error.Line(), c.line);
        EXPECT_EQ(error.Reason(), c.reason);
        EXPECT_EQ(std::string(error.what()), "t.hex:" + std::to_string(c.line) + ": " + c.reason);
    }
}

TEST(IntelHex, NamesAFileThatCannotBeOpened)
{
    try {
        nuvix::fw::ReadHexFile("/nonexistent/image.hex");
        ADD_FAILURE() << "no error";
    } catch (const HexError &error) {
        EXPECT_EQ(std::string(error.what()), "/nonexistent/image.hex: cannot open the file");
    }
}

}  // namespace
