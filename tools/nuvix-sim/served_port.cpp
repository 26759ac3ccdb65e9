#include "served_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nuvix::simtool {

namespace {

constexpr unsigned char kComPortOption = 44;
// Requests (a client's codes; the server answers each plus kReplyOffset).
enum : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr uint8_t kReplyOffset = 100;
constexpr uint8_t kModemLines = 0xF0;  // CTS, DSR, RI, DCD; the low four bits say which changed
constexpr uint32_t kInitialBaud = 115200;
// Bytes kept for a side that does not take them yet; beyond, the socket is
// not read (the client's own send buffer then fills) or the port waits.
constexpr size_t kHeld = 64 * 1024;

const telnet_telopt_t kOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DO},
    {-1, 0, 0},
};

const char kParities[] = "?noems";  // by the option's parity value

bool SetNonBlocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0; }

}  // namespace

ServedPort::~ServedPort()
{
    if (telnet_)
        telnet_free(telnet_);
    if (client_ >= 0)
        ::close(client_);
    if (listener_ >= 0)
        ::close(listener_);
}

bool ServedPort::Listen(const std::string &address, uint16_t port, std::string &error)
{
    where_ = address + ":" + std::to_string(port);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    if (listener_ < 0 || inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1 ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof(at)) != 0 || listen(listener_, 4) != 0) {
        error = "cannot listen on " + where_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ServedPort::Accept()
{
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (client_ >= 0) {
            // Told in plain text: the client may not even speak telnet.
            const std::string busy = "nuvix-sim: " + name_ + " is busy: another client has it\r\n";
            (void)!::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            refused_++;
            out_.Always("  " + name_ + "  refused a second client: the port is busy");
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        SetNonBlocking(fd);
        client_ = fd;
        clients_++;
        settings_ = ProgramSettings{};
        settings_.baud = kInitialBaud;
        purge_ = 0;
        suspended_ = false;
        modemMask_ = 0xFF;
        lineMask_ = 0;
        modemKnown_ = false;
        refusal_.clear();
        telnet_ = telnet_init(kOptions, &ServedPort::OnEvent, 0, this);
        telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
        telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
        telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_SGA);
        telnet_negotiate(telnet_, TELNET_WILL, kComPortOption);
        out_.Always("  " + name_ + "  client connected");
    }
}

void ServedPort::Drop(const std::string &why)
{
    if (client_ < 0)
        return;
    if (!why.empty())
        out_.Always("  " + name_ + "  " + why);
    telnet_free(telnet_);
    telnet_ = nullptr;
    ::close(client_);
    client_ = -1;
    fromClient_.clear();
    toClient_.clear();
}

bool ServedPort::Service()
{
    Accept();
    bool happened = false;
    if (client_ >= 0 && fromClient_.size() < kHeld) {
        char buffer[16 * 1024];
        const ssize_t n = ::recv(client_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Drop("");
            return true;
        }
        if (n > 0) {
            telnet_recv(telnet_, buffer, size_t(n));
            happened = true;
        }
        if (!refusal_.empty()) {
            Drop("refused a client: " + refusal_);
            refused_++;
            return true;
        }
    }
    Flush();
    return happened;
}

void ServedPort::Flush()
{
    if (client_ < 0 || toClient_.empty())
        return;
    const ssize_t n = ::send(client_, toClient_.data(), toClient_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0)
        toClient_.erase(toClient_.begin(), toClient_.begin() + n);
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        Drop("");
}

void ServedPort::Watch(std::vector<struct pollfd> &fds, bool /*input*/, bool /*output*/) const
{
    fds.push_back({listener_, POLLIN, 0});
    if (client_ >= 0)
        fds.push_back(
            {client_, short((fromClient_.size() < kHeld ? POLLIN : 0) | (toClient_.empty() ? 0 : POLLOUT)), 0});
}

