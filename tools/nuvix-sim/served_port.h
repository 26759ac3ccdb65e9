// A port (or the device at a port's far end) offered on the network as a
// serial port: telnet (RFC 854), with the option negotiation done by
// libtelnet, and on top of it the COM-PORT-OPTION (option 44, RFC 2217)
// that carries a serial port's line settings, modem lines and purges.
//
// One client at a time: a second one is told the port is busy and
// disconnected. A client whose telnet is malformed (libtelnet reports a
// protocol error, or a COM-PORT-OPTION request has the wrong length or an
// unknown code) is disconnected, and the port closes as for any client that
// goes; nothing of it reaches other ports. Replies carry the request's code
// plus 100, with the value now in effect.
//
// As a far end (the device at the other end of the cable), the client's DTR
// and RTS are the device's, wired as a null-modem cable wires them (its DTR
// drives the UART's DSR and DCD, its RTS the UART's CTS), and a
// NOTIFY-MODEMSTATE it sends with a value sets the UART's CTS, DSR, RI and
// DCD at once, as a modem reports its lines; what it is told are the UART's
// DTR and RTS as its DSR and CTS, and a break the UART sends.
#pragma once

// libtelnet.h uses size_t without declaring it.
#include <cstddef>

#include <libtelnet.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "display.h"
#include "port_end.h"

namespace nuvix::simtool {

class ServedPort : public PortEnd {
public:
    ServedPort(std::string name, Output &output, bool farEnd) : name_(std::move(name)), out_(output), farEnd_(farEnd) {}
    ~ServedPort() override;
    ServedPort(const ServedPort &) = delete;
    ServedPort &operator=(const ServedPort &) = delete;

    // Listens on address:port; false with the reason in error.
    bool Listen(const std::string &address, uint16_t port, std::string &error);

    std::string Where() const override { return where_; }
    bool Present() const override { return client_ >= 0; }
    uint64_t Session() const override { return clients_; }
    size_t Read(uint8_t *buffer, size_t capacity) override;
    size_t Write(const uint8_t *data, size_t length) override;
    ProgramSettings Settings() const override { return settings_; }
    unsigned TakePurge() override;
    bool Suspended() const override { return suspended_; }
    void Notify(uint8_t modem, uint8_t lineErrors) override;
    bool Service() override;
    void Watch(std::vector<struct pollfd> &fds, bool input, bool output) const override;

    uint64_t Clients() const { return clients_; }
    uint64_t Refused() const { return refused_; }

private:
    static void OnEvent(telnet_t *telnet, telnet_event_t *event, void *self);
    void Event(telnet_event_t &event);
    void Request(const uint8_t *value, size_t length);
    void Reply(uint8_t code, const std::vector<uint8_t> &value);
    void Accept();
    void Drop(const std::string &why);
    void Flush();

    const std::string name_;
    Output &out_;
    const bool farEnd_;
    std::string where_;
    int listener_ = -1;
    int client_ = -1;
    telnet_t *telnet_ = nullptr;
    std::string refusal_;  // why the client is being dropped, once it is
    std::deque<uint8_t> fromClient_;
    std::vector<uint8_t> toClient_;  // telnet bytes not yet sent
    ProgramSettings settings_;
    unsigned purge_ = 0;
    bool suspended_ = false;
    uint8_t modemMask_ = 0xFF, lineMask_ = 0;
    uint8_t modemSent_ = 0;
    bool modemKnown_ = false;
    uint64_t clients_ = 0, refused_ = 0;
};

}  // namespace nuvix::simtool
