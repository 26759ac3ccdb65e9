// Query-remove, cancel-remove, stop and removal with the host's ports in
// use, and the error counters written at every removal.
#include <cstring>

#include "driver/base/protocol.h"
#include "driver/usb/transport.h"
#include "sim/usb/scripted_device.h"
#include "sim/io/io.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using sim::pnp::PnpManager;
constexpr const char *kParametersKey = PnpManager::kParametersKey;
using testing_support::LifecycleTest;

class RemovalTest : public LifecycleTest {
protected:
    sim::host::HostPort &OpenPort(const std::string &serial, int index, bool bind = true)
    {
        sim::host::HostPort *port = HostPort(serial, index);
        EXPECT_NE(port, nullptr);
        EXPECT_TRUE(Host(serial)->Open(*port));
        if (bind) {
            EXPECT_TRUE(Host(serial)->Bind(*port, 1024, 1024));
        }
        return *port;
    }
    std::vector<uint8_t> ErrorStatValue()
    {
        auto value = sim::Registry::Get().Query(kParametersKey, "ErrorStat");
        EXPECT_TRUE(value.has_value());
        return value ? value->data : std::vector<uint8_t>{};
    }
};

TEST_F(RemovalTest, QueryRemoveIsRefusedWhileAPortIsOpenAndNeverReachesTheBus)
{
    sim::pnp::Device &device = PlugAdapter("Q1");
    sim::host::HostPort &port = OpenPort("Q1", 0);
    auto outcome = pnp->Remove(device);
    EXPECT_TRUE(outcome.Refused());
    EXPECT_EQ(outcome.query, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Adapter(device)->RemovePending);
    for (const auto &request : device.PdoRequests())
        EXPECT_NE(request.minor, IRP_MN_QUERY_REMOVE_DEVICE);
    // The cancel that follows leaves everything usable.
    uint8_t byte = 'x';
    EXPECT_EQ(Host("Q1")->Write(port, &byte, 1), 1u);
    EXPECT_TRUE(Host("Q1")->Close(port));
    EXPECT_FALSE(pnp->Remove(device).Refused());
}

TEST_F(RemovalTest, QueryRemoveWaitsForWorkInProgressAndCancelRemoveUndoesIt)
{
    sim::pnp::Device &device = PlugAdapter("Q2");
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(device.Model());
    sim::host::HostPort &port = OpenPort("Q2", 1);
    // The last port is closing; the firmware takes 0.6 s to answer the close.
    firmware.SetAnswerMode(sim::adapter::AnswerMode::Late, 6'000'000);
    ULONGLONG closed = 0;
    sim::Thread closer("closer", [&] {
        EXPECT_TRUE(Host("Q2")->Close(port));
        closed = Now();
    });
    LARGE_INTEGER delay;
    delay.QuadPart = -1'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    // No port counts as open any more, so the query goes on, and waits.
    EXPECT_EQ(pnp->SendQueryRemove(device), STATUS_SUCCESS);
    EXPECT_GE(Now(), 6'000'000u);
    closer.Join();
    EXPECT_LE(closed, Now());
    EXPECT_TRUE(Adapter(device)->RemovePending);
    EXPECT_FALSE(Host("Q2")->Open(port));  // every port fails validity now

    firmware.SetAnswerMode(sim::adapter::AnswerMode::Normal);
    EXPECT_EQ(pnp->SendCancelRemove(device), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter(device)->RemovePending);
    EXPECT_TRUE(Host("Q2")->Open(port));
    EXPECT_TRUE(Host("Q2")->Close(port));
}

TEST_F(RemovalTest, StopCancelsTheTransfersAndTheOpenPortWaitsForTheRestart)
{
    sim::pnp::Device &device = PlugAdapter("ST");
    sim::host::HostPort &port = OpenPort("ST", 2);
    PortContext *context = Adapter(device)->Ports[2];
    ASSERT_NE(context->ReadIrp, nullptr);
    EXPECT_FALSE(pnp->Stop(device).Refused());
    EXPECT_EQ(context->ReadIrp, nullptr);
    EXPECT_FALSE(Host("ST")->StartRead(port));  // not valid while stopped
    EXPECT_EQ(pnp->Restart(device), STATUS_SUCCESS);
    // The restart initialised every port closed: the host opens it again.
    EXPECT_FALSE(Adapter(device)->Ports[2]->Open);
    EXPECT_EQ(Adapter(device)->OpenPortCount, 0u);
    EXPECT_FALSE(Host("ST")->Close(port));
    EXPECT_TRUE(Host("ST")->Open(port));
    EXPECT_TRUE(Host("ST")->Bind(port, 1024, 1024));
    EXPECT_TRUE(Host("ST")->Close(port));
}

