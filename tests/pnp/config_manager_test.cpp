// The Configuration Manager services as the driver calls them: the node
// tree, values, results for every misuse, and the host serial driver the
// platform loads for an adapter's node.
#include <cstring>
#include <string>

#include "sim/host/host_serial_driver.h"
#include "sim/pnp/config_manager.h"
#include "tests/support/sim_test.h"

namespace {

using sim::host::HostSerialDriver;
using sim::pnp::ConfigManager;

constexpr char kSerial[] = "NX4A0001";

// The services take writable strings.
struct Text {
    explicit Text(const std::string &text) : bytes(text.begin(), text.end()) { bytes.push_back(0); }
    operator PCHAR() { return bytes.data(); }
    std::vector<char> bytes;
};

class ConfigManagerTest : public testing_support::SimTest {
protected:
    ConfigManager &cm_ = ConfigManager::Get();
    // What the Plug and Play manager does when it loads the driver.
    bool tableGiven_ = (cm_.SetServiceTableGetter(RbGetServiceTable), true);

    DEVNODE Root()
    {
        DEVNODE root = 0;
        EXPECT_EQ(CM_Locate_DevNode(&root, nullptr, 0), CONFIGRET(CR_SUCCESS));
        return root;
    }

    DEVNODE Create(const std::string &id, DEVNODE parent)
    {
        DEVNODE node = 0;
        EXPECT_EQ(CM_Create_DevNode(&node, Text(id), parent, 0), CONFIGRET(CR_SUCCESS));
        return node;
    }

    CONFIGRET WriteString(DEVNODE node, const std::string &name, const std::string &value)
    {
        Text text(value);
        return CM_Write_Registry_Value(node, nullptr, Text(name), REG_SZ, text.bytes.data(), ULONG(text.bytes.size()),
                                       0);
    }

