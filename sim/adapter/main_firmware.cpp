#include "main_firmware.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <type_traits>
#include <utility>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"
#include "protocol.h"
#include "uart.h"

namespace sim::adapter {

namespace {

constexpr size_t kDefaultCapacity = 1024;
// Characters a paced UART puts on the line per timer event: one event per
// character would make a megabyte transfer a million controller jobs.
constexpr size_t kPacedBatch = 64;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint8_t kSerialStringIndex = 3;
constexpr size_t kSetupBlockSize = 13;
constexpr uint8_t kEventModemStatus = 0x01;  // value slot 0 of an event
constexpr uint8_t kStatusFlags = 0x01;
constexpr uint8_t kGarbageCode = 0x7E;
constexpr size_t kGarbageLength = 7;
constexpr uint8_t kNoOpCommand = wire::kNoOp;

const std::vector<uint8_t> kInterfaceEndpoints = {0x81, 0x01, 0x82, 0x02,       0x83,
                                                  0x03, 0x84, 0x04, kCommandIn, kCommandOut};

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

struct MainFirmware::Impl : std::enable_shared_from_this<MainFirmware::Impl> {
    // What an operation leaves to do once the lock is released: the bus may
    // call straight back into the model, so it is never called with the lock
    // held.
    struct Work;
    // A timer runs under the lock, with its own Work.
    using Timer = std::function<void(Impl &, Work &)>;

    struct Work {
        Ticks now = 0;
        uint64_t power = 0;  // the power cycle the work belongs to
        std::vector<uint8_t> ready;
        std::vector<std::pair<Ticks, Timer>> timers;

        void Wake(uint8_t endpoint)
        {
            if (std::find(ready.begin(), ready.end(), endpoint) == ready.end())
                ready.push_back(endpoint);
        }
    };

    explicit Impl(std::string serialNumber) : serial(std::move(serialNumber)), info(DefaultInfoBlock()) {}

    // Runs f(work) under the lock, then tells the bus what f left to do.
    template <typename F>
    auto Run(F &&f) -> decltype(f(std::declval<Work &>()))
    {
        Work work;
        work.now = Scheduler::Get().Now();
        if constexpr (std::is_void_v<decltype(f(work))>) {
            {
                std::lock_guard lock(mutex);
                work.power = power;
                f(work);
            }
            Apply(work);
        } else {
            std::unique_lock lock(mutex);
            work.power = power;
            auto result = f(work);
            lock.unlock();
            Apply(work);
            return result;
        }
    }

