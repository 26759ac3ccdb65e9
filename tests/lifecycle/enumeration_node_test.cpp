// The Configuration-Manager node that makes the platform load the host serial
// driver for an adapter, when the Configuration Manager does not simply hand
// out a new, empty node: it fails the creation, has the node already, or
// still holds values under its device id.
#include <string>

#include "tests/lifecycle/lifecycle_support.h"

namespace {

using sim::pnp::CmCall;
using sim::pnp::CmValue;
using sim::pnp::ConfigManager;
using testing_support::LifecycleTest;

std::string NodeId(const std::string &serial) { return "Belmorin\\NUVIX4\\DEV_" + serial; }

class EnumerationNodeTest : public LifecycleTest {
protected:
    static std::vector<std::string> Services()
    {
        std::vector<std::string> services;
        for (const CmCall &call : ConfigManager::Get().Calls())
            services.push_back(call.service);
        return services;
    }
    ConfigManager &cm = ConfigManager::Get();
};

TEST_F(EnumerationNodeTest, AFailedCreationLeavesNoNodeButTheStartSucceeds)
{
    // Out of memory, as the platform reports an allocation failure, and other errors.
    const CONFIGRET failures[] = {CR_OUT_OF_MEMORY, CR_FAILURE, CR_INVALID_DEVICE_ID};
    int n = 0;
    for (CONFIGRET failure : failures) {
        std::string serial = "F" + std::to_string(n++);
        cm.ClearCalls();
        cm.FailNextCreate(failure);
        sim::pnp::Device &device = PlugAdapter(serial);
        AdapterContext *adapter = Adapter(device);
        EXPECT_EQ(adapter->EnumNode, 0u) << failure;
        EXPECT_TRUE(adapter->ControlOpenAllowed) << failure;
        EXPECT_TRUE(adapter->Configured) << failure;
        // Nothing read, written or re-enumerated on a node that is not there.
        EXPECT_EQ(Services(), (std::vector<std::string>{"CM_Locate_DevNode", "CM_Create_DevNode"})) << failure;
        EXPECT_EQ(cm.Find(NodeId(serial)), std::nullopt) << failure;
        EXPECT_EQ(Host(serial), nullptr) << failure;

        // The removal has no node to remove.
        cm.ClearCalls();
        EXPECT_FALSE(pnp->Remove(device).Refused()) << failure;
        EXPECT_TRUE(Services().empty()) << failure;
    }
}

TEST_F(EnumerationNodeTest, TheNextStartMakesTheNodeAFailedOneDidNot)
{
    cm.FailNextCreate(CR_OUT_OF_MEMORY);
    sim::pnp::Device &device = PlugAdapter("LATER");
    EXPECT_EQ(Adapter(device)->EnumNode, 0u);
    EXPECT_FALSE(pnp->Stop(device).Refused());
    EXPECT_EQ(pnp->Restart(device), STATUS_SUCCESS);
    auto node = cm.Find(NodeId("LATER"));
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(Adapter(device)->EnumNode, *node);
    EXPECT_NE(Host("LATER"), nullptr);
    EXPECT_FALSE(pnp->Remove(device).Refused());
    EXPECT_EQ(cm.Find(NodeId("LATER")), std::nullopt);
}

// A node that exists already (made by someone else, with values of its own)
// is used as it is: not read, not written, not re-enumerated; but it is the
// adapter's node from now on, and goes with the adapter.
TEST_F(EnumerationNodeTest, AnExistingNodeKeepsItsValuesAndIsNotReenumerated)
{
    DEVNODE existing = cm.CreateNode(NodeId("HELD"));
    cm.SetString(existing, "Class", "Ports");
    cm.SetString(existing, "HardwareID", "ELSEWHERE");
    cm.ClearCalls();
    sim::pnp::Device &device = PlugAdapter("HELD");
    EXPECT_EQ(Adapter(device)->EnumNode, existing);
    auto calls = cm.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].service, "CM_Create_DevNode");
    EXPECT_EQ(calls[1].result, CONFIGRET(CR_ALREADY_SUCH_DEVNODE));
    EXPECT_EQ(cm.Value(existing, "Class")->Text(), "Ports");
    EXPECT_EQ(cm.Value(existing, "HardwareID")->Text(), "ELSEWHERE");
    EXPECT_EQ(cm.Reenumerations(existing), 0);
    EXPECT_EQ(Host("HELD"), nullptr);
    EXPECT_EQ(cm.NodeCount(), 2u);

    cm.ClearCalls();
    EXPECT_FALSE(pnp->Remove(device).Refused());
    EXPECT_EQ(Services(), (std::vector<std::string>{"CM_Remove_SubTree"}));
    EXPECT_FALSE(cm.Exists(existing));
}

// A new node whose device id still has a "Class" value in the registry keeps
// it, whether the driver can read it as text or not (only a value that is
// missing is written), gets no "HardwareID" either, and is re-enumerated all
// the same; without a hardware id no host serial driver loads.
struct StoredClassRow {
    const char *serial;
    CmValue stored;
    bool readable;  // as text; if not, the read fails, but not for want of the value
};
class StoredClassTest : public EnumerationNodeTest, public testing::WithParamInterface<StoredClassRow> {};

TEST_P(StoredClassTest, ANewNodeWithAClassValueGetsNoWritesButIsReenumerated)
{
    const StoredClassRow &row = GetParam();
    cm.SetStoredValue(NodeId(row.serial), "Class", row.stored);
    cm.ClearCalls();
    sim::pnp::Device &device = PlugAdapter(row.serial);
    auto node = cm.Find(NodeId(row.serial));
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(Adapter(device)->EnumNode, *node);
    EXPECT_EQ(Services(), (std::vector<std::string>{"CM_Locate_DevNode", "CM_Create_DevNode", "CM_Read_Registry_Value",
                                                    "CM_Reenumerate_DevNode"}));
    EXPECT_EQ(cm.Calls()[2].text, "Class");
    EXPECT_EQ(cm.Calls()[2].result == CONFIGRET(CR_SUCCESS), row.readable);
    EXPECT_NE(cm.Calls()[2].result, CONFIGRET(CR_NO_SUCH_VALUE));
    EXPECT_EQ(cm.Value(*node, "Class")->type, row.stored.type);
    EXPECT_EQ(cm.Value(*node, "Class")->data, row.stored.data);
    EXPECT_FALSE(cm.Value(*node, "HardwareID").has_value());
    EXPECT_EQ(cm.Reenumerations(*node), 1);
    EXPECT_EQ(Host(row.serial), nullptr);
    EXPECT_TRUE(Adapter(device)->ControlOpenAllowed);
}

INSTANTIATE_TEST_SUITE_P(Values, StoredClassTest,
                         testing::Values(StoredClassRow{"KEPT", {REG_SZ, {'P', 'o', 'r', 't', 's', 0}}, true},
                                         StoredClassRow{"ODD", {REG_BINARY, {1, 2, 3}}, false}));

}  // namespace
