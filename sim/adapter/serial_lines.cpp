// The four UARTs of the main firmware, their modem lines and their peers
// (loopback plug, null-modem cable, or the test's endpoint): characters move
// in runs when unpaced, in timed batches at the line's rate when paced.
#include "firmware_state.h"

namespace sim::adapter {

uint8_t MainFirmware::Impl::SeenLinesLocked(int port)
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
void MainFirmware::Impl::LinesChangedLocked(Work &work)
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

// A character arrives at a UART's receiver.
void MainFirmware::Impl::ReceiveLocked(int port, uint8_t byte, Work &work)
{
    Uart &uart = U(port);
    if (!uart.Receive(byte, capacity))
        return;
    work.Wake(PortIn(port));
    if (uart.UpdateAutoRts(capacity))
        LinesChangedLocked(work);
}

// Whether the UART may start its next character now.
bool MainFirmware::Impl::CanSendLocked(int port)
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

void MainFirmware::Impl::SendCharacterLocked(int port, Work &work)
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
void MainFirmware::Impl::SendRunLocked(int port, Work &work)
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
        uart.transmitFifo.erase(uart.transmitFifo.begin(), uart.transmitFifo.begin() + static_cast<std::ptrdiff_t>(n));
    }
}

// A host write the model refused for want of room is retried once the
// whole of it fits.
void MainFirmware::Impl::CheckTransmitRoomLocked(int port, Work &work)
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
void MainFirmware::Impl::PumpAllLocked(Work &work)
{
    for (bool moved = true; moved;) {
        moved = false;
        for (int port = 1; port <= kPorts; port++)
            moved |= PumpLocked(port, work);
    }
}

bool MainFirmware::Impl::PumpLocked(int port, Work &work)
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
void MainFirmware::Impl::StartBatchLocked(int port, Work &work)
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
void MainFirmware::Impl::BatchDoneLocked(int port, Work &work)
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

void MainFirmware::Impl::DisconnectLocked(int port)
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

void MainFirmware::Impl::RewiredLocked(Work &work)
{
    LinesChangedLocked(work);
    PumpAllLocked(work);
}

}  // namespace sim::adapter
