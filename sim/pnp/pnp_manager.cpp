// The Plug and Play manager: loads the driver, gives it each device that
// arrives (AddDevice, then the start) and, on its own thread, handles the
// devices that leave the bus and come back as another.
#include "pnp_manager.h"

#include "config_manager.h"
#include "pnp_manager_internal.h"
#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"

namespace sim::pnp {

using detail::Address;
using detail::RequirePassive;
using detail::Sched;

const char *StateName(DeviceState state)
{
    switch (state) {
    case DeviceState::NoDriver:
        return "NoDriver";
    case DeviceState::Added:
        return "Added";
    case DeviceState::Started:
        return "Started";
    case DeviceState::StartFailed:
        return "StartFailed";
    case DeviceState::StopPending:
        return "StopPending";
    case DeviceState::Stopped:
        return "Stopped";
    case DeviceState::RemovePending:
        return "RemovePending";
    case DeviceState::SurpriseRemoved:
        return "SurpriseRemoved";
    case DeviceState::Removed:
        return "Removed";
    }
    return "?";
}

// --- Device --------------------------------------------------------------

usb::Bus &Device::Bus() const
{
    usb::Bus *bus = Sched().Read([&] { return present_ ? bus_.get() : nullptr; });
    if (!bus)
        BugCheck("SIMULATION_MISUSE", "the bus of device " + std::to_string(id_) + ", which has been removed");
    return *bus;
}

bool Device::Present() const
{
    return Sched().Read([&] { return present_; });
}

PDEVICE_OBJECT Device::Pdo() const
{
    return Sched().Read([&] { return present_ ? pdo_ : nullptr; });
}

PDEVICE_OBJECT Device::Fdo() const
{
    return Sched().Read([&] { return fdo_; });
}

DeviceState Device::State() const
{
    return Sched().Read([&] { return state_; });
}

NTSTATUS Device::AddDeviceStatus() const
{
    return Sched().Read([&] { return addStatus_; });
}

NTSTATUS Device::StartStatus() const
{
    return Sched().Read([&] { return startStatus_; });
}

// Read under the scheduler lock: the Bus is destroyed only after present_
// has been cleared under it.
std::vector<usb::PdoRequest> Device::PdoRequests() const
{
    return Sched().Read([&] { return present_ ? bus_->PdoRequests() : finalPdoLog_; });
}

Device *Device::ReturnedAs() const
{
    return Sched().Read([&] { return returnedAs_; });
}

// --- PnpManager ----------------------------------------------------------

PnpManager::PnpManager(PDRIVER_INITIALIZE driverEntry, host::HostSerialDriver::TableGetter serviceTable)
{
    RequirePassive("loading the driver");
    ConfigManager::Get().SetServiceTableGetter(serviceTable);
    driver_ = io::CreateDriverObject(kDriverName);
    registryPath_ = kRegistryPath;
    RtlInitUnicodeString(&registryPathString_, registryPath_.c_str());
    serviceName_ = u"NUVIXUSB";
    RtlInitUnicodeString(&driver_->DriverExtension->ServiceKeyName, serviceName_.c_str());
    driver_->DriverInit = driverEntry;
    {
        IrqlBalanceCheck balance("DriverEntry");
        entryStatus_ = driverEntry(driver_, &registryPathString_);
    }
    if (!NT_SUCCESS(entryStatus_)) {
        // A driver whose entry fails is never called again; whatever device
        // object it left behind is a bug the deletion reports.
        io::DeleteDriverObject(driver_);
        driver_ = nullptr;
    }
    thread_ = std::make_unique<Thread>("pnp manager", [this] { Loop(); });
}

PnpManager::~PnpManager()
{
    WaitIdle();
    Sched().Change([&] { stopping_ = true; });
    thread_->Join();
    for (Device *device : Devices()) {
        Acquire(*device);
        if (device->Present())
            SurpriseRemoveLocked(*device);
        Release(*device);
    }
    if (driver_) {
        if (driver_->DriverUnload) {
            IrqlBalanceCheck balance("the driver's Unload routine");
            driver_->DriverUnload(driver_);
        }
        io::DeleteDriverObject(driver_);
    }
}

void PnpManager::OnNewBus(std::function<void(usb::Bus &)> setup)
{
    Sched().Change([&] { busSetup_ = std::move(setup); });
}

void PnpManager::SetRemoveAfterFailedStart(bool remove)
{
    Sched().Change([&] { removeAfterFailedStart_ = remove; });
}

void PnpManager::Acquire(Device &device)
{
    Sched().Block(
        [&] {
            if (device.busy_)
                return false;
            device.busy_ = true;
            return true;
        },
        std::nullopt, "device " + std::to_string(device.id_) + " to finish its Plug and Play request");
}

void PnpManager::Release(Device &device)
{
    Sched().Change([&] { device.busy_ = false; });
}

void PnpManager::SetState(Device &device, DeviceState state)
{
    Sched().Change([&] { device.state_ = state; });
}

Device &PnpManager::NewDevice(usb::DeviceModel &model)
{
    return *Sched().Change([&] {
        devices_.push_back(std::unique_ptr<Device>(new Device(nextId_++, model)));
        return devices_.back().get();
    });
}

std::vector<Device *> PnpManager::Devices()
{
    return Sched().Read([&] {
        std::vector<Device *> all;
        for (auto &device : devices_)
            all.push_back(device.get());
        return all;
    });
}

Device *PnpManager::Current(usb::DeviceModel &model)
{
    return Sched().Read([&]() -> Device * {
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it)
            if (&(*it)->model_ == &model && (*it)->present_)
                return it->get();
        return nullptr;
    });
}

