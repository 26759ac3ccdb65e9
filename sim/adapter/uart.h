// One of the adapter's UARTs as the main firmware drives it: the line
// settings, the modem-control outputs, the FIFO of bytes received from the
// line that wait for the host, and the FIFO of bytes from the host that wait
// to go out on the line. How UARTs are wired to each other, and when bytes
// move between them, is the firmware's business (main_firmware.cpp); this
// file only keeps one UART's own state consistent.
//
// Not thread-safe: the firmware model guards every UART with its own mutex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "main_firmware.h"
#include "sim/kernel/scheduler.h"

namespace sim::adapter {

// Handshake bits of the kSetup block (byte 11).
constexpr uint8_t kHandshakeRts = 0x80;  // RTS follows the receive FIFO's level
constexpr uint8_t kHandshakeDsr = 0x10;  // kept, not acted on
constexpr uint8_t kHandshakeCts = 0x08;  // transmit only while CTS is asserted
constexpr uint8_t kHandshakeDtr = 0x02;  // kept, not acted on

// The settings a kSetup block selects: [0] port, [1..4] baud (LE),
// [5] data bits, [6] stop code, [7] parity, [8] software flow, [9] XOFF,
// [10] XON, [11] handshake bits, [12] reserved.
LineSettings ParseLineSettings(const std::array<uint8_t, 13> &setup);

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
    // once (the caller keeps n within the free room, so nothing is lost).
    void ReceiveBlock(std::deque<uint8_t> &from, size_t n);
    // How many characters may arrive, one after the other, before the
    // automatic RTS would change: a block that size behaves as that many
    // single characters. At least 1.
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

    // --- modem-control outputs ---------------------------------------------
    void SetCommandedRts(bool on) { commandedRts_ = on; }
    // The RTS line the peer sees: driven by the FIFO level under RTS
    // handshaking, else as the last kSetRts left it.
    bool RtsOut() const;
    // Re-evaluates the automatic RTS against the FIFO level (deasserted at
    // 3/4 of capacity, asserted again below 1/4). True when RtsOut changed.
    bool UpdateAutoRts(size_t capacity);
    // CTS, DSR and DCD as a peer wired to this UART's outputs sees them.
    uint8_t LinesAsSeenByPeer() const;

    // The snapshot tests see: state with the RTS line as driven now.
    PortState Snapshot() const;

    PortState state;

    // --- transmit side (moved by the firmware) ------------------------------
    std::deque<uint8_t> transmitFifo;
    size_t blockedWriteLength = 0;  // a host write waits for this much room

    // Paced transmission: at most one batch on the line at a time.
    bool batchOnLine = false;
    size_t batchLength = 0;
    bool continuing = false;      // the next batch follows the last back to back
    Ticks lineStart = 0;          // when the current run of batches began
    uint64_t lineCharacters = 0;  // characters sent in that run
    uint32_t lineBaud = 0;

    // --- what is on the other end of the cable -------------------------------
    PeerKind peer = PeerKind::None;
    int partner = 0;                  // the other port of a null-modem cable
    uint8_t peerLines = 0;            // an endpoint peer's CTS/DSR/RI/DCD
    std::vector<uint8_t> sentToPeer;  // an endpoint peer's unread bytes

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
    bool commandedRts_ = false;
    bool autoRts_ = true;
};

}  // namespace sim::adapter
