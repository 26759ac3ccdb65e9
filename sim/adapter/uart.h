// One of the adapter's UARTs as the main firmware drives it: the line
// settings, the modem-control outputs, the FIFO of bytes received from the
// line that wait for the host, and the FIFO of bytes from the host that wait
// to go out on the line. How UARTs are wired to each other, and when bytes
// move between them, is the firmware's business (main_firmware.cpp); this
// file only keeps one UART's own state consistent.
//
// Characters on the line. A transmitter sends each byte as its own settings
// frame it: a start bit (space), the byte's low data bits (5 to 8, least
// significant first), a parity bit unless parity is 'n', then its stop bits
// (mark). The receiver decodes every character with its own settings,
// sampling from the start bit: its data bits, its parity bit if it has
// parity, one stop bit. Where the receiver's frame is longer than the
// sender's it samples the line as idle past the sender's frame: mark, as the
// sender's stop bits and the idle line are. So a parity bit that disagrees
// with the receiver's own parity setting is a parity error, a stop bit
// sampled as space (the receiver's frame is shorter and a data or parity bit
// of the sender's is 0 there) a framing error, and a longer receiver sees
// the sender's parity bit, or mark, as its high data bits. Each character is
// decoded alone (the receiver finds every start bit, as if the line idled
// between characters); stop bits count only for the sender, and the line
// rate is not compared (both ends are taken to run at the same rate).
// A character received with a parity or framing error is still put in the
// receive FIFO, as decoded, and the error is reported; a break (the line
// held at space by the sender) puts nothing in the FIFO and is reported once,
// when it begins, as a break alone.
// Same settings at both ends (a loopback plug is one UART) decode clean.
//
// Flow control, each side by its own settings. Transmission stops while
// break is on, while CTS is off under CTS handshaking (0x08), while DSR is
// off under DSR handshaking (0x10): nothing leaves, XON and XOFF included,
// and the FIFO keeps what waits. With software flow 't' or 'b' a received
// XOFF (setup byte 9) stops data and XON (byte 10) lets it go again; the two
// are consumed, not delivered; XON or XOFF sent by the UART itself still go.
// With 'r' or 'b' the UART sends XOFF when its receive FIFO reaches the
// high-water mark and XON once it drains below the low-water mark, ahead of
// waiting data, and XON when receive flow is turned off with the peer held.
// The same marks drive RTS under RTS handshaking (0x80) and DTR under DTR
// handshaking (0x02). With 'n' or 'r', XON and XOFF received are data, and
// a character received with an error is never taken for either.
//
// Not thread-safe: the firmware model guards every UART with its own mutex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "main_firmware.h"
#include "sim/kernel/scheduler.h"

namespace sim::adapter {

// Handshake bits of the kSetup block (byte 11).
constexpr uint8_t kHandshakeRts = 0x80;  // RTS follows the receive FIFO's level
constexpr uint8_t kHandshakeDsr = 0x10;  // transmit only while DSR is asserted
constexpr uint8_t kHandshakeCts = 0x08;  // transmit only while CTS is asserted
constexpr uint8_t kHandshakeDtr = 0x02;  // DTR follows the receive FIFO's level

// The settings a kSetup block selects: [0] port, [1..4] baud (LE),
// [5] data bits, [6] stop code, [7] parity, [8] software flow, [9] XOFF,
// [10] XON, [11] handshake bits, [12] reserved.
LineSettings ParseLineSettings(const std::array<uint8_t, 13> &setup);

// The framing the settings select. The UART's registers hold nothing else:
// data bits outside 5..8 frame as 8, a parity letter it does not know as 'n'.
Framing FramingOf(const LineSettings &line);

// The sender's character as a receiver framed this way decodes it: the value
// in its data bits and the line status bits it sees (kLsrParity,
// kLsrFraming; kLsrBreak for a break, with value 0).
struct Decoded {
    uint8_t value = 0;
    uint8_t lineStatus = 0;
};
Decoded Decode(const LineCharacter &sent, const Framing &receiver);

// The character a transmitter framed this way puts on the line for a byte.
LineCharacter Frame(uint8_t byte, const Framing &framing);

// Whether a receiver decodes every character from this sender as sent,
// without errors: the same data bits and the same parity.
bool SameShape(const Framing &sender, const Framing &receiver);

// Kernel time the line needs for this many characters at this rate: ten bit
// times each (start, eight data bits, stop), rounded up to the next tick.
Ticks LineTime(uint64_t characters, uint32_t baud);

class Uart {
public:
    // The UART as it comes up with power: FIFOs empty, nothing on the line,
    // modem outputs off, power-on line settings without hardware handshaking
    // (the host opens a port and may write before it sends any kSetup,
    // and a UART waiting for a CTS that nothing drives would hold that data
    // for ever), counters at zero. What is on the other end of the cable is
    // not the UART's and stays.
    Uart() { PowerOn(); }
    void PowerOn();