    // The bus is read, and called, under plugMutex: a device being unplugged
    // waits until nobody is calling the bus it leaves, which goes right after.
    // Timers carry their power cycle and do nothing once the device has lost
    // power since they were set (they belong to the bus it left).
    void Apply(Work &work)
    {
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
    void PowerOffLocked()
    {
        power++;
        configuration = 0;
        responses.clear();
        for (Uart &uart : uarts)
            uart.PowerOn();
        for (int port = 1; port <= kPorts; port++)
            U(port).state.modemStatus = SeenLinesLocked(port);
    }

    Uart &U(int port) { return uarts[static_cast<size_t>(port - 1)]; }

    // What a transfer gets before the firmware looks at it: a failure the
    // test asked for, or a NAK while the endpoint is held.
    std::optional<usb::BulkAnswer> PreemptLocked(uint8_t endpoint)
    {
        auto it = failNext.find(endpoint);
        if (it != failNext.end()) {
            usb::BulkAnswer answer = usb::BulkAnswer::Failed(it->second);
            failNext.erase(it);
            return answer;
        }
        if (held.count(endpoint))
            return usb::BulkAnswer::NotReady();
        return std::nullopt;
    }

    // --- the command channel ------------------------------------------------

    void QueueResponseLocked(std::vector<uint8_t> frame, Work &work)
    {
        responses.push_back(std::move(frame));
        work.Wake(kCommandIn);
    }

    // An answer to a command, bent the way the answer mode says.
    void AnswerLocked(std::vector<uint8_t> frame, Work &work)
    {
        switch (mode) {
        case AnswerMode::Normal:
            break;
        case AnswerMode::Silent:
            return;
        case AnswerMode::Late:
            work.timers.emplace_back(work.now + answerDelay, [frame = std::move(frame)](Impl &self, Work &later) {
                self.QueueResponseLocked(frame, later);
            });
            return;
        case AnswerMode::WrongPort:
            if (frame[0] == wire::kDone && frame.size() > 2)
                frame[2] = static_cast<uint8_t>(frame[2] % kPorts + 1);
            else if (frame[0] == wire::kStatus && frame.size() > 1)
                frame[1] = static_cast<uint8_t>(frame[1] % kPorts + 1);
            break;
        case AnswerMode::Garbage:
            frame.assign(kGarbageLength, 0xFF);
            frame[0] = kGarbageCode;
            break;
        case AnswerMode::Short:
            frame.resize(1);
            break;
        }
        QueueResponseLocked(std::move(frame), work);
    }

    void AnswerDoneLocked(int port, Work &work) { AnswerLocked({wire::kDone, 0x00, static_cast<uint8_t>(port)}, work); }

    // One frame from the command OUT pipe. The firmware reads a fixed-size
    // buffer, so bytes a short frame leaves out read as zero, except in the
    // setup block, which keeps what the last kSetup put there.
    void ExecuteLocked(const std::vector<uint8_t> &frame, Work &work)
    {
        if (frame.size() < 2)
            return;
        const uint8_t code = frame[0];
        const int port = frame[1];
        if (port < 1 || port > kPorts)
            return;
        auto at = [&](size_t i) -> uint8_t { return i < frame.size() ? frame[i] : 0; };
        Uart &uart = U(port);
        uart.state.commands++;
        switch (code) {
        case wire::kOpen:
            uart.state.open = true;
            AnswerDoneLocked(port, work);
            break;
        case wire::kClose:
            uart.state.open = false;
            AnswerDoneLocked(port, work);
            break;
        case wire::kSetup: {
            const size_t n = std::min(kSetupBlockSize, frame.size() - 1);
            std::copy_n(frame.begin() + 1, n, uart.state.setup.begin());
            uart.state.line = ParseLineSettings(uart.state.setup);
            uart.UpdateAutoRts(capacity);
            LinesChangedLocked(work);
            PumpAllLocked(work);
            AnswerDoneLocked(port, work);
            break;
        }
        case wire::kSetRts:
            uart.SetCommandedRts(at(2) != 0);
            LinesChangedLocked(work);
            PumpAllLocked(work);
            AnswerDoneLocked(port, work);
            break;
        case wire::kSetDtr:
            uart.state.dtr = at(2) != 0;
            LinesChangedLocked(work);
            AnswerDoneLocked(port, work);
            break;
        case wire::kSetBreak:
            uart.state.breakOn = at(2) != 0;
            AnswerDoneLocked(port, work);
            break;
        case kNoOpCommand:
            AnswerDoneLocked(port, work);
            break;
        case wire::kGetStatus:
            AnswerLocked({wire::kStatus, static_cast<uint8_t>(port), kStatusFlags, uart.state.modemStatus, 0, 0, 0},
                         work);
            break;
        case wire::kEcho: {
            // Nothing for a zero count: a zero-length transfer would end the
            // host's read with no data, which the real firmware never sends.
            const size_t n = at(2);
            if (n == 0)
                break;
            std::vector<uint8_t> bytes(n);
            for (size_t i = 0; i < n; i++)
                bytes[i] = at(3 + i);
            uart.QueueEcho(std::move(bytes));
            work.Wake(PortIn(port));
            break;
        }
        case wire::kGetInfo: {
            std::vector<uint8_t> answer = {wire::kInfo};
            answer.insert(answer.end(), info.begin(), info.end());
            AnswerLocked(std::move(answer), work);
            break;
        }
        default:
            break;
        }
    }

    // --- modem lines ----------------------------------------------------------

    uint8_t SeenLinesLocked(int port)
    {
        Uart &uart = U(port);
        switch (uart.peer) {
        case PeerKind::None:
            return 0;
        case PeerKind::Loopback:
            return uart.LinesAsSeenByPeer();
        case PeerKind::NullModem:
            return U(uart.partner).LinesAsSeenByPeer();
        case PeerKind::Endpoint:
            return uart.peerLines;
        }
        return 0;
    }

    // Some UART's outputs or wiring changed: every UART re-reads its inputs,
    // and an open port reports a change of what it sees.
    void LinesChangedLocked(Work &work)
    {
        for (int port = 1; port <= kPorts; port++) {
            Uart &uart = U(port);
            const uint8_t seen = SeenLinesLocked(port);
            if (seen == uart.state.modemStatus)
                continue;
            uart.state.modemStatus = seen;
            if (uart.state.open)
                QueueResponseLocked({wire::kEvent, static_cast<uint8_t>(port), kEventModemStatus, seen}, work);
        }
    }

    // --- the serial lines -------------------------------------------------------

    // A character arrives at a UART's receiver.
    void ReceiveLocked(int port, uint8_t byte, Work &work)
    {
        Uart &uart = U(port);
        if (!uart.Receive(byte, capacity))
            return;
        work.Wake(PortIn(port));
        if (uart.UpdateAutoRts(capacity))
            LinesChangedLocked(work);
    }

    // Whether the UART may start its next character now.
    bool CanSendLocked(int port)
    {
        Uart &uart = U(port);
        if ((uart.state.line.handshake & kHandshakeCts) && !(uart.state.modemStatus & kMsrCts))
            return false;
        // A test endpoint reads at its own pace; it holds the line rather
        // than lose what it has not read.
        if (uart.peer == PeerKind::Endpoint && uart.sentToPeer.size() >= capacity)
            return false;
        return !uart.transmitFifo.empty();
    }

    void SendCharacterLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        const uint8_t byte = uart.transmitFifo.front();
        uart.transmitFifo.pop_front();
        uart.state.bytesTransmitted++;
        switch (uart.peer) {
        case PeerKind::None:
            break;
        case PeerKind::Loopback:
            ReceiveLocked(port, byte, work);
            break;
        case PeerKind::NullModem:
            ReceiveLocked(uart.partner, byte, work);
            break;
        case PeerKind::Endpoint:
            uart.sentToPeer.push_back(byte);
            break;
        }
    }

