#include "traffic.h"

#include <algorithm>

namespace sim::host {

bool OpenForTraffic(HostSerialDriver &host, HostPort &port, ULONG rxSize, ULONG txSize, Flow flow)
{
    if (!host.Open(port))
        return false;
    bool ok = host.Bind(port, rxSize, txSize);
    if (ok && flow == Flow::RtsCts) {
        SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
        ok = host.Control(port, IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof(handflow), nullptr, 0);
    }
    if (!ok)
        host.Close(port);
    return ok;
}

std::string CheckedEcho(HostSerialDriver &host, HostPort &port, int index, size_t total, int64_t patience)
{
    size_t sent = 0, received = 0;
    uint8_t buffer[256];
    while (received < total) {
        while (sent < total) {
            uint8_t chunk[97];
            const size_t n = std::min(sizeof(chunk), total - sent);
            for (size_t i = 0; i < n; i++)
                chunk[i] = EchoByte(sent + i, index);
            const size_t taken = host.Write(port, chunk, n);
            sent += taken;
            if (taken < n)
                break;
        }
        const size_t n = host.Read(port, buffer, sizeof(buffer));
        for (size_t i = 0; i < n; i++)
            if (buffer[i] != EchoByte(received + i, index))
                return "port " + std::to_string(index) + ": wrong byte at " + std::to_string(received + i);
        received += n;
        if (n == 0 && !host.WaitReadable(port, patience))
            return "port " + std::to_string(index) + ": stalled at " + std::to_string(received);
    }
    return "";
}

std::string ShortEcho(HostSerialDriver &host, HostPort &port, const std::vector<uint8_t> &bytes, int64_t patience)
{
    if (host.Write(port, bytes.data(), bytes.size()) != bytes.size())
        return "the host took only part of " + std::to_string(bytes.size()) + " bytes";
    std::vector<uint8_t> back;
    while (back.size() < bytes.size()) {
        uint8_t buffer[256];
        const size_t n = host.Read(port, buffer, sizeof(buffer));
        back.insert(back.end(), buffer, buffer + n);
        if (n == 0 && !host.WaitReadable(port, patience))
            break;
    }
    if (back != bytes)
        return std::to_string(back.size()) + " of " + std::to_string(bytes.size()) + " bytes came back, or not as sent";
    return "";
}

}  // namespace sim::host
