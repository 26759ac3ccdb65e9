#include "host_serial_driver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/scheduler.h"
#include "sim/world.h"

namespace sim::host {

namespace {

// Callback contexts are 32-bit values: an index into this table.
sim::Mutex gPortsMutex;
std::vector<HostPort *> gPorts;

Scheduler &Sched() { return Scheduler::Get(); }

#if defined(__SANITIZE_THREAD__)
#define NUVIX_HOST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NUVIX_HOST_TSAN 1
#endif
#endif
#ifdef NUVIX_HOST_TSAN
extern "C" void AnnotateBenignRaceSized(const char *file, int line, const volatile void *address, long size,
                                        const char *description);
#endif

// Every port's two idle words, never freed, so that the race declared on
// them can never cover memory that is something else later.
sim::Mutex gIdleMutex;
std::deque<std::array<ULONG, 2>> gIdleWords;

ULONG *NewIdleWords()
{
    std::lock_guard lock(gIdleMutex);
    ULONG *words = gIdleWords.emplace_back(std::array<ULONG, 2>{1, 1}).data();
#ifdef NUVIX_HOST_TSAN
    AnnotateBenignRaceSized(__FILE__, __LINE__, words, 2 * sizeof(ULONG),
                            "idle words: written by the driver under its lock, read by the host at any time");
#endif
    return words;
}

ULONG ReadIdle(const ULONG *word) { return *static_cast<const volatile ULONG *>(word); }
void WriteIdle(ULONG *word, ULONG value) { *static_cast<volatile ULONG *>(word) = value; }

// The room a port read needs: the driver reads only into a ring with this
// much free, and says so with the receive idle word.
constexpr ULONG kReadRoom = 64;

std::optional<Ticks> DeadlineAfter(int64_t timeoutTicks) { return Sched().Now() + timeoutTicks; }

void CopyIn(std::vector<uint8_t> &ring, ULONG &index, const uint8_t *data, size_t length)
{
    for (size_t done = 0; done < length;) {
        size_t n = std::min(length - done, ring.size() - index);
        std::memcpy(ring.data() + index, data + done, n);
        done += n;
        index = static_cast<ULONG>((index + n) % ring.size());
    }
}

void CopyOut(const std::vector<uint8_t> &ring, ULONG &index, uint8_t *data, size_t length)
{
    for (size_t done = 0; done < length;) {
        size_t n = std::min(length - done, ring.size() - index);
        std::memcpy(data + done, ring.data() + index, n);
        done += n;
        index = static_cast<ULONG>((index + n) % ring.size());
    }
}

}  // namespace

HostPort::HostPort(HostSerialDriver &host, std::u16string name, ULONG index)
    : host_(host), name_(std::move(name)), index_(index), fullEvents_(World::Current().FullRecords())
{
    rxIdle_ = NewIdleWords();
    txIdle_ = rxIdle_ + 1;
    record_.assign(HOST_PORT_NAME_OFFSET + (name_.size() + 1) * 2, 0);
    for (size_t i = 0; i < name_.size(); i++) {
        record_[HOST_PORT_NAME_OFFSET + 2 * i] = static_cast<uint8_t>(name_[i]);
        record_[HOST_PORT_NAME_OFFSET + 2 * i + 1] = static_cast<uint8_t>(name_[i] >> 8);
    }
}

std::vector<EventRecord> HostPort::Events()
{
    return Sched().Read([&] { return std::vector<EventRecord>(events_.begin(), events_.end()); });
}

uint64_t HostPort::EventCount()
{
    return Sched().Read([&] { return eventCount_; });
}

std::vector<EventRecord> HostPort::EventsSince(uint64_t n)
{
    return Sched().Read([&] {
        const uint64_t first = eventCount_ - events_.size();  // the number of the oldest kept
        const size_t skip = n > first ? size_t(std::min<uint64_t>(n - first, events_.size())) : 0;
        return std::vector<EventRecord>(events_.begin() + static_cast<std::ptrdiff_t>(skip), events_.end());
    });
}

PortStats HostPort::Stats()
{
    return Sched().Read([&] { return stats_; });
}

HostBuffers HostPort::Buffers()
{
    return Sched().Read([&] { return buffers_; });
}

ULONG HostPort::RxIdle() { return ReadIdle(rxIdle_); }

ULONG HostPort::TxIdle() { return ReadIdle(txIdle_); }

// Runs under the adapter's Lock, right after the driver added to RxCount:
// the moment the host may take off what it has consumed.
VOID HOSTAPI HostPort::RxNotify(ULONG context)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    Sched().ChangeFor(port, [&] {
        HostBuffers &b = port->buffers_;
        b.RxCount -= port->rxConsumedPending_;
        port->rxConsumedPending_ = 0;
        port->rxAvailable_ = b.RxCount;
        // The driver decides right after this callback, from the same count,
        // whether to read on; with too little room it stops, and says so a
        // moment later in the idle word.
        port->rxStopComing_ = b.RxSize - b.RxCount < kReadRoom;
        port->stats_.rxNotifications++;
    });
}

