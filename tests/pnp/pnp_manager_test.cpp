// The Plug and Play manager with a small function driver of the tests' own:
// loading, arrival, the request sequences the platform runs and what of them
// reaches the bus's physical device object, removal in all its forms, the
// device that leaves and comes back, and many devices at once.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fake_function_driver.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/io/io.h"
#include "sim/kernel/scheduler.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/scripted_device.h"
#include "tests/support/sim_test.h"

namespace {

using pnptest::FakeDriver;
using pnptest::FakeDriverOptions;
using sim::pnp::Device;
using sim::pnp::DeviceState;
using sim::pnp::PnpManager;
using sim::usb::PdoRequest;
using sim::usb::ScriptedDevice;

struct Seen {
    UCHAR major;
    UCHAR minor;
    NTSTATUS arrivedWith;
    bool operator==(const Seen &) const = default;
};

void PrintTo(const Seen &seen, std::ostream *out)
{
    *out << "{" << int(seen.major) << ", " << int(seen.minor) << ", " << std::hex << ULONG(seen.arrivedWith) << "}";
}

std::vector<Seen> AtPdo(const Device &device)
{
    std::vector<Seen> seen;
    for (const PdoRequest &request : device.PdoRequests())
        seen.push_back({request.major, request.minor, request.arrivedWith});
    return seen;
}

Seen Pnp(UCHAR minor, NTSTATUS arrivedWith) { return {IRP_MJ_PNP, minor, arrivedWith}; }

using Seens = std::vector<Seen>;
using Events = std::vector<std::string>;

// What reached the bus: the start every plugged device began with, then these.
Seens AfterStart(Seens rest)
{
    rest.insert(rest.begin(), Pnp(IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED));
    return rest;
}

bool IsLive(PDEVICE_OBJECT device)
{
    auto live = sim::io::LiveDevices();
    return std::find(live.begin(), live.end(), device) != live.end();
}

class PnpManagerTest : public testing_support::SimTest {
protected:
    // The fake driver starts afresh before the manager loads it.
    bool fresh_ = (FakeDriver::Reset(), true);
    // Models outlive the manager, which destroys the buses they are plugged into.
    ScriptedDevice model_;
    ScriptedDevice second_;
    std::unique_ptr<PnpManager> manager_ = std::make_unique<PnpManager>(FakeDriver::Entry, nullptr);
};

class PnpManagerDeathTest : public PnpManagerTest {};

TEST_F(PnpManagerTest, LoadsTheDriverWithItsServiceKey)
{
    EXPECT_EQ(manager_->EntryStatus(), STATUS_SUCCESS);
    EXPECT_EQ(FakeDriver::Log().entries, 1);
    EXPECT_EQ(FakeDriver::Log().registryPath, u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\NUVIXUSB");
    PDRIVER_OBJECT driver = manager_->Driver();
    EXPECT_EQ(std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / 2), u"\\Driver\\NUVIXUSB");
    EXPECT_EQ(std::u16string(driver->DriverExtension->ServiceKeyName.Buffer,
                             driver->DriverExtension->ServiceKeyName.Length / 2),
              u"NUVIXUSB");

    manager_.reset();
    EXPECT_EQ(FakeDriver::Log().unloads, 1);
}

TEST_F(PnpManagerTest, ArrivalAddsAndStartsTheDevice)
{
    auto [device, status] = manager_->Plug(model_);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Started);
    EXPECT_EQ(device->StartStatus(), STATUS_SUCCESS);
    ASSERT_EQ(FakeDriver::Log().added.size(), 1u);
    EXPECT_EQ(device->Fdo(), FakeDriver::Log().added[0]);
    EXPECT_EQ(device->Pdo()->AttachedDevice, device->Fdo());
    EXPECT_EQ(FakeDriver::LowerOf(device->Fdo()), device->Pdo());
    EXPECT_EQ(device->Pdo(), device->Bus().Pdo());
    // The start went down untouched: the platform's initial status reached the bus.
    EXPECT_EQ(AtPdo(*device), AfterStart({}));
    EXPECT_EQ(FakeDriver::Log().events, (Events{"1 start", "1 start done"}));
}

