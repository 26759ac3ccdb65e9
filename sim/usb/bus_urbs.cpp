// The bus driver's URBs: submission and the completion mode, the waiting
// list and its cancel routine, the pipe table a select-configuration
// builds, and the execution of control and bulk transfers against the
// device model.
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

NTSTATUS IrpStatusFor(USBD_STATUS status)
{
    if (USBD_SUCCESS(status))
        return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

Bus *BusOf(PDEVICE_OBJECT device) { return *static_cast<Bus **>(device->DeviceExtension); }

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

bool IsControlTransfer(PURB urb)
{
    USHORT function = urb->UrbHeader.Function;
    return function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || function == URB_FUNCTION_VENDOR_DEVICE ||
           function == URB_FUNCTION_SELECT_CONFIGURATION;
}

}  // namespace
// Takes the waiting requests that match off the list, except those whose
// cancel routine is already running: that routine completes them.
std::vector<PIRP> Bus::TakeWaitingLocked(const std::function<bool(const Pipe &)> &match)
{
    std::vector<PIRP> taken;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (match(*it->pipe) && IoSetCancelRoutine(it->irp, nullptr)) {
            taken.push_back(it->irp);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

namespace {
size_t ReadyIndex(uint8_t endpoint) { return (endpoint & 0x0F) | ((endpoint & 0x80) >> 3); }
}  // namespace

void Bus::EndpointReady(uint8_t endpoint)
{
    Scheduler::Get().ChangeFor(this, [&] {
        readyCalls_[ReadyIndex(endpoint)]++;
        if (bulkTiming_)
            EndpointReadyFramedLocked(endpoint);
        else
            work_.push_back([this, endpoint] { RetryEndpoint(endpoint); });
    });
}

NTSTATUS Bus::DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) { return BusOf(device)->Submit(irp); }

NTSTATUS Bus::Submit(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PURB urb = UrbOf(irp);
    if (!urb)
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "URB submission without a URB");
    if (BusObserver *observer = observer_.load())
        observer->Submitted(*this, *urb);
    const bool control = IsControlTransfer(urb);
    const bool bulk = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    // Where the request goes, decided once, from the settings read in one
    // step; the usual case, a request the controller answers later, is
    // queued in that step too.
    enum class Route { Gone, Timed, Framed, Inline, Controller };
    Route route = Route::Controller;
    Ticks controlTime = 0;
    Scheduler::Get().ChangeFor(this, [&] {
        controlTime = faults_.controlTransferTime;
        if (faults_.deviceGone)
            route = Route::Gone;
        else if (controlTime > 0 && control)
            route = Route::Timed;
        else if (bulkTiming_ && bulk)
            route = Route::Framed;
        else
            route = RequestModeLocked() == CompletionMode::Inline ? Route::Inline : Route::Controller;
        if (route == Route::Controller) {
            IoMarkIrpPending(irp);
            work_.push_back(ControllerWork(irp));
        }
    });
    switch (route) {
    case Route::Controller:
        return STATUS_PENDING;
    case Route::Gone:
        Finish(irp, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
    case Route::Timed:
        IoMarkIrpPending(irp);
        Schedule(controlTime, [this, irp] {
            Execute(irp, UrbOf(irp));
            Finish(irp, UrbOf(irp)->UrbHeader.Status);
        });
        return STATUS_PENDING;
    case Route::Framed:
        if (QueueFramed(irp))
            return STATUS_PENDING;
        // No open pipe: answered (refused) as an unframed request would be.
        if (Scheduler::Get().ChangeFor(this, [&] { return RequestModeLocked(); }) != CompletionMode::Inline) {
            IoMarkIrpPending(irp);
            Scheduler::Get().ChangeFor(this, [&] { work_.push_back(ControllerWork(irp)); });
            return STATUS_PENDING;
        }
        break;
    case Route::Inline:
        break;
    }
    if (CancelledBeforeQueued(irp)) {
        Finish(irp, USBD_STATUS_CANCELED);
        return STATUS_CANCELLED;
    }
    const uint64_t readyBefore = ReadyCount(irp);
    if (Execute(irp, urb)) {
        NTSTATUS status = IrpStatusFor(urb->UrbHeader.Status);
        Finish(irp, urb->UrbHeader.Status);
        return status;
    }
    IoMarkIrpPending(irp);
    Queue(irp, readyBefore);
    return STATUS_PENDING;
}

// The completion mode for one request: Random draws Inline or Pend.
CompletionMode Bus::RequestModeLocked()
{
    if (faults_.completion != CompletionMode::Random)
        return faults_.completion;
    return World::Current().Random(2) ? CompletionMode::Inline : CompletionMode::Pend;
}

// What the controller does with a request it takes from its work list.
std::function<void()> Bus::ControllerWork(PIRP irp)
{
    return [this, irp] {
        const uint64_t readyBefore = ReadyCount(irp);
        if (CancelledBeforeQueued(irp))
            Finish(irp, USBD_STATUS_CANCELED);
        else if (Execute(irp, UrbOf(irp)))
            Finish(irp, UrbOf(irp)->UrbHeader.Status);
        else
            Queue(irp, readyBefore);
    };
}

// IoCancelIrp on a request the controller has not taken yet finds no cancel
// routine and only sets the flag. A host controller looks at the flag when it
// takes the request, so such a request ends cancelled, never with data that
// arrived after the cancel.
bool Bus::CancelledBeforeQueued(PIRP irp) { return std::atomic_ref<BOOLEAN>(irp->Cancel).load(); }

// The request stays pending until the device is ready for it. Whoever takes
// it off the waiting list (the controller, the cancel routine, or a
// configuration change that closes its pipe) completes it. A pipe closed
// while the device was looking at the request takes no more transfers: the
// request ends as the close would have ended it, cancelled.
uint64_t Bus::ReadyCount(PIRP irp)
{
    PURB urb = UrbOf(irp);
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return 0;
    return Scheduler::Get().Read([&] {
        Pipe *pipe = FindPipeLocked(urb->UrbBulkOrInterruptTransfer.PipeHandle);
        return pipe ? readyCalls_[ReadyIndex(pipe->endpoint)] : 0;
    });
}

// A device that said it was ready while it answered this request "not
// ready" (on another thread) has already made its call: the request is
// queued and retried at once, as a host controller retries a NAKed
// transfer, instead of waiting for a call that will not come again.
void Bus::Queue(PIRP irp, uint64_t readyBefore)
{
    bool cancelledAlready = false;
    Scheduler::Get().ChangeFor(this, [&] {
        Pipe *pipe = FindPipeLocked(UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle);
        if (!pipe) {
            cancelledAlready = true;
            return;
        }
        IoSetCancelRoutine(irp, CancelPending);
        if (CancelledBeforeQueued(irp) && IoSetCancelRoutine(irp, nullptr)) {
            cancelledAlready = true;
            return;
        }
        waiting_.push_back(Waiting{irp, pipe});
        const uint8_t endpoint = pipe->endpoint;
        if (readyCalls_[ReadyIndex(endpoint)] != readyBefore)
            work_.push_back([this, endpoint] { RetryEndpoint(endpoint); });
    });
    if (cancelledAlready)
        Finish(irp, USBD_STATUS_CANCELED);
}

VOID Bus::CancelPending(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus *bus = BusOf(device);
    CancelMode mode = CancelMode::Controller;
    bool found = Scheduler::Get().ChangeFor(bus, [&] {
        auto it = std::find_if(bus->waiting_.begin(), bus->waiting_.end(),
                               [irp](const Waiting &waiting) { return waiting.irp == irp; });
        if (it == bus->waiting_.end())
            return false;
        bus->waiting_.erase(it);
        mode = bus->faults_.cancel;
        if (mode == CancelMode::Hold)
            bus->held_.push_back(irp);
        else if (mode == CancelMode::Controller)
            bus->work_.push_back([bus, irp] { bus->Finish(irp, USBD_STATUS_CANCELED); });
        return true;
    });
    if (found && mode == CancelMode::Inline)
        bus->Finish(irp, USBD_STATUS_CANCELED);
}

void Bus::RetryEndpoint(uint8_t endpoint)
{
    uint64_t readyBefore = 0;
    std::vector<PIRP> mine = Scheduler::Get().ChangeFor(this, [&] {
        readyBefore = readyCalls_[ReadyIndex(endpoint)];
        return TakeWaitingLocked([&](const Pipe &pipe) { return pipe.endpoint == endpoint; });
    });
    for (PIRP irp : mine) {
        if (Execute(irp, UrbOf(irp)))
            Finish(irp, UrbOf(irp)->UrbHeader.Status);
        else
            Queue(irp, readyBefore);
    }
}

void Bus::Finish(PIRP irp, USBD_STATUS status)
{
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status = status;
    if (status == USBD_STATUS_CANCELED || status == USBD_STATUS_DEVICE_GONE) {
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        UrbRecord record;
        record.function = urb->UrbHeader.Function;
        record.status = status;
        // Closed pipes too: a transfer ended by a configuration change names
        // the pipe it waited on.
        if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            if (Pipe *pipe = Scheduler::Get().Read(
                    [&] { return FindPipeRecordLocked(urb->UrbBulkOrInterruptTransfer.PipeHandle); }))
                record.endpoint = pipe->endpoint;
        Record(record);
    }
    if (BusObserver *observer = observer_.load())
        observer->Completed(*this, *urb);
    irp->IoStatus.Status = IrpStatusFor(status);
    irp->IoStatus.Information = 0;
    // The host controller's completions run at DISPATCH_LEVEL, as from a DPC.
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(previous);
}

Bus::Pipe *Bus::FindPipeRecordLocked(USBD_PIPE_HANDLE handle)
{
    for (auto &pipe : pipeRecords_)
        if (pipe.get() == handle)
            return pipe.get();
    return nullptr;
}

Bus::Pipe *Bus::FindPipeLocked(USBD_PIPE_HANDLE handle)
{
    for (Pipe *pipe : openPipes_)
        if (pipe == handle)
            return pipe;
    return nullptr;
}

bool Bus::Execute(PIRP irp, PURB urb)
{
    UrbRecord record;
    record.function = urb->UrbHeader.Function;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        ExecuteSelectConfiguration(urb);
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &request = urb->UrbControlDescriptorRequest;
        record.descriptorType = request.DescriptorType;
        record.length = request.TransferBufferLength;
        auto descriptor = device_.Descriptor(request.DescriptorType, request.Index, request.LanguageId);
        if (!descriptor) {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            request.TransferBufferLength = 0;
        } else {
            size_t n = std::min<size_t>(descriptor->size(), request.TransferBufferLength);
            if (n)
                std::memcpy(request.TransferBuffer, descriptor->data(), n);
            request.TransferBufferLength = static_cast<ULONG>(n);
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        }
        record.transferred = request.TransferBufferLength;
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        auto &request = urb->UrbControlVendorClassRequest;
        SetupPacket setup;
        setup.requestType = static_cast<uint8_t>(0x40 | ((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) << 7));
        setup.request = request.Request;
        setup.value = request.Value;
        setup.index = request.Index;
        setup.length = static_cast<uint16_t>(request.TransferBufferLength);
        record.setup = setup;
        record.length = request.TransferBufferLength;
        urb->UrbHeader.Status = device_.ControlOut(setup, static_cast<const uint8_t *>(request.TransferBuffer),
                                                   request.TransferBufferLength);
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return ExecuteBulk(irp, urb);
    case URB_FUNCTION_RESET_PIPE: {
        Pipe *pipe = Scheduler::Get().Read([&] { return FindPipeLocked(urb->UrbPipeRequest.PipeHandle); });
        if (!pipe) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else {
            record.endpoint = pipe->endpoint;
            device_.ResetPipe(pipe->endpoint);
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        }
        break;
    }
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
    }
    record.status = urb->UrbHeader.Status;
    Record(record);
    return true;
}

