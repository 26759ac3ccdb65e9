// Adapters arriving, being configured, stopped, restarted and removed under
// the Plug and Play manager.
#include <cstring>

#include "driver/core/driver_entry.h"
#include "driver/core/configure.h"
#include "sim/io/io.h"
#include "sim/user/device_file.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/lifecycle/lying_adapter.h"
#include "tests/support/hand_request.h"

namespace {

using sim::pnp::ConfigManager;
using sim::pnp::PnpManager;
constexpr const char *kParametersKey = PnpManager::kParametersKey;
using testing_support::LifecycleTest;

using testing_support::Bytes;
using testing_support::LyingAdapter;
using testing_support::SetTotalLength;

class AdapterLifecycleTest : public LifecycleTest {
protected:
    LyingAdapter &PlugOdd(const std::string &serial, std::function<void(LyingAdapter &)> bend, NTSTATUS expected)
    {
        LyingAdapter &odd = Own<LyingAdapter>(serial);
        bend(odd);
        auto result = pnp->Plug(odd);
        EXPECT_EQ(result.status, expected);
        last = result.device;
        return odd;
    }
    sim::pnp::Device *last = nullptr;
};

TEST_F(AdapterLifecycleTest, AFreshStartedAdapterIsConfiguredAndPublished)
{
    sim::pnp::Device &device = PlugAdapter("AB12");
    AdapterContext *adapter = Adapter(device);
    EXPECT_EQ(adapter->IoRefCount, 1);
    EXPECT_TRUE(adapter->Configured);
    EXPECT_TRUE(adapter->PortsCreated);
    EXPECT_TRUE(adapter->FirmwareRunning);
    EXPECT_TRUE(adapter->ControlOpenAllowed);
    EXPECT_STREQ(adapter->SerialNumber, "AB12");
    EXPECT_EQ(adapter->SlotIndex, 0u);
    EXPECT_EQ(adapter->MaximumTransferSize, 4096u);
    EXPECT_EQ(sim::io::DeviceName(adapter->Fdo), "\\Device\\NuvixUsb0");
    for (int i = 0; i < 4; i++) {
        PDEVICE_OBJECT port = sim::io::LookupDevice("\\Device\\NuvixUsbAB12-" + std::to_string(i));
        ASSERT_NE(port, nullptr) << i;
        EXPECT_EQ(static_cast<PortContext *>(port->DeviceExtension)->PortNumber, i + 1);
        EXPECT_TRUE(port->Flags & DO_BUFFERED_IO);
        EXPECT_FALSE(port->Flags & DO_DEVICE_INITIALIZING);
    }
    for (ULONG pipe = 0; pipe < adapter->InterfaceInfo->NumberOfPipes; pipe++)
        EXPECT_EQ(adapter->InterfaceInfo->Pipes[pipe].MaximumTransferSize, 4096u);
    // The node makes the platform load the host serial driver for it.
    auto node = ConfigManager::Get().Find("Belmorin\\NUVIX4\\DEV_AB12");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(adapter->EnumNode, *node);
    EXPECT_EQ(ConfigManager::Get().Value(*node, "Class")->Text(), "Usb");
    EXPECT_EQ(ConfigManager::Get().Value(*node, "HardwareID")->Text(), "NUVIX4");
    EXPECT_NE(Host("AB12"), nullptr);
}

TEST_F(AdapterLifecycleTest, TheRegistryDecidesTheTransferSizeOnlyWithARealNumber)
{
    sim::Registry::Get().SetDword(kParametersKey, "MaximumTransferSize", 8192);
    AdapterContext *adapter = Adapter(PlugAdapter("A1"));
    EXPECT_EQ(adapter->MaximumTransferSize, 8192u);
    EXPECT_EQ(adapter->InterfaceInfo->Pipes[9].MaximumTransferSize, 8192u);

    sim::Registry::Get().Set(kParametersKey, "MaximumTransferSize", {REG_SZ, {'8', 0, '1', 0, 0, 0}});
    EXPECT_EQ(Adapter(PlugAdapter("A2"))->MaximumTransferSize, 4096u);
}

TEST_F(AdapterLifecycleTest, SlotsAreTakenLowestFirstAndTheThirtyThirdAdapterIsRefused)
{
    std::vector<sim::pnp::Device *> devices;
    for (int i = 0; i < MAX_ADAPTERS; i++)
        devices.push_back(&PlugAdapter("S" + std::to_string(i)));
    EXPECT_EQ(AdapterTable.Count, 32u);
    models.push_back(std::make_unique<sim::adapter::MainFirmware>("EXTRA"));
    auto refused = pnp->Plug(*models.back());
    EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AdapterTable.Count, 32u);