size_t ServedPort::Read(uint8_t *buffer, size_t capacity)
{
    const size_t n = std::min(capacity, fromClient_.size());
    std::copy_n(fromClient_.begin(), n, buffer);
    fromClient_.erase(fromClient_.begin(), fromClient_.begin() + long(n));
    return n;
}

size_t ServedPort::Write(const uint8_t *data, size_t length)
{
    if (client_ < 0 || toClient_.size() >= kHeld)
        return 0;
    const size_t n = std::min(length, kHeld - toClient_.size());
    telnet_send(telnet_, reinterpret_cast<const char *>(data), n);
    Flush();
    return n;
}

unsigned ServedPort::TakePurge()
{
    const unsigned purge = purge_;
    purge_ = 0;
    return purge;
}

void ServedPort::Notify(uint8_t modem, uint8_t lineErrors)
{
    if (client_ < 0)
        return;
    modem &= kModemLines;
    const uint8_t changed = modemKnown_ ? uint8_t(modem ^ modemSent_) : kModemLines;
    if (changed & modemMask_) {
        // The low nibble flags which lines changed, in the order of the high one.
        Reply(kNotifyModemState, {uint8_t((modem | changed >> 4) & modemMask_)});
        modemSent_ = modem;
        modemKnown_ = true;
    }
    if (lineErrors & lineMask_)
        Reply(kNotifyLineState, {uint8_t(lineErrors & lineMask_)});
    Flush();
}

void ServedPort::Reply(uint8_t code, const std::vector<uint8_t> &value)
{
    std::vector<char> payload{char(code + kReplyOffset)};
    payload.insert(payload.end(), value.begin(), value.end());
    telnet_subnegotiation(telnet_, kComPortOption, payload.data(), payload.size());
}

void ServedPort::OnEvent(telnet_t *, telnet_event_t *event, void *self)
{
    static_cast<ServedPort *>(self)->Event(*event);
}

void ServedPort::Event(telnet_event_t &event)
{
    switch (event.type) {
    case TELNET_EV_SEND:
        toClient_.insert(toClient_.end(), event.data.buffer, event.data.buffer + event.data.size);
        break;
    case TELNET_EV_DATA:
        // Bytes after a refusal belong to a client that is on its way out.
        if (refusal_.empty())
            fromClient_.insert(fromClient_.end(), event.data.buffer, event.data.buffer + event.data.size);
        break;
    case TELNET_EV_SUBNEGOTIATION:
        if (event.sub.telopt == kComPortOption && refusal_.empty())
            Request(reinterpret_cast<const uint8_t *>(event.sub.buffer), event.sub.size);
        break;
    case TELNET_EV_ERROR:
        refusal_ = std::string("malformed telnet (") + event.error.msg + ")";
        break;
    case TELNET_EV_WARNING:
        // libtelnet warns of sequences it can carry on after, such as an IAC
        // inside a subnegotiation followed by something other than SE or IAC.
        refusal_ = std::string("malformed telnet (") + event.error.msg + ")";
        break;
    default:
        break;
    }
}

