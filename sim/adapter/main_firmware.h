// The adapter as seen on the bus once its main firmware runs: the descriptors
// of the re-enumerated device (bit 15 of idProduct set, one interface with
// ten bulk pipes) and the firmware's behaviour behind them: the command
// protocol on the command pipes and four UARTs behind the port pipes.
//
// Pipes, in interface order: port n (1..4) bulk IN 0x80|n then bulk OUT n;
// then the command channel, bulk IN 0x85 (responses) and bulk OUT 0x05.
//
// Each UART takes its line settings from kSetup and its DTR, RTS and break
// from the commands; what it transmits goes to the port's peer (a loopback
// plug, a null-modem cable to another port, or a test endpoint) framed as
// its line settings say; what it receives is decoded with its own settings
// and offered on the port's bulk IN pipe in transfers of up to 64 bytes.
// Modem-line changes and line errors (overrun, parity, framing, break) seen
// by a UART are reported as kEvent frames. The framing model, XON/XOFF and
// the handshakes are described in uart.h.
//
// Lifetime: the Bus holds a reference to its device model and calls it until
// it is destroyed, so a MainFirmware must outlive the Bus it is plugged into
// (declare the model before the bus). Work the model leaves with the bus
// (late answers, paced transmission) holds the model only weakly and does
// nothing once the model is gone.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "firmware_faults.h"
#include "sim/usb/device_model.h"

namespace sim::adapter {

constexpr int kPorts = 4;
constexpr uint8_t kCommandIn = 0x85;
constexpr uint8_t kCommandOut = 0x05;
constexpr uint8_t PortIn(int port) { return static_cast<uint8_t>(0x80 | port); }
constexpr uint8_t PortOut(int port) { return static_cast<uint8_t>(port); }

constexpr uint16_t kVendorId = 0x0D28;
constexpr uint16_t kProductRunning = 0x8004;  // bit 15: the main firmware runs

// Modem status bits as the firmware reports them (value slot 0 of an event).
constexpr uint8_t kMsrCts = 0x10;
constexpr uint8_t kMsrDsr = 0x20;
constexpr uint8_t kMsrRing = 0x40;
constexpr uint8_t kMsrDcd = 0x80;

// Line status bits as the firmware reports them (value slot 1 of an event),
// where a 16550's line status register has them.
constexpr uint8_t kLsrOverrun = 0x02;
constexpr uint8_t kLsrParity = 0x04;
constexpr uint8_t kLsrFraming = 0x08;
constexpr uint8_t kLsrBreak = 0x10;

// How a UART frames characters: data bits (5 to 8), parity ('n' none, 'o'
// odd, 'e' even, '1' mark, '0' space) and stop code (1; 2 for two stop
// bits, one and a half with five data bits).
struct Framing {
    uint8_t dataBits = 8;
    char parity = 'n';
    uint8_t stopCode = 1;
    bool operator==(const Framing &) const = default;
};

// One thing a transmitter put on the line: a character with its sender's
// framing (value holds the sender's data bits only; the parity bit follows
// from value and framing), or a break (the line held at space).
struct LineCharacter {
    uint8_t value = 0;
    Framing framing;
    bool isBreak = false;
    bool operator==(const LineCharacter &) const = default;
};

enum class PeerKind { None, Loopback, NullModem, Endpoint };

// The UARTs power up with these settings except the handshake, which is 0
// (no hardware flow control) until a kSetup sets it: a port that was
// opened but never set up transmits whatever its CTS input says.
struct LineSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t stopCode = 1;
    char parity = 'n';
    char softwareFlow = 'n';
    uint8_t xoff = 0x13;
    uint8_t xon = 0x11;
    uint8_t handshake = 0x6E;
};

struct PortState {
    bool open = false;
    bool dtr = false;  // the DTR line as driven (by the FIFO under DTR handshaking)
    bool rts = false;  // the RTS line as driven (by the FIFO under RTS handshaking)
    bool breakOn = false;
    std::array<uint8_t, 13> setup{};  // last kSetup payload
    LineSettings line;
    uint8_t modemStatus = 0;        // what the UART sees: CTS, DSR, RI, DCD
    uint64_t bytesTransmitted = 0;  // sent out of the UART
    uint64_t bytesReceived = 0;     // taken off the line into the FIFO for the host's IN pipe
    uint64_t bytesLost = 0;         // receive overruns
    uint8_t lineStatus = 0;         // every kLsr* bit the receiver has seen
    bool heldByXoff = false;        // the transmitter stopped by a received XOFF
    int commands = 0;
};