TEST_F(PnpManagerTest, StartCompletesAtOnceOrLaterFromTheController)
{
    auto [now, nowStatus] = manager_->Plug(model_);
    EXPECT_EQ(nowStatus, STATUS_SUCCESS);
    EXPECT_EQ(sim::Scheduler::Get().Now(), 0);

    constexpr sim::Ticks kDelay = 5 * sim::kTicksPerMillisecond;
    auto [later, laterStatus] = manager_->Plug(second_, [&](sim::usb::Bus &bus) { bus.SetStartPending(true, kDelay); });
    EXPECT_EQ(laterStatus, STATUS_SUCCESS);
    EXPECT_EQ(later->State(), DeviceState::Started);
    EXPECT_EQ(sim::Scheduler::Get().Now(), kDelay);
    EXPECT_EQ(FakeDriver::Log().startPassedDown, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_PENDING}));
}

TEST_F(PnpManagerTest, EveryNewBusIsSetUpBeforeAddDevice)
{
    manager_->OnNewBus([](sim::usb::Bus &bus) { bus.SetStartPending(true); });
    manager_->Plug(model_);
    EXPECT_EQ(FakeDriver::Log().startPassedDown, std::vector<NTSTATUS>{STATUS_PENDING});
}

TEST_F(PnpManagerTest, StopAndRestartReachTheBusWithTheDriversStatus)
{
    Device *device = manager_->Plug(model_).device;
    auto stop = manager_->Stop(*device);
    EXPECT_FALSE(stop.Refused());
    EXPECT_EQ(stop.final, STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Stopped);
    EXPECT_EQ(manager_->Restart(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Started);
    EXPECT_EQ(AtPdo(*device),
              AfterStart({Pnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS), Pnp(IRP_MN_STOP_DEVICE, STATUS_SUCCESS),
                          Pnp(IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED)}));
}

TEST_F(PnpManagerTest, RefusedStopQueryIsCancelled)
{
    Device *device = manager_->Plug(model_).device;
    FakeDriver::Change([](FakeDriverOptions &o) { o.refuse[IRP_MN_QUERY_STOP_DEVICE] = STATUS_UNSUCCESSFUL; });
    auto stop = manager_->Stop(*device);
    EXPECT_TRUE(stop.Refused());
    EXPECT_EQ(stop.query, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stop.final, STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Started);
    // The function driver completed the query itself; only the cancel went down.
    EXPECT_EQ(AtPdo(*device), AfterStart({Pnp(IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS)}));
}

TEST_F(PnpManagerTest, BusFailingAQueryMakesTheManagerCancel)
{
    Device *device = manager_->Plug(model_).device;
    device->Bus().FailPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
    auto remove = manager_->Remove(*device);
    EXPECT_TRUE(remove.Refused());
    EXPECT_EQ(remove.query, STATUS_DEVICE_BUSY);
    EXPECT_TRUE(device->Present());
    EXPECT_EQ(AtPdo(*device), AfterStart({Pnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS),
                                          Pnp(IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS)}));
    device->Bus().ClearPnpFailures();
    EXPECT_FALSE(manager_->Remove(*device).Refused());
    EXPECT_FALSE(device->Present());
}

TEST_F(PnpManagerTest, RemovalTearsTheStackDown)
{
    Device *device = manager_->Plug(model_).device;
    PDEVICE_OBJECT fdo = device->Fdo();
    PDEVICE_OBJECT pdo = device->Pdo();
    auto remove = manager_->Remove(*device);
    EXPECT_FALSE(remove.Refused());
    EXPECT_EQ(remove.final, STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Removed);
    EXPECT_FALSE(device->Present());
    EXPECT_EQ(device->Pdo(), nullptr);
    EXPECT_FALSE(IsLive(fdo));
    EXPECT_FALSE(IsLive(pdo));
    // The record of what reached the bus outlives the bus.
    EXPECT_EQ(AtPdo(*device),
              AfterStart({Pnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS), Pnp(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS)}));
}

