// From a host handle to a port: the name at byte 32 of the host's record,
// matched against the serial numbers in the adapter table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/base/adapter_table.h"
#include "driver/service/port_lookup.h"
#include "driver/service/service_table.h"
#include "driver/usb/transport.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/support/lookup.h"

namespace {

// Sets a field of a running adapter for one check and puts it back, so the
// removal at the end meets the adapter as the driver left it. Both writes are
// made under the adapter's lock, as the driver's own are.
template <typename T>
class Planted {
public:
    Planted(AdapterContext *adapter, T &field, T value) : adapter_(adapter), field_(field), saved_(field)
    {
        Set(value);
    }
    ~Planted() { Set(saved_); }

private:
    void Set(T value)
    {
        LockAcquire(&adapter_->Lock);
        field_ = value;
        LockRelease(&adapter_->Lock);
    }
    AdapterContext *adapter_;
    T &field_;
    T saved_;
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

// Real adapters, plugged and started through the Plug and Play manager, in
// the order their slots are to be taken.
class PortLookupTest : public testing_support::LifecycleTest {
protected:
    AdapterContext *Plugged(const std::string &serial) { return Adapter(PlugAdapter(serial)); }
    PortContext *Lookup(const std::u16string &name)
    {
        auto record = Record(name);
        return testing_support::LookupPortLocked(record.data());
    }
};

TEST_F(PortLookupTest, OnlyTheLowByteOfEachNameUnitCounts)
{
    AdapterContext *ab12 = Plugged("AB12");
    // 0x0141 is 'A' in its low byte; 0x0130 is '0'.
    EXPECT_EQ(Lookup(std::u16string{0x0141, u'B', u'1', u'2', u'-', 0x0131}), ab12->Ports[1]);
    // A unit whose low byte is 0 ends the name, whatever its high byte.
    EXPECT_EQ(Lookup(std::u16string{u'A', u'B', u'1', u'2', u'-', u'2', 0x0100, u'3'}), ab12->Ports[2]);
}

// The last character of the name selects the port, '0' to '3'. Serial
// numbers that nest ("AB", "AB-1", "AB1", "AB12"; "A", "A-3"): a name of the
// driver's own form, serial number then "-d", is that adapter's and no
// other's, whatever the slots; another suffix goes to the longest serial
// number the name begins with.
TEST_F(PortLookupTest, ANameResolvesToTheAdapterItNamesExactlyNeverToAPrefixOfIt)
{
    // Plugged in this order, so the shorter serial numbers take the lower slots.
    AdapterContext *a = Plugged("A"), *ab = Plugged("AB"), *ab1 = Plugged("AB1"), *a3 = Plugged("A-3"),
                   *ab_1 = Plugged("AB-1"), *ab12 = Plugged("AB12");
    struct Row {
        const char16_t *name;
        AdapterContext *adapter;
        int port;
    } rows[] = {
        {u"A-3", a, 3},           {u"A-3-0", a3, 0},       {u"AB-1", ab, 1},          {u"AB-1-2", ab_1, 2},
        {u"AB1-1", ab1, 1},       {u"AB12-1", ab12, 1},    {u"AB12 port 2", ab12, 2}, {u"AB1x0", ab1, 0},
        {u"AB123-0", nullptr, 0}, {u"AB-2-0", nullptr, 0}, {u"B-0", nullptr, 0},      {u"AB12-0", ab12, 0},
        {u"AB12-3", ab12, 3},     {u"AB12-4", nullptr, 0}, {u"AB12-x", nullptr, 0},   {u"AB12-/", nullptr, 0},
        {u"", nullptr, 0},        {u"XY99-0", nullptr, 0},
    };
    for (const Row &row : rows) {
        PortContext *expected = row.adapter ? row.adapter->Ports[row.port] : nullptr;
        EXPECT_EQ(Lookup(row.name), expected)
            << std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name));
    }
    EXPECT_EQ(testing_support::LookupPortLocked(nullptr), nullptr);
}