    // --- receive side: what the UART took off the line, for the host --------
    // Takes one byte from the line. False when the FIFO is full: the byte is
    // lost and counted as an overrun.
    bool Receive(uint8_t byte, size_t capacity);
    // Takes the first n bytes of a transmitting UART's FIFO off the line at
    // once, as they decode when both ends have the same shape of frame (the
    // caller sees to that, and keeps n within the free room, so nothing is
    // lost): each masked to the data bits.
    void ReceiveBlock(std::deque<uint8_t> &from, size_t n);
    // How many characters may arrive, one after the other, before the
    // automatic RTS, DTR or XOFF would change: a block that size behaves as
    // that many single characters. At least 1.
    size_t QuietRun(size_t capacity) const;
    // The firmware's own data for the host (the answer to kEcho): one IN
    // transfer of exactly these bytes, in line behind what is waiting now.
    void QueueEcho(std::vector<uint8_t> bytes);
    bool HostDataWaiting() const { return !toHost_.empty(); }
    // Received bytes in the FIFO (echo transfers do not occupy it).
    size_t ReceiveLevel() const { return receiveLevel_; }
    // One IN transfer for the host: received bytes up to capacity, or the
    // front echo transfer; never a mix of the two.
    size_t TakeForHost(uint8_t *buffer, size_t capacity);

    // --- line settings -------------------------------------------------------
    // A kSetup block: the settings it selects take effect. A transmitter
    // left without transmit flow control is no longer held by an XOFF.
    void Setup(const std::array<uint8_t, 13> &setup);
    Framing CurrentFraming() const { return framing_; }
    bool TransmitFlow() const { return state.line.softwareFlow == 't' || state.line.softwareFlow == 'b'; }
    bool ReceiveFlow() const { return state.line.softwareFlow == 'r' || state.line.softwareFlow == 'b'; }

    // --- modem-control outputs and flow control -------------------------------
    void SetCommandedRts(bool on) { commandedRts_ = on; }
    // The RTS line the peer sees: driven by the FIFO level under RTS
    // handshaking, else as the last kSetRts left it.
    bool RtsOut() const;
    // The same for DTR, under DTR handshaking and kSetDtr (state.dtr).
    bool DtrOut() const;
    // Re-evaluates the receiver's readiness against the FIFO level (not
    // ready at 3/4 of capacity, ready again below 1/4): the automatic RTS
    // and DTR follow it, and under receive flow control an XOFF or XON is
    // put in controlToSend when it changes. True when RtsOut or DtrOut
    // changed.
    bool UpdateAutoFlow(size_t capacity);
    // CTS, DSR and DCD as a peer wired to this UART's outputs sees them.
    uint8_t LinesAsSeenByPeer() const;

    // The snapshot tests see: state with the RTS line as driven now.
    PortState Snapshot() const;

    PortState state;

    // --- transmit side (moved by the firmware) ------------------------------
    std::deque<uint8_t> transmitFifo;
    std::optional<uint8_t> controlToSend;  // an XON or XOFF, ahead of the FIFO
    size_t blockedWriteLength = 0;         // a host write waits for this much room

    // Paced transmission: at most one batch on the line at a time.
    bool batchOnLine = false;
    size_t batchLength = 0;
    bool continuing = false;      // the next batch follows the last back to back
    Ticks lineStart = 0;          // when the current run of batches began
    uint64_t lineCharacters = 0;  // characters sent in that run
    uint32_t lineBaud = 0;

    // --- what is on the other end of the cable -------------------------------
    PeerKind peer = PeerKind::None;
    int partner = 0;                        // the other port of a null-modem cable
    uint8_t peerLines = 0;                  // an endpoint peer's CTS/DSR/RI/DCD
    std::optional<Framing> peerFraming;     // an endpoint peer's own, if it has one
    std::vector<LineCharacter> sentToPeer;  // what an endpoint peer has not read

private:
    // Bytes for one or more IN transfers; taken from the front.
    struct HostTransfer {
        bool echo = false;
        std::vector<uint8_t> bytes;
        size_t taken = 0;
    };
    // A new transfer at the back, with the memory of the last one emptied.
    void NewHostTransfer();

    std::deque<HostTransfer> toHost_;
    std::vector<uint8_t> spareBytes_;
    size_t receiveLevel_ = 0;
    Framing framing_;
    bool commandedRts_ = false;
    bool ready_ = true;      // the receiver's FIFO has room: automatic RTS and DTR on
    bool xoffSent_ = false;  // receive flow control holds the peer
};

}  // namespace sim::adapter
