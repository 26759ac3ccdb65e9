// The bus driver over one device model: the physical device object and
// its answers to Plug and Play, power and system-control requests (with
// their fault knobs), the transfer log, and the controller thread with its
// timers. URB execution and the pipe table are in bus_urbs.cpp, the bulk
// frames in bus_frames.cpp.
#include "bus.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"
#include "sim/kernel/resources.h"
#include "sim/world.h"

namespace sim::usb {

namespace {

Bus *BusOf(PDEVICE_OBJECT device) { return *static_cast<Bus **>(device->DeviceExtension); }

}  // namespace

Bus::Bus(DeviceModel &device, std::string name)
    : device_(device), faults_(World::Current().Faults().bus), fullLog_(World::Current().FullRecords())
{
    driver_ = io::CreateDriverObject("\\Driver\\" + name);
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Bus *), nullptr, FILE_DEVICE_USB, 0, FALSE, &pdo_);
    if (!NT_SUCCESS(status))
        BugCheck("SIMULATION_MISUSE", "cannot create the bus's device object");
    *static_cast<Bus **>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    controller_ = std::make_unique<Thread>(name + " controller", [this] { ControllerLoop(); });
    device_.Plugged(this);
}

Bus::~Bus()
{
    Scheduler::Get().ChangeFor(this, [&] { stopping_ = true; });
    controller_->Join();
    KIRQL irql = Cpu().irql;
    Cpu().irql = PASSIVE_LEVEL;
    IoDeleteDevice(pdo_);
    Cpu().irql = irql;
    io::DeleteDriverObject(driver_);
}

void Bus::SetFaults(const BusFaults &faults)
{
    ChangeFaults([&](BusFaults &mine) { mine = faults; });
}

BusFaults Bus::Faults()
{
    return Scheduler::Get().Read([&] { return faults_; });
}

void Bus::SetCompletionMode(CompletionMode mode)
{
    ChangeFaults([&](BusFaults &faults) { faults.completion = mode; });
}
void Bus::SetCancelMode(CancelMode mode)
{
    ChangeFaults([&](BusFaults &faults) { faults.cancel = mode; });
}
void Bus::SetDeviceGone(bool gone)
{
    ChangeFaults([&](BusFaults &faults) { faults.deviceGone = gone; });
}
void Bus::SetControlTransferTime(Ticks ticks)
{
    ChangeFaults([&](BusFaults &faults) { faults.controlTransferTime = ticks; });
}
void Bus::SetStartPending(bool pending, Ticks delay)
{
    ChangeFaults([&](BusFaults &faults) {
        faults.startPending = pending;
        faults.startDelay = delay;
    });
}
void Bus::SetPowerPending(bool pending, Ticks delay)
{
    ChangeFaults([&](BusFaults &faults) {
        faults.powerPending = pending;
        faults.powerDelay = delay;
    });
}
void Bus::FailPnp(UCHAR minor, NTSTATUS status)
{
    ChangeFaults([&](BusFaults &faults) { faults.pnpFailures[minor] = status; });
}
void Bus::ClearPnpFailures()
{
    ChangeFaults([&](BusFaults &faults) { faults.pnpFailures.clear(); });
}

// Every change of the record goes through here: a device that is gone
// (again) takes the requests waiting on it along, whichever setter said so.
void Bus::ChangeFaults(const std::function<void(BusFaults &)> &change)
{
    std::vector<PIRP> failing;
    Scheduler::Get().ChangeFor(this, [&] {
        change(faults_);
        if (faults_.deviceGone)
            failing = TakeWaitingLocked([](const Pipe &) { return true; });
    });
    for (PIRP irp : failing)
        Finish(irp, USBD_STATUS_DEVICE_GONE);
}

std::vector<PdoRequest> Bus::PdoRequests()
{
    std::lock_guard lock(logMutex_);
    return pdoLog_;
}

std::vector<UrbRecord> Bus::Log()
{
    std::lock_guard lock(logMutex_);
    return {log_.begin(), log_.end()};
}

BusCounts Bus::Counts()
{
    std::lock_guard lock(logMutex_);
    return counts_;
}