// Configuration refuses an adapter with an empty serial number; should one
// stand in the table anyway, it must not answer for other adapters' names.
TEST_F(PortLookupTest, NeitherAnEmptyNorAnUnsetSerialMatchesAnything)
{
    AdapterContext *unset = Plugged("UNSET1");
    AdapterContext *empty = Plugged("EMPTY1");
    AdapterContext *ab12 = Plugged("AB12");
    char nothing[] = "";
    Planted<PCHAR> noSerial(unset, unset->SerialNumber, nullptr);
    Planted<PCHAR> emptySerial(empty, empty->SerialNumber, nothing);
    EXPECT_EQ(Lookup(u"ANYTHING-2"), nullptr);
    EXPECT_EQ(Lookup(u"-2"), nullptr);
    EXPECT_EQ(Lookup(u"UNSET1-2"), nullptr);
    EXPECT_EQ(Lookup(u"AB12-2"), ab12->Ports[2]);
}

// Two adapters never share a serial number (the second start is refused),
// but should they, the first in the table decides, even without the port.
TEST_F(PortLookupTest, ANullPortEntryFailsTheLookup)
{
    AdapterContext *first = Plugged("AB12");
    AdapterContext *second = Plugged("AB13");
    Planted<PCHAR> same(second, second->SerialNumber, first->SerialNumber);
    Planted<PortContext *> gone(first, first->Ports[1], nullptr);
    EXPECT_EQ(Lookup(u"AB12-1"), nullptr);
    EXPECT_EQ(Lookup(u"AB12-2"), first->Ports[2]);
}

TEST_F(PortLookupTest, ValidityNeedsAConfiguredPresentAdapterAndAnOpenPortUnlessOpening)
{
    AdapterContext *adapter = Plugged("AB12");
    PortContext *port = adapter->Ports[0];
    EXPECT_TRUE(IsPortValid(port, TRUE));
    EXPECT_FALSE(IsPortValid(port, FALSE));
    {
        Planted<BOOLEAN> open(adapter, port->Open, TRUE);
        EXPECT_TRUE(IsPortValid(port, FALSE));
    }

    auto invalidates = [&](BOOLEAN &flag, BOOLEAN bad) {
        Planted<BOOLEAN> planted(adapter, flag, bad);
        return !IsPortValid(port, TRUE) && !IsPortValid(port, FALSE);
    };
    EXPECT_TRUE(invalidates(adapter->Configured, FALSE));
    EXPECT_TRUE(invalidates(adapter->Removed, TRUE));
    EXPECT_TRUE(invalidates(adapter->RemovePending, TRUE));
    EXPECT_TRUE(invalidates(port->Deleted, TRUE));
}

TEST_F(PortLookupTest, ServiceTableIsConstantAndEndsWithNull)
{
    const ServiceTableRecord *table = RbGetServiceTable();
    EXPECT_EQ(table, RbGetServiceTable());
    EXPECT_EQ(table->End, nullptr);
    EXPECT_NE(table->StartRead, nullptr);
    EXPECT_NE(table->PortControl, nullptr);
}

TEST_F(PortLookupTest, EveryServiceRoutineRefusesAnInvalidPortWithoutTakingAReference)
{
    AdapterContext *adapter = Plugged("AB12");
    LONG references = adapter->IoRefCount;
    auto record = Record(u"AB12-0");
    const ServiceTableRecord *table = RbGetServiceTable();
    for (BOOLEAN configured : {FALSE, TRUE}) {
        SCOPED_TRACE(configured ? "configured but the port not open" : "not configured");
        Planted<BOOLEAN> planted(adapter, adapter->Configured, configured);
        if (!configured) {
            EXPECT_FALSE(table->OpenPort(record.data()));  // the one routine that needs no open port
        }
        EXPECT_FALSE(table->ClosePort(record.data()));
        EXPECT_FALSE(table->StartRead(record.data()));
        EXPECT_FALSE(table->StartWrite(record.data()));
        EXPECT_FALSE(table->PortControl(record.data(), 0x001B0004, nullptr, 0, nullptr, 0));
        EXPECT_EQ(adapter->IoRefCount, references);
    }
}

}  // namespace
