// The main firmware on the bus: its descriptors, its pipes as the bus sees
// them, power, and the controls tests use. The command interpreter is in
// command_channel.cpp, the UARTs and their peers in serial_lines.cpp.
#include "main_firmware.h"

#include <cstring>
#include <optional>

#include "firmware_state.h"
#include "sim/kernel/bugcheck.h"
#include "sim/usb/descriptors.h"
#include "sim/world.h"

namespace sim::adapter {

// The information block kGetInfo returns unless a test sets another:
// [0..19] name, zero padded; [20..22] version major, minor, build;
// [23] number of ports; the rest zero.
std::array<uint8_t, 35> DefaultInfoBlock()
{
    std::array<uint8_t, 35> block{};
    static constexpr char kName[] = "NX4 main firmware";
    std::memcpy(block.data(), kName, sizeof(kName) - 1);
    block[20] = 1;
    block[21] = 4;
    block[22] = 7;
    block[23] = kPorts;
    return block;
}

namespace {

constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint8_t kSerialStringIndex = 3;

const std::vector<uint8_t> kInterfaceEndpoints = {0x81, 0x01, 0x82, 0x02,       0x83,
                                                  0x03, 0x84, 0x04, kCommandIn, kCommandOut};

// 1..4 for a port data pipe, 0 for anything else.
int PortOfIn(uint8_t endpoint)
{
    const int n = endpoint & 0x7F;
    return (endpoint & 0x80) && n >= 1 && n <= kPorts ? n : 0;
}

int PortOfOut(uint8_t endpoint) { return !(endpoint & 0x80) && endpoint >= 1 && endpoint <= kPorts ? endpoint : 0; }

void CheckPort(int port, const char *caller)
{
    if (port < 1 || port > kPorts)
        BugCheck("SIMULATION_MISUSE", std::string("MainFirmware::") + caller + " given port " + std::to_string(port));
}

}  // namespace

// The bus is read, and called, under plugMutex: a device being unplugged
// waits until nobody is calling the bus it leaves, which goes right after.
// Timers carry their power cycle and do nothing once the device has lost
// power since they were set (they belong to the bus it left).
void MainFirmware::Impl::Apply(Work &work)
{
    if (work.ready.empty() && work.timers.empty())
        return;  // most transfers: nothing to tell the bus
    std::lock_guard plug(plugMutex);
    if (!bus)
        return;
    for (uint8_t endpoint : work.ready)
        bus->EndpointReady(endpoint);
    std::weak_ptr<Impl> weak = weak_from_this();
    for (auto &[due, fn] : work.timers) {
        bus->Schedule(std::max<Ticks>(0, due - work.now), [weak, power = work.power, fn = std::move(fn)] {
            if (auto self = weak.lock())
                self->Run([&](Work &later) {
                    if (self->power == power)
                        fn(*self, later);
                });
        });
    }
}

// The device lost power (unplugged): the firmware starts again from
// nothing when it is plugged in. What the test set up (answer mode,
// failures and holds asked for, pacing, capacity, the information block,
// what is wired to each port) is not device state and stays, as do the
// records tests read (commands seen, pipe resets).
void MainFirmware::Impl::PowerOffLocked()
{
    power++;
    configuration = 0;
    responses.clear();
    for (Uart &uart : uarts)
        uart.PowerOn();
    for (int port = 1; port <= kPorts; port++)
        U(port).state.modemStatus = SeenLinesLocked(port);
}

MainFirmware::MainFirmware(std::string serialNumber) : impl_(std::make_shared<Impl>(std::move(serialNumber)))
{
    impl_->faults = World::Current().Faults().firmware;
}

MainFirmware::~MainFirmware() = default;

// Leaving a bus (unplugged, or moved straight to another) cuts the power.
void MainFirmware::Plugged(usb::Bus *bus)
{
    DeviceModel::Plugged(bus);
    std::lock_guard plug(impl_->plugMutex);
    std::lock_guard lock(impl_->mutex);
    if (impl_->bus && impl_->bus != bus)
        impl_->PowerOffLocked();
    impl_->bus = bus;
}

PortState MainFirmware::Port(int port)
{
    CheckPort(port, "Port");
    std::lock_guard lock(impl_->mutex);
    return impl_->U(port).Snapshot();
}

std::vector<std::vector<uint8_t>> MainFirmware::Commands()
{
    std::lock_guard lock(impl_->mutex);
    return impl_->commands;
}

uint8_t MainFirmware::Configuration()
{
    std::lock_guard lock(impl_->mutex);
    return impl_->configuration;
}

int MainFirmware::ResetCount(uint8_t endpoint)
{
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->resets.find(endpoint);
    return it == impl_->resets.end() ? 0 : it->second;
}

void MainFirmware::SetInfoBlock(const std::array<uint8_t, 35> &block)
{
    std::lock_guard lock(impl_->mutex);
    impl_->info = block;
}

std::array<uint8_t, 35> MainFirmware::InfoBlock()
{
    std::lock_guard lock(impl_->mutex);
    return impl_->info;
}

void MainFirmware::SendAdapterStatus(const std::array<uint8_t, 19> &block)
{
    std::vector<uint8_t> frame = {wire::kAdapterStatus};
    frame.insert(frame.end(), block.begin(), block.end());
    SendResponse(std::move(frame));
}

void MainFirmware::SendResponse(std::vector<uint8_t> frame)
{
    impl_->Run([&](Impl::Work &work) { impl_->QueueResponseLocked(std::move(frame), work); });
}

void MainFirmware::SetFaults(FirmwareFaults faults)
{
    faults.answerDelay = std::max<Ticks>(0, faults.answerDelay);
    impl_->Run([&](Impl::Work &work) {
        for (const FirmwareFaults *named : {&impl_->faults, &faults})
            for (uint8_t endpoint : named->endpoints.Named())
                work.Wake(endpoint);
        impl_->faults = std::move(faults);
    });
}

FirmwareFaults MainFirmware::Faults()
{
    std::lock_guard lock(impl_->mutex);
    return impl_->faults;
}

void MainFirmware::SetAnswerMode(AnswerMode mode, int64_t answerDelayTicks)
{
    std::lock_guard lock(impl_->mutex);
    impl_->faults.answers = mode;
    impl_->faults.answerDelay = std::max<int64_t>(0, answerDelayTicks);
}

// A transfer already waiting on the endpoint is retried, so it is the one
// that fails.
void MainFirmware::FailNextTransfer(uint8_t endpoint, USBD_STATUS status)
{
    impl_->Run([&](Impl::Work &work) {
        impl_->faults.endpoints.FailNext(endpoint, status);
        work.Wake(endpoint);
    });
}

void MainFirmware::HoldEndpoint(uint8_t endpoint, bool hold)
{
    impl_->Run([&](Impl::Work &work) {
        if (impl_->faults.endpoints.Hold(endpoint, hold))
            work.Wake(endpoint);
    });
}

void MainFirmware::ConnectLoopback(int port)
{
    CheckPort(port, "ConnectLoopback");
    impl_->Run([&](Impl::Work &work) {
        impl_->DisconnectLocked(port);
        impl_->U(port).peer = PeerKind::Loopback;
        impl_->RewiredLocked(work);
    });
}

void MainFirmware::ConnectNullModem(int portA, int portB)
{
    CheckPort(portA, "ConnectNullModem");
    CheckPort(portB, "ConnectNullModem");
    if (portA == portB) {
        ConnectLoopback(portA);
        return;
    }
    impl_->Run([&](Impl::Work &work) {
        impl_->DisconnectLocked(portA);
        impl_->DisconnectLocked(portB);
        impl_->U(portA).peer = PeerKind::NullModem;
        impl_->U(portA).partner = portB;
        impl_->U(portB).peer = PeerKind::NullModem;
        impl_->U(portB).partner = portA;
        impl_->RewiredLocked(work);
    });
}

void MainFirmware::ConnectEndpoint(int port)
{
    CheckPort(port, "ConnectEndpoint");
    impl_->Run([&](Impl::Work &work) {
        impl_->DisconnectLocked(port);
        impl_->U(port).peer = PeerKind::Endpoint;
        impl_->RewiredLocked(work);
    });
}

std::vector<LineCharacter> MainFirmware::TakeLine(int port)
{
    CheckPort(port, "TakeLine");
    return impl_->Run([&](Impl::Work &work) {
        std::vector<LineCharacter> sent = std::exchange(impl_->U(port).sentToPeer, {});
        impl_->PumpAllLocked(work);
        return sent;
    });
}

std::vector<uint8_t> MainFirmware::TakeTransmitted(int port)
{
    CheckPort(port, "TakeTransmitted");
    std::optional<Framing> far = impl_->Run([&](Impl::Work &) { return impl_->U(port).peerFraming; });
    std::vector<uint8_t> values;
    for (const LineCharacter &character : TakeLine(port)) {
        if (!character.isBreak)
            values.push_back(far ? Decode(character, *far).value : character.value);
    }
    return values;
}

void MainFirmware::Inject(int port, const std::vector<uint8_t> &bytes)
{
    CheckPort(port, "Inject");
    impl_->Run([&](Impl::Work &work) {
        const Uart &uart = impl_->U(port);
        const Framing framing = uart.peerFraming.value_or(uart.CurrentFraming());
        for (uint8_t byte : bytes)
            impl_->ReceiveLocked(port, Frame(byte, framing), work);
        impl_->PumpAllLocked(work);
    });
}

void MainFirmware::InjectBreak(int port)
{
    CheckPort(port, "InjectBreak");
    impl_->Run([&](Impl::Work &work) {
        impl_->ReceiveLocked(port, LineCharacter{0, {}, true}, work);
        impl_->PumpAllLocked(work);
    });
}

void MainFirmware::SetPeerFraming(int port, std::optional<Framing> framing)
{
    CheckPort(port, "SetPeerFraming");
    std::lock_guard lock(impl_->mutex);
    impl_->U(port).peerFraming = framing;
}

void MainFirmware::SetPeerLines(int port, uint8_t msr)
{
    CheckPort(port, "SetPeerLines");
    impl_->Run([&](Impl::Work &work) {
        impl_->U(port).peerLines = msr & (kMsrCts | kMsrDsr | kMsrRing | kMsrDcd);
        impl_->RewiredLocked(work);
    });
}

void MainFirmware::SetPacing(bool paced)
{
    impl_->Run([&](Impl::Work &work) {
        impl_->paced = paced;
        impl_->PumpAllLocked(work);
    });
}

void MainFirmware::SetReceiveCapacity(size_t bytes)
{
    impl_->Run([&](Impl::Work &work) {
        impl_->capacity = std::max<size_t>(1, bytes);
        for (int port = 1; port <= kPorts; port++) {
            impl_->U(port).UpdateAutoFlow(impl_->capacity);
            impl_->CheckTransmitRoomLocked(port, work);
        }
        impl_->RewiredLocked(work);
    });
}

std::optional<std::vector<uint8_t>> MainFirmware::Descriptor(uint8_t type, uint8_t index, uint16_t language)
{
    // Every language gets the same strings; the list in string 0 is what a
    // host is meant to ask for, but hosts that ask for another get an answer.
    (void)language;
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return usb::MakeDeviceDescriptor(kVendorId, kProductRunning, kSerialStringIndex);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (index != 0)
            return std::nullopt;
        return usb::MakeBulkConfiguration(kInterfaceEndpoints);
    case USB_STRING_DESCRIPTOR_TYPE:
        switch (index) {
        case 0:
            return std::vector<uint8_t>{4, USB_STRING_DESCRIPTOR_TYPE, uint8_t(kLanguageEnglishUs & 0xFF),
                                        uint8_t(kLanguageEnglishUs >> 8)};
        case 1:
            return usb::MakeStringDescriptor(u"Nuvix");
        case 2:
            return usb::MakeStringDescriptor(u"NX4 USB serial adapter");
        case kSerialStringIndex:
            return usb::MakeStringDescriptor(std::u16string(impl_->serial.begin(), impl_->serial.end()));
        default:
            return std::nullopt;
        }
    default:
        return std::nullopt;
    }
}