    // As many characters at once as can go before anything that decides
    // whether the next may go could change (the receiver's automatic RTS, an
    // endpoint peer's room): the same as that many SendCharacterLocked calls.
    void SendRunLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        size_t n = uart.transmitFifo.size();
        int receiver = 0;
        switch (uart.peer) {
        case PeerKind::None:
            break;
        case PeerKind::Loopback:
            receiver = port;
            break;
        case PeerKind::NullModem:
            receiver = uart.partner;
            break;
        case PeerKind::Endpoint:
            n = std::min(n, capacity - uart.sentToPeer.size());
            break;
        }
        if (receiver)
            n = std::min(n, U(receiver).QuietRun(capacity));
        if (n <= 1) {
            SendCharacterLocked(port, work);
            return;
        }
        uart.state.bytesTransmitted += n;
        if (receiver) {
            Uart &other = U(receiver);
            other.ReceiveBlock(uart.transmitFifo, n);
            work.Wake(PortIn(receiver));
            if (other.UpdateAutoRts(capacity))
                LinesChangedLocked(work);
        } else if (uart.peer == PeerKind::Endpoint) {
            auto end = uart.transmitFifo.begin() + static_cast<std::ptrdiff_t>(n);
            uart.sentToPeer.insert(uart.sentToPeer.end(), uart.transmitFifo.begin(), end);
            uart.transmitFifo.erase(uart.transmitFifo.begin(), end);
        } else {
            uart.transmitFifo.erase(uart.transmitFifo.begin(),
                                    uart.transmitFifo.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }

    // A host write the model refused for want of room is retried once the
    // whole of it fits.
    void CheckTransmitRoomLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        if (uart.blockedWriteLength == 0)
            return;
        if (uart.transmitFifo.empty() || uart.transmitFifo.size() + uart.blockedWriteLength <= capacity) {
            uart.blockedWriteLength = 0;
            work.Wake(PortOut(port));
        }
    }

    // Starts what each UART can send now; repeats while characters moved,
    // since a delivery can change another UART's lines.
    void PumpAllLocked(Work &work)
    {
        for (bool moved = true; moved;) {
            moved = false;
            for (int port = 1; port <= kPorts; port++)
                moved |= PumpLocked(port, work);
        }
    }

    bool PumpLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        if (uart.batchOnLine)
            return false;
        if (paced) {
            StartBatchLocked(port, work);
            return false;
        }
        bool moved = false;
        while (CanSendLocked(port)) {
            SendRunLocked(port, work);
            moved = true;
        }
        if (moved)
            CheckTransmitRoomLocked(port, work);
        return moved;
    }