class MainFirmware : public usb::DeviceModel {
public:
    explicit MainFirmware(std::string serialNumber = "NX4A0001");
    ~MainFirmware() override;

    // --- what tests look at --------------------------------------------
    PortState Port(int port);
    // Every command frame received on the command OUT pipe, in order.
    std::vector<std::vector<uint8_t>> Commands();
    uint8_t Configuration();
    // How often the host reset the pipe of this endpoint (added for tests of
    // the driver's pipe-reset path).
    int ResetCount(uint8_t endpoint);

    // --- the firmware information block and adapter status ---------------
    void SetInfoBlock(const std::array<uint8_t, 35> &block);
    std::array<uint8_t, 35> InfoBlock();
    // Sends kAdapterStatus with this 19-byte block.
    void SendAdapterStatus(const std::array<uint8_t, 19> &block);
    // Queues a raw frame on the command IN pipe (anything, for bad-input tests).
    void SendResponse(std::vector<uint8_t> frame);

    // --- misbehaviour -----------------------------------------------------
    // Fault injection (firmware_faults.h): the firmware starts with its
    // World's WorldOptions::faults.firmware; SetFaults replaces the record
    // (transfers waiting on an endpoint it names, before or after, are
    // tried again), and the setters below change one part each.
    void SetFaults(FirmwareFaults faults);
    FirmwareFaults Faults();
    // FirmwareFaults::answers and answerDelay.
    void SetAnswerMode(AnswerMode mode, int64_t answerDelayTicks = 0);
    // The next transfer on the endpoint ends with this USBD status.
    void FailNextTransfer(uint8_t endpoint, USBD_STATUS status);
    // While held, transfers on the endpoint wait (the device NAKs them), as
    // when the firmware is busy; releasing lets the waiting ones through.
    // (Added for the driver's tests of writes in flight.)
    void HoldEndpoint(uint8_t endpoint, bool hold);

    // --- the serial side ------------------------------------------------
    void ConnectLoopback(int port);
    void ConnectNullModem(int portA, int portB);
    // The port's UART talks to the test, which plays the far end:
    // TakeTransmitted returns the values of what the UART sent as the far end
    // decodes them (breaks left out), TakeLine the same characters as they
    // were on the line; Inject makes the UART receive characters (XON and
    // XOFF included: they are characters like any other), InjectBreak a
    // break; SetPeerLines sets CTS/DSR/RI/DCD. The far end frames and decodes
    // with SetPeerFraming's settings, or, without (the default), as the UART
    // is set at the time, so that nothing it sends or reads has errors.
    void ConnectEndpoint(int port);
    std::vector<uint8_t> TakeTransmitted(int port);
    std::vector<LineCharacter> TakeLine(int port);
    void Inject(int port, const std::vector<uint8_t> &bytes);
    void InjectBreak(int port);
    void SetPeerLines(int port, uint8_t msr);
    void SetPeerFraming(int port, std::optional<Framing> framing);
    // Deliver bytes at the configured baud rate in kernel time (10 bit times
    // per byte) instead of at once.
    void SetPacing(bool paced);
    // Bytes a UART can hold before it drops (no flow control) or holds its
    // peer off (RTS/CTS flow control). Default 1024.
    void SetReceiveCapacity(size_t bytes);

    // --- usb::DeviceModel -------------------------------------------------
    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t language) override;
    USBD_STATUS ControlOut(const usb::SetupPacket &setup, const uint8_t *data, size_t length) override;
    USBD_STATUS SetConfiguration(uint8_t value) override;
    usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    usb::BulkAnswer BulkIn(uint8_t endpoint, uint8_t *buffer, size_t capacity) override;
    void ResetPipe(uint8_t endpoint) override;
    // Also hands the bus to the model's state, so that work it scheduled with
    // the bus can reach the bus again.
    void Plugged(usb::Bus *bus) override;

private:
    struct Impl;
    // Shared so that callbacks queued with the bus can hold it weakly.
    std::shared_ptr<Impl> impl_;
};

}  // namespace sim::adapter