void Bus::ExecuteSelectConfiguration(PURB urb)
{
    auto &select = urb->UrbSelectConfiguration;
    if (!select.ConfigurationDescriptor) {
        std::vector<PIRP> aborted = ReplacePipes({});
        urb->UrbHeader.Status = device_.SetConfiguration(0);
        for (PIRP irp : aborted)
            Finish(irp, USBD_STATUS_CANCELED);
        return;
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    std::vector<std::unique_ptr<Pipe>> pipes;
    // Handles already written into a request that then fails stay unique too.
    auto keepUnopened = [&] {
        Scheduler::Get().ChangeFor(this, [&] {
            for (auto &pipe : pipes)
                pipeRecords_.push_back(std::move(pipe));
        });
    };
    auto *end = reinterpret_cast<char *>(urb) + urb->UrbHeader.Length;
    auto *cursor = reinterpret_cast<char *>(&select.Interface);
    while (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (info->Length == 0)
            break;
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(config, config, info->InterfaceNumber,
                                                                                  info->AlternateSetting, -1, -1, -1);
        if (!interface) {
            keepUnopened();
            urb->UrbHeader.Status = USBD_STATUS_INTERFACE_NOT_FOUND;
            return;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints) || cursor + info->Length > end) {
            keepUnopened();
            urb->UrbHeader.Status = USBD_STATUS_BUFFER_TOO_SMALL;
            return;
        }
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        info->InterfaceHandle = info;
        info->NumberOfPipes = interface->bNumEndpoints;
        auto *walk = reinterpret_cast<uint8_t *>(interface);
        auto *configEnd = reinterpret_cast<uint8_t *>(config) + config->wTotalLength;
        ULONG filled = 0;
        while (filled < info->NumberOfPipes && walk + 2 <= configEnd) {
            walk += walk[0] ? walk[0] : configEnd - walk;
            if (walk + sizeof(USB_ENDPOINT_DESCRIPTOR) > configEnd)
                break;
            auto *endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(walk);
            if (endpoint->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
                break;
            if (endpoint->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE)
                continue;
            USBD_PIPE_INFORMATION &pipeInfo = info->Pipes[filled++];
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = endpoint->bEndpointAddress;
            pipe->maxPacket = endpoint->wMaxPacketSize;
            pipe->maximumTransferSize = pipeInfo.MaximumTransferSize;
            pipeInfo.EndpointAddress = endpoint->bEndpointAddress;
            pipeInfo.MaximumPacketSize = endpoint->wMaxPacketSize;
            pipeInfo.Interval = endpoint->bInterval;
            pipeInfo.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipeInfo.PipeHandle = pipe.get();
            pipes.push_back(std::move(pipe));
        }
        info->NumberOfPipes = filled;
        cursor += info->Length;
    }
    std::vector<PIRP> aborted = ReplacePipes(std::move(pipes));
    select.ConfigurationHandle = this;
    urb->UrbHeader.Status = device_.SetConfiguration(config->bConfigurationValue);
    for (PIRP irp : aborted)
        Finish(irp, USBD_STATUS_CANCELED);
}

// Closes the open pipes and opens these instead, in one step, and returns
// the transfers that were waiting on the closed ones (to be ended cancelled).
// A transfer the device is answering right now on another processor holds no
// reference that the close could free: the record stays, only closed.
std::vector<PIRP> Bus::ReplacePipes(std::vector<std::unique_ptr<Pipe>> pipes)
{
    return Scheduler::Get().ChangeFor(this, [&] {
        std::vector<PIRP> aborted = TakeWaitingLocked([](const Pipe &) { return true; });
        openPipes_.clear();
        for (auto &pipe : pipes) {
            openPipes_.push_back(pipe.get());
            pipeRecords_.push_back(std::move(pipe));
        }
        return aborted;
    });
}

bool Bus::ExecuteBulk(PIRP irp, PURB urb)
{
    (void)irp;
    auto &bulk = urb->UrbBulkOrInterruptTransfer;
    UrbRecord record;
    record.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    record.length = bulk.TransferBufferLength;
    Pipe *pipe = Scheduler::Get().Read([&] { return FindPipeLocked(bulk.PipeHandle); });
    const bool in = (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    BulkAnswer answer;
    if (!pipe) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (in != ((pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) ||
               bulk.TransferBufferLength > pipe->maximumTransferSize) {
        record.endpoint = pipe->endpoint;
        status = USBD_STATUS_INVALID_PARAMETER;
    } else {
        record.endpoint = pipe->endpoint;
        uint8_t *data = static_cast<uint8_t *>(bulk.TransferBuffer);
        if (bulk.TransferBufferMDL) {
            PMDL mdl = bulk.TransferBufferMDL;
            if (!Resources::Get().IsLive(ResourceKind::Mdl, mdl))
                BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "bulk transfer with a descriptor list that is not live");
            if (!(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL))
                BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "bulk transfer through a descriptor list never built");
            if (bulk.TransferBufferLength > mdl->ByteCount)
                BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                         "bulk transfer of " + std::to_string(bulk.TransferBufferLength) +
                             " bytes through a descriptor list of " + std::to_string(mdl->ByteCount));
            data = static_cast<uint8_t *>(mdl->MappedSystemVa);
        }
        answer = in ? device_.BulkIn(pipe->endpoint, data, bulk.TransferBufferLength)
                    : device_.BulkOut(pipe->endpoint, data, bulk.TransferBufferLength);
        if (!answer.ready)
            return false;
        status = answer.status;
        if (USBD_SUCCESS(status) && in && answer.length < bulk.TransferBufferLength &&
            !(bulk.TransferFlags & USBD_SHORT_TRANSFER_OK))
            status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
    bulk.TransferBufferLength = static_cast<ULONG>(answer.length);
    urb->UrbHeader.Status = status;
    record.transferred = answer.length;
    record.status = status;
    Record(record);
    return true;
}
}  // namespace sim::usb