    // Puts up to kPacedBatch characters on the line; they reach the peer when
    // the last of them has been shifted out. The characters stay in the FIFO
    // until then, so the host sees the FIFO drain at the line's pace. Batches
    // that follow each other are timed from the start of the run, so rounding
    // does not add up over a long transfer.
    void StartBatchLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        if (uart.batchOnLine || !CanSendLocked(port))
            return;
        const uint32_t baud = uart.state.line.baud;
        if (!uart.continuing || uart.lineBaud != baud) {
            uart.lineStart = work.now;
            uart.lineCharacters = 0;
            uart.lineBaud = baud;
        }
        const size_t n = std::min(kPacedBatch, uart.transmitFifo.size());
        uart.lineCharacters += n;
        uart.batchOnLine = true;
        uart.batchLength = n;
        const Ticks due = uart.lineStart + LineTime(uart.lineCharacters, baud);
        work.timers.emplace_back(due, [port](Impl &self, Work &later) { self.BatchDoneLocked(port, later); });
    }

    // The batch's time on the line is over. CTS is sampled before each
    // character, as the UART does, so a sender held off mid-batch keeps the
    // rest in its FIFO.
    void BatchDoneLocked(int port, Work &work)
    {
        Uart &uart = U(port);
        const size_t n = std::exchange(uart.batchLength, 0);
        uart.batchOnLine = false;
        size_t sent = 0;
        while (sent < n && CanSendLocked(port)) {
            SendCharacterLocked(port, work);
            sent++;
        }
        CheckTransmitRoomLocked(port, work);
        uart.continuing = sent == n;
        PumpAllLocked(work);
        uart.continuing = false;
    }

    void DisconnectLocked(int port)
    {
        Uart &uart = U(port);
        if (uart.peer == PeerKind::NullModem) {
            Uart &other = U(uart.partner);
            if (other.peer == PeerKind::NullModem && other.partner == port) {
                other.peer = PeerKind::None;
                other.partner = 0;
            }
        }
        uart.peer = PeerKind::None;
        uart.partner = 0;
    }

    void RewiredLocked(Work &work)
    {
        LinesChangedLocked(work);
        PumpAllLocked(work);
    }

    sim::Mutex plugMutex;     // taken before mutex, never after
    usb::Bus *bus = nullptr;  // guarded by plugMutex, written under both
    sim::Mutex mutex;
    uint64_t power = 0;  // power cycles: counts the times the device lost power
    const std::string serial;
    uint8_t configuration = 0;
    std::vector<std::vector<uint8_t>> commands;
    std::deque<std::vector<uint8_t>> responses;
    std::array<uint8_t, 35> info;
    AnswerMode mode = AnswerMode::Normal;
    Ticks answerDelay = 0;
    std::map<uint8_t, USBD_STATUS> failNext;
    std::set<uint8_t> held;
    std::map<uint8_t, int> resets;
    bool paced = false;
    size_t capacity = kDefaultCapacity;
    std::array<Uart, kPorts> uarts;
};

MainFirmware::MainFirmware(std::string serialNumber) : impl_(std::make_shared<Impl>(std::move(serialNumber))) {}

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

void MainFirmware::SetAnswerMode(AnswerMode mode, int64_t answerDelayTicks)
{
    std::lock_guard lock(impl_->mutex);
    impl_->mode = mode;
    impl_->answerDelay = std::max<int64_t>(0, answerDelayTicks);
}

// A transfer already waiting on the endpoint is retried, so it is the one
// that fails.
void MainFirmware::FailNextTransfer(uint8_t endpoint, USBD_STATUS status)
{
    impl_->Run([&](Impl::Work &work) {
        impl_->failNext[endpoint] = status;
        work.Wake(endpoint);
    });
}

void MainFirmware::HoldEndpoint(uint8_t endpoint, bool hold)
{
    impl_->Run([&](Impl::Work &work) {
        if (hold) {
            impl_->held.insert(endpoint);
        } else if (impl_->held.erase(endpoint)) {
            work.Wake(endpoint);
        }
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

std::vector<uint8_t> MainFirmware::TakeTransmitted(int port)
{
    CheckPort(port, "TakeTransmitted");
    return impl_->Run([&](Impl::Work &work) {
        std::vector<uint8_t> sent = std::exchange(impl_->U(port).sentToPeer, {});
        impl_->PumpAllLocked(work);
        return sent;
    });
}

void MainFirmware::Inject(int port, const std::vector<uint8_t> &bytes)
{
    CheckPort(port, "Inject");
    impl_->Run([&](Impl::Work &work) {
        for (uint8_t byte : bytes)
            impl_->ReceiveLocked(port, byte, work);
    });
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
            impl_->U(port).UpdateAutoRts(impl_->capacity);
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
        if (uart.UpdateAutoRts(impl_->capacity))
            impl_->LinesChangedLocked(work);
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
