#include "uart.h"

#include <algorithm>
#include <bit>
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

constexpr uint32_t Mask(unsigned bits) { return (1u << bits) - 1; }

// The parity bit a frame with parity carries for this value.
uint32_t ParityBit(uint8_t value, char parity)
{
    const bool oddOnes = std::popcount(value) & 1;
    switch (parity) {
    case 'o':
        return oddOnes ? 0 : 1;
    case 'e':
        return oddOnes ? 1 : 0;
    case '1':
        return 1;
    default:
        return 0;
    }
}

}  // namespace

Framing FramingOf(const LineSettings &line)
{
    Framing framing;
    framing.dataBits = line.dataBits >= 5 && line.dataBits <= 8 ? line.dataBits : 8;
    switch (line.parity) {
    case 'o':
    case 'e':
    case '1':
    case '0':
        framing.parity = line.parity;
        break;
    default:
        framing.parity = 'n';
    }
    framing.stopCode = line.stopCode;
    return framing;
}

LineCharacter Frame(uint8_t byte, const Framing &framing)
{
    return LineCharacter{static_cast<uint8_t>(byte & Mask(framing.dataBits)), framing, false};
}

bool SameShape(const Framing &sender, const Framing &receiver)
{
    return sender.dataBits == receiver.dataBits && sender.parity == receiver.parity;
}

Decoded Decode(const LineCharacter &sent, const Framing &receiver)
{
    if (sent.isBreak)
        return Decoded{0, kLsrBreak};
    // The bits after the start bit, the first in bit 0: the sender's data
    // bits, its parity bit, then mark (its stop bits, then the idle line).
    const Framing &sender = sent.framing;
    const uint8_t value = static_cast<uint8_t>(sent.value & Mask(sender.dataBits));
    uint32_t bits = value;
    unsigned length = sender.dataBits;
    if (sender.parity != 'n')
        bits |= ParityBit(value, sender.parity) << length++;
    bits |= ~Mask(length);

    Decoded decoded;
    decoded.value = static_cast<uint8_t>(bits & Mask(receiver.dataBits));
    unsigned at = receiver.dataBits;
    if (receiver.parity != 'n' && ((bits >> at++) & 1) != ParityBit(decoded.value, receiver.parity))
        decoded.lineStatus |= kLsrParity;
    if (!((bits >> at) & 1))
        decoded.lineStatus |= kLsrFraming;
    return decoded;
}

LineSettings ParseLineSettings(const std::array<uint8_t, 13> &setup)
{
    LineSettings line;
    line.baud = uint32_t(setup[1]) | uint32_t(setup[2]) << 8 | uint32_t(setup[3]) << 16 | uint32_t(setup[4]) << 24;
    line.dataBits = setup[5];
    line.stopCode = setup[6];
    line.parity = static_cast<char>(setup[7]);
    line.softwareFlow = static_cast<char>(setup[8]);
    line.xoff = setup[9];
    line.xon = setup[10];
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
    controlToSend.reset();
    toHost_.clear();
    receiveLevel_ = 0;
    framing_ = FramingOf(state.line);
    commandedRts_ = false;
    ready_ = true;
    xoffSent_ = false;
}

void Uart::Setup(const std::array<uint8_t, 13> &setup)
{
    state.setup = setup;
    state.line = ParseLineSettings(setup);
    framing_ = FramingOf(state.line);
    if (!TransmitFlow())
        state.heldByXoff = false;
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
    std::vector<uint8_t> &bytes = toHost_.back().bytes;
    bytes.insert(bytes.end(), from.begin(), end);
    from.erase(from.begin(), end);
    if (framing_.dataBits < 8) {
        const uint8_t mask = static_cast<uint8_t>(Mask(framing_.dataBits));
        for (auto it = bytes.end() - static_cast<std::ptrdiff_t>(n); it != bytes.end(); ++it)
            *it &= mask;
    }
    receiveLevel_ += n;
    state.bytesReceived += n;
}

size_t Uart::QuietRun(size_t capacity) const
{
    // Only reaching the high-water mark can change RTS, DTR or XOFF while
    // bytes arrive.
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

bool Uart::RtsOut() const { return (state.line.handshake & kHandshakeRts) ? ready_ : commandedRts_; }

bool Uart::DtrOut() const { return (state.line.handshake & kHandshakeDtr) ? ready_ : state.dtr; }

bool Uart::UpdateAutoFlow(size_t capacity)
{
    const bool rts = RtsOut(), dtr = DtrOut();
    if (receiveLevel_ >= HighWater(capacity))
        ready_ = false;
    else if (receiveLevel_ < LowWater(capacity))
        ready_ = true;
    // XOFF once the receiver is not ready, XON once it is again, or once
    // receive flow control ends with the peer still held.
    const bool holdPeer = ReceiveFlow() && !ready_;
    if (holdPeer != xoffSent_) {
        xoffSent_ = holdPeer;
        controlToSend = holdPeer ? state.line.xoff : state.line.xon;
    }
    return RtsOut() != rts || DtrOut() != dtr;
}

uint8_t Uart::LinesAsSeenByPeer() const
{
    uint8_t lines = 0;
    if (RtsOut())
        lines |= kMsrCts;
    if (DtrOut())
        lines |= kMsrDsr | kMsrDcd;
    return lines;
}

PortState Uart::Snapshot() const
{
    PortState snapshot = state;
    snapshot.rts = RtsOut();
    snapshot.dtr = DtrOut();
    return snapshot;
}

}  // namespace sim::adapter