// The main firmware defines no vendor requests.
USBD_STATUS MainFirmware::ControlOut(const usb::SetupPacket &setup, const uint8_t *data, size_t length)
{
    (void)setup;
    (void)data;
    (void)length;
    return USBD_STATUS_STALL_PID;
}

USBD_STATUS MainFirmware::SetConfiguration(uint8_t value)
{
    if (value > 1)
        return USBD_STATUS_STALL_PID;
    std::lock_guard lock(impl_->mutex);
    impl_->configuration = value;
    return USBD_STATUS_SUCCESS;
}

usb::BulkAnswer MainFirmware::BulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    return impl_->Run([&](Impl::Work &work) -> usb::BulkAnswer {
        if (auto preempted = impl_->PreemptLocked(endpoint))
            return *preempted;
        if (endpoint == kCommandOut) {
            std::vector<uint8_t> frame(data, data + length);
            impl_->commands.push_back(frame);
            impl_->ExecuteLocked(frame, work);
            return usb::BulkAnswer::Done(length);
        }
        const int port = PortOfOut(endpoint);
        if (!port)
            return usb::BulkAnswer::Failed(USBD_STATUS_STALL_PID);
        Uart &uart = impl_->U(port);
        // A write is taken whole or not at all (the host's transfer cannot be
        // half done); one larger than the FIFO goes in when the FIFO is empty.
        if (!uart.transmitFifo.empty() && uart.transmitFifo.size() + length > impl_->capacity) {
            uart.blockedWriteLength = length;
            return usb::BulkAnswer::NotReady();
        }
        uart.blockedWriteLength = 0;
        uart.transmitFifo.insert(uart.transmitFifo.end(), data, data + length);
        impl_->PumpAllLocked(work);
        return usb::BulkAnswer::Done(length);
    });
}