void ServedPort::Request(const uint8_t *value, size_t length)
{
    if (length == 0) {
        refusal_ = "an empty COM-PORT-OPTION subnegotiation";
        return;
    }
    const uint8_t code = value[0];
    value++;
    length--;
    // Requests with a one-byte value, and the one with four.
    const bool oneByte = code == kSetDataSize || code == kSetParity || code == kSetStopSize || code == kSetControl ||
                         code == kSetLineStateMask || code == kSetModemStateMask || code == kPurgeData;
    const bool wellFormed =
        (code == kSetBaudRate && length == 4) || (oneByte && length == 1) ||
        ((code == kFlowSuspend || code == kFlowResume || code == kNotifyLineState) && length == 0) ||
        (code == kNotifyModemState && length <= (farEnd_ ? 1u : 0u));
    if (!wellFormed) {
        refusal_ =
            "COM-PORT-OPTION request " + std::to_string(code) + " with " + std::to_string(length) + " value bytes";
        return;
    }
    ProgramSettings &s = settings_;
    const uint8_t v = length ? value[0] : 0;
    switch (code) {
    case kSetBaudRate: {
        const uint32_t baud = uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 | uint32_t(value[2]) << 8 | value[3];
        if (baud)
            s.baud = baud;
        Reply(code, {uint8_t(s.baud >> 24), uint8_t(s.baud >> 16), uint8_t(s.baud >> 8), uint8_t(s.baud)});
        break;
    }
    case kSetDataSize:
        if (v >= 5 && v <= 8)
            s.dataBits = v;
        Reply(code, {s.dataBits});
        break;
    case kSetParity:
        if (v >= 1 && v <= 5)
            s.parity = kParities[v];
        Reply(code, {uint8_t(std::strchr(kParities, s.parity) - kParities)});
        break;
    case kSetStopSize:
        // 1.5 stop bits (3) exist only with five data bits, where the UART
        // gives them for its "two"; elsewhere the setting stays.
        if (v == 1 || v == 2 || (v == 3 && s.dataBits == 5))
            s.stopBits = v == 1 ? 1 : 2;
        Reply(code, {uint8_t(s.stopBits == 1 ? 1 : s.dataBits == 5 ? 3 : 2)});
        break;
    case kSetControl: {
        uint8_t answer = v;
        switch (v) {
        case 0:   // which outbound flow control
        case 13:  // which inbound
            answer = uint8_t((s.rtsCts ? 3 : (v == 0 ? s.xonXoffOut : s.xonXoffIn) ? 2 : 1) + (v ? 13 : 0));
            break;
        case 1:
        case 14:
            s.rtsCts = false;
            (v == 1 ? s.xonXoffOut : s.xonXoffIn) = false;
            break;
        case 2:
        case 15:
            s.rtsCts = false;
            (v == 2 ? s.xonXoffOut : s.xonXoffIn) = true;
            break;
        case 3:
        case 16:
            s.rtsCts = true;
            s.xonXoffOut = s.xonXoffIn = false;
            break;
        case 4:
            answer = s.breakOn ? 5 : 6;
            break;
        case 5:
        case 6:
            s.breakOn = v == 5;
            break;
        case 7:
            answer = s.dtr ? 8 : 9;
            break;
        case 8:
        case 9:
            s.dtr = v == 8;
            break;
        case 10:
            answer = s.rts ? 11 : 12;
            break;
        case 11:
        case 12:
            s.rts = v == 11;
            break;
        case 17:
        case 18:
        case 19:
            // DCD, DTR and DSR flow control: not offered; the flow in effect.
            answer = uint8_t(s.rtsCts ? 3 : s.xonXoffOut ? 2 : 1);
            break;
        default:
            refusal_ = "SET-CONTROL value " + std::to_string(v);
            return;
        }
        Reply(code, {answer});
        break;
    }
    case kNotifyLineState:
        Reply(code, {0});
        break;
    case kNotifyModemState:
        // From the device at the far end: the lines it presents now.
        if (length)
            s.deviceLines = uint8_t(v & kModemLines);
        Reply(code, {uint8_t(farEnd_ && s.deviceLines ? *s.deviceLines : modemSent_)});
        break;
    case kFlowSuspend:
    case kFlowResume:
        suspended_ = code == kFlowSuspend;
        Reply(code, {});
        break;
    case kSetLineStateMask:
        lineMask_ = v;
        Reply(code, {v});
        break;
    case kSetModemStateMask:
        modemMask_ = v;
        Reply(code, {v});
        break;
    case kPurgeData:
        if (v < 1 || v > 3) {
            refusal_ = "PURGE-DATA value " + std::to_string(v);
            return;
        }
        purge_ |= (v & 1 ? kPurgeReceive : 0) | (v & 2 ? kPurgeTransmit : 0);
        // What the client sent before the purge goes with it.
        if (v & 2)
            fromClient_.clear();
        Reply(code, {v});
        break;
    default:
        refusal_ = "unknown COM-PORT-OPTION request " + std::to_string(code);
        return;
    }
}

}  // namespace nuvix::simtool