TEST_F(PnpManagerTest, SurpriseRemovalFindsTheBusFailingRequests)
{
    model_.SetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, sim::usb::MakeDeviceDescriptor(0x1234, 1, 0));
    std::vector<NTSTATUS> urbs;
    FakeDriver::Change([&](FakeDriverOptions &o) {
        o.onPnp = [&](PDEVICE_OBJECT fdo, UCHAR minor) {
            if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
                urbs.push_back(FakeDriver::ReadDeviceDescriptor(fdo));
        };
    });
    Device *device = manager_->Plug(model_).device;
    EXPECT_EQ(manager_->SurpriseRemove(*device), STATUS_SUCCESS);
    EXPECT_EQ(urbs, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED}));
    EXPECT_EQ(device->State(), DeviceState::Removed);
    EXPECT_EQ(AtPdo(*device),
              AfterStart({Pnp(IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS), Pnp(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS)}));
}

TEST_F(PnpManagerTest, SingleRequestsInAnyOrder)
{
    Device *device = manager_->Plug(model_).device;
    EXPECT_EQ(manager_->SendQueryRemove(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::RemovePending);
    EXPECT_EQ(manager_->SendCancelRemove(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Started);
    EXPECT_EQ(manager_->SendStop(*device), STATUS_SUCCESS);  // with no query first
    EXPECT_EQ(device->State(), DeviceState::Stopped);
    EXPECT_EQ(manager_->SendCancelStop(*device), STATUS_SUCCESS);
    EXPECT_EQ(manager_->SendStart(*device), STATUS_SUCCESS);
    EXPECT_EQ(manager_->SendPnp(*device, IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS);
    EXPECT_EQ(manager_->SendSurpriseRemoval(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::SurpriseRemoved);
    EXPECT_EQ(manager_->SendRemove(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->State(), DeviceState::Removed);
    EXPECT_EQ(AtPdo(*device),
              AfterStart(
                  {Pnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS), Pnp(IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS),
                   Pnp(IRP_MN_STOP_DEVICE, STATUS_SUCCESS), Pnp(IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS),
                   Pnp(IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED), Pnp(IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED),
                   Pnp(IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS), Pnp(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS)}));
}

TEST_F(PnpManagerTest, PowerAndSystemControlGoDownTheStack)
{
    Device *device = manager_->Plug(model_).device;
    EXPECT_EQ(manager_->SendPower(*device, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(manager_->SendPower(*device, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(manager_->SendSystemControl(*device, 0), STATUS_SUCCESS);
    EXPECT_EQ(AtPdo(*device), AfterStart({{IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_NOT_SUPPORTED},
                                          {IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED},
                                          {IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED}}));
    EXPECT_EQ(FakeDriver::Log().events,
              (Events{"1 start", "1 start done", "1 power 3", "1 power 2", "1 system control 0"}));
}

TEST_F(PnpManagerTest, FailedStartIsFollowedByRemoval)
{
    auto [device, status] =
        manager_->Plug(model_, [](sim::usb::Bus &bus) { bus.FailPnp(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->StartStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->State(), DeviceState::Removed);
    EXPECT_EQ(AtPdo(*device), AfterStart({Pnp(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS)}));
}

TEST_F(PnpManagerTest, FailedStartCanBeLeftStanding)
{
    manager_->SetRemoveAfterFailedStart(false);
    auto [device, status] = manager_->Plug(model_, [](sim::usb::Bus &bus) {
        bus.SetStartPending(true, sim::kTicksPerMillisecond);
        bus.FailPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    });
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device->State(), DeviceState::StartFailed);
    EXPECT_TRUE(device->Present());
    device->Bus().ClearPnpFailures();
    EXPECT_EQ(manager_->Restart(*device), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, FailedAddDeviceLeavesTheDeviceWithoutDriver)
{
    FakeDriver::Change([](FakeDriverOptions &o) { o.addDevice = STATUS_INSUFFICIENT_RESOURCES; });
    auto [device, status] = manager_->Plug(model_);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->AddDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->State(), DeviceState::NoDriver);
    EXPECT_EQ(device->Fdo(), nullptr);
    EXPECT_TRUE(AtPdo(*device).empty());
    EXPECT_TRUE(FakeDriver::Log().events.empty());
}

TEST_F(PnpManagerTest, DevicesLeftPresentAreUnpluggedAtTheEnd)
{
    Device *device = manager_->Plug(model_).device;
    PDEVICE_OBJECT fdo = device->Fdo();
    manager_.reset();
    EXPECT_FALSE(IsLive(fdo));
    EXPECT_EQ(FakeDriver::Log().events, (Events{"1 start", "1 start done", "1 surprise", "1 remove"}));
}

// The device answers a vendor request by leaving the bus and coming back,
// as the chip does when its firmware starts; the request is sent from inside
// the start.
TEST_F(PnpManagerTest, ReturnIsHandledOnTheManagersThreadAfterTheStart)
{
    bool reported = false;
    DeviceState stateWhenReported = DeviceState::Removed;
    model_.SetControlHandler([&](const sim::usb::SetupPacket &, const uint8_t *, size_t) {
        if (!reported) {
            reported = true;
            manager_->DeviceLeftAndReturned(model_);
            stateWhenReported = manager_->Current(model_)->State();
        }
        return USBD_STATUS_SUCCESS;
    });
    FakeDriver::Change([](FakeDriverOptions &o) {
        o.afterStart = [](PDEVICE_OBJECT fdo) { EXPECT_EQ(FakeDriver::VendorRequest(fdo, 0xA0), STATUS_SUCCESS); };
    });
    auto [first, status] = manager_->Plug(model_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(reported);
    EXPECT_EQ(stateWhenReported, DeviceState::Added);  // nothing happened inside the request

    manager_->WaitIdle();
    EXPECT_EQ(first->State(), DeviceState::Removed);
    Device *second = first->ReturnedAs();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(manager_->Current(model_), second);
    EXPECT_EQ(&second->Model(), &model_);
    EXPECT_EQ(second->State(), DeviceState::Started);
    EXPECT_NE(second->Fdo(), first->Fdo());
    EXPECT_EQ(FakeDriver::Log().events,
              (Events{"1 start", "1 start done", "1 surprise", "1 remove", "2 start", "2 start done"}));
    EXPECT_EQ(AtPdo(*first),
              AfterStart({Pnp(IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS), Pnp(IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS)}));
    EXPECT_EQ(AtPdo(*second), AfterStart({}));
}

TEST_F(PnpManagerTest, DeviceThatLeavesDuringAFailedStartStillComesBack)
{
    bool reported = false;
    FakeDriver::Change([&](FakeDriverOptions &o) {
        o.refuse[IRP_MN_START_DEVICE] = STATUS_UNSUCCESSFUL;
        o.onPnp = [&](PDEVICE_OBJECT, UCHAR minor) {
            if (minor == IRP_MN_START_DEVICE && !reported) {
                reported = true;
                manager_->DeviceLeftAndReturned(model_);
                FakeDriver::Change([](FakeDriverOptions &later) { later.refuse.clear(); });
            }
        };
    });
    auto [first, status] = manager_->Plug(model_);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    manager_->WaitIdle();
    EXPECT_EQ(first->State(), DeviceState::Removed);
    Device *second = first->ReturnedAs();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->State(), DeviceState::Started);
    EXPECT_EQ(FakeDriver::Log().events, (Events{"1 start", "1 remove", "2 start", "2 start done"}));
}

TEST_F(PnpManagerTest, SecondReportFollowsTheDeviceToWhatItBecame)
{
    Device *first = manager_->Plug(model_).device;
    manager_->DeviceLeftAndReturned(*first);
    manager_->DeviceLeftAndReturned(*first);
    manager_->WaitIdle();
    Device *second = first->ReturnedAs();
    ASSERT_NE(second, nullptr);
    Device *third = second->ReturnedAs();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(manager_->Current(model_), third);
    EXPECT_EQ(second->State(), DeviceState::Removed);
    EXPECT_EQ(third->State(), DeviceState::Started);
    EXPECT_EQ(manager_->Devices().size(), 3u);
}

// The same with the chip itself: the driver's start loads a program the
// chip takes for the main firmware and lets it run; the chip comes back as
// the running adapter.
TEST_F(PnpManagerTest, ChipThatStartsItsFirmwareIsPluggedInAgain)
{
    sim::chip::KnownImages images;
    images.main = {{0x0100, {0x02, 0x01, 0x00, 0x80}}};
    sim::chip::ChipOptions options;
    options.images = &images;
    sim::chip::EzUsbChip chip(options);
    chip.OnReEnumerate([&](sim::chip::Program) { manager_->DeviceLeftAndReturned(chip); });
    std::vector<NTSTATUS> loads;
    FakeDriver::Change([&](FakeDriverOptions &o) {
        o.afterStart = [&](PDEVICE_OBJECT fdo) {
            if (chip.ReEnumerations() > 0)
                return;
            loads.push_back(FakeDriver::VendorRequest(fdo, sim::chip::kLoadInternal, sim::chip::kCpuControl, {1}));
            loads.push_back(FakeDriver::VendorRequest(fdo, sim::chip::kLoadInternal, 0x0100, {0x02, 0x01, 0x00, 0x80}));
            loads.push_back(FakeDriver::VendorRequest(fdo, sim::chip::kLoadInternal, sim::chip::kCpuControl, {0}));
        };
    });
    {
        auto [blank, status] = manager_->Plug(chip);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(loads, std::vector<NTSTATUS>(3, STATUS_SUCCESS));
        manager_->WaitIdle();
        EXPECT_EQ(chip.Running(), sim::chip::Program::Main);
        EXPECT_EQ(chip.ReEnumerations(), 1);
        EXPECT_EQ(blank->State(), DeviceState::Removed);
        Device *adapter = manager_->Current(chip);
        EXPECT_EQ(blank->ReturnedAs(), adapter);
        if (adapter) {
            EXPECT_EQ(adapter->State(), DeviceState::Started);
            EXPECT_EQ(FakeDriver::ReadDeviceDescriptor(adapter->Fdo()), STATUS_SUCCESS);
        }
        EXPECT_EQ(FakeDriver::Log().events,
                  (Events{"1 start", "1 start done", "1 surprise", "1 remove", "2 start", "2 start done"}));
    }
    manager_.reset();  // before the chip goes
}

TEST_F(PnpManagerTest, ManyDevicesAtOnce)
{
    constexpr int kDevices = 32;
    std::vector<std::unique_ptr<ScriptedDevice>> models;
    std::vector<Device *> devices;
    manager_->OnNewBus([](sim::usb::Bus &bus) { bus.SetStartPending(true, sim::kTicksPerMillisecond); });
    for (int i = 0; i < kDevices; i++) {
        models.push_back(std::make_unique<ScriptedDevice>());
        auto [device, status] = manager_->Plug(*models.back());
        EXPECT_EQ(status, STATUS_SUCCESS);
        devices.push_back(device);
    }
    std::vector<PDEVICE_OBJECT> pdos;
    for (Device *device : devices) {
        EXPECT_EQ(device->State(), DeviceState::Started);
        pdos.push_back(device->Pdo());
    }
    std::sort(pdos.begin(), pdos.end());
    EXPECT_EQ(std::unique(pdos.begin(), pdos.end()), pdos.end());

    // Half leave in order, the others are pulled out, and half of those
    // come back first.
    for (int i = 0; i < kDevices; i += 2)
        EXPECT_FALSE(manager_->Remove(*devices[i]).Refused());
    for (int i = 1; i < kDevices; i += 4)
        manager_->DeviceLeftAndReturned(*devices[i]);
    manager_->WaitIdle();
    for (int i = 1; i < kDevices; i += 2)
        if (Device *current = manager_->Current(*models[i])) {
            EXPECT_EQ(manager_->SurpriseRemove(*current), STATUS_SUCCESS);
        }
    for (Device *device : manager_->Devices())
        EXPECT_EQ(device->State(), DeviceState::Removed);
    EXPECT_EQ(manager_->Devices().size(), size_t(kDevices + kDevices / 4));
    EXPECT_TRUE(sim::io::LiveDevices().empty());
    manager_.reset();
}

TEST_F(PnpManagerDeathTest, RemovalWithoutDetachIsABug)
{
    Device *device = manager_->Plug(model_).device;
    EXPECT_DEATH(
        {
            FakeDriver::Change([](FakeDriverOptions &o) { o.detachOnRemove = false; });
            manager_->Remove(*device);
        },
        "BUG CHECK: PNP_DETECTED_FATAL_ERROR.*IRP_MN_REMOVE_DEVICE completed for device 1 but device 0x[0-9A-F]+ is "
        "still attached");
}

}  // namespace
