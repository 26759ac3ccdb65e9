// A model of the host serial driver: the driver's only client. It holds port
// records whose name starts at byte 32, gets the service table through the
// driver's export, owns each port's rings, idle words and callbacks, and
// records every callback.
//
// Counts shared with the driver. The driver adds to RxCount and takes from
// TxCount with plain updates under its adapter lock, which the host cannot
// take. So the host changes those two counts only where the driver cannot be
// changing them at the same moment:
//   - inside its own RxNotify/TxNotify callbacks, which the driver calls
//     under that lock, right after its own update;
//   - when the driver has stopped the path (the host knows it from what the
//     last callback saw: a ring too full to read into, or an empty transmit
//     ring). It first calls StartRead/StartWrite once, which takes the lock
//     after the completion that stopped the path has finished and finds
//     nothing to do, then updates the count, then calls again to restart.
// Bytes the host consumed or queued in between wait in a pending count and
// go into the shared count at the next such moment. Nothing is lost or
// counted twice, on any number of processors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/service/service_table.h"

namespace sim::host {

class HostSerialDriver;

struct PortStats {
    uint64_t rxNotifications = 0;
    uint64_t txNotifications = 0;
    uint64_t bytesRead = 0;     // taken out of the receive ring by the host
    uint64_t bytesQueued = 0;   // put into the transmit ring by the host
    uint64_t bytesSent = 0;     // taken out of the transmit ring by the driver
};

class HostPort {
public:
    HostPortHandle Handle() { return record_.data(); }
    const std::u16string &Name() const { return name_; }

    // What the callbacks delivered.
    std::vector<EventRecord> Events();
    PortStats Stats();
    // The host's view of the shared records (for tests; read under the
    // simulation's lock, not the driver's).
    HostBuffers Buffers();
    ULONG RxIdle();
    ULONG TxIdle();

private:
    friend class HostSerialDriver;
    HostPort(HostSerialDriver &host, std::u16string name, ULONG index);
    static VOID HOSTAPI RxNotify(ULONG context);
    static VOID HOSTAPI TxNotify(ULONG context);
    static VOID HOSTAPI EventNotify(ULONG context, ULONGLONG record);

    HostSerialDriver &host_;
    std::u16string name_;
    ULONG index_;
    std::vector<uint8_t> record_;  // the host's port record, name at byte 32

    // Shared with the driver once bound.
    HostBuffers buffers_{};
    ULONG rxIdle_ = 0;
    ULONG txIdle_ = 0;
    std::vector<uint8_t> rxRing_;
    std::vector<uint8_t> txRing_;

    // The host's own bookkeeping, under the simulation's lock.
    bool bound_ = false;
    ULONG rxReadIndex_ = 0;
    ULONG rxAvailable_ = 0;       // bytes the host may read
    ULONG rxConsumedPending_ = 0; // read, not yet taken off RxCount
    bool rxDriverBusy_ = false;
    ULONG txWriteIndex_ = 0;
    ULONG txKnownCount_ = 0;      // TxCount as last seen
    ULONG txPending_ = 0;         // queued, not yet added to TxCount
    bool txDriverBusy_ = false;
    std::vector<EventRecord> events_;
    PortStats stats_;
};

class HostSerialDriver {
public:
    HostSerialDriver();
    ~HostSerialDriver();

    const ServiceTableRecord *Table() const { return table_; }

    // A port record with this name (normally the adapter's serial number, a
    // separator and the port index '0'..'3').
    HostPort &AddPort(const std::u16string &name);
    static std::u16string PortName(const std::string &serialNumber, int portIndex);

    // The service routines, called as the host does: at PASSIVE_LEVEL, never
    // from inside a callback.
    bool Open(HostPort &port);
    bool Close(HostPort &port);
    bool StartRead(HostPort &port);
    bool StartWrite(HostPort &port);
    bool Control(HostPort &port, ULONG code, const void *input, ULONG inputLength, void *output,
                 ULONG outputLength);
    // Gives the port rings of these sizes (0: none) and binds it.
    bool Bind(HostPort &port, ULONG rxSize, ULONG txSize);

    // The data side. Write queues as much as fits and starts transmission if
    // the driver had stopped; Read takes what has arrived and restarts
    // reception if the driver had stopped for lack of room.
    size_t Write(HostPort &port, const uint8_t *data, size_t length);
    size_t Read(HostPort &port, uint8_t *data, size_t capacity);
    // Blocks (in simulated time) until the port has data to read, room to
    // write, or n events; false when the time-out passes first.
    bool WaitReadable(HostPort &port, int64_t timeoutTicks);
    bool WaitWritable(HostPort &port, int64_t timeoutTicks);
    bool WaitEvents(HostPort &port, size_t count, int64_t timeoutTicks);
    // Bytes queued for transmission and not yet sent by the driver.
    size_t Unsent(HostPort &port);

private:
    friend class HostPort;
    static HostPort *PortByContext(ULONG context);
    void KickTransmit(HostPort &port);
    void KickReceive(HostPort &port);

    const ServiceTableRecord *table_;
    std::vector<std::unique_ptr<HostPort>> ports_;
};

}  // namespace sim::host