usb::BulkAnswer MainFirmware::BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity)
{
    return impl_->Run([&](Impl::Work &work) -> usb::BulkAnswer {
        if (auto preempted = impl_->PreemptLocked(endpoint))
            return *preempted;
        if (endpoint == kCommandIn) {
            if (impl_->responses.empty())
                return usb::BulkAnswer::NotReady();
            // One frame per transfer: what does not fit the host's buffer is
            // lost with the frame, as the packet's tail would be.
            std::vector<uint8_t> frame = std::move(impl_->responses.front());
            impl_->responses.pop_front();
            const size_t n = std::min(capacity, frame.size());
            if (n)
                std::memcpy(buffer, frame.data(), n);
            return usb::BulkAnswer::Done(n);
        }
        const int port = PortOfIn(endpoint);
        if (!port)
            return usb::BulkAnswer::Failed(USBD_STATUS_STALL_PID);
        Uart &uart = impl_->U(port);
        if (!uart.HostDataWaiting())
            return usb::BulkAnswer::NotReady();
        const size_t n = uart.TakeForHost(buffer, capacity);
        impl_->FlowCheckLocked(port, work);
        impl_->PumpAllLocked(work);
        return usb::BulkAnswer::Done(n);
    });
}

// Resetting a pipe clears the endpoint's halt only: neither FIFO loses data.
void MainFirmware::ResetPipe(uint8_t endpoint)
{
    std::lock_guard lock(impl_->mutex);
    impl_->resets[endpoint]++;
}

}  // namespace sim::adapter