TEST_F(RemovalTest, RemovalWithPortsOpenKeepsTheAdapterMemoryButNotItsSlot)
{
    sim::pnp::Device &device = PlugAdapter("OPEN");
    sim::host::HostPort &first = OpenPort("OPEN", 0);
    OpenPort("OPEN", 3);
    PDEVICE_OBJECT fdo = device.Fdo();
    AdapterContext *adapter = Adapter(device);
    EXPECT_EQ(pnp->SurpriseRemove(device), STATUS_SUCCESS);
    EXPECT_EQ(AdapterTable.Slots[0], nullptr);
    EXPECT_EQ(AdapterTable.Count, 0u);
    EXPECT_EQ(fdo->ReferenceCount, 1);  // kept for the host's sake
    EXPECT_TRUE(adapter->Removed);      // still readable memory
    EXPECT_EQ(adapter->OpenPortCount, 2u);
    EXPECT_FALSE(Host("OPEN") ? Host("OPEN")->StartWrite(first) : false);
    EXPECT_EQ(sim::pnp::ConfigManager::Get().Find("Belmorin\\NUVIX4\\DEV_OPEN"), std::nullopt);
}

TEST_F(RemovalTest, EveryRemovalWritesTheCountersSoFar)
{
    sim::pnp::Device &first = PlugAdapter("E1");
    sim::pnp::Device &second = PlugAdapter("E2");
    auto frame = [](sim::pnp::Device &device, std::vector<uint8_t> bytes) {
        static_cast<sim::adapter::MainFirmware &>(device.Model()).SendResponse(std::move(bytes));
    };
    sim::host::HostPort &port = OpenPort("E1", 0);
    frame(first, {RSP_STATUS, 9, 0, 0, 0, 0, 0});
    frame(first, {RSP_EVENT, 0, 1, 0});
    first.Bus().Drain();
    EXPECT_EQ(ErrorStats[0], 2u);
    EXPECT_TRUE(Host("E1")->Close(port));
    EXPECT_FALSE(pnp->Remove(first).Refused());
    std::vector<uint8_t> once = ErrorStatValue();
    ASSERT_EQ(once.size(), 12u);
    EXPECT_EQ(once[0], 2);

    sim::host::HostPort &other = OpenPort("E2", 1);
    frame(second, {RSP_STATUS, 5, 0, 0, 0, 0, 0});
    second.Bus().Drain();
    EXPECT_TRUE(Host("E2")->Close(other));
    EXPECT_FALSE(pnp->Remove(second).Refused());
    std::vector<uint8_t> twice = ErrorStatValue();
    EXPECT_EQ(twice[0], 3);  // the totals of both lifetimes
    EXPECT_EQ(twice[4], 0);
}

TEST_F(RemovalTest, RemovalOfAnAdapterWithoutFirmwareDeletesNoPorts)
{
    models.push_back(std::make_unique<sim::usb::ScriptedDevice>());
    auto &blank = static_cast<sim::usb::ScriptedDevice &>(*models.back());
    blank.SetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, sim::usb::MakeDeviceDescriptor(0x0D28, 0x0004, 0));
    auto result = pnp->Plug(blank);
    // Nothing recognises the download here, but the start succeeds anyway.
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    AdapterContext *adapter = Adapter(*result.device);
    EXPECT_FALSE(adapter->FirmwareRunning);
    EXPECT_FALSE(adapter->Configured);
    EXPECT_FALSE(adapter->ControlOpenAllowed);
    EXPECT_EQ(adapter->EnumNode, 0u);
    EXPECT_FALSE(pnp->SendQueryRemove(*result.device) != STATUS_SUCCESS);
    EXPECT_FALSE(adapter->RemovePending);  // passed down untouched: not configured
    EXPECT_EQ(pnp->SendRemove(*result.device), STATUS_SUCCESS);
}

}  // namespace