    // Slot 0 freed, the next adapter takes it, and its name ends in 0 again.
    EXPECT_FALSE(pnp->Remove(*devices[0]).Refused());
    EXPECT_EQ(AdapterTable.Slots[0], nullptr);
    AdapterContext *again = Adapter(PlugAdapter("AGAIN"));
    EXPECT_EQ(again->SlotIndex, 0u);
    EXPECT_EQ(sim::io::DeviceName(again->Fdo), "\\Device\\NuvixUsb0");
}

// The diagnostic link leads to the first adapter while it is there, passes
// to the lowest present one when its adapter goes, and goes with the last;
// removing an adapter it does not lead to leaves it alone.
TEST_F(AdapterLifecycleTest, TheLinkAlwaysLeadsToAPresentAdapterAndGoesWithTheLastOne)
{
    auto link = [] { return sim::io::ResolveSymbolicLink("\\DosDevices\\ZerafinTest"); };
    sim::pnp::Device &first = PlugAdapter("FIRST");
    sim::pnp::Device &second = PlugAdapter("SECOND");
    sim::pnp::Device &third = PlugAdapter("THIRD");
    EXPECT_EQ(link(), "\\Device\\NuvixUsb0");
    EXPECT_FALSE(pnp->Remove(second).Refused());
    EXPECT_EQ(link(), "\\Device\\NuvixUsb0");
    EXPECT_FALSE(pnp->Remove(first).Refused());
    EXPECT_EQ(link(), "\\Device\\NuvixUsb2");
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(pnp->SurpriseRemove(third), STATUS_SUCCESS);
    EXPECT_EQ(link(), "");
    sim::pnp::Device &fourth = PlugAdapter("FOURTH");
    EXPECT_EQ(link(), "\\Device\\NuvixUsb0");
    EXPECT_FALSE(pnp->Remove(fourth).Refused());
    EXPECT_EQ(link(), "");
}

TEST_F(AdapterLifecycleTest, ALongConfigurationIsReadAgainWithItsTotalLength)
{
    PlugOdd(
        "LONG",
        [](LyingAdapter &odd) {
            // Vendor-specific descriptors after the endpoints make it longer.
            odd.config = [](Bytes bytes, int) {
                for (int i = 0; i < 3; i++) {
                    bytes.push_back(200);
                    bytes.push_back(0x41);
                    bytes.insert(bytes.end(), 198, 0);
                }
                SetTotalLength(bytes, static_cast<uint16_t>(bytes.size()));
                return bytes;
            };
        },
        STATUS_SUCCESS);
    std::vector<size_t> reads;
    for (const auto &record : last->Bus().Log())
        if (record.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            reads.push_back(record.length);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0], 521u);
    EXPECT_EQ(reads[1], Adapter(*last)->ConfigDescriptor->wTotalLength);
    EXPECT_GT(reads[1], 521u);
}

TEST_F(AdapterLifecycleTest, ARestartReusesThePortsAndReadsNoSerialNumber)
{
    LyingAdapter &odd = PlugOdd(
        "RESTART", [](LyingAdapter &) {}, STATUS_SUCCESS);
    AdapterContext *adapter = Adapter(*last);
    PortContext *first = adapter->Ports[0];
    PUCHAR buffer = first->ReadBuffer;
    EXPECT_EQ(odd.serialReads.load(), 1);
    EXPECT_FALSE(pnp->Stop(*last).Refused());
    EXPECT_FALSE(adapter->Configured);
    EXPECT_TRUE(adapter->ControlOpenAllowed);
    EXPECT_EQ(pnp->Restart(*last), STATUS_SUCCESS);
    EXPECT_TRUE(adapter->Configured);
    EXPECT_EQ(adapter->Ports[0], first);
    EXPECT_EQ(first->ReadBuffer, buffer);  // blocks of the first start are reused
    EXPECT_EQ(odd.serialReads.load(), 1);
    // The node exists already and is taken as it is.
    int creates = 0;
    for (const auto &call : ConfigManager::Get().Calls())
        creates += call.service == "CM_Create_DevNode";
    EXPECT_EQ(creates, 2);
    EXPECT_EQ(ConfigManager::Get().NodeCount(), 2u);  // the root and the adapter's
}