    // The adapter's node as the driver makes it.
    DEVNODE AdapterNode(const std::string &serial)
    {
        DEVNODE node = Create("Belmorin\\NUVIX4\\DEV_" + serial, Root());
        EXPECT_EQ(WriteString(node, "Class", "Usb"), CONFIGRET(CR_SUCCESS));
        EXPECT_EQ(WriteString(node, "HardwareID", "NUVIX4"), CONFIGRET(CR_SUCCESS));
        return node;
    }
};

class ConfigManagerDeathTest : public ConfigManagerTest {};

TEST_F(ConfigManagerTest, LocatesTheRootAndKnownNodesOnly)
{
    DEVNODE root = Root();
    EXPECT_NE(root, 0u);
    EXPECT_EQ(root, cm_.Root());
    DEVNODE node = 0;
    EXPECT_EQ(CM_Locate_DevNode(&node, Text("Belmorin\\NUVIX4\\DEV_X"), 0), CONFIGRET(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNode(nullptr, nullptr, 0), CONFIGRET(CR_INVALID_POINTER));
    DEVNODE made = Create("Belmorin\\NUVIX4\\DEV_X", root);
    EXPECT_EQ(CM_Locate_DevNode(&node, Text("BELMORIN\\nuvix4\\dev_x"), 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(node, made);
}

TEST_F(ConfigManagerTest, CreateOfAnExistingIdHandsOutThatNode)
{
    DEVNODE root = Root();
    DEVNODE first = Create("Belmorin\\NUVIX4\\DEV_A1", root);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, root);
    EXPECT_TRUE(cm_.Exists(first));
    EXPECT_EQ(cm_.DeviceId(first), "Belmorin\\NUVIX4\\DEV_A1");
    EXPECT_EQ(cm_.Parent(first), root);
    EXPECT_EQ(cm_.Children(root), std::vector<DEVNODE>{first});

    DEVNODE again = 0;
    EXPECT_EQ(CM_Create_DevNode(&again, Text("belmorin\\nuvix4\\dev_a1"), root, 0), CONFIGRET(CR_ALREADY_SUCH_DEVNODE));
    EXPECT_EQ(again, first);
    EXPECT_EQ(cm_.NodeCount(), 2u);
}

TEST_F(ConfigManagerTest, NodeMadeBeforeTheDriverIsFoundByItsCreate)
{
    DEVNODE existing = cm_.CreateNode("Belmorin\\NUVIX4\\DEV_" + std::string(kSerial));
    cm_.SetString(existing, "Class", "Usb");
    DEVNODE node = 0;
    EXPECT_EQ(CM_Create_DevNode(&node, Text("Belmorin\\NUVIX4\\DEV_" + std::string(kSerial)), Root(), 0),
              CONFIGRET(CR_ALREADY_SUCH_DEVNODE));
    EXPECT_EQ(node, existing);
    char buffer[16] = {};
    ULONG length = sizeof(buffer);
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("Class"), REG_SZ, buffer, &length, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(buffer, "Usb");
}

TEST_F(ConfigManagerTest, CreateRefusesBadArguments)
{
    DEVNODE node = 0;
    EXPECT_EQ(CM_Create_DevNode(nullptr, Text("A"), Root(), 0), CONFIGRET(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Create_DevNode(&node, nullptr, Root(), 0), CONFIGRET(CR_INVALID_DEVICE_ID));
    EXPECT_EQ(CM_Create_DevNode(&node, Text("A"), 999, 0), CONFIGRET(CR_INVALID_DEVNODE));
    // Ids the platform refuses: a part too many or empty, a character its
    // ids exclude, the length limit.
    for (std::string id : std::vector<std::string>{"A\\B\\C\\D", "A\\\\B", "\\A", "A\\", "A B", "A,B", "A\x01", "A\xE9",
                                                   std::string(200, 'A')})
        EXPECT_EQ(CM_Create_DevNode(&node, Text(id), Root(), 0), CONFIGRET(CR_INVALID_DEVICE_ID)) << id;
    EXPECT_EQ(node, 0u);
    EXPECT_EQ(cm_.NodeCount(), 1u);
    EXPECT_EQ(CM_Create_DevNode(&node, Text(std::string(199, 'A')), Root(), 0), CONFIGRET(CR_SUCCESS));
}

TEST_F(ConfigManagerTest, ChosenCreateFailureCreatesNothingOnce)
{
    cm_.FailNextCreate(CR_FAILURE);
    DEVNODE node = 0;
    EXPECT_EQ(CM_Create_DevNode(&node, Text("A"), Root(), 0), CONFIGRET(CR_FAILURE));
    EXPECT_EQ(node, 0u);
    EXPECT_FALSE(cm_.Find("A"));
    EXPECT_EQ(CM_Create_DevNode(&node, Text("A"), Root(), 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(cm_.Find("a"), node);
}

TEST_F(ConfigManagerTest, StoredValuesGreetANewNodeOfThatIdOnly)
{
    cm_.SetStoredString("Belmorin\\NUVIX4\\DEV_OLD", "Class", "Ports");
    DEVNODE other = Create("Belmorin\\NUVIX4\\DEV_NEW", Root());
    EXPECT_FALSE(cm_.Value(other, "Class"));

    DEVNODE node = Create("BELMORIN\\nuvix4\\dev_old", Root());
    char buffer[16] = {};
    ULONG length = sizeof(buffer);
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("Class"), REG_SZ, buffer, &length, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_STREQ(buffer, "Ports");
    // Values written to the node are its own; the stored ones stay as they were.
    EXPECT_EQ(WriteString(node, "Class", "Usb"), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(CM_Remove_SubTree(node, 0), CONFIGRET(CR_SUCCESS));
    DEVNODE again = Create("Belmorin\\NUVIX4\\DEV_OLD", Root());
    EXPECT_EQ(cm_.Value(again, "Class")->Text(), "Ports");
    EXPECT_FALSE(cm_.Value(again, "HardwareID"));
}

TEST_F(ConfigManagerTest, ValuesAreKeptPerNodeAndReadBack)
{
    DEVNODE node = Create("A", Root());
    DEVNODE other = Create("B", Root());
    EXPECT_EQ(WriteString(node, "Class", "Usb"), CONFIGRET(CR_SUCCESS));

    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    ULONG length = sizeof(buffer);
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("CLASS"), REG_SZ, buffer, &length, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(buffer, 4), std::string("Usb\0", 4));
    EXPECT_EQ(buffer[4], 'x');

    length = sizeof(buffer);
    EXPECT_EQ(CM_Read_Registry_Value(other, nullptr, Text("Class"), REG_SZ, buffer, &length, 0),
              CONFIGRET(CR_NO_SUCH_VALUE));
    length = 3;
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("Class"), REG_SZ, buffer, &length, 0),
              CONFIGRET(CR_BUFFER_SMALL));
    EXPECT_EQ(length, 4u);  // what it would take
    length = sizeof(buffer);
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("Class"), REG_BINARY, buffer, &length, 0),
              CONFIGRET(CR_WRONG_TYPE));
    EXPECT_EQ(CM_Read_Registry_Value(node, nullptr, Text("Class"), REG_SZ, buffer, nullptr, 0),
              CONFIGRET(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Read_Registry_Value(999, nullptr, Text("Class"), REG_SZ, buffer, &length, 0),
              CONFIGRET(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Write_Registry_Value(999, nullptr, Text("Class"), REG_SZ, buffer, 1, 0),
              CONFIGRET(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Write_Registry_Value(node, nullptr, Text("Class"), REG_SZ, nullptr, 1, 0),
              CONFIGRET(CR_INVALID_POINTER));

    // Sub keys and the software branch are places of their own.
    ULONG dword = 7;
    EXPECT_EQ(
        CM_Write_Registry_Value(node, Text("Settings"), Text("Class"), REG_DWORD, &dword, 4, CM_REGISTRY_SOFTWARE),
        CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(cm_.Value(node, "class")->Text(), "Usb");
    auto stored = cm_.Value(node, "Class", "settings", CM_REGISTRY_SOFTWARE);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{7, 0, 0, 0}));
    EXPECT_FALSE(cm_.Value(node, "Class", "settings"));
}

TEST_F(ConfigManagerTest, RemovingANodeRemovesItsChildren)
{
    DEVNODE root = Root();
    DEVNODE parent = Create("A", root);
    DEVNODE child = Create("A\\B", parent);
    DEVNODE sibling = Create("C", root);
    EXPECT_EQ(CM_Remove_SubTree(parent, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_FALSE(cm_.Exists(parent));
    EXPECT_FALSE(cm_.Exists(child));
    EXPECT_TRUE(cm_.Exists(sibling));
    EXPECT_EQ(cm_.Children(root), std::vector<DEVNODE>{sibling});

    // Handles are not reused: old ones stay refused.
    DEVNODE fresh = Create("A", root);
    EXPECT_NE(fresh, parent);
    EXPECT_NE(fresh, child);
    EXPECT_EQ(CM_Remove_SubTree(child, 0), CONFIGRET(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Reenumerate_DevNode(parent, 0), CONFIGRET(CR_INVALID_DEVNODE));
    EXPECT_EQ(CM_Remove_SubTree(root, 0), CONFIGRET(CR_FAILURE));
}

TEST_F(ConfigManagerTest, EveryCallIsRecorded)
{
    DEVNODE root = Root();
    DEVNODE node = Create("A", root);
    DEVNODE again = 0;
    CM_Create_DevNode(&again, Text("A"), root, 0);
    CM_Remove_SubTree(node, 0);
    auto calls = cm_.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].service, "CM_Locate_DevNode");
    EXPECT_EQ(calls[0].created, root);
    EXPECT_EQ(calls[1].service, "CM_Create_DevNode");
    EXPECT_EQ(calls[1].node, root);
    EXPECT_EQ(calls[1].text, "A");
    EXPECT_EQ(calls[1].created, node);
    EXPECT_EQ(calls[2].result, CONFIGRET(CR_ALREADY_SUCH_DEVNODE));
    EXPECT_EQ(calls[3].service, "CM_Remove_SubTree");
    EXPECT_EQ(calls[3].node, node);
    cm_.ClearCalls();
    EXPECT_TRUE(cm_.Calls().empty());
}

TEST_F(ConfigManagerTest, ReenumeratingTheAdaptersNodeLoadsTheHostSerialDriver)
{
    DEVNODE node = AdapterNode(kSerial);
    EXPECT_EQ(cm_.HostFor(kSerial), nullptr);
    EXPECT_EQ(CM_Reenumerate_DevNode(node, 0), CONFIGRET(CR_SUCCESS));
    HostSerialDriver *host = cm_.HostFor(kSerial);
    ASSERT_NE(host, nullptr);
    EXPECT_NE(host->Table(), nullptr);
    for (int i = 0; i < 4; i++) {
        ASSERT_NE(cm_.HostPortFor(kSerial, i), nullptr);
        EXPECT_EQ(cm_.HostPortFor(kSerial, i)->Name(), HostSerialDriver::PortName(kSerial, i));
    }
    EXPECT_EQ(cm_.HostPortFor(kSerial, 4), nullptr);

    // Loaded once, however often the node is re-enumerated.
    EXPECT_EQ(CM_Reenumerate_DevNode(node, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(cm_.HostFor(kSerial), host);
    EXPECT_EQ(cm_.HostHistory(kSerial).size(), 1u);
    EXPECT_EQ(cm_.Reenumerations(node), 2);
}

TEST_F(ConfigManagerTest, ReenumeratingAParentReachesTheNodesBelowIt)
{
    AdapterNode(kSerial);
    EXPECT_EQ(CM_Reenumerate_DevNode(Root(), 0), CONFIGRET(CR_SUCCESS));
    EXPECT_NE(cm_.HostFor(kSerial), nullptr);
}

TEST_F(ConfigManagerTest, OnlyTheAdaptersNodesGetTheHost)
{
    DEVNODE noHardwareId = Create("Belmorin\\NUVIX4\\DEV_NX4A0002", Root());
    DEVNODE otherId = Create("Belmorin\\OTHER\\DEV_NX4A0003", Root());
    EXPECT_EQ(WriteString(otherId, "HardwareID", "NUVIX4"), CONFIGRET(CR_SUCCESS));
    DEVNODE otherHardware = Create("Belmorin\\NUVIX4\\DEV_NX4A0004", Root());
    EXPECT_EQ(WriteString(otherHardware, "HardwareID", "NUVIX8"), CONFIGRET(CR_SUCCESS));
    CM_Reenumerate_DevNode(noHardwareId, 0);
    CM_Reenumerate_DevNode(otherId, 0);
    CM_Reenumerate_DevNode(otherHardware, 0);
    EXPECT_EQ(cm_.HostFor("NX4A0002"), nullptr);
    EXPECT_EQ(cm_.HostFor("NX4A0003"), nullptr);
    EXPECT_EQ(cm_.HostFor("NX4A0004"), nullptr);
}

TEST_F(ConfigManagerTest, RemovingTheNodeUnloadsTheHostButKeepsItsRecords)
{
    DEVNODE node = AdapterNode(kSerial);
    CM_Reenumerate_DevNode(node, 0);
    sim::host::HostPort *port = cm_.HostPortFor(kSerial, 2);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CM_Remove_SubTree(node, 0), CONFIGRET(CR_SUCCESS));
    EXPECT_EQ(cm_.HostFor(kSerial), nullptr);
    EXPECT_EQ(cm_.HostPortFor(kSerial, 2), nullptr);
    auto history = cm_.HostHistory(kSerial);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_FALSE(history[0]->loaded);
    EXPECT_EQ(history[0]->ports[2], port);
    EXPECT_EQ(port->Name(), HostSerialDriver::PortName(kSerial, 2));  // still valid memory

    // The adapter plugged in again gets a host of its own.
    CM_Reenumerate_DevNode(AdapterNode(kSerial), 0);
    EXPECT_NE(cm_.HostFor(kSerial), nullptr);
    EXPECT_EQ(cm_.HostHistory(kSerial).size(), 2u);
}

TEST_F(ConfigManagerTest, ResetLeavesTheRootAlone)
{
    CM_Reenumerate_DevNode(AdapterNode(kSerial), 0);
    cm_.FailNextCreate(CR_FAILURE);
    cm_.Reset();
    EXPECT_EQ(cm_.NodeCount(), 1u);
    EXPECT_TRUE(cm_.Exists(cm_.Root()));
    EXPECT_TRUE(cm_.HostHistory(kSerial).empty());
    EXPECT_TRUE(cm_.Calls().empty());
    DEVNODE node = 0;
    EXPECT_EQ(CM_Create_DevNode(&node, Text("A"), cm_.Root(), 0), CONFIGRET(CR_SUCCESS));
}

TEST_F(ConfigManagerDeathTest, ServicesAreNotForDispatchLevel)
{
    DEVNODE root = 0;
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            CM_Locate_DevNode(&root, nullptr, 0);
        },
        "BUG CHECK: IRQL_NOT_LESS_OR_EQUAL.*CM_Locate_DevNode at DISPATCH_LEVEL");
}

// The simulation does not link the driver's service-table export by itself:
// loading a host serial driver before anyone named it stops the run rather
// than calling through a null pointer.
TEST_F(ConfigManagerDeathTest, AHostLoadedBeforeTheDriverIsAMisuse)
{
    cm_.SetServiceTableGetter(nullptr);
    DEVNODE node = AdapterNode(kSerial);
    EXPECT_DEATH(CM_Reenumerate_DevNode(node, 0),
                 "BUG CHECK: SIMULATION_MISUSE.*host serial driver was loaded for NX4A0001");
}

}  // namespace