// Runs under the adapter's Lock, right after the driver took the sent bytes
// off TxCount and before it decides whether to send more.
VOID HOSTAPI HostPort::TxNotify(ULONG context)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    Sched().ChangeFor(port, [&] {
        HostBuffers &b = port->buffers_;
        port->stats_.bytesSent += port->txKnownCount_ - b.TxCount;
        b.TxCount += port->txPending_;
        port->txPending_ = 0;
        port->txKnownCount_ = b.TxCount;
        port->txStopComing_ = b.TxCount == 0;  // likewise: nothing left to send
        port->stats_.txNotifications++;
    });
}

VOID HOSTAPI HostPort::EventNotify(ULONG context, ULONGLONG record)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    EventRecord event;
    std::memcpy(&event, &record, sizeof(event));
    Sched().ChangeFor(port, [&] {
        if (!port->fullEvents_ && port->events_.size() == HostPort::kRecentEvents)
            port->events_.pop_front();
        port->events_.push_back(event);
        port->eventCount_++;
    });
}

HostSerialDriver::HostSerialDriver(TableGetter getTable) : table_(getTable()) {}

HostSerialDriver::~HostSerialDriver()
{
    std::lock_guard lock(gPortsMutex);
    for (auto &port : ports_)
        gPorts[port->index_] = nullptr;
}

HostPort *HostSerialDriver::PortByContext(ULONG context)
{
    std::lock_guard lock(gPortsMutex);
    if (context >= gPorts.size() || !gPorts[context])
        BugCheck("HOST_CALLBACK_CONTEXT",
                 "the driver called back with context " + std::to_string(context) + ", which names no bound host port");
    return gPorts[context];
}

std::u16string HostSerialDriver::PortName(const std::string &serialNumber, int portIndex)
{
    std::u16string name(serialNumber.begin(), serialNumber.end());
    name += u"-";
    name += static_cast<char16_t>(u'0' + portIndex);
    return name;
}

HostPort &HostSerialDriver::AddPort(const std::u16string &name)
{
    std::lock_guard lock(gPortsMutex);
    auto index = static_cast<ULONG>(gPorts.size());
    ports_.push_back(std::unique_ptr<HostPort>(new HostPort(*this, name, index)));
    gPorts.push_back(ports_.back().get());
    return *ports_.back();
}

bool HostSerialDriver::Open(HostPort &port) { return table_->OpenPort(port.Handle()); }
bool HostSerialDriver::Close(HostPort &port) { return table_->ClosePort(port.Handle()); }
bool HostSerialDriver::StartRead(HostPort &port) { return table_->StartRead(port.Handle()); }
bool HostSerialDriver::StartWrite(HostPort &port) { return table_->StartWrite(port.Handle()); }

bool HostSerialDriver::Control(HostPort &port, ULONG code, const void *input, ULONG inputLength, void *output,
                               ULONG outputLength)
{
    return table_->PortControl(port.Handle(), code, const_cast<void *>(input), inputLength, output, outputLength);
}

bool HostSerialDriver::Bind(HostPort &port, ULONG rxSize, ULONG txSize)
{
    HostBinding binding{};
    Sched().ChangeFor(&port, [&] {
        port.rxRing_.assign(rxSize, 0);
        port.txRing_.assign(txSize, 0);
        port.buffers_ = HostBuffers{};
        port.buffers_.RxBase = rxSize ? port.rxRing_.data() : nullptr;
        port.buffers_.RxSize = rxSize;
        port.buffers_.TxBase = txSize ? port.txRing_.data() : nullptr;
        port.buffers_.TxSize = txSize;
        port.rxReadIndex_ = port.rxAvailable_ = port.rxConsumedPending_ = 0;
        port.txWriteIndex_ = port.txKnownCount_ = port.txPending_ = 0;
        port.rxRetryAt_ = port.txRetryAt_ = 0;
        port.rxStopComing_ = port.txStopComing_ = false;
        // Nothing runs until the bind starts it; the bind sets both words.
        WriteIdle(port.rxIdle_, 1);
        WriteIdle(port.txIdle_, 1);
        port.bound_ = true;
    });
    binding.HostBuffers = &port.buffers_;
    binding.RxNotify = HostPort::RxNotify;
    binding.RxNotifyContext = port.index_;
    binding.RxIdleFlag = port.rxIdle_;
    binding.TxNotify = HostPort::TxNotify;
    binding.TxNotifyContext = port.index_;
    binding.TxIdleFlag = port.txIdle_;
    binding.EventNotify = HostPort::EventNotify;
    binding.EventNotifyContext = port.index_;
    return Control(port, IOCTL_PORT_BIND, &binding, sizeof(binding), nullptr, 0);
}

// What restarting the transmit path takes now, if anything; marks the
// restart as under way. The scheduler lock is held.
HostSerialDriver::Kick HostSerialDriver::TransmitKickLocked(HostPort &port, int64_t now)
{
    if (!port.bound_ || port.txKicking_ || port.txRing_.empty() || (ReadIdle(port.txIdle_) != 1 && !port.txStopComing_))
        return Kick::None;
    if (port.txKnownCount_ > 0) {
        // Stopped with bytes in the ring: a failed or cancelled write, or no
        // request to be had. One StartWrite sends them again.
        if (now < port.txRetryAt_)
            return Kick::None;
        port.txRetryAt_ = now + kRestartPoll;
        port.txKicking_ = true;
        return Kick::Restart;
    }
    if (port.txPending_ == 0)
        return Kick::None;
    port.txKicking_ = true;
    port.txStopComing_ = false;
    return Kick::Refill;
}

// The same for the receive path: room for a read once the consumed bytes
// are taken off.
HostSerialDriver::Kick HostSerialDriver::ReceiveKickLocked(HostPort &port, int64_t now)
{
    if (!port.bound_ || port.rxKicking_ || port.rxRing_.empty() || (ReadIdle(port.rxIdle_) != 1 && !port.rxStopComing_))
        return Kick::None;
    const ULONG size = port.buffers_.RxSize;
    if (size < kReadRoom || size - port.rxAvailable_ < kReadRoom)
        return Kick::None;
    if (size - (port.rxAvailable_ + port.rxConsumedPending_) >= kReadRoom) {
        // The driver sees room and stopped all the same: a failed or
        // cancelled read, or no request to be had.
        if (now < port.rxRetryAt_)
            return Kick::None;
        port.rxRetryAt_ = now + kRestartPoll;
        port.rxKicking_ = true;
        return Kick::Restart;
    }
    port.rxKicking_ = true;
    port.rxStopComing_ = false;
    return Kick::Refill;
}

size_t HostSerialDriver::Write(HostPort &port, const uint8_t *data, size_t length)
{
    const Ticks now = Sched().Now();
    Kick kick = Kick::None;
    size_t taken = Sched().ChangeFor(&port, [&] {
        if (!port.bound_ || port.txRing_.empty())
            return size_t{0};
        size_t room = port.txRing_.size() - port.txKnownCount_ - port.txPending_;
        size_t n = std::min(length, room);
        CopyIn(port.txRing_, port.txWriteIndex_, data, n);
        port.txPending_ += static_cast<ULONG>(n);
        port.stats_.bytesQueued += n;
        kick = TransmitKickLocked(port, now);
        return n;
    });
    KickTransmit(port, kick);
    return taken;
}

// Refill: the driver stopped for want of bytes, and TxCount is 0 as it sees
// it. The first StartWrite waits out the completion that stopped the path
// and finds nothing to send; only then is TxCount the host's to change.
// Restart: the driver stopped with bytes left; one StartWrite sends them,
// and what the host queued since goes in at the next TxNotify.
void HostSerialDriver::KickTransmit(HostPort &port, Kick kick)
{
    if (kick == Kick::None)
        return;
    StartWrite(port);
    if (kick == Kick::Refill) {
        Sched().ChangeFor(&port, [&] {
            port.buffers_.TxCount += port.txPending_;
            port.txPending_ = 0;
            port.txKnownCount_ = port.buffers_.TxCount;
        });
        StartWrite(port);
    }
    Sched().ChangeFor(&port, [&] { port.txKicking_ = false; });
}

size_t HostSerialDriver::Read(HostPort &port, uint8_t *data, size_t capacity)
{
    const Ticks now = Sched().Now();
    Kick kick = Kick::None;
    size_t taken = Sched().ChangeFor(&port, [&] {
        size_t n = std::min<size_t>(capacity, port.rxAvailable_);
        CopyOut(port.rxRing_, port.rxReadIndex_, data, n);
        port.rxAvailable_ -= static_cast<ULONG>(n);
        port.rxConsumedPending_ += static_cast<ULONG>(n);
        port.stats_.bytesRead += n;
        kick = ReceiveKickLocked(port, now);
        return n;
    });
    KickReceive(port, kick);
    return taken;
}

// The mirror of KickTransmit: Refill for a path stopped for lack of room
// (the first StartRead finds none), Restart for one stopped with room.
void HostSerialDriver::KickReceive(HostPort &port, Kick kick)
{
    if (kick == Kick::None)
        return;
    StartRead(port);
    if (kick == Kick::Refill) {
        Sched().ChangeFor(&port, [&] {
            port.buffers_.RxCount -= port.rxConsumedPending_;
            port.rxConsumedPending_ = 0;
        });
        StartRead(port);
    }
    Sched().ChangeFor(&port, [&] { port.rxKicking_ = false; });
}

bool HostSerialDriver::WaitKicking(HostPort &port, const std::function<bool()> &ready,
                                   const std::function<bool()> &some, int64_t timeoutTicks, const char *what)
{
    const Ticks end = Sched().Now() + timeoutTicks;
    for (;;) {
        // Both paths, as a host's timer would: a reader may be waiting for
        // bytes its own port sends, looped back.
        const Ticks now = Sched().Now();
        Kick receiveKick = Kick::None, transmitKick = Kick::None;
        Sched().ChangeFor(&port, [&] {
            receiveKick = ReceiveKickLocked(port, now);
            transmitKick = TransmitKickLocked(port, now);
        });
        KickReceive(port, receiveKick);
        KickTransmit(port, transmitKick);
        if (now >= end)
            return Sched().Read([&] { return some(); });
        if (Sched().Block(ready, std::min(end, now + kRestartPoll), what, &port))
            return true;
        if (Sched().Read([&] { return some(); }))
            return true;
    }
}

namespace {
// How much a waiting reader (or writer) wants before it is woken: half its
// ring, but never more than the driver leaves in it before it stops reading.
size_t Watermark(size_t ring)
{
    return std::max<size_t>(1, std::min<size_t>(ring / 2, ring > kReadRoom ? ring - kReadRoom : 1));
}
}  // namespace

bool HostSerialDriver::WaitReadable(HostPort &port, int64_t timeoutTicks)
{
    return WaitKicking(
        port, [&] { return port.rxAvailable_ >= Watermark(port.rxRing_.size()); },
        [&] { return port.rxAvailable_ > 0; }, timeoutTicks, "host data to read");
}

bool HostSerialDriver::WaitWritable(HostPort &port, int64_t timeoutTicks)
{
    auto room = [&port] { return port.txRing_.size() - port.txKnownCount_ - port.txPending_; };
    return WaitKicking(
        port, [&] { return room() >= Watermark(port.txRing_.size()); }, [&] { return room() > 0; }, timeoutTicks,
        "host room to write");
}

bool HostSerialDriver::WaitEvents(HostPort &port, size_t count, int64_t timeoutTicks)
{
    return Sched().Block([&] { return port.eventCount_ >= count; }, DeadlineAfter(timeoutTicks), "host port events",
                         &port);
}

size_t HostSerialDriver::Unsent(HostPort &port)
{
    return Sched().Read([&] { return size_t{port.txKnownCount_} + port.txPending_; });
}

}  // namespace sim::host
