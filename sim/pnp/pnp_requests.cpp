// The Plug and Play manager's requests to a device's stack: each one sent
// from the top of the stack on a system IRP and waited for, and the states
// the device passes through with start, stop, removal and surprise removal.
#include "pnp_manager.h"

#include <memory>

#include "pnp_manager_internal.h"
#include "sim/io/io.h"

namespace sim::pnp {

using detail::Address;
using detail::RequirePassive;
using detail::Sched;

namespace {

std::string MinorName(UCHAR major, UCHAR minor)
{
    if (major == IRP_MJ_PNP) {
        switch (minor) {
        case IRP_MN_START_DEVICE:
            return "IRP_MN_START_DEVICE";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "IRP_MN_QUERY_REMOVE_DEVICE";
        case IRP_MN_REMOVE_DEVICE:
            return "IRP_MN_REMOVE_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "IRP_MN_CANCEL_REMOVE_DEVICE";
        case IRP_MN_STOP_DEVICE:
            return "IRP_MN_STOP_DEVICE";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "IRP_MN_QUERY_STOP_DEVICE";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "IRP_MN_CANCEL_STOP_DEVICE";
        case IRP_MN_SURPRISE_REMOVAL:
            return "IRP_MN_SURPRISE_REMOVAL";
        default:
            return "Plug and Play request " + Hex(minor);
        }
    }
    if (major == IRP_MJ_POWER)
        return "power request " + Hex(minor);
    return "system-control request " + Hex(minor);
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

}  // namespace

NTSTATUS PnpManager::SendLocked(Device &device, UCHAR major, UCHAR minor)
{
    RequirePassive(MinorName(major, minor));
    PDEVICE_OBJECT pdo = Sched().Read([&] { return device.present_ ? device.pdo_ : nullptr; });
    if (!pdo)
        BugCheck("SIMULATION_MISUSE",
                 MinorName(major, minor) + " for device " + std::to_string(device.id_) + ", which has been removed");
    struct Done {
        bool done = false;
        IO_STATUS_BLOCK status{};
    };
    auto done = std::make_shared<Done>();
    PDEVICE_OBJECT top = TopOf(pdo);
    PIRP irp = io::AllocateSystemIrp(top->StackSize, [done](PIRP irp) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        io::FreeSystemIrp(irp);
        Sched().Change([&] {
            done->status = status;
            done->done = true;
        });
    });
    // Drivers that do not handle the request pass it down untouched; the bus
    // driver's answer or this status is what comes back.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (major == IRP_MJ_POWER)
        PoCallDriver(top, irp);
    else
        IofCallDriver(top, irp);
    Sched().Block([&] { return done->done; }, std::nullopt,
                  MinorName(major, minor) + " to device " + std::to_string(device.id_) + " to complete");
    return done->status.Status;
}

NTSTATUS PnpManager::StartLocked(Device &device)
{
    NTSTATUS status = SendLocked(device, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    Sched().Change([&] {
        device.startStatus_ = status;
        device.state_ = NT_SUCCESS(status) ? DeviceState::Started : DeviceState::StartFailed;
    });
    return status;
}

NTSTATUS PnpManager::RemoveLocked(Device &device)
{
    // A removal cannot be refused; whatever status the stack returns, the
    // device is gone afterwards.
    NTSTATUS status = SendLocked(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    TearDownLocked(device);
    return status;
}

void PnpManager::TearDownLocked(Device &device)
{
    PDEVICE_OBJECT pdo = Sched().Read([&] { return device.pdo_; });
    if (pdo->AttachedDevice)
        BugCheck("PNP_DETECTED_FATAL_ERROR",
                 "IRP_MN_REMOVE_DEVICE completed for device " + std::to_string(device.id_) + " but device " +
                     Address(pdo->AttachedDevice) + " is still attached to its physical device object " + Address(pdo) +
                     "; the function driver has to detach (IoDetachDevice) and delete its device while handling "
                     "the removal");
    std::unique_ptr<usb::Bus> bus;
    Sched().Change([&] {
        device.finalPdoLog_ = device.bus_->PdoRequests();
        device.present_ = false;
        device.state_ = DeviceState::Removed;
        bus = std::move(device.bus_);
    });
    // The model must stop reaching the Bus before the Bus goes.
    device.model_.Plugged(nullptr);
    bus.reset();
}

NTSTATUS PnpManager::SurpriseRemoveLocked(Device &device)
{
    device.Bus().SetDeviceGone(true);
    SendLocked(device, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    SetState(device, DeviceState::SurpriseRemoved);
    return RemoveLocked(device);
}

QueryOutcome PnpManager::Stop(Device &device)
{
    QueryOutcome outcome;
    Acquire(device);
    outcome.query = SendLocked(device, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(outcome.query)) {
        SetState(device, DeviceState::StopPending);
        outcome.final = SendLocked(device, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
        SetState(device, DeviceState::Stopped);
    } else {
        outcome.final = SendLocked(device, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
    }
    Release(device);
    return outcome;
}

NTSTATUS PnpManager::Restart(Device &device)
{
    Acquire(device);
    NTSTATUS status = StartLocked(device);
    if (!NT_SUCCESS(status) && Sched().Read([&] { return removeAfterFailedStart_; }))
        RemoveLocked(device);
    Release(device);
    return status;
}

QueryOutcome PnpManager::Remove(Device &device)
{
    QueryOutcome outcome;
    Acquire(device);
    outcome.query = SendLocked(device, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(outcome.query)) {
        SetState(device, DeviceState::RemovePending);
        outcome.final = RemoveLocked(device);
    } else {
        outcome.final = SendLocked(device, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
    }
    Release(device);
    return outcome;
}

NTSTATUS PnpManager::SurpriseRemove(Device &device)
{
    Acquire(device);
    NTSTATUS status = SurpriseRemoveLocked(device);
    Release(device);
    return status;
}

NTSTATUS PnpManager::SendStart(Device &device)
{
    Acquire(device);
    NTSTATUS status = StartLocked(device);
    Release(device);
    return status;
}

NTSTATUS PnpManager::SendRemove(Device &device)
{
    Acquire(device);
    NTSTATUS status = RemoveLocked(device);
    Release(device);
    return status;
}

NTSTATUS PnpManager::SendPnp(Device &device, UCHAR minor)
{
    if (minor == IRP_MN_START_DEVICE)
        return SendStart(device);
    if (minor == IRP_MN_REMOVE_DEVICE)
        return SendRemove(device);
    Acquire(device);
    NTSTATUS status = SendLocked(device, IRP_MJ_PNP, minor);
    Sched().Change([&] {
        DeviceState &state = device.state_;
        switch (minor) {
        case IRP_MN_QUERY_STOP_DEVICE:
            if (NT_SUCCESS(status))
                state = DeviceState::StopPending;
            break;
        case IRP_MN_STOP_DEVICE:
            state = DeviceState::Stopped;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (NT_SUCCESS(status))
                state = DeviceState::RemovePending;
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (state == DeviceState::StopPending || state == DeviceState::RemovePending)
                state = DeviceState::Started;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            state = DeviceState::SurpriseRemoved;
            break;
        default:
            break;
        }
    });
    Release(device);
    return status;
}

NTSTATUS PnpManager::SendQueryStop(Device &device) { return SendPnp(device, IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS PnpManager::SendStop(Device &device) { return SendPnp(device, IRP_MN_STOP_DEVICE); }
NTSTATUS PnpManager::SendCancelStop(Device &device) { return SendPnp(device, IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS PnpManager::SendQueryRemove(Device &device) { return SendPnp(device, IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS PnpManager::SendCancelRemove(Device &device) { return SendPnp(device, IRP_MN_CANCEL_REMOVE_DEVICE); }
NTSTATUS PnpManager::SendSurpriseRemoval(Device &device) { return SendPnp(device, IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS PnpManager::SendPower(Device &device, UCHAR minor)
{
    Acquire(device);
    NTSTATUS status = SendLocked(device, IRP_MJ_POWER, minor);
    Release(device);
    return status;
}

NTSTATUS PnpManager::SendSystemControl(Device &device, UCHAR minor)
{
    Acquire(device);
    NTSTATUS status = SendLocked(device, IRP_MJ_SYSTEM_CONTROL, minor);
    Release(device);
    return status;
}

}  // namespace sim::pnp
