#include "host_serial_driver.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/scheduler.h"

namespace sim::host {

namespace {

// Callback contexts are 32-bit values: an index into this table.
std::mutex gPortsMutex;
std::vector<HostPort *> gPorts;

Scheduler &Sched() { return Scheduler::Get(); }

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
    : host_(host), name_(std::move(name)), index_(index)
{
    record_.assign(HOST_PORT_NAME_OFFSET + (name_.size() + 1) * 2, 0);
    for (size_t i = 0; i < name_.size(); i++) {
        record_[HOST_PORT_NAME_OFFSET + 2 * i] = static_cast<uint8_t>(name_[i]);
        record_[HOST_PORT_NAME_OFFSET + 2 * i + 1] = static_cast<uint8_t>(name_[i] >> 8);
    }
}

std::vector<EventRecord> HostPort::Events()
{
    return Sched().Read([&] { return events_; });
}

PortStats HostPort::Stats()
{
    return Sched().Read([&] { return stats_; });
}

HostBuffers HostPort::Buffers()
{
    return Sched().Read([&] { return buffers_; });
}

ULONG HostPort::RxIdle()
{
    return Sched().Read([&] { return rxIdle_; });
}

ULONG HostPort::TxIdle()
{
    return Sched().Read([&] { return txIdle_; });
}

// Runs under the adapter's Lock, right after the driver added to RxCount:
// the moment the host may take off what it has consumed.
VOID HOSTAPI HostPort::RxNotify(ULONG context)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    Sched().Change([&] {
        HostBuffers &b = port->buffers_;
        b.RxCount -= port->rxConsumedPending_;
        port->rxConsumedPending_ = 0;
        port->rxAvailable_ = b.RxCount;
        port->rxDriverBusy_ = b.RxSize - b.RxCount >= 64;
        port->stats_.rxNotifications++;
    });
}

// Runs under the adapter's Lock, right after the driver took the sent bytes
// off TxCount and before it decides whether to send more.
VOID HOSTAPI HostPort::TxNotify(ULONG context)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    Sched().Change([&] {
        HostBuffers &b = port->buffers_;
        port->stats_.bytesSent += port->txKnownCount_ - b.TxCount;
        b.TxCount += port->txPending_;
        port->txPending_ = 0;
        port->txKnownCount_ = b.TxCount;
        port->txDriverBusy_ = b.TxCount > 0;
        port->stats_.txNotifications++;
    });
}

VOID HOSTAPI HostPort::EventNotify(ULONG context, ULONGLONG record)
{
    HostPort *port = HostSerialDriver::PortByContext(context);
    EventRecord event;
    std::memcpy(&event, &record, sizeof(event));
    Sched().Change([&] { port->events_.push_back(event); });
}

HostSerialDriver::HostSerialDriver() : table_(RbGetServiceTable()) {}

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
        BugCheck("HOST_CALLBACK_CONTEXT", "the driver called back with context " + std::to_string(context) +
                                              ", which names no bound host port");
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
    Sched().Change([&] {
        port.rxRing_.assign(rxSize, 0);
        port.txRing_.assign(txSize, 0);
        port.buffers_ = HostBuffers{};
        port.buffers_.RxBase = rxSize ? port.rxRing_.data() : nullptr;
        port.buffers_.RxSize = rxSize;
        port.buffers_.TxBase = txSize ? port.txRing_.data() : nullptr;
        port.buffers_.TxSize = txSize;
        port.rxReadIndex_ = port.rxAvailable_ = port.rxConsumedPending_ = 0;
        port.txWriteIndex_ = port.txKnownCount_ = port.txPending_ = 0;
        // The bind starts a read whenever a whole one fits, and no write.
        port.rxDriverBusy_ = rxSize >= 64;
        port.txDriverBusy_ = false;
        port.bound_ = true;
    });
    binding.HostBuffers = &port.buffers_;
    binding.RxNotify = HostPort::RxNotify;
    binding.RxNotifyContext = port.index_;
    binding.RxIdleFlag = &port.rxIdle_;
    binding.TxNotify = HostPort::TxNotify;
    binding.TxNotifyContext = port.index_;
    binding.TxIdleFlag = &port.txIdle_;
    binding.EventNotify = HostPort::EventNotify;
    binding.EventNotifyContext = port.index_;
    return Control(port, IOCTL_PORT_BIND, &binding, sizeof(binding), nullptr, 0);
}

