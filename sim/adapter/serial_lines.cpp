// The four UARTs of the main firmware, their modem lines and their peers
// (loopback plug, null-modem cable, or the test's endpoint): characters move
// in runs when unpaced, in timed batches at the line's rate when paced, and
// one at a time whenever the receiver has to look at each (uart.h).
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
            QueueResponseLocked({wire::kEvent, static_cast<uint8_t>(port), wire::kModemStatusEvent, seen}, work);
    }
}

// A character, or a break, arrives at a UART's receiver.
void MainFirmware::Impl::ReceiveLocked(int port, const LineCharacter &character, Work &work)
{
    Uart &uart = U(port);
    const Decoded decoded = Decode(character, uart.CurrentFraming());
    if (character.isBreak) {
        ReportLineStatusLocked(port, kLsrBreak, work);
        return;
    }
    const LineSettings &line = uart.state.line;
    if (uart.TransmitFlow() && !decoded.lineStatus && (decoded.value == line.xoff || decoded.value == line.xon)) {
        // Whoever receives this pumps: the transmitter may go on.
        uart.state.heldByXoff = decoded.value == line.xoff;
        return;
    }
    if (!uart.Receive(decoded.value, capacity)) {
        ReportLineStatusLocked(port, kLsrOverrun, work);
        return;
    }
    if (decoded.lineStatus)
        ReportLineStatusLocked(port, decoded.lineStatus, work);
    work.Wake(PortIn(port));
    FlowCheckLocked(port, work);
}

void MainFirmware::Impl::ReportLineStatusLocked(int port, uint8_t bits, Work &work)
{
    U(port).state.lineStatus |= bits;
    if (!U(port).state.open)
        return;
    const auto code = static_cast<uint8_t>(port);
    for (std::vector<uint8_t> &frame : responses) {
        if (frame.size() == 4 && frame[0] == wire::kEvent && frame[1] == code && frame[2] == wire::kLineStatusEvent) {
            frame[3] |= bits;
            return;
        }
    }
    QueueResponseLocked({wire::kEvent, code, wire::kLineStatusEvent, bits}, work);
}

void MainFirmware::Impl::FlowCheckLocked(int port, Work &work)
{
    Uart &uart = U(port);
    if (uart.UpdateAutoFlow(capacity))
        LinesChangedLocked(work);
    if (!paced && uart.controlToSend && CanSendLocked(port))
        SendCharacterLocked(port, work);
}

void MainFirmware::Impl::SetBreakLocked(int port, bool on, Work &work)
{
    Uart &uart = U(port);
    const bool starts = on && !uart.state.breakOn;
    uart.state.breakOn = on;
    if (starts) {
        PutOnLineLocked(port, LineCharacter{0, uart.CurrentFraming(), true}, work);
    }
    PumpAllLocked(work);
}

// Whether the UART may start its next character now.
bool MainFirmware::Impl::CanSendLocked(int port)
{
    Uart &uart = U(port);
    const uint8_t handshake = uart.state.line.handshake;
    const uint8_t seen = uart.state.modemStatus;
    if (uart.state.breakOn || ((handshake & kHandshakeCts) && !(seen & kMsrCts)) ||
        ((handshake & kHandshakeDsr) && !(seen & kMsrDsr)))
        return false;
    // A test endpoint reads at its own pace; it holds the line rather
    // than lose what it has not read.
    if (uart.peer == PeerKind::Endpoint && uart.sentToPeer.size() >= capacity)
        return false;
    if (uart.controlToSend)
        return true;
    return !uart.state.heldByXoff && !uart.transmitFifo.empty();
}

void MainFirmware::Impl::SendCharacterLocked(int port, Work &work)
{
    Uart &uart = U(port);
    uint8_t byte;
    if (uart.controlToSend) {
        byte = *uart.controlToSend;
        uart.controlToSend.reset();
    } else {
        byte = uart.transmitFifo.front();
        uart.transmitFifo.pop_front();
    }
    uart.state.bytesTransmitted++;
    PutOnLineLocked(port, Frame(byte, uart.CurrentFraming()), work);
}

// What the UART puts on the line reaches whatever is at the cable's far end.
void MainFirmware::Impl::PutOnLineLocked(int port, const LineCharacter &character, Work &work)
{
    Uart &uart = U(port);
    switch (uart.peer) {
    case PeerKind::None:
        break;
    case PeerKind::Loopback:
        ReceiveLocked(port, character, work);
        break;
    case PeerKind::NullModem:
        ReceiveLocked(uart.partner, character, work);
        break;
    case PeerKind::Endpoint:
        uart.sentToPeer.push_back(character);
        break;
    }
}

// As many characters at once as can go before anything that decides
// whether the next may go could change (the receiver's automatic RTS, an
// endpoint peer's room): the same as that many SendCharacterLocked calls.
void MainFirmware::Impl::SendRunLocked(int port, Work &work)
{
    Uart &uart = U(port);
    if (uart.controlToSend) {
        SendCharacterLocked(port, work);
        return;
    }
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
    if (receiver) {
        const Uart &other = U(receiver);
        const bool asSent = SameShape(uart.CurrentFraming(), other.CurrentFraming()) && !other.TransmitFlow();
        n = asSent ? std::min(n, other.QuietRun(capacity)) : 1;
    }
    if (n <= 1) {
        SendCharacterLocked(port, work);
        return;
    }
    uart.state.bytesTransmitted += n;
    if (receiver) {
        Uart &other = U(receiver);
        other.ReceiveBlock(uart.transmitFifo, n);
        work.Wake(PortIn(receiver));
        FlowCheckLocked(receiver, work);
    } else if (uart.peer == PeerKind::Endpoint) {
        auto end = uart.transmitFifo.begin() + static_cast<std::ptrdiff_t>(n);
        const Framing framing = uart.CurrentFraming();
        for (auto it = uart.transmitFifo.begin(); it != end; ++it)
            uart.sentToPeer.push_back(Frame(*it, framing));
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
    // An XON or XOFF goes first; data only while no XOFF holds it.
    const size_t waiting = (uart.controlToSend ? 1 : 0) + (uart.state.heldByXoff ? 0 : uart.transmitFifo.size());
    const size_t n = std::min(kPacedBatch, waiting);
    uart.lineCharacters += n;
    uart.batchOnLine = true;
    uart.batchLength = n;
    const Ticks due = uart.lineStart + LineTime(uart.lineCharacters, baud);
    work.timers.emplace_back(due, [port](Impl &self, Work &later) { self.BatchDoneLocked(port, later); });
}

// The batch's time on the line is over. What may hold the transmitter
// (break, CTS, DSR, XOFF) is looked at before each character, as the UART
// does, so a sender held off mid-batch keeps the rest in its FIFO.
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
