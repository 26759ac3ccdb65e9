// From a host handle to a port: the name at byte 32 of the host's record,
// matched against the serial numbers in the adapter table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/lookup.h"
#include "driver/base/adapter_table.h"
#include "driver/service/port_lookup.h"
#include "driver/service/service_table.h"
#include "driver/usb/transport.h"
#include "tests/support/sim_test.h"

namespace {

struct FakeAdapter {
    AdapterContext adapter{};
    PortContext ports[PORTS_PER_ADAPTER]{};
    char serial[40]{};

    explicit FakeAdapter(const char *serialNumber)
    {
        std::strcpy(serial, serialNumber);
        adapter.SerialNumber = serial;
        adapter.Configured = TRUE;
        LockInitialize(&adapter.Lock);
        KeInitializeEvent(&adapter.StopEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&adapter.RemoveEvent, NotificationEvent, FALSE);
        adapter.PortCount = PORTS_PER_ADAPTER;
        for (int i = 0; i < PORTS_PER_ADAPTER; i++) {
            ports[i].Adapter = &adapter;
            ports[i].PortNumber = static_cast<UCHAR>(i + 1);
            adapter.Ports[i] = &ports[i];
        }
    }
};

// A host port record: 32 bytes of the host's own, then the UTF-16 name.
std::vector<uint8_t> Record(const std::u16string &name)
{
    std::vector<uint8_t> record(HOST_PORT_NAME_OFFSET + 2 * (name.size() + 1), 0xEE);
    for (size_t i = 0; i <= name.size(); i++) {
        char16_t unit = i < name.size() ? name[i] : 0;
        record[HOST_PORT_NAME_OFFSET + 2 * i] = static_cast<uint8_t>(unit);
        record[HOST_PORT_NAME_OFFSET + 2 * i + 1] = static_cast<uint8_t>(unit >> 8);
    }
    return record;
}

class PortLookupTest : public testing_support::SimTest {
protected:
    ~PortLookupTest() override
    {
        for (auto &slot : AdapterTable.Slots)
            slot = nullptr;
        AdapterTable.Count = 0;
    }
    void Place(ULONG slot, FakeAdapter &fake)
    {
        fake.adapter.SlotIndex = slot;
        AdapterTable.Slots[slot] = &fake.adapter;
        AdapterTable.Count++;
    }
    PortContext *Lookup(const std::u16string &name)
    {
        auto record = Record(name);
        return testing_support::LookupPortLocked(record.data());
    }
};

TEST_F(PortLookupTest, LastCharacterOfTheNameSelectsThePort)
{
    FakeAdapter ab12("AB12");
    Place(3, ab12);
    EXPECT_EQ(Lookup(u"AB12-0"), &ab12.ports[0]);
    EXPECT_EQ(Lookup(u"AB12-3"), &ab12.ports[3]);
    EXPECT_EQ(Lookup(u"AB12 port 2"), &ab12.ports[2]);  // any suffix, last character counts
    EXPECT_EQ(Lookup(u"AB12-4"), nullptr);
    EXPECT_EQ(Lookup(u"AB12-x"), nullptr);
    EXPECT_EQ(Lookup(u"AB12-/"), nullptr);  // below '0'
    EXPECT_EQ(Lookup(u""), nullptr);
    EXPECT_EQ(Lookup(u"XY99-0"), nullptr);
    EXPECT_EQ(testing_support::LookupPortLocked(nullptr), nullptr);
}

TEST_F(PortLookupTest, OnlyTheLowByteOfEachNameUnitCounts)
{
    FakeAdapter ab12("AB12");
    Place(0, ab12);
    // 0x0141 is 'A' in its low byte; 0x0130 is '0'.
    EXPECT_EQ(Lookup(std::u16string{0x0141, u'B', u'1', u'2', u'-', 0x0131}), &ab12.ports[1]);
    // A unit whose low byte is 0 ends the name, whatever its high byte.
    EXPECT_EQ(Lookup(std::u16string{u'A', u'B', u'1', u'2', u'-', u'2', 0x0100, u'3'}), &ab12.ports[2]);
}

// Serial numbers that nest ("AB", "AB-1", "AB1", "AB12"; "A", "A-3"): a name
// of the driver's own form, serial number then "-d", is that adapter's and
// no other's, whatever the slots; another suffix goes to the longest serial
// number the name begins with.
TEST_F(PortLookupTest, ANameResolvesToTheAdapterItNamesExactlyNeverToAPrefixOfIt)
{
    FakeAdapter a("A"), a3("A-3"), ab("AB"), ab_1("AB-1"), ab1("AB1"), ab12("AB12");
    FakeAdapter *order[] = {&a, &ab, &ab1, &a3, &ab_1, &ab12};
    for (ULONG slot = 0; slot < 6; slot++)
        Place(slot, *order[slot]);
    struct Row {
        const char16_t *name;
        FakeAdapter *adapter;
        int port;
    } rows[] = {
        {u"A-3", &a, 3},          {u"A-3-0", &a3, 0},      {u"AB-1", &ab, 1},          {u"AB-1-2", &ab_1, 2},
        {u"AB1-1", &ab1, 1},      {u"AB12-1", &ab12, 1},   {u"AB12 port 2", &ab12, 2}, {u"AB1x0", &ab1, 0},
        {u"AB123-0", nullptr, 0}, {u"AB-2-0", nullptr, 0}, {u"B-0", nullptr, 0},
    };
    for (const Row &row : rows) {
        PortContext *expected = row.adapter ? &row.adapter->ports[row.port] : nullptr;
        EXPECT_EQ(Lookup(row.name), expected)
            << std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name));
    }
}