size_t HostSerialDriver::Write(HostPort &port, const uint8_t *data, size_t length)
{
    bool kick = false;
    size_t taken = Sched().Change([&] {
        if (!port.bound_ || port.txRing_.empty())
            return size_t{0};
        size_t room = port.txRing_.size() - port.txKnownCount_ - port.txPending_;
        size_t n = std::min(length, room);
        CopyIn(port.txRing_, port.txWriteIndex_, data, n);
        port.txPending_ += static_cast<ULONG>(n);
        port.stats_.bytesQueued += n;
        if (!port.txDriverBusy_ && port.txPending_ > 0) {
            port.txDriverBusy_ = true;
            kick = true;
        }
        return n;
    });
    if (kick)
        KickTransmit(port);
    return taken;
}

// The driver's transmit path is stopped (the last callback saw the ring
// empty). The first StartWrite waits out the completion that stopped it and
// finds nothing to send; only then is TxCount the host's to change.
void HostSerialDriver::KickTransmit(HostPort &port)
{
    StartWrite(port);
    Sched().Change([&] {
        port.buffers_.TxCount += port.txPending_;
        port.txPending_ = 0;
        port.txKnownCount_ = port.buffers_.TxCount;
    });
    StartWrite(port);
}

size_t HostSerialDriver::Read(HostPort &port, uint8_t *data, size_t capacity)
{
    bool kick = false;
    size_t taken = Sched().Change([&] {
        size_t n = std::min<size_t>(capacity, port.rxAvailable_);
        CopyOut(port.rxRing_, port.rxReadIndex_, data, n);
        port.rxAvailable_ -= static_cast<ULONG>(n);
        port.rxConsumedPending_ += static_cast<ULONG>(n);
        port.stats_.bytesRead += n;
        // Once the consumed bytes are taken off, the driver sees exactly the
        // unread ones in the ring.
        ULONG freeAfterTakingOff = port.buffers_.RxSize - port.rxAvailable_;
        if (port.bound_ && !port.rxDriverBusy_ && freeAfterTakingOff >= 64) {
            port.rxDriverBusy_ = true;
            kick = true;
        }
        return n;
    });
    if (kick)
        KickReceive(port);
    return taken;
}

// The mirror of KickTransmit for a receive path stopped for lack of room.
void HostSerialDriver::KickReceive(HostPort &port)
{
    StartRead(port);
    Sched().Change([&] {
        port.buffers_.RxCount -= port.rxConsumedPending_;
        port.rxConsumedPending_ = 0;
    });
    StartRead(port);
}

bool HostSerialDriver::WaitReadable(HostPort &port, int64_t timeoutTicks)
{
    return Sched().Block([&] { return port.rxAvailable_ > 0; }, DeadlineAfter(timeoutTicks), "host data to read");
}

bool HostSerialDriver::WaitWritable(HostPort &port, int64_t timeoutTicks)
{
    return Sched().Block([&] { return port.txRing_.size() > port.txKnownCount_ + port.txPending_; },
                         DeadlineAfter(timeoutTicks), "host room to write");
}

bool HostSerialDriver::WaitEvents(HostPort &port, size_t count, int64_t timeoutTicks)
{
    return Sched().Block([&] { return port.events_.size() >= count; }, DeadlineAfter(timeoutTicks),
                         "host port events");
}

size_t HostSerialDriver::Unsent(HostPort &port)
{
    return Sched().Read([&] { return size_t{port.txKnownCount_} + port.txPending_; });
}

}  // namespace sim::host
