#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/kernel/scheduler.h"

namespace sim::usb {

namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x40000;
constexpr size_t kUsbmonHeader = 64;
constexpr uint16_t kBusNumber = 1;

// usbmon's transfer types and URB flags.
constexpr uint8_t kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3;
constexpr uint32_t kUrbShortNotOk = 0x0001;
constexpr uint32_t kUrbDirIn = 0x0200;

// Standard requests of USB's chapter 9 and the one feature used.
constexpr uint8_t kClearFeature = 1, kGetDescriptor = 6, kSetConfiguration = 9;
constexpr uint16_t kEndpointHalt = 0;

// Linux's errno values as usbmon reports them (negated), whatever the host
// this runs on calls them.
constexpr int32_t kENOENT = 2, kEINVAL = 22, kEPIPE = 32, kEPROTO = 71, kESHUTDOWN = 108, kEINPROGRESS = 115,
                  kEREMOTEIO = 121;

int32_t UsbmonStatus(USBD_STATUS status)
{
    if (USBD_SUCCESS(status))
        return 0;
    switch (status) {
    case USBD_STATUS_CANCELED:
        return -kENOENT;
    case USBD_STATUS_DEVICE_GONE:
        return -kESHUTDOWN;
    case USBD_STATUS_STALL_PID:
        return -kEPIPE;
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
        return -kEREMOTEIO;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return -kEINVAL;
    default:
        return -kEPROTO;
    }
}

uint8_t UsbmonType(USBD_PIPE_TYPE type)
{
    switch (type) {
    case UsbdPipeTypeControl:
        return kControl;
    case UsbdPipeTypeIsochronous:
        return kIsochronous;
    case UsbdPipeTypeInterrupt:
        return kInterrupt;
    default:
        return kBulk;
    }
}

const uint8_t *BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer)
        return static_cast<const uint8_t *>(buffer);
    return mdl ? static_cast<const uint8_t *>(mdl->MappedSystemVa) : nullptr;
}

void Put16(uint8_t *at, uint16_t v) { std::memcpy(at, &v, 2); }
void Put32(uint8_t *at, uint32_t v) { std::memcpy(at, &v, 4); }
void Put64(uint8_t *at, uint64_t v) { std::memcpy(at, &v, 8); }

bool WriteAll(int fd, const uint8_t *data, size_t length)
{
    while (length) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// Timestamps count from here (2000-01-01 00:00:00 UTC), not from 1970.
constexpr uint64_t kEpoch = 946684800;

}  // namespace

// One usbmon event, before it is laid out.
struct Capture::Event {
    uint64_t id = 0;
    uint8_t device = 0;
    char type = 'S';
    uint8_t transferType = kBulk;
    uint8_t endpoint = 0;  // with the direction bit
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int32_t status = 0;
    uint32_t length = 0;  // the URB's length: requested on submit, transferred on completion
    const uint8_t *data = nullptr;
    uint32_t dataLength = 0;
    char noDataTag = '=';  // flag_data when no data follows
    uint32_t flags = 0;
};

std::unique_ptr<Capture> Capture::Create(const std::string &path, std::string &error)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    // The pcap file header, in this machine's byte order as usbmon's headers are.
    uint8_t header[24];
    Put32(header, 0xA1B2C3D4);
    Put16(header + 4, 2);
    Put16(header + 6, 4);
    Put32(header + 8, 0);
    Put32(header + 12, 0);
    Put32(header + 16, kSnapLength);
    Put32(header + 20, kLinkTypeUsbLinuxMmapped);
    if (!WriteAll(fd, header, sizeof(header))) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<Capture>(new Capture(fd));
}

Capture::Capture(int fd) : fd_(fd) {}

Capture::~Capture() { ::close(fd_); }

void Capture::Attach(Bus &bus)
{
    {
        std::lock_guard lock(mutex_);
        Device &device = devices_[&bus];
        device = Device{};
        device.number = nextNumber_;
        nextNumber_ = nextNumber_ >= 127 ? 2 : uint8_t(nextNumber_ + 1);
    }
    bus.SetObserver(this);
}

uint64_t Capture::Records()
{
    std::lock_guard lock(mutex_);
    return records_;
}

bool Capture::Healthy()
{
    std::lock_guard lock(mutex_);
    return healthy_;
}

void Capture::Submitted(Bus &bus, const URB &urb)
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find(&bus);
    if (it == devices_.end())
        return;
    ids_[&urb] = nextId_++;
    Event event;
    if (Describe(it->second, urb, true, event))
        WriteLocked(event);
}

void Capture::Completed(Bus &bus, const URB &urb)
{
    std::lock_guard lock(mutex_);
    auto it = devices_.find(&bus);
    if (it == devices_.end())
        return;
    if (urb.UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && USBD_SUCCESS(urb.UrbHeader.Status))
        LearnPipes(it->second, urb);
    Event event;
    if (Describe(it->second, urb, false, event))
        WriteLocked(event);
    ids_.erase(&urb);  // its address may carry another URB next
}

// The pipes a select-configuration opened, from the interface information
// the bus filled in.
void Capture::LearnPipes(Device &device, const URB &urb)
{
    const auto &select = urb.UrbSelectConfiguration;
    if (!select.ConfigurationDescriptor)
        return;
    auto *cursor = reinterpret_cast<const char *>(&select.Interface);
    auto *end = reinterpret_cast<const char *>(&urb) + urb.UrbHeader.Length;
    while (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto *info = reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(cursor);
        if (info->Length == 0 || cursor + info->Length > end)
            break;
        for (ULONG i = 0; i < info->NumberOfPipes; i++) {
            const USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
            if (reinterpret_cast<const char *>(&pipe + 1) > cursor + info->Length)
                break;
            device.pipes[pipe.PipeHandle] = PipeInfo{pipe.EndpointAddress, UsbmonType(pipe.PipeType)};
        }
        cursor += info->Length;
    }
}