PlugResult PnpManager::Plug(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare)
{
    return Arrive(model, prepare, true);
}

PlugResult PnpManager::Add(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare)
{
    return Arrive(model, prepare, false);
}

PlugResult PnpManager::Arrive(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare, bool start)
{
    RequirePassive(start ? "Plug" : "Add");
    if (!driver_)
        BugCheck("SIMULATION_MISUSE", "a device arrived for a driver whose DriverEntry failed with " +
                                          Hex(static_cast<ULONG>(entryStatus_)));
    Device &device = NewDevice(model);
    Acquire(device);
    PlugResult result = PlugLocked(device, prepare, start);
    Release(device);
    return result;
}

PlugResult PnpManager::PlugLocked(Device &device, const std::function<void(usb::Bus &)> &prepare, bool start)
{
    auto bus = std::make_unique<usb::Bus>(device.model_, "usb " + std::to_string(device.id_));
    auto setup = Sched().Read([&] { return busSetup_; });
    if (setup)
        setup(*bus);
    if (prepare)
        prepare(*bus);
    PDEVICE_OBJECT pdo = bus->Pdo();
    Sched().Change([&] {
        device.bus_ = std::move(bus);
        device.pdo_ = pdo;
        device.present_ = true;
    });

    PDRIVER_ADD_DEVICE addDevice = driver_->DriverExtension->AddDevice;
    if (!addDevice)
        BugCheck("SIMULATION_MISUSE", "the driver registered no AddDevice routine in DriverEntry");
    NTSTATUS status;
    {
        IrqlBalanceCheck balance("AddDevice");
        status = addDevice(driver_, pdo);
    }
    Sched().Change([&] { device.addStatus_ = status; });
    if (!NT_SUCCESS(status)) {
        if (pdo->AttachedDevice)
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "AddDevice failed with " + Hex(static_cast<ULONG>(status)) +
                                                                " but left device " + Address(pdo->AttachedDevice) +
                                                                " attached to physical device object " + Address(pdo));
        SetState(device, DeviceState::NoDriver);
        return {&device, status};
    }
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    if (!fdo)
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "AddDevice succeeded without attaching a device to physical device object " + Address(pdo));
    for (PDEVICE_OBJECT above = fdo; above; above = above->AttachedDevice)
        if (above->Flags & DO_DEVICE_INITIALIZING)
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "AddDevice returned with DO_DEVICE_INITIALIZING still set on device " + Address(above) +
                         "; it has to clear the flag once the device is ready for requests");
    Sched().Change([&] {
        device.fdo_ = fdo;
        device.state_ = DeviceState::Added;
    });
    if (!start)
        return {&device, status};

    status = StartLocked(device);
    if (!NT_SUCCESS(status) && Sched().Read([&] { return removeAfterFailedStart_; }))
        RemoveLocked(device);
    return {&device, status};
}

void PnpManager::DeviceLeftAndReturned(Device &device)
{
    Device *which = &device;
    Sched().Change([&] { jobs_.push_back([this, which] { HandleReturn(which, nullptr); }); });
}

void PnpManager::DeviceLeftAndReturned(usb::DeviceModel &model)
{
    // The device that left is the one present now, even if it is removed
    // (a failed start) before the manager gets to it.
    Device *which = Current(model);
    usb::DeviceModel *from = &model;
    Sched().Change([&] { jobs_.push_back([this, which, from] { HandleReturn(which, from); }); });
}

void PnpManager::WaitIdle()
{
    Sched().Block([&] { return jobs_.empty() && !working_; }, std::nullopt,
                  "the Plug and Play manager to finish its work");
}

// Runs on the manager's thread. Taking the device waits for the request
// that reported the return (a start that downloaded firmware) to complete.
// A device that already came back once is followed to what it came back as:
// a second report means that one left too.
void PnpManager::HandleReturn(Device *device, usb::DeviceModel *model)
{
    if (device)
        while (Device *next = device->ReturnedAs())
            device = next;
    usb::DeviceModel &returning = device ? device->model_ : *model;
    if (device) {
        Acquire(*device);
        if (device->Present())
            SurpriseRemoveLocked(*device);
        Release(*device);
    }

    Device &returned = NewDevice(returning);
    Acquire(returned);
    if (device)
        Sched().Change([&] { device->returnedAs_ = &returned; });
    PlugLocked(returned, {}, true);
    Release(returned);
}

void PnpManager::Loop()
{
    for (;;) {
        std::function<void()> job;
        Sched().Block(
            [&] {
                if (!jobs_.empty()) {
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                    working_ = true;
                    return true;
                }
                return stopping_;
            },
            std::nullopt, "work for the Plug and Play manager");
        if (!job)
            return;
        job();
        Sched().Change([&] { working_ = false; });
    }
}

}  // namespace sim::pnp
