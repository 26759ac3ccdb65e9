// Adapters that are not configured: one that AddDevice has just created and
// no start has reached yet, and a blank chip whose start only selected its
// configuration and loaded the firmware. Neither may look like a working
// adapter to the host, the diagnostic side or a removal query.
#include <cstring>

#include "tests/support/lookup.h"
#include "driver/core/driver_entry.h"
#include "driver/service/port_lookup.h"
#include "driver/usb/transport.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/io/io.h"
#include "sim/user/device_file.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/support/hand_request.h"

namespace {

using sim::pnp::PnpManager;
using testing_support::HandRequest;
constexpr const char *kParametersKey = PnpManager::kParametersKey;
using testing_support::LifecycleTest;

constexpr const char *kLink = "\\DosDevices\\ZerafinTest";

// An event as KeInitializeEvent leaves a notification event that is not
// signalled; a zero-filled one differs in its size and its wait list.
void ExpectFreshNotificationEvent(KEVENT &event, const char *name)
{
    // Read from the header: the kernel's own routines stop at an event that
    // was never initialised.
    EXPECT_EQ(event.Header.Type, NotificationEvent) << name;
    EXPECT_EQ(event.Header.Size, sizeof(KEVENT) / sizeof(LONG)) << name;
    EXPECT_EQ(event.Header.SignalState, 0) << name;
    EXPECT_EQ(event.Header.WaitListHead.Flink, &event.Header.WaitListHead) << name;
}

// An adapter that is not configured has none of a working adapter's parts:
// no firmware it knows of, no pipe map, command channel, ports, serial
// number or enumeration node.
void ExpectNothingOfAConfiguration(AdapterContext *adapter)
{
    EXPECT_FALSE(adapter->FirmwareRunning);
    EXPECT_FALSE(adapter->Configured);
    EXPECT_FALSE(adapter->PortsCreated);
    EXPECT_FALSE(adapter->ControlOpenAllowed);
    EXPECT_EQ(adapter->InterfaceInfo, nullptr);
    EXPECT_EQ(adapter->CommandInPipe, nullptr);
    EXPECT_EQ(adapter->CommandOutPipe, nullptr);
    EXPECT_EQ(adapter->CommandOutUrb, nullptr);
    EXPECT_EQ(adapter->CommandInUrb, nullptr);
    EXPECT_EQ(adapter->CommandInBuffer, nullptr);
    EXPECT_EQ(adapter->SerialNumber, nullptr);
    for (PortContext *port : adapter->Ports)
        EXPECT_EQ(port, nullptr);
    EXPECT_EQ(adapter->EnumNode, 0u);
}

// Query-remove and cancel-remove of such an adapter are the bus driver's
// business alone: handed down in the very stack location they came in (the
// driver's own skipped, the one below unused), with the status they came
// with, and the removal flag and the references untouched.
void ExpectRemovalQueriesGoStraightToTheBus(PDEVICE_OBJECT fdo, sim::usb::Bus &bus, AdapterContext *adapter)
{
    for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
        HandRequest request(fdo, IRP_MJ_PNP, minor);
        EXPECT_EQ(request.Send(), STATUS_SUCCESS) << int(minor);
        EXPECT_EQ(request.Wait(), STATUS_SUCCESS) << int(minor);
        EXPECT_EQ(request.Locations(), (std::vector<PDEVICE_OBJECT>{nullptr, bus.Pdo()})) << int(minor);
        EXPECT_FALSE(adapter->RemovePending) << int(minor);
        EXPECT_EQ(adapter->IoRefCount, 1) << int(minor);
        auto seen = bus.PdoRequests();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().minor, minor);
        EXPECT_EQ(seen.back().arrivedWith, STATUS_NOT_SUPPORTED) << int(minor);
    }
}