// What a host controller would have carried for this URB; false for
// requests that never reach the wire.
bool Capture::Describe(Device &device, const URB &urb, bool submit, Event &event)
{
    // A completion whose submit came before the capture was attached gets
    // an id of its own.
    auto id = ids_.find(&urb);
    event.id = id != ids_.end() ? id->second : nextId_++;
    event.device = device.number;
    event.type = submit ? 'S' : 'C';
    event.status = submit ? -kEINPROGRESS : UsbmonStatus(urb.UrbHeader.Status);
    auto control = [&](uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        event.transferType = kControl;
        event.endpoint = requestType & 0x80;
        event.hasSetup = submit;
        event.setup[0] = requestType;
        event.setup[1] = request;
        Put16(event.setup + 2, value);
        Put16(event.setup + 4, index);
        Put16(event.setup + 6, length);
    };
    // Data goes with the submit going out, with the completion coming in.
    auto data = [&](bool in, const uint8_t *buffer, ULONG length) {
        event.length = length;
        if (in)
            event.flags |= kUrbDirIn;
        if (submit == !in && buffer && length) {
            event.data = buffer;
            event.dataLength = length;
        } else {
            // usbmon's marks: IN data still to come, OUT data already sent.
            event.noDataTag = submit && in ? '<' : !submit && !in ? '>' : '=';
        }
    };

    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        const auto &request = urb.UrbControlDescriptorRequest;
        control(0x80, kGetDescriptor, uint16_t(request.DescriptorType << 8 | request.Index), request.LanguageId,
                uint16_t(request.TransferBufferLength));
        data(true, BufferOf(request.TransferBuffer, request.TransferBufferMDL), request.TransferBufferLength);
        return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        const auto &request = urb.UrbControlVendorClassRequest;
        const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        control(uint8_t(0x40 | (in ? 0x80 : 0)), request.Request, request.Value, request.Index,
                uint16_t(request.TransferBufferLength));
        data(in, BufferOf(request.TransferBuffer, request.TransferBufferMDL), request.TransferBufferLength);
        return true;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        const auto *config = urb.UrbSelectConfiguration.ConfigurationDescriptor;
        control(0x00, kSetConfiguration, config ? config->bConfigurationValue : 0, 0, 0);
        data(false, nullptr, 0);
        return true;
    }
    case URB_FUNCTION_RESET_PIPE: {
        auto pipe = device.pipes.find(urb.UrbPipeRequest.PipeHandle);
        control(0x02, kClearFeature, kEndpointHalt, pipe == device.pipes.end() ? 0 : pipe->second.endpoint, 0);
        data(false, nullptr, 0);
        return true;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const auto &transfer = urb.UrbBulkOrInterruptTransfer;
        auto pipe = device.pipes.find(transfer.PipeHandle);
        const bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (pipe != device.pipes.end()) {
            event.endpoint = pipe->second.endpoint;
            event.transferType = pipe->second.transferType;
        } else {
            event.endpoint = in ? 0x80 : 0x00;  // a handle the bus never gave out
        }
        if (in && !(transfer.TransferFlags & USBD_SHORT_TRANSFER_OK))
            event.flags |= kUrbShortNotOk;
        data(in, BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL), transfer.TransferBufferLength);
        return true;
    }
    default:
        return false;
    }
}

void Capture::WriteLocked(const Event &event)
{
    if (!healthy_)
        return;
    const Ticks now = Scheduler::Get().Now();
    const uint64_t seconds = kEpoch + uint64_t(now / kTicksPerSecond);
    const uint32_t micros = uint32_t(now % kTicksPerSecond / 10);
    const uint32_t captured = std::min<uint32_t>(event.dataLength, kSnapLength - kUsbmonHeader);
    const size_t packet = kUsbmonHeader + captured;

    scratch_.assign(16 + packet, 0);
    uint8_t *record = scratch_.data();
    Put32(record, uint32_t(seconds));
    Put32(record + 4, micros);
    Put32(record + 8, uint32_t(packet));
    Put32(record + 12, uint32_t(packet));

    uint8_t *h = record + 16;
    Put64(h, event.id);
    h[8] = uint8_t(event.type);
    h[9] = event.transferType;
    h[10] = event.endpoint;
    h[11] = event.device;
    Put16(h + 12, kBusNumber);
    h[14] = event.hasSetup ? 0 : '-';
    h[15] = captured ? 0 : uint8_t(event.noDataTag);
    Put64(h + 16, seconds);
    Put32(h + 24, micros);
    Put32(h + 28, uint32_t(event.status));
    Put32(h + 32, event.length);
    Put32(h + 36, captured);
    if (event.hasSetup)
        std::memcpy(h + 40, event.setup, 8);
    // interval, start_frame: 0 for control and bulk endpoints
    Put32(h + 56, event.flags);
    Put32(h + 60, 0);
    if (captured)
        std::memcpy(h + kUsbmonHeader, event.data, captured);
    if (!WriteAll(fd_, record, 16 + packet))
        healthy_ = false;
    else
        records_++;
}

}  // namespace sim::usb