TEST_F(AdapterLifecycleTest, ANodeThatAlreadyExistsIsTakenUnchanged)
{
    DEVNODE existing = ConfigManager::Get().CreateNode("Belmorin\\NUVIX4\\DEV_OLD");
    ConfigManager::Get().ClearCalls();
    AdapterContext *adapter = Adapter(PlugAdapter("OLD"));
    EXPECT_EQ(adapter->EnumNode, existing);
    for (const auto &call : ConfigManager::Get().Calls()) {
        EXPECT_NE(call.service, "CM_Read_Registry_Value");
        EXPECT_NE(call.service, "CM_Write_Registry_Value");
        EXPECT_NE(call.service, "CM_Reenumerate_DevNode");
    }
}

// The lower drivers finish starting the device 3 s after the request: not
// one request of the adapter's own reaches the bus before then.
TEST_F(AdapterLifecycleTest, StartWaitsForAPendingLowerStart)
{
    struct : sim::usb::BusObserver {
        std::atomic<uint64_t> first{UINT64_MAX};
        void Submitted(sim::usb::Bus &, const URB &) override
        {
            uint64_t none = UINT64_MAX;
            first.compare_exchange_strong(none, KeQueryInterruptTime());
        }
        void Completed(sim::usb::Bus &, const URB &) override {}
    } watch;
    models.push_back(std::make_unique<sim::adapter::MainFirmware>("SLOW"));
    auto result = pnp->Plug(*models.back(), [&](sim::usb::Bus &bus) {
        bus.SetStartPending(true, 3'000'000);
        bus.SetObserver(&watch);
    });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_GE(watch.first.load(), 3'000'000u);
    EXPECT_NE(watch.first.load(), UINT64_MAX);
    EXPECT_TRUE(Adapter(*result.device)->Configured);
    result.device->Bus().SetObserver(nullptr);
}

TEST_F(AdapterLifecycleTest, AFailingDeselectStopsNothingAndIsNotPassedDown)
{
    PlugOdd(
        "STUCK", [](LyingAdapter &odd) { odd.failDeselect = true; }, STATUS_SUCCESS);
    EXPECT_TRUE(NT_ERROR(pnp->SendStop(*last)));
    EXPECT_TRUE(Adapter(*last)->Configured);
    for (const auto &request : last->PdoRequests())
        EXPECT_FALSE(request.major == IRP_MJ_PNP && request.minor == IRP_MN_STOP_DEVICE);
}

TEST_F(AdapterLifecycleTest, OtherRequestsReachTheBusUntouched)
{
    sim::pnp::Device &device = PlugAdapter("PASS");
    pnp->SendPnp(device, 0x07);
    pnp->SendPnp(device, IRP_MN_SURPRISE_REMOVAL + 1);
    EXPECT_EQ(pnp->SendQueryStop(device), STATUS_SUCCESS);
    EXPECT_EQ(pnp->SendCancelStop(device), STATUS_SUCCESS);
    EXPECT_EQ(pnp->SendPower(device, 0x02), STATUS_SUCCESS);
    EXPECT_EQ(pnp->SendSystemControl(device, 0x00), STATUS_SUCCESS);
    std::vector<std::pair<int, NTSTATUS>> seen;
    for (const auto &request : device.PdoRequests())
        if (request.minor != IRP_MN_START_DEVICE || request.major != IRP_MJ_PNP)
            seen.emplace_back(request.major * 256 + request.minor, request.arrivedWith);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], std::make_pair(IRP_MJ_PNP * 256 + 0x07, STATUS_NOT_SUPPORTED));
    EXPECT_EQ(seen[1].second, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen[2].second, STATUS_SUCCESS);  // query-stop and cancel-stop are marked successful
    EXPECT_EQ(seen[3].second, STATUS_SUCCESS);
    EXPECT_EQ(seen[4].first, IRP_MJ_POWER * 256 + 0x02);
    EXPECT_EQ(seen[4].second, STATUS_SUCCESS);
    EXPECT_EQ(seen[5].first, IRP_MJ_SYSTEM_CONTROL * 256);
    EXPECT_EQ(Adapter(device)->IoRefCount, 1);
}

