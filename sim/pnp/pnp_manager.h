// The Plug and Play manager, for one function driver: it loads the driver
// (a driver object and its DriverEntry), gives it each device that arrives on
// a simulated USB bus (AddDevice with the bus's physical device object, then
// IRP_MN_START_DEVICE), and sends the stack the Plug and Play, power and
// system-control requests a test asks for, singly or in the orders the
// platform uses. Every request is a system request built as the platform
// builds it (IoStatus.Status starts as STATUS_NOT_SUPPORTED) and sent to the
// top of the device's stack; the call waits until it completes and returns
// its final status. Calls are made at PASSIVE_LEVEL from a simulated thread.
//
// Requests to one device never overlap: each call (and each sequence) holds
// the device until it is done, as the platform serialises a device's
// Plug and Play requests.
//
// Removal: once IRP_MN_REMOVE_DEVICE has completed, the function driver must
// have detached from the physical device object (bug check otherwise); the
// manager then destroys the device's Bus, which deletes that object. The
// Device record stays (state Removed) until the manager is destroyed.
//
// A device that leaves the bus and comes back as another device (the chip
// after a firmware download) is reported with DeviceLeftAndReturned, from
// anywhere, even from inside a request of that device; for example
//     chip.OnReEnumerate([&](auto) { manager.DeviceLeftAndReturned(chip); });
// The manager handles it on its own thread ("pnp manager"), once the request
// in progress on the device has completed: it sends the old stack
// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE (the bus failing every
// request from before the first) unless it is gone already (a failed start
// removed it), destroys the old Bus and plugs the same DeviceModel in again
// on a new one. WaitIdle waits for that work.
//
// The DeviceModel of a removed device is told so with Plugged(nullptr)
// before its Bus goes, so that it stops reaching that Bus.
//
// Several devices (each with its own Bus and controller thread) may be
// present at once.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/bus.h"
#include "sim/usb/device_model.h"

namespace sim::pnp {

enum class DeviceState {
    NoDriver,  // AddDevice failed; the stack is the bare physical device object
    Added,     // AddDevice succeeded, no start yet
    Started,
    StartFailed,  // the start failed and the stack is still there
    StopPending,  // a stop query succeeded
    Stopped,
    RemovePending,    // a remove query succeeded
    SurpriseRemoved,  // surprise removal sent, removal not yet
    Removed,          // the stack is gone
};
const char *StateName(DeviceState state);

class PnpManager;

class Device {
public:
    // 1, 2, ... in order of arrival (a device that came back gets a new one).
    int Id() const { return id_; }
    usb::DeviceModel &Model() const { return model_; }
    // The Bus while the device is present; a bug check after removal. Not
    // to be used while the manager may be removing the device.
    usb::Bus &Bus() const;
    // Until the stack is removed.
    bool Present() const;
    // The physical device object; null once removed.
    PDEVICE_OBJECT Pdo() const;
    // The device the function driver attached right on the physical device
    // object during AddDevice (null without a driver). Not valid memory after
    // removal; kept for comparison only.
    PDEVICE_OBJECT Fdo() const;
    DeviceState State() const;
    NTSTATUS AddDeviceStatus() const;
    // The last start's final status.
    NTSTATUS StartStatus() const;
    // What reached the physical device object, the whole life of the device
    // (kept after the Bus is gone).
    std::vector<usb::PdoRequest> PdoRequests() const;
    // The device it came back as after leaving the bus, once the manager
    // has plugged it in again; null until then.
    Device *ReturnedAs() const;

private:
    friend class PnpManager;
    Device(int id, usb::DeviceModel &model) : id_(id), model_(model) {}

    const int id_;
    usb::DeviceModel &model_;
    // Set before present_ and destroyed after it is cleared.
    std::unique_ptr<usb::Bus> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    // Guarded by the scheduler lock.
    PDEVICE_OBJECT fdo_ = nullptr;
    NTSTATUS addStatus_ = STATUS_SUCCESS;
    bool present_ = false;
    DeviceState state_ = DeviceState::NoDriver;
    NTSTATUS startStatus_ = STATUS_NOT_SUPPORTED;
    bool busy_ = false;  // a Plug and Play call holds the device
    Device *returnedAs_ = nullptr;
    std::vector<usb::PdoRequest> finalPdoLog_;
};

struct PlugResult {
    Device *device = nullptr;
    // The start's final status, or AddDevice's when that failed.
    NTSTATUS status = STATUS_SUCCESS;
};

// A query and what followed it.
struct QueryOutcome {
    NTSTATUS query = STATUS_SUCCESS;  // the query's final status
    NTSTATUS final = STATUS_SUCCESS;  // the stop or removal's, or the cancel's after a refused query
    bool Refused() const { return !NT_SUCCESS(query); }
};

class PnpManager {
public:
    static constexpr const char *kDriverName = "\\Driver\\NUVIXUSB";
    static constexpr const char16_t *kRegistryPath =
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\NUVIXUSB";
    // The service's Parameters key, as the driver's installation makes it
    // (a program that wants the driver to find it creates it).
    static constexpr const char *kParametersKey =
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\NUVIXUSB\\Parameters";