// Configuration refuses an adapter with an empty serial number; should one
// stand in the table anyway, it must not answer for other adapters' names.
TEST_F(PortLookupTest, NeitherAnEmptyNorAnUnsetSerialMatchesAnything)
{
    FakeAdapter unset("");
    unset.adapter.SerialNumber = nullptr;
    FakeAdapter empty("");
    FakeAdapter ab12("AB12");
    Place(0, unset);
    Place(1, empty);
    Place(2, ab12);
    EXPECT_EQ(Lookup(u"ANYTHING-2"), nullptr);
    EXPECT_EQ(Lookup(u"-2"), nullptr);
    EXPECT_EQ(Lookup(u"AB12-2"), &ab12.ports[2]);
}

TEST_F(PortLookupTest, ANullPortEntryFailsTheLookup)
{
    FakeAdapter ab12("AB12");
    ab12.adapter.Ports[1] = nullptr;
    FakeAdapter again("AB12");
    Place(0, ab12);
    Place(1, again);
    EXPECT_EQ(Lookup(u"AB12-1"), nullptr);  // the first match decides
}

TEST_F(PortLookupTest, ValidityNeedsAConfiguredPresentAdapterAndAnOpenPortUnlessOpening)
{
    FakeAdapter fake("AB12");
    PortContext *port = &fake.ports[0];
    EXPECT_TRUE(IsPortValid(port, TRUE));
    EXPECT_FALSE(IsPortValid(port, FALSE));
    port->Open = TRUE;
    EXPECT_TRUE(IsPortValid(port, FALSE));

    auto invalidates = [&](BOOLEAN &flag, BOOLEAN bad) {
        BOOLEAN saved = flag;
        flag = bad;
        bool forOpen = IsPortValid(port, TRUE);
        bool forUse = IsPortValid(port, FALSE);
        flag = saved;
        return !forOpen && !forUse;
    };
    EXPECT_TRUE(invalidates(fake.adapter.Configured, FALSE));
    EXPECT_TRUE(invalidates(fake.adapter.Removed, TRUE));
    EXPECT_TRUE(invalidates(fake.adapter.RemovePending, TRUE));
    EXPECT_TRUE(invalidates(port->Deleted, TRUE));
}

TEST_F(PortLookupTest, ServiceTableIsConstantAndEndsWithNull)
{
    const ServiceTableRecord *table = RbGetServiceTable();
    EXPECT_EQ(table, RbGetServiceTable());
    EXPECT_EQ(table->End, nullptr);
    EXPECT_NE(table->StartRead, nullptr);
    EXPECT_NE(table->PortControl, nullptr);
    EXPECT_EQ(sizeof(ServiceTableRecord), 6 * sizeof(void *));
}

TEST_F(PortLookupTest, EveryServiceRoutineRefusesAnInvalidPortWithoutTakingAReference)
{
    FakeAdapter fake("AB12");
    fake.adapter.IoRefCount = 1;
    fake.adapter.Configured = FALSE;
    Place(0, fake);
    auto record = Record(u"AB12-0");
    const ServiceTableRecord *table = RbGetServiceTable();
    EXPECT_FALSE(table->OpenPort(record.data()));
    EXPECT_FALSE(table->ClosePort(record.data()));
    EXPECT_FALSE(table->StartRead(record.data()));
    EXPECT_FALSE(table->StartWrite(record.data()));
    EXPECT_FALSE(table->PortControl(record.data(), 0x001B0004, nullptr, 0, nullptr, 0));
    EXPECT_EQ(fake.adapter.IoRefCount, 1);

    // Configured but the port not open: only OpenPort would proceed.
    fake.adapter.Configured = TRUE;
    EXPECT_FALSE(table->ClosePort(record.data()));
    EXPECT_FALSE(table->StartRead(record.data()));
    EXPECT_FALSE(table->StartWrite(record.data()));
    EXPECT_FALSE(table->PortControl(record.data(), 0x001B0004, nullptr, 0, nullptr, 0));
    EXPECT_EQ(fake.adapter.IoRefCount, 1);
}

}  // namespace