// The driver keeps no power state: a power request the bus driver leaves
// pending is the bus driver's to finish, and the dispatch routine says so by
// returning its STATUS_PENDING, holding nothing of the adapter meanwhile.
TEST_F(AdapterLifecycleTest, APowerRequestLeftPendingBelowIsReturnedPendingAndEndsLater)
{
    constexpr ULONGLONG kDelay = 2'000'000;
    sim::pnp::Device &device = PlugAdapter("POWER");
    AdapterContext *adapter = Adapter(device);
    device.Bus().SetPowerPending(true, kDelay);
    {
        testing_support::HandRequest power(device.Fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER);
        ULONGLONG sent = Now();
        EXPECT_EQ(power.Send(), STATUS_PENDING);
        EXPECT_FALSE(power.Done());
        EXPECT_EQ(adapter->IoRefCount, 1);  // its reference went with the return
        EXPECT_EQ(power.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(Now() - sent, kDelay);
        // Copied to the next location, not skipped.
        EXPECT_EQ(power.Locations(), (std::vector<PDEVICE_OBJECT>{device.Pdo(), device.Fdo()}));
    }
    auto seen = device.PdoRequests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().major, IRP_MJ_POWER);
    EXPECT_EQ(seen.back().arrivedWith, STATUS_SUCCESS);
    EXPECT_EQ(adapter->IoRefCount, 1);
    // The adapter goes on working and leaves cleanly.
    device.Bus().SetPowerPending(false);
    EXPECT_FALSE(pnp->Remove(device).Refused());
}

TEST_F(AdapterLifecycleTest, AnAdapterThatCannotAttachIsNotLeftInTheTable)
{
    DEVICE_OBJECT stranger{};  // not a device the platform knows
    EXPECT_EQ(AddDevice(pnp->Driver(), &stranger), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(AdapterTable.Count, 0u);
    EXPECT_EQ(pnp->Driver()->DeviceObject, nullptr);
    EXPECT_EQ(sim::io::ResolveSymbolicLink("\\DosDevices\\ZerafinTest"), "");
    // The slot stays free for the next adapter.
    EXPECT_EQ(Adapter(PlugAdapter("NEXT"))->SlotIndex, 0u);
}

// The third port object cannot be made (its name is taken): the two made
// before it go again, names and all, and once the name is free the next
// start makes all four.
TEST_F(AdapterLifecycleTest, AThirdPortObjectThatCannotBeMadeTakesTheFirstTwoWithIt)
{
    PDRIVER_OBJECT squatter = sim::io::CreateDriverObject("\\Driver\\Squatter");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\NuvixUsbTHIRD-2");
    PDEVICE_OBJECT taken = nullptr;
    ASSERT_EQ(IoCreateDevice(squatter, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &taken), STATUS_SUCCESS);
    pnp->SetRemoveAfterFailedStart(false);
    PlugOdd(
        "THIRD", [](LyingAdapter &) {}, STATUS_OBJECT_NAME_COLLISION);
    auto ports = [] {
        int live = 0;
        for (int index = 0; index < 4; index++)
            live += sim::io::LookupDevice("\\Device\\NuvixUsbTHIRD-" + std::to_string(index)) != nullptr;
        return live;
    };
    EXPECT_EQ(ports(), 1);  // the squatter's
    EXPECT_EQ(Adapter(*last)->SerialNumber, nullptr);
    IoDeleteDevice(taken);
    sim::io::DeleteDriverObject(squatter);
    EXPECT_EQ(pnp->SendStart(*last), STATUS_SUCCESS);
    EXPECT_EQ(ports(), 4);
}

TEST_F(AdapterLifecycleTest, RequestsToAPortObjectAreRefused)
{
    PlugAdapter("PORTS");
    PDEVICE_OBJECT port = sim::io::LookupDevice("\\Device\\NuvixUsbPORTS-1");
    ASSERT_NE(port, nullptr);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER}) {
        NTSTATUS final = STATUS_PENDING;
        PIRP irp = sim::io::AllocateSystemIrp(1, [&](PIRP done) {
            final = done->IoStatus.Status;
            sim::io::FreeSystemIrp(done);
        });
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        EXPECT_EQ(IofCallDriver(port, irp), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(final, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace
