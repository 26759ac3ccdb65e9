// Devices whose configuration or serial-number descriptors do not hold what
// they claim: short reads, lengths beyond what arrived, headers of the wrong
// kind, broken walks, too few pipes, strings cut short or empty. Each such
// device fails its start cleanly (nothing of it stays behind), and an honest
// adapter plugged afterwards works.
#include <cstring>
#include <functional>
#include <optional>

#include "tests/support/lookup.h"
#include "driver/service/port_lookup.h"
#include "driver/core/configure.h"
#include "sim/host/traffic.h"
#include "sim/kernel/resources.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/lifecycle/lying_adapter.h"

namespace {

using testing_support::Bytes;
using testing_support::Cut;
using testing_support::LifecycleTest;
using testing_support::LyingAdapter;
using testing_support::SetTotalLength;
using testing_support::StringDescriptor;

constexpr size_t kHonestConfigLength = 9 + 9 + 10 * 7;

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<size_t> configReads;  // the length each configuration read asked for
    sim::pnp::Device *device = nullptr;
};

class LyingDescriptorTest : public LifecycleTest {
protected:
    LyingDescriptorTest() { pnp->SetRemoveAfterFailedStart(false); }

    static size_t LiveResources() { return sim::Resources::Get().Live().size(); }

    // Plugs a lying adapter. A failed start must leave the adapter unpublished;
    // the removal that follows (unless kept) must leave nothing of it behind.
    Outcome PlugLiar(const std::string &serialNumber, std::function<void(LyingAdapter &)> bend, bool keep = false)
    {
        LyingAdapter &liar = Own<LyingAdapter>(serialNumber);
        bend(liar);
        size_t before = LiveResources();
        auto result = pnp->Plug(liar);
        Outcome outcome;
        outcome.status = result.status;
        outcome.device = result.device;
        for (const auto &record : result.device->Bus().Log())
            if (record.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                outcome.configReads.push_back(record.length);
        EXPECT_EQ(size_t(liar.configReads), outcome.configReads.size());
        if (!NT_SUCCESS(result.status)) {
            EXPECT_EQ(result.device->State(), sim::pnp::DeviceState::StartFailed);
            AdapterContext *adapter = Adapter(*result.device);
            EXPECT_FALSE(adapter->Configured);
            EXPECT_EQ(adapter->EnumNode, 0u);
            if (keep)
                return outcome;
            EXPECT_EQ(pnp->SendRemove(*result.device), STATUS_SUCCESS);
            EXPECT_EQ(AdapterTable.Count, 0u);
            EXPECT_EQ(pnp->Driver()->DeviceObject, nullptr);
            EXPECT_EQ(LiveResources(), before) << sim::Resources::Get().LeakReport();
        }
        return outcome;
    }

    // An honest adapter of the same kind starts and carries data.
    void ExpectHonestAdapterWorks(const std::string &serialNumber)
    {
        sim::pnp::Device &device = PlugAdapter(serialNumber);
        auto &firmware = static_cast<sim::adapter::MainFirmware &>(device.Model());
        firmware.ConnectLoopback(2);
        sim::host::HostSerialDriver *host = Host(serialNumber);
        ASSERT_NE(host, nullptr);
        sim::host::HostPort &port = *HostPort(serialNumber, 1);
        ASSERT_TRUE(sim::host::OpenForTraffic(*host, port, 256, 256, sim::host::Flow::None));
        EXPECT_EQ(sim::host::ShortEcho(*host, port, {'o', 'k', 0x00, 0xFF}), "");
        EXPECT_TRUE(host->Close(port));
        EXPECT_FALSE(pnp->Remove(device).Refused());
        EXPECT_EQ(AdapterTable.Count, 0u);
    }
};

TEST_F(LyingDescriptorTest, AnHonestConfigurationIsReadOnce)
{
    Outcome honest = PlugLiar("HONEST", [](LyingAdapter &) {});
    EXPECT_EQ(honest.status, STATUS_SUCCESS);
    EXPECT_EQ(honest.configReads, std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ});
    EXPECT_EQ(Adapter(*honest.device)->ConfigDescriptor->wTotalLength, kHonestConfigLength);
    EXPECT_FALSE(pnp->Remove(*honest.device).Refused());
}

// One bent descriptor per row: the start fails with this status, having
// asked for these lengths (when given), and an honest adapter plugged
// afterwards works.
struct DescriptorLie {
    const char *what;
    std::function<Bytes(Bytes, int)> config;  // the configuration descriptor of each read
    NTSTATUS start = STATUS_DEVICE_DATA_ERROR;
    std::optional<std::vector<size_t>> configReads = std::nullopt;
    std::function<Bytes(Bytes)> device = nullptr;  // the device descriptor
};

// The configuration descriptor bent the same way at every read.
std::function<Bytes(Bytes, int)> Bend(std::function<void(Bytes &)> lie)
{
    return [lie](Bytes bytes, int) {
        lie(bytes);
        return bytes;
    };
}
std::function<Bytes(Bytes, int)> CutAt(size_t length)
{
    return [length](Bytes bytes, int) { return Cut(bytes, length); };
}
std::function<Bytes(Bytes)> DeviceCutAt(size_t length)
{
    return [length](Bytes bytes) { return Cut(bytes, length); };
}
const std::vector<size_t> kOneRead = {CONFIG_DESCRIPTOR_FIRST_READ};
const std::vector<size_t> kNoRead = {};

class DescriptorLieTest : public LyingDescriptorTest, public ::testing::WithParamInterface<DescriptorLie> {};

TEST_P(DescriptorLieTest, FailsTheStartCleanly)
{
    const DescriptorLie &row = GetParam();
    SCOPED_TRACE(row.what);
    Outcome outcome = PlugLiar("LIAR", [&row](LyingAdapter &liar) {
        liar.config = row.config;
        liar.device = row.device;
    });
    EXPECT_EQ(outcome.status, row.start);
    if (row.configReads) {
        EXPECT_EQ(outcome.configReads, *row.configReads);
    }
    ExpectHonestAdapterWorks("HONEST");
}

const DescriptorLie kDescriptorLies[] = {
    // An empty read is not retried.
    {"empty", CutAt(0), STATUS_DEVICE_DATA_ERROR, kOneRead},
    // 2 and 3 bytes do not even reach wTotalLength; 4 to 8 hold it but not
    // the rest of the configuration descriptor.
    {"1 byte", CutAt(1), STATUS_DEVICE_DATA_ERROR, kOneRead},
    {"2 bytes", CutAt(2), STATUS_DEVICE_DATA_ERROR, kOneRead},
    {"3 bytes", CutAt(3), STATUS_DEVICE_DATA_ERROR, kOneRead},
    {"4 bytes", CutAt(4), STATUS_DEVICE_DATA_ERROR, kOneRead},
    {"8 bytes", CutAt(8), STATUS_DEVICE_DATA_ERROR, kOneRead},
    // wTotalLength says 88 but the transfer ends after 50 bytes: the rest of
    // the buffer was never written.
    {"50 of 88 bytes", CutAt(50), STATUS_DEVICE_DATA_ERROR, kOneRead},
    // The whole 65535 the field can say is asked for once more, and what
    // arrives then is still short of it.
    {"wTotalLength 65535", Bend([](Bytes &bytes) { SetTotalLength(bytes, 0xFFFF); }), STATUS_DEVICE_DATA_ERROR,
     std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ, 0xFFFF}},
    // A device that claims more at every read is not read a third time.
    {"growing",
     [](Bytes bytes, int read) {
         SetTotalLength(bytes, static_cast<uint16_t>(600 * read));
         bytes.resize(600 * read, 0);
         return bytes;
     },
     STATUS_DEVICE_DATA_ERROR, std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ, 600}},
    // A header that is no configuration descriptor.
    {"bLength 7", Bend([](Bytes &bytes) { bytes[0] = 7; })},
    {"bLength 0", Bend([](Bytes &bytes) { bytes[0] = 0; })},
    {"interface type", Bend([](Bytes &bytes) { bytes[1] = USB_INTERFACE_DESCRIPTOR_TYPE; })},
    {"wTotalLength 4", Bend([](Bytes &bytes) { SetTotalLength(bytes, 4); })},
    {"wTotalLength 0", Bend([](Bytes &bytes) { SetTotalLength(bytes, 0); })},
    // A descriptor inside that breaks the walk: the walk would stand still
    // on a length of 0 or 1 for ever.
    {"endpoint of length 0", Bend([](Bytes &bytes) { bytes[18 + 3 * 7] = 0; })},
    {"endpoint of length 1", Bend([](Bytes &bytes) { bytes[18 + 3 * 7] = 1; })},
    // The last endpoint runs 3 bytes past wTotalLength.
    {"last endpoint cut", Bend([](Bytes &bytes) {
         bytes.resize(bytes.size() - 3);
         SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
     })},
    {"endpoint of length 200", Bend([](Bytes &bytes) { bytes[18 + 9 * 7] = 200; })},
    // An interface descriptor too short to hold an interface's fields.
    {"interface of length 4", Bend([](Bytes &bytes) {
         Bytes small = {4, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0};
         bytes.insert(bytes.end(), small.begin(), small.end());
         SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
     })},
    // One stray byte after the last descriptor.
    {"stray byte", Bend([](Bytes &bytes) {
         bytes.push_back(9);
         SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
     })},
    // Too few pipes.
    {"no endpoints", Bend([](Bytes &bytes) {
         bytes.resize(18);
         bytes[13] = 0;
         SetTotalLength(bytes, 18);
     }),
     STATUS_UNSUCCESSFUL},
    // bNumEndpoints says ten; four endpoint descriptors follow.
    {"four of ten endpoints", Bend([](Bytes &bytes) {
         bytes.resize(18 + 4 * 7);
         SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
     }),
     STATUS_UNSUCCESSFUL},
    // Eight endpoints: the command pipes are missing.
    {"eight endpoints", Bend([](Bytes &bytes) {
         bytes.resize(18 + 8 * 7);
         bytes[13] = 8;
         SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
     }),
     STATUS_UNSUCCESSFUL},
    {"no interface", Bend([](Bytes &bytes) {
         bytes.resize(9);
         SetTotalLength(bytes, 9);
     }),
     STATUS_UNSUCCESSFUL},
    // Whether the firmware runs is judged from idProduct: a device
    // descriptor cut short (or of another type) must fail the start, not
    // leave that judgement to whatever the pool held.
    {"device descriptor of 0 bytes", nullptr, STATUS_DEVICE_DATA_ERROR, kNoRead, DeviceCutAt(0)},
    {"device descriptor of 8 bytes", nullptr, STATUS_DEVICE_DATA_ERROR, kNoRead, DeviceCutAt(8)},
    {"device descriptor of 11 bytes", nullptr, STATUS_DEVICE_DATA_ERROR, kNoRead, DeviceCutAt(11)},
    {"device descriptor of 17 bytes", nullptr, STATUS_DEVICE_DATA_ERROR, kNoRead, DeviceCutAt(17)},
    {"device descriptor of another type", nullptr, STATUS_DEVICE_DATA_ERROR, std::nullopt,
     [](Bytes bytes) {
         bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
         return bytes;
     }},
};
INSTANTIATE_TEST_SUITE_P(Rows, DescriptorLieTest, ::testing::ValuesIn(kDescriptorLies));

// One serial-number string per row, of every shape: kept (only the low byte
// of each character, cut to what arrived and to bLength, half a character
// dropped), refused as empty (not counted too long), or refused as too long.
struct SerialShape {
    const char *what;
    Bytes descriptor;
    NTSTATUS start;
    size_t characters = 0;         // how many are kept, when the start succeeds
    const char *serial = nullptr;  // and which
    ULONG tooLong = 0;             // the too-long counter afterwards
};

class SerialShapeTest : public LyingDescriptorTest, public ::testing::WithParamInterface<SerialShape> {};

TEST_P(SerialShapeTest, IsKeptOrRefused)
{
    const SerialShape &row = GetParam();
    SCOPED_TRACE(row.what);
    Outcome outcome =
        PlugLiar("unused", [&row](LyingAdapter &liar) { liar.serial = [&row](Bytes) { return row.descriptor; }; });
    ASSERT_EQ(outcome.status, row.start);
    if (NT_SUCCESS(row.start)) {
        const char *kept = Adapter(*outcome.device)->SerialNumber;
        EXPECT_EQ(std::strlen(kept), row.characters);
        if (row.serial) {
            EXPECT_STREQ(kept, row.serial);
            EXPECT_NE(Host(row.serial), nullptr);
        }
        EXPECT_FALSE(pnp->Remove(*outcome.device).Refused());
    } else {
        ExpectHonestAdapterWorks("HONEST");
    }
    EXPECT_EQ(ErrorStats[ERROR_STAT_SERIAL_TOO_LONG], row.tooLong);
}

using testing_support::FilledString;
const SerialShape kSerialShapes[] = {
    // bLength claims 16 characters; 6 arrive.
    {"cut short", StringDescriptor(2 + 2 * 16, u"CUT123XXXXXXXXXX", 2 + 2 * 6), STATUS_SUCCESS, 6, "CUT123"},
    {"half a character arrived last", StringDescriptor(2 + 2 * 16, u"ODD123XXXXXXXXXX", 2 + 2 * 6 + 1), STATUS_SUCCESS,
     6, "ODD123"},
    {"odd bLength", StringDescriptor(2 + 2 * 5 + 1, u"LEN12XXXXX"), STATUS_SUCCESS, 5, "LEN12"},
    {"bLength caps what arrived", StringDescriptor(2 + 2 * 4, u"CAP1XXXX"), STATUS_SUCCESS, 4, "CAP1"},
    {"high bytes", Bytes{8, 3, 0x41, 0x01, 0x42, 0x20, 0x43, 0}, STATUS_SUCCESS, 3, "ABC"},
    {"4 bytes", FilledString(4), STATUS_SUCCESS, 1, "T"},
    {"66 bytes", FilledString(66), STATUS_SUCCESS, 32},
    {"67 bytes", FilledString(67), STATUS_SUCCESS, 32},
    {"bLength 1", StringDescriptor(1, u""), STATUS_DEVICE_DATA_ERROR},
    {"bLength 2", StringDescriptor(2, u""), STATUS_DEVICE_DATA_ERROR},
    {"bLength 3", StringDescriptor(3, u"X"), STATUS_DEVICE_DATA_ERROR},
    {"bLength 3, half a character", FilledString(3), STATUS_DEVICE_DATA_ERROR},
    {"bLength 2 with characters after it", StringDescriptor(2, u"MORE"), STATUS_DEVICE_DATA_ERROR},
    {"nothing arrived", Bytes{}, STATUS_DEVICE_DATA_ERROR},
    {"one byte arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 1), STATUS_DEVICE_DATA_ERROR},
    {"header only arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 2), STATUS_DEVICE_DATA_ERROR},
    {"half a character arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 3), STATUS_DEVICE_DATA_ERROR},
    {"first character NUL", StringDescriptor(2 + 2 * 3, std::u16string{0x0100, u'B', u'C'}), STATUS_DEVICE_DATA_ERROR},
    // bLength 0 still counts as the too-long kind, as it always did.
    {"bLength 0", StringDescriptor(0, u"ZERO"), STATUS_INSUFFICIENT_RESOURCES, 0, nullptr, 1},
    {"bLength 0 alone", FilledString(0), STATUS_INSUFFICIENT_RESOURCES, 0, nullptr, 1},
    {"68 bytes", FilledString(68), STATUS_INSUFFICIENT_RESOURCES, 0, nullptr, 1},
};
INSTANTIATE_TEST_SUITE_P(Rows, SerialShapeTest, ::testing::ValuesIn(kSerialShapes));

TEST_F(LyingDescriptorTest, AnAdapterWithoutASerialNumberNeverAnswersForAnotherAdaptersPorts)
{
    // The empty one comes first and stays in its slot, start failed.
    Outcome empty = PlugLiar(
        "unused", [](LyingAdapter &liar) { liar.serial = [](Bytes) { return StringDescriptor(2, u""); }; }, true);
    EXPECT_FALSE(NT_SUCCESS(empty.status));
    sim::pnp::Device &other = PlugAdapter("OTHER");
    AdapterContext *otherAdapter = Adapter(other);
    EXPECT_NE(otherAdapter, Adapter(*empty.device));

    sim::host::HostSerialDriver *host = Host("OTHER");
    ASSERT_NE(host, nullptr);
    for (int index = 0; index < 4; index++) {
        sim::host::HostPort &port = *HostPort("OTHER", index);
        EXPECT_EQ(testing_support::LookupPortLocked(port.Handle()), otherAdapter->Ports[index]) << index;
    }
    sim::host::HostPort &port = *HostPort("OTHER", 3);
    ASSERT_TRUE(host->Open(port));
    EXPECT_TRUE(otherAdapter->Ports[3]->Open);
    EXPECT_TRUE(host->Close(port));
    EXPECT_FALSE(pnp->Remove(other).Refused());
    EXPECT_EQ(pnp->SendRemove(*empty.device), STATUS_SUCCESS);
}

}  // namespace
