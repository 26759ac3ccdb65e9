// Devices whose configuration or serial-number descriptors do not hold what
// they claim: short reads, lengths beyond what arrived, headers of the wrong
// kind, broken walks, too few pipes, strings cut short or empty. Each such
// device fails its start cleanly (nothing of it stays behind), and an honest
// adapter plugged afterwards works.
#include <atomic>
#include <cstring>
#include <functional>

#include "tests/support/lookup.h"
#include "driver/service/port_lookup.h"
#include "driver/core/configure.h"
#include "sim/kernel/resources.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;
using Bytes = std::vector<uint8_t>;

constexpr size_t kHonestConfigLength = 9 + 9 + 10 * 7;

// The running firmware with its configuration descriptor (given the honest
// one and the number of the read, from 1) or its serial-number string bent.
class LyingAdapter : public sim::adapter::MainFirmware {
public:
    using MainFirmware::MainFirmware;
    std::function<Bytes(Bytes, int)> config;
    std::function<Bytes(Bytes)> serial;
    std::function<Bytes(Bytes)> device;
    std::atomic<int> configReads{0};

    std::optional<Bytes> Descriptor(uint8_t type, uint8_t index, uint16_t language) override
    {
        auto bytes = MainFirmware::Descriptor(type, index, language);
        if (bytes && type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            int read = ++configReads;
            if (config)
                return config(*bytes, read);
        }
        if (bytes && type == USB_DEVICE_DESCRIPTOR_TYPE && device)
            return device(*bytes);
        if (bytes && type == USB_STRING_DESCRIPTOR_TYPE && index == SERIAL_NUMBER_STRING_INDEX && serial)
            return serial(*bytes);
        return bytes;
    }
};

void SetTotalLength(Bytes &bytes, uint16_t total)
{
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
}

Bytes Cut(Bytes bytes, size_t length)
{
    bytes.resize(std::min(bytes.size(), length));
    return bytes;
}

// A string descriptor: bLength as given, then the characters, then only the
// first `arrive` bytes of it all.
Bytes StringDescriptor(uint8_t length, const std::u16string &text, size_t arrive = SIZE_MAX)
{
    Bytes bytes = {length, USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return Cut(bytes, arrive);
}

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
        auto model = std::make_unique<LyingAdapter>(serialNumber);
        bend(*model);
        LyingAdapter &liar = *model;
        models.push_back(std::move(model));
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
        ASSERT_TRUE(host->Open(port));
        ASSERT_TRUE(host->Bind(port, 256, 256));
        const uint8_t sent[] = {'o', 'k', 0x00, 0xFF};
        EXPECT_EQ(host->Write(port, sent, sizeof(sent)), sizeof(sent));
        uint8_t back[8] = {};
        size_t received = 0;
        while (received < sizeof(sent) && host->WaitReadable(port, 10'000'000))
            received += host->Read(port, back + received, sizeof(back) - received);
        EXPECT_EQ(received, sizeof(sent));
        EXPECT_EQ(std::memcmp(back, sent, sizeof(sent)), 0);
        EXPECT_TRUE(host->Close(port));
        EXPECT_FALSE(pnp->Remove(device).Refused());
        EXPECT_EQ(AdapterTable.Count, 0u);
    }
};

TEST_F(LyingDescriptorTest, AnHonestConfigurationIsReadOnceAndAnEmptyReadIsNotRetried)
{
    Outcome honest = PlugLiar("HONEST", [](LyingAdapter &) {});
    EXPECT_EQ(honest.status, STATUS_SUCCESS);
    EXPECT_EQ(honest.configReads, std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ});
    EXPECT_EQ(Adapter(*honest.device)->ConfigDescriptor->wTotalLength, kHonestConfigLength);
    EXPECT_FALSE(pnp->Remove(*honest.device).Refused());

    Outcome empty = PlugLiar("EMPTY", [](LyingAdapter &liar) { liar.config = [](Bytes, int) { return Bytes{}; }; });
    EXPECT_EQ(empty.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(empty.configReads, std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ});
    ExpectHonestAdapterWorks("EMPTY");
}

TEST_F(LyingDescriptorTest, AReadTooShortForTheHeaderFailsTheStart)
{
    // 2 and 3 bytes do not even reach wTotalLength; 4 to 8 hold it but not
    // the rest of the configuration descriptor.
    for (size_t arrived : {1, 2, 3, 4, 8}) {
        Outcome outcome = PlugLiar("SHORT", [arrived](LyingAdapter &liar) {
            liar.config = [arrived](Bytes honest, int) { return Cut(honest, arrived); };
        });
        EXPECT_EQ(outcome.status, STATUS_DEVICE_DATA_ERROR) << arrived;
        EXPECT_EQ(outcome.configReads.size(), 1u) << arrived;
    }
    ExpectHonestAdapterWorks("SHORT");
}

TEST_F(LyingDescriptorTest, ATotalLengthBeyondWhatArrivedFailsTheStart)
{
    // wTotalLength says 88 but the transfer ends after 50 bytes: the rest of
    // the buffer was never written.
    Outcome cut =
        PlugLiar("CUT", [](LyingAdapter &liar) { liar.config = [](Bytes honest, int) { return Cut(honest, 50); }; });
    EXPECT_EQ(cut.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(cut.configReads.size(), 1u);

    // The whole 65535 the field can say is asked for once more, and what
    // arrives then is still short of it.
    Outcome huge = PlugLiar("HUGE", [](LyingAdapter &liar) {
        liar.config = [](Bytes honest, int) {
            SetTotalLength(honest, 0xFFFF);
            return honest;
        };
    });
    EXPECT_EQ(huge.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(huge.configReads, (std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ, 0xFFFF}));

    // A device that claims more at every read is not read a third time.
    Outcome growing = PlugLiar("GROW", [](LyingAdapter &liar) {
        liar.config = [](Bytes honest, int read) {
            SetTotalLength(honest, static_cast<uint16_t>(600 * read));
            honest.resize(600 * read, 0);
            return honest;
        };
    });
    EXPECT_EQ(growing.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(growing.configReads, (std::vector<size_t>{CONFIG_DESCRIPTOR_FIRST_READ, 600}));
    ExpectHonestAdapterWorks("HUGE");
}

TEST_F(LyingDescriptorTest, AHeaderThatIsNoConfigurationDescriptorFailsTheStart)
{
    const std::vector<std::pair<const char *, std::function<void(Bytes &)>>> lies = {
        {"bLength 7", [](Bytes &bytes) { bytes[0] = 7; }},
        {"bLength 0", [](Bytes &bytes) { bytes[0] = 0; }},
        {"interface type", [](Bytes &bytes) { bytes[1] = USB_INTERFACE_DESCRIPTOR_TYPE; }},
        {"wTotalLength 4", [](Bytes &bytes) { SetTotalLength(bytes, 4); }},
        {"wTotalLength 0", [](Bytes &bytes) { SetTotalLength(bytes, 0); }},
    };
    for (const auto &[what, lie] : lies) {
        Outcome outcome = PlugLiar("KIND", [&lie](LyingAdapter &liar) {
            liar.config = [&lie](Bytes honest, int) {
                lie(honest);
                return honest;
            };
        });
        EXPECT_EQ(outcome.status, STATUS_DEVICE_DATA_ERROR) << what;
    }
    ExpectHonestAdapterWorks("KIND");
}

TEST_F(LyingDescriptorTest, ADescriptorInsideThatBreaksTheWalkFailsTheStart)
{
    const std::vector<std::pair<const char *, std::function<void(Bytes &)>>> lies = {
        // The walk would stand still on it for ever.
        {"endpoint of length 0", [](Bytes &bytes) { bytes[18 + 3 * 7] = 0; }},
        {"endpoint of length 1", [](Bytes &bytes) { bytes[18 + 3 * 7] = 1; }},
        // The last endpoint runs 3 bytes past wTotalLength.
        {"last endpoint cut",
         [](Bytes &bytes) {
             bytes.resize(bytes.size() - 3);
             SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
         }},
        {"endpoint of length 200", [](Bytes &bytes) { bytes[18 + 9 * 7] = 200; }},
        // An interface descriptor too short to hold an interface's fields.
        {"interface of length 4",
         [](Bytes &bytes) {
             Bytes small = {4, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0};
             bytes.insert(bytes.end(), small.begin(), small.end());
             SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
         }},
        // One stray byte after the last descriptor.
        {"stray byte",
         [](Bytes &bytes) {
             bytes.push_back(9);
             SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
         }},
    };
    for (const auto &[what, lie] : lies) {
        Outcome outcome = PlugLiar("WALK", [&lie](LyingAdapter &liar) {
            liar.config = [&lie](Bytes honest, int) {
                lie(honest);
                return honest;
            };
        });
        EXPECT_EQ(outcome.status, STATUS_DEVICE_DATA_ERROR) << what;
    }
    ExpectHonestAdapterWorks("WALK");
}

TEST_F(LyingDescriptorTest, TooFewPipesFailTheStart)
{
    const std::vector<std::pair<const char *, std::function<void(Bytes &)>>> lies = {
        {"no endpoints",
         [](Bytes &bytes) {
             bytes.resize(18);
             bytes[13] = 0;
             SetTotalLength(bytes, 18);
         }},
        // bNumEndpoints says ten; four endpoint descriptors follow.
        {"four of ten endpoints",
         [](Bytes &bytes) {
             bytes.resize(18 + 4 * 7);
             SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
         }},
        {"eight endpoints",
         [](Bytes &bytes) {
             bytes.resize(18 + 8 * 7);
             bytes[13] = 8;
             SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
         }},
        {"no interface",
         [](Bytes &bytes) {
             bytes.resize(9);
             SetTotalLength(bytes, 9);
         }},
    };
    for (const auto &[what, lie] : lies) {
        Outcome outcome = PlugLiar("PIPES", [&lie](LyingAdapter &liar) {
            liar.config = [&lie](Bytes honest, int) {
                lie(honest);
                return honest;
            };
        });
        EXPECT_EQ(outcome.status, STATUS_UNSUCCESSFUL) << what;
    }
    ExpectHonestAdapterWorks("PIPES");
}

TEST_F(LyingDescriptorTest, ASerialNumberCutShortKeepsOnlyWhatArrived)
{
    // bLength claims 16 characters; 6 arrive.
    Outcome cut = PlugLiar("unused", [](LyingAdapter &liar) {
        liar.serial = [](Bytes) { return StringDescriptor(2 + 2 * 16, u"CUT123XXXXXXXXXX", 2 + 2 * 6); };
    });
    ASSERT_EQ(cut.status, STATUS_SUCCESS);
    EXPECT_STREQ(Adapter(*cut.device)->SerialNumber, "CUT123");
    EXPECT_NE(Host("CUT123"), nullptr);
    EXPECT_FALSE(pnp->Remove(*cut.device).Refused());

    // Half a character at the end of what arrived is dropped, as is one at
    // the end of an odd bLength; bLength also caps what arrived.
    struct Case {
        Bytes descriptor;
        const char *serial;
    } cases[] = {
        {StringDescriptor(2 + 2 * 16, u"ODD123XXXXXXXXXX", 2 + 2 * 6 + 1), "ODD123"},
        {StringDescriptor(2 + 2 * 5 + 1, u"LEN12XXXXX"), "LEN12"},
        {StringDescriptor(2 + 2 * 4, u"CAP1XXXX"), "CAP1"},
    };
    for (const Case &c : cases) {
        Outcome outcome =
            PlugLiar("unused", [&c](LyingAdapter &liar) { liar.serial = [&c](Bytes) { return c.descriptor; }; });
        ASSERT_EQ(outcome.status, STATUS_SUCCESS) << c.serial;
        EXPECT_STREQ(Adapter(*outcome.device)->SerialNumber, c.serial);
        EXPECT_FALSE(pnp->Remove(*outcome.device).Refused());
    }
    EXPECT_EQ(ErrorStats[ERROR_STAT_SERIAL_TOO_LONG], 0u);
}

TEST_F(LyingDescriptorTest, AnEmptySerialNumberIsRefusedWithoutCountingItTooLong)
{
    struct Case {
        const char *what;
        Bytes descriptor;
    } cases[] = {
        {"bLength 1", StringDescriptor(1, u"")},
        {"bLength 2", StringDescriptor(2, u"")},
        {"bLength 3", StringDescriptor(3, u"X")},
        {"bLength 2 with characters after it", StringDescriptor(2, u"MORE")},
        {"nothing arrived", Bytes{}},
        {"one byte arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 1)},
        {"header only arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 2)},
        {"half a character arrived", StringDescriptor(2 + 2 * 16, u"NOTHINGXXXXXXXXX", 3)},
        {"first character NUL", StringDescriptor(2 + 2 * 3, std::u16string{0x0100, u'B', u'C'})},
    };
    for (const Case &c : cases) {
        Outcome outcome =
            PlugLiar("unused", [&c](LyingAdapter &liar) { liar.serial = [&c](Bytes) { return c.descriptor; }; });
        EXPECT_EQ(outcome.status, STATUS_DEVICE_DATA_ERROR) << c.what;
    }
    EXPECT_EQ(ErrorStats[ERROR_STAT_SERIAL_TOO_LONG], 0u);
    // bLength 0 still counts as the too-long kind, as it always did.
    Outcome zero = PlugLiar(
        "unused", [](LyingAdapter &liar) { liar.serial = [](Bytes) { return StringDescriptor(0, u"ZERO"); }; });
    EXPECT_EQ(zero.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ErrorStats[ERROR_STAT_SERIAL_TOO_LONG], 1u);
    ExpectHonestAdapterWorks("EMPTY");
}

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

namespace {

// Whether the firmware runs is judged from idProduct: a device descriptor
// cut short (or of another type) must fail the start, not leave that
// judgement to whatever the pool held.
TEST_F(LyingDescriptorTest, ADeviceDescriptorCutShortOrOfAnotherTypeFailsTheStart)
{
    for (size_t length : {0, 8, 11, 17}) {
        Outcome cut = PlugLiar("DEVCUT", [length](LyingAdapter &liar) {
            liar.device = [length](Bytes bytes) { return Cut(bytes, length); };
        });
        EXPECT_EQ(cut.status, STATUS_DEVICE_DATA_ERROR) << length;
        EXPECT_TRUE(cut.configReads.empty()) << length;
    }
    Outcome other = PlugLiar("DEVTYPE", [](LyingAdapter &liar) {
        liar.device = [](Bytes bytes) {
            bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
            return bytes;
        };
    });
    EXPECT_EQ(other.status, STATUS_DEVICE_DATA_ERROR);
    ExpectHonestAdapterWorks("DEVOK");
}

}  // namespace