void Bus::Record(const UrbRecord &record)
{
    std::lock_guard lock(logMutex_);
    counts_.urbs++;
    if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        counts_.bulkTransfers++;
        (record.endpoint & USB_ENDPOINT_DIRECTION_MASK ? counts_.bytesIn : counts_.bytesOut) += record.transferred;
    }
    if (!fullLog_ && log_.size() == kRecentLog)
        log_.pop_front();
    log_.push_back(record);
}

size_t Bus::PendingTransfers()
{
    return Scheduler::Get().Read([&] { return waiting_.size(); });
}

size_t Bus::HeldCancelled()
{
    return Scheduler::Get().Read([&] { return held_.size(); });
}

void Bus::Drain()
{
    Scheduler::Get().Block([&] { return work_.empty() && !busy_; }, std::nullopt, "the USB controller to go idle",
                           this);
}

void Bus::ReleaseHeldCancelled()
{
    std::vector<PIRP> held;
    Scheduler::Get().ChangeFor(this, [&] { held.swap(held_); });
    for (PIRP irp : held)
        Finish(irp, USBD_STATUS_CANCELED);
}

void Bus::Schedule(Ticks delay, std::function<void()> fn)
{
    Scheduler &scheduler = Scheduler::Get();
    Ticks due = scheduler.Now() + delay;
    scheduler.ChangeFor(this, [&] {
        timers_.emplace_back(due, std::move(fn));
        rescan_ = true;
    });
}

void Bus::RecordPdoRequest(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard lock(logMutex_);
    pdoLog_.push_back(PdoRequest{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status});
}

// The device leaving the bus does not stop these: the bus driver still owns
// the device object and answers for it until it is removed.
NTSTATUS Bus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    Bus *bus = BusOf(device);
    bus->RecordPdoRequest(irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = STATUS_SUCCESS;
    bool later = false;
    Ticks delay = 0;
    Scheduler::Get().Read([&] {
        const BusFaults &faults = bus->faults_;
        if (auto it = faults.pnpFailures.find(minor); it != faults.pnpFailures.end())
            status = it->second;
        later = minor == IRP_MN_START_DEVICE && faults.startPending;
        delay = faults.startDelay;
        return 0;
    });
    if (later) {
        // Completed at PASSIVE_LEVEL, as the bus driver's own start work would be.
        IoMarkIrpPending(irp);
        bus->Schedule(delay, [irp, status] {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    Bus *bus = BusOf(device);
    bus->RecordPdoRequest(irp);
    bool later = false;
    Ticks delay = 0;
    Scheduler::Get().Read([&] {
        later = bus->faults_.powerPending;
        delay = bus->faults_.powerDelay;
        return 0;
    });
    if (later) {
        IoMarkIrpPending(irp);
        bus->Schedule(delay, [irp] {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Bus::DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    BusOf(device)->RecordPdoRequest(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void Bus::ControllerLoop()
{
    Scheduler &scheduler = Scheduler::Get();
    auto earliest = [this] {
        std::optional<Ticks> first;
        for (auto &[due, fn] : timers_)
            first = first ? std::min(*first, due) : due;
        return first;
    };
    std::optional<Ticks> next = scheduler.Read(earliest);
    for (;;) {
        std::function<void()> job;
        bool woken = scheduler.Block(
            [&] {
                if (!work_.empty()) {
                    job = std::move(work_.front());
                    work_.pop_front();
                    busy_ = true;
                    return true;
                }
                if (rescan_) {
                    rescan_ = false;
                    return true;
                }
                return stopping_;
            },
            next, "work for the USB controller", this);
        if (job) {
            job();
            // The next wait's deadline is read in the same step.
            next = scheduler.ChangeFor(this, [&] {
                busy_ = false;
                return earliest();
            });
            continue;
        }
        if (woken && scheduler.Read([&] { return stopping_ && work_.empty(); }))
            return;
        Ticks now = scheduler.Now();
        next = scheduler.ChangeFor(this, [&] {
            for (auto it = timers_.begin(); it != timers_.end();) {
                if (it->first <= now) {
                    work_.push_back(std::move(it->second));
                    it = timers_.erase(it);
                } else {
                    ++it;
                }
            }
            return earliest();
        });
    }
}

}  // namespace sim::usb