class UnstartedAdapterTest : public LifecycleTest {
protected:
    // An adapter as AddDevice leaves it: on a bus of the test's own, so that
    // no start follows.
    AdapterContext *AddOnly(const std::string &serial)
    {
        model_ = std::make_unique<sim::adapter::MainFirmware>(serial);
        bus_ = std::make_unique<sim::usb::Bus>(*model_, "unstarted usb");
        EXPECT_EQ(AddDevice(pnp->Driver(), bus_->Pdo()), STATUS_SUCCESS);
        fdo_ = bus_->Pdo()->AttachedDevice;
        EXPECT_NE(fdo_, nullptr);
        return fdo_ ? static_cast<AdapterContext *>(fdo_->DeviceExtension) : nullptr;
    }
    // Removed as the platform would remove it, and its bus unplugged.
    void RemoveUnstarted()
    {
        HandRequest remove(fdo_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        remove.Send();
        EXPECT_EQ(remove.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(bus_->Pdo()->AttachedDevice, nullptr);
        model_->Plugged(nullptr);
        bus_.reset();
        model_.reset();
    }
    // Devices of the driver, the adapters' and the ports' alike.
    size_t DriverDevices()
    {
        size_t count = 0;
        for (PDEVICE_OBJECT device = pnp->Driver()->DeviceObject; device; device = device->NextDevice)
            count++;
        return count;
    }

    std::unique_ptr<sim::adapter::MainFirmware> model_;
    std::unique_ptr<sim::usb::Bus> bus_;
    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(UnstartedAdapterTest, AnAddedAdapterIsInTheTableButNothingElseYet)
{
    sim::Registry::Get().SetDword(kParametersKey, "MaximumTransferSize", 2048);
    AdapterContext *adapter = AddOnly("FRESH");
    ASSERT_NE(adapter, nullptr);

    // In the table, named after its slot, attached to the bus's device.
    EXPECT_EQ(AdapterTable.Count, 1u);
    EXPECT_EQ(AdapterTable.Slots[0], adapter);
    EXPECT_EQ(adapter->SlotIndex, 0u);
    EXPECT_EQ(adapter->Fdo, fdo_);
    EXPECT_EQ(adapter->LowerDevice, bus_->Pdo());
    EXPECT_EQ(sim::io::DeviceName(fdo_), "\\Device\\NuvixUsb0");
    EXPECT_EQ(fdo_->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_FALSE(fdo_->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(sim::io::ResolveSymbolicLink(kLink), "\\Device\\NuvixUsb0");
    EXPECT_EQ(adapter->MaximumTransferSize, 2048u);  // read now, not at start

    // Nothing of a configuration.
    ExpectNothingOfAConfiguration(adapter);
    EXPECT_EQ(adapter->OpenPortCount, 0u);
    EXPECT_FALSE(adapter->Removed);
    EXPECT_FALSE(adapter->RemovePending);
    EXPECT_EQ(adapter->PortCount, 0u);
    EXPECT_EQ(adapter->DeviceDescriptor, nullptr);
    EXPECT_EQ(adapter->ConfigDescriptor, nullptr);
    EXPECT_EQ(adapter->CommandOutIrp, nullptr);
    EXPECT_EQ(adapter->CommandInIrp, nullptr);
    EXPECT_FALSE(adapter->CommandBusy);

    // Its own reference only; the lock and the three events ready for use.
    EXPECT_EQ(adapter->IoRefCount, 1);
    EXPECT_EQ(adapter->Lock.DeferredSends.Flink, &adapter->Lock.DeferredSends);
    LockAcquire(&adapter->Lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LockRelease(&adapter->Lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExpectFreshNotificationEvent(adapter->RemoveEvent, "RemoveEvent");
    ExpectFreshNotificationEvent(adapter->StopEvent, "StopEvent");
    ExpectFreshNotificationEvent(adapter->StatusEvent, "StatusEvent");

    // AddDevice sends the device nothing.
    EXPECT_TRUE(bus_->Log().empty());
    EXPECT_TRUE(bus_->PdoRequests().empty());
    RemoveUnstarted();
}

TEST_F(UnstartedAdapterTest, AnAddedAdapterServesNoHostAndNoDiagnosticHandle)
{
    AdapterContext *adapter = AddOnly("FRESH");
    ASSERT_NE(adapter, nullptr);

    // No serial number yet: no name leads to its ports, whatever it says.
    sim::host::HostSerialDriver host(RbGetServiceTable);
    for (int index = 0; index < 4; index++) {
        sim::host::HostPort &port = host.AddPort(sim::host::HostSerialDriver::PortName("FRESH", index));
        EXPECT_EQ(testing_support::LookupPortLocked(port.Handle()), nullptr) << index;
        EXPECT_FALSE(host.Open(port)) << index;
        EXPECT_FALSE(host.StartRead(port)) << index;
        EXPECT_FALSE(host.StartWrite(port)) << index;
        EXPECT_FALSE(host.Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 0)) << index;
        EXPECT_FALSE(host.Close(port)) << index;
    }
    sim::host::HostPort &anyName = host.AddPort(u"-0");
    EXPECT_EQ(testing_support::LookupPortLocked(anyName.Handle()), nullptr);

    // The link exists, but the device behind it does not open yet.
    sim::user::Handle handle = nullptr;
    EXPECT_EQ(sim::user::Open(kLink, &handle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(adapter->CommandInIrp, nullptr);  // and no response read was started
    EXPECT_EQ(adapter->IoRefCount, 1);
    EXPECT_TRUE(bus_->Log().empty());
    RemoveUnstarted();
}

// Removal queries of an adapter that no start has reached.
TEST_F(UnstartedAdapterTest, RemovalQueriesOfANeverStartedAdapterGoStraightToTheBus)
{
    AdapterContext *adapter = AddOnly("FRESH");
    ASSERT_NE(adapter, nullptr);
    ExpectRemovalQueriesGoStraightToTheBus(fdo_, *bus_, adapter);
    EXPECT_EQ(bus_->PdoRequests().size(), 2u);

    // A cancel-remove leaves the flag as it finds it on such an adapter (set
    // by hand here: nothing sets it before a configuration).
    adapter->RemovePending = TRUE;
    HandRequest cancel(fdo_, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(cancel.Send(), STATUS_SUCCESS);
    EXPECT_EQ(cancel.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(adapter->RemovePending);
    adapter->RemovePending = FALSE;
    RemoveUnstarted();
}

// The same for a blank chip, which is never configured: its start selects the
// chip's configuration and downloads the firmware, nothing more.
TEST_F(UnstartedAdapterTest, ABlankChipGetsItsConfigurationSelectedAndNothingElse)
{
    models.push_back(std::make_unique<sim::chip::EzUsbChip>());
    auto &blank = static_cast<sim::chip::EzUsbChip &>(*models.back());
    auto plugged = pnp->Plug(blank);  // the chip's return is not reported here
    ASSERT_EQ(plugged.status, STATUS_SUCCESS);
    sim::pnp::Device &device = *plugged.device;
    AdapterContext *adapter = Adapter(device);

    EXPECT_NE(adapter->DeviceDescriptor, nullptr);
    EXPECT_NE(adapter->ConfigDescriptor, nullptr);
    ExpectNothingOfAConfiguration(adapter);
    EXPECT_EQ(DriverDevices(), 1u);  // the adapter's own device object alone
    EXPECT_TRUE(sim::pnp::ConfigManager::Get().Calls().empty());

    int selects = 0, serialReads = 0, bulk = 0;
    for (const auto &record : device.Bus().Log()) {
        selects += record.function == URB_FUNCTION_SELECT_CONFIGURATION;
        serialReads += record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                       record.descriptorType == USB_STRING_DESCRIPTOR_TYPE;
        bulk += record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    }
    EXPECT_EQ(selects, 1);
    EXPECT_EQ(serialReads, 0);
    EXPECT_EQ(bulk, 0);

    // Removal queries go to the bus in the location they came in.
    ExpectRemovalQueriesGoStraightToTheBus(device.Fdo(), device.Bus(), adapter);
    EXPECT_EQ(device.PdoRequests().size(), 3u);  // the start, then the two
    EXPECT_EQ(pnp->SendRemove(device), STATUS_SUCCESS);
}

}  // namespace
