#include "uart.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim::adapter {

namespace {

// Hysteresis of the automatic RTS: stop the sender with a quarter of the
// FIFO still free (the sender may have a character in flight, and a paced
// batch may be on the wire), let it go again only once most is drained so
// the line does not flap on every character.
size_t HighWater(size_t capacity) { return std::max<size_t>(1, capacity * 3 / 4); }
size_t LowWater(size_t capacity) { return std::max<size_t>(1, capacity / 4); }

}  // namespace

LineSettings ParseLineSettings(const std::array<uint8_t, 13> &setup)
{
    LineSettings line;
    line.baud = uint32_t(setup[1]) | uint32_t(setup[2]) << 8 | uint32_t(setup[3]) << 16 | uint32_t(setup[4]) << 24;
    line.dataBits = setup[5];
    line.stopCode = setup[6];
    line.parity = static_cast<char>(setup[7]);
    line.softwareFlow = static_cast<char>(setup[8]);
    line.handshake = setup[11];
    return line;
}

Ticks LineTime(uint64_t characters, uint32_t baud)
{
    // A zero rate would stop the line for good; the UART's divisor cannot be
    // programmed to that, so the firmware keeps its power-on rate instead.
    const uint64_t rate = baud ? baud : LineSettings{}.baud;
    return static_cast<Ticks>((characters * 10 * uint64_t(kTicksPerSecond) + rate - 1) / rate);
}

void Uart::PowerOn()
{
    state = PortState{};
    state.line.handshake = 0;
    transmitFifo.clear();
    blockedWriteLength = 0;
    batchOnLine = false;
    batchLength = 0;
    continuing = false;
    lineStart = 0;
    lineCharacters = 0;
    lineBaud = 0;
    toHost_.clear();
    receiveLevel_ = 0;
    commandedRts_ = false;
    autoRts_ = true;
}

bool Uart::Receive(uint8_t byte, size_t capacity)
{
    if (receiveLevel_ >= capacity) {
        state.bytesLost++;
        return false;
    }
    if (toHost_.empty() || toHost_.back().echo)
        NewHostTransfer();
    toHost_.back().bytes.push_back(byte);
    receiveLevel_++;
    state.bytesReceived++;
    return true;
}

void Uart::ReceiveBlock(std::deque<uint8_t> &from, size_t n)
{
    if (n == 0)
        return;
    if (toHost_.empty() || toHost_.back().echo)
        NewHostTransfer();
    auto end = from.begin() + static_cast<std::ptrdiff_t>(n);
    toHost_.back().bytes.insert(toHost_.back().bytes.end(), from.begin(), end);
    from.erase(from.begin(), end);
    receiveLevel_ += n;
    state.bytesReceived += n;
}

size_t Uart::QuietRun(size_t capacity) const
{
    // Only reaching the high-water mark can change RTS while bytes arrive.
    const size_t high = HighWater(capacity);
    return receiveLevel_ + 1 < high ? high - receiveLevel_ - 1 : 1;
}

void Uart::QueueEcho(std::vector<uint8_t> bytes)
{
    NewHostTransfer();
    toHost_.back().echo = true;
    toHost_.back().bytes.assign(bytes.begin(), bytes.end());
}

// Every transfer the adapter answers from the UART goes through one of
// these, so the bytes' memory is kept rather than allocated each time.
void Uart::NewHostTransfer()
{
    toHost_.emplace_back();
    toHost_.back().bytes.swap(spareBytes_);
}

size_t Uart::TakeForHost(uint8_t *buffer, size_t capacity)
{
    if (toHost_.empty())
        return 0;
    HostTransfer &front = toHost_.front();
    const size_t n = std::min(capacity, front.bytes.size() - front.taken);
    std::copy_n(front.bytes.begin() + static_cast<std::ptrdiff_t>(front.taken), n, buffer);
    front.taken += n;
    if (!front.echo)
        receiveLevel_ -= n;
    if (front.taken == front.bytes.size()) {
        front.bytes.clear();
        spareBytes_.swap(front.bytes);
        toHost_.pop_front();
    } else if (front.taken >= 4096 && 2 * front.taken >= front.bytes.size()) {
        // A transfer the UART keeps adding to while the host takes from it
        // never empties: what was taken goes, so memory stays flat.
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(front.taken));
        front.taken = 0;
    }
    return n;
}

bool Uart::RtsOut() const { return (state.line.handshake & kHandshakeRts) ? autoRts_ : commandedRts_; }

bool Uart::UpdateAutoRts(size_t capacity)
{
    const bool before = RtsOut();
    if (receiveLevel_ >= HighWater(capacity))
        autoRts_ = false;
    else if (receiveLevel_ < LowWater(capacity))
        autoRts_ = true;
    return RtsOut() != before;
}

uint8_t Uart::LinesAsSeenByPeer() const
{
    uint8_t lines = 0;
    if (RtsOut())
        lines |= kMsrCts;
    if (state.dtr)
        lines |= kMsrDsr | kMsrDcd;
    return lines;
}

PortState Uart::Snapshot() const
{
    PortState snapshot = state;
    snapshot.rts = RtsOut();
    return snapshot;
}

}  // namespace sim::adapter