    // Creates the driver object and calls driverEntry with the service's
    // registry path (its status: EntryStatus; a failed entry loads nothing).
    // serviceTable is the driver's export the host serial drivers the
    // Configuration Manager loads will take the service table from. The
    // simulation links below the driver and never names its symbols, so the
    // caller passes both (the linked driver's, or a loaded image's).
    PnpManager(PDRIVER_INITIALIZE driverEntry, host::HostSerialDriver::TableGetter serviceTable);
    // Waits for the manager's own work, unplugs every device still present
    // (surprise removal, then removal), calls the driver's Unload routine if
    // it has one and deletes the driver object.
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS EntryStatus() const { return entryStatus_; }

    // Runs on every Bus the manager creates (on arrival and on return),
    // before AddDevice: the place to set the bus's modes.
    void OnNewBus(std::function<void(usb::Bus &)> setup);
    // After a failed start the platform removes the stack again
    // (IRP_MN_REMOVE_DEVICE); off, the device stays in StartFailed.
    void SetRemoveAfterFailedStart(bool remove);

    // A device arrives: a Bus for it, AddDevice, then the start. prepare, if
    // given, runs on the new Bus after the OnNewBus setup.
    PlugResult Plug(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare = {});
    // The same up to AddDevice, without the start: the device stays Added,
    // for tests of what the driver does before a start (the status is
    // AddDevice's).
    PlugResult Add(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare = {});

    // Sequences as the platform runs them.
    QueryOutcome Stop(Device &device);    // QUERY_STOP, then STOP or CANCEL_STOP
    NTSTATUS Restart(Device &device);     // START again after a stop
    QueryOutcome Remove(Device &device);  // QUERY_REMOVE, then REMOVE or CANCEL_REMOVE
    // The device is pulled out: the bus fails every request from now on, then
    // SURPRISE_REMOVAL and REMOVE; returns the removal's status.
    NTSTATUS SurpriseRemove(Device &device);

    // Single requests, for odd orders. SendRemove also tears the stack down.
    NTSTATUS SendStart(Device &device);
    NTSTATUS SendQueryStop(Device &device);
    NTSTATUS SendStop(Device &device);
    NTSTATUS SendCancelStop(Device &device);
    NTSTATUS SendQueryRemove(Device &device);
    NTSTATUS SendRemove(Device &device);
    NTSTATUS SendCancelRemove(Device &device);
    NTSTATUS SendSurpriseRemoval(Device &device);
    NTSTATUS SendPnp(Device &device, UCHAR minor);
    NTSTATUS SendPower(Device &device, UCHAR minor);
    NTSTATUS SendSystemControl(Device &device, UCHAR minor);

    // Re-enumeration (see above); never blocks, never sends anything itself.
    void DeviceLeftAndReturned(Device &device);
    // The same for the device presenting this model now (the model is
    // plugged in again even if none is present).
    void DeviceLeftAndReturned(usb::DeviceModel &model);
    // Waits until the manager's own work is done.
    void WaitIdle();

    // Every device the manager has known, in order of arrival.
    std::vector<Device *> Devices();
    // The present device for this model, or null.
    Device *Current(usb::DeviceModel &model);

private:
    void Acquire(Device &device);
    void Release(Device &device);

    PlugResult Arrive(usb::DeviceModel &model, const std::function<void(usb::Bus &)> &prepare, bool start);
    PlugResult PlugLocked(Device &device, const std::function<void(usb::Bus &)> &prepare, bool start);
    NTSTATUS SendLocked(Device &device, UCHAR major, UCHAR minor);
    NTSTATUS StartLocked(Device &device);
    NTSTATUS RemoveLocked(Device &device);
    NTSTATUS SurpriseRemoveLocked(Device &device);
    void TearDownLocked(Device &device);
    void SetState(Device &device, DeviceState state);
    Device &NewDevice(usb::DeviceModel &model);
    void HandleReturn(Device *device, usb::DeviceModel *model);
    void Loop();

    PDRIVER_OBJECT driver_ = nullptr;
    std::u16string registryPath_;
    std::u16string serviceName_;
    UNICODE_STRING registryPathString_{};
    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    std::function<void(usb::Bus &)> busSetup_;
    bool removeAfterFailedStart_ = true;

    // Guarded by the scheduler lock.
    std::vector<std::unique_ptr<Device>> devices_;
    std::deque<std::function<void()>> jobs_;
    bool working_ = false;
    bool stopping_ = false;
    int nextId_ = 1;
    std::unique_ptr<Thread> thread_;
};

}  // namespace sim::pnp
