// A model of the host serial driver: the driver's only client. It holds port
// records whose name starts at byte 32, gets the service table through the
// driver's export, owns each port's rings, idle words and callbacks, and
// records every callback.
//
// Whether a path runs. The host learns it from the idle words alone, as a
// real host does: 1 means the driver stopped the path and will not restart
// it by itself (for whatever reason: a full or empty ring, a failed or
// cancelled transfer, no request to be had), 0 that it runs. The words are
// set to 1 before the bind (nothing runs yet). When a word says stopped and
// the host has room to receive into or bytes to send, it calls StartRead or
// StartWrite. A stop that follows a callback (the callback left too little
// room, or nothing to send) is known before the driver writes the word, so
// bytes the host adds in between are not left behind. It looks when it reads or writes, and while it waits (each
// wait looks at both paths of its port again at least every kRestartPoll of
// kernel time). A path the driver stopped although it had room or bytes (a
// failed transfer) is restarted at most once per kRestartPoll, so a device
// that fails every transfer is not hammered in a loop.
//
// Counts shared with the driver. The driver adds to RxCount and takes from
// TxCount with plain updates under its adapter lock, which the host cannot
// take. So the host changes those two counts only where the driver cannot be
// changing them at the same moment:
//   - inside its own RxNotify/TxNotify callbacks, which the driver calls
//     under that lock, right after its own update;
//   - when the driver has stopped the path for want of room (receive) or of
//     bytes (transmit). The host knows the count as the driver sees it (it
//     last set it, or saw it in a callback, and nothing else changes it while
//     the path is stopped), so it knows the driver would find nothing to do.
//     It first calls StartRead/StartWrite once, which takes the lock after
//     the completion that stopped the path has finished and, finding nothing
//     to do, starts nothing; then it updates the count; then it calls again
//     to restart. A path stopped with room or bytes left (a failure) needs no
//     count change: one call restarts it.
// Bytes the host consumed or queued in between wait in a pending count and
// go into the shared count at the next such moment. Nothing is lost or
// counted twice, on any number of processors. The host's own restarts of one
// path never overlap (the model serialises them).
//
// The idle words are the one place where host and driver race by design:
// the driver writes them under its lock, the host reads them whenever it
// likes, as aligned 32-bit words are read on the real machine. They live in
// memory of their own, never reused, and are the only accesses the model
// declares as intended races to ThreadSanitizer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <deque>
#include <vector>

#include "driver/platform/host_serial.h"

namespace sim::host {

class HostSerialDriver;

struct PortStats {
    uint64_t rxNotifications = 0;
    uint64_t txNotifications = 0;
    uint64_t bytesRead = 0;    // taken out of the receive ring by the host
    uint64_t bytesQueued = 0;  // put into the transmit ring by the host
    uint64_t bytesSent = 0;    // taken out of the transmit ring by the driver
};

class HostPort {
public:
    HostPortHandle Handle() { return record_.data(); }
    const std::u16string &Name() const { return name_; }

    // What the callbacks delivered: every event when the world keeps full
    // records (as tests do), else the most recent kRecentEvents, so that a
    // long run under flow control does not grow; EventCount counts them all,
    // and EventsSince(n) gives those after the first n still kept.
    static constexpr size_t kRecentEvents = 1024;
    std::vector<EventRecord> Events();
    uint64_t EventCount();
    std::vector<EventRecord> EventsSince(uint64_t n);
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
    ULONG *rxIdle_;  // idle words, in memory never reused (see above)
    ULONG *txIdle_;
    std::vector<uint8_t> rxRing_;
    std::vector<uint8_t> txRing_;

    // The host's own bookkeeping, under the simulation's lock.
    bool bound_ = false;
    ULONG rxReadIndex_ = 0;
    ULONG rxAvailable_ = 0;        // bytes the host may read
    ULONG rxConsumedPending_ = 0;  // read, not yet taken off RxCount
    bool rxKicking_ = false;       // a restart of the receive path is under way
    bool rxStopComing_ = false;    // the last RxNotify left too little room to read on
    int64_t rxRetryAt_ = 0;        // earliest restart after a failure
    ULONG txWriteIndex_ = 0;
    ULONG txKnownCount_ = 0;  // TxCount as last set or seen
    ULONG txPending_ = 0;     // queued, not yet added to TxCount
    bool txKicking_ = false;
    bool txStopComing_ = false;  // the last TxNotify left nothing to send
    int64_t txRetryAt_ = 0;
    bool fullEvents_ = false;
    std::deque<EventRecord> events_;
    uint64_t eventCount_ = 0;
    PortStats stats_;
};

class HostSerialDriver {
public:
    // How often a waiting host looks at the idle words, and the least time
    // between two restarts of a path the driver stopped after a failure.
    static constexpr int64_t kRestartPoll = 10 * 10'000;  // 10 ms
    // The driver's export that gives the service table: the linked driver's
    // RbGetServiceTable, or a loaded image's. The simulation never names the
    // driver's symbols itself; whoever loads the driver hands this in.
    typedef const ServiceTableRecord *(HOSTAPI *TableGetter)(VOID);
    explicit HostSerialDriver(TableGetter getTable);
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
    bool Control(HostPort &port, ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength);
    // Gives the port rings of these sizes (0: none) and binds it.
    bool Bind(HostPort &port, ULONG rxSize, ULONG txSize);

    // The data side. Write queues as much as fits and starts transmission if
    // the driver had stopped; Read takes what has arrived and restarts
    // reception if the driver had stopped for lack of room.
    size_t Write(HostPort &port, const uint8_t *data, size_t length);
    size_t Read(HostPort &port, uint8_t *data, size_t capacity);
    // Blocks (in simulated time) until the port has data to read, room to
    // write, or n events; false when the time-out passes first. A reader is
    // woken once the receive ring holds a good share of it (a writer once
    // the transmit ring has that much room), as a host driver's watermarks
    // would, not at every transfer; less is enough once a poll of the wait
    // passes without it, which in simulated time is as soon as nothing else
    // can happen.
    bool WaitReadable(HostPort &port, int64_t timeoutTicks);
    bool WaitWritable(HostPort &port, int64_t timeoutTicks);
    bool WaitEvents(HostPort &port, size_t count, int64_t timeoutTicks);
    // Bytes queued for transmission and not yet sent by the driver.
    size_t Unsent(HostPort &port);

private:
    friend class HostPort;
    static HostPort *PortByContext(ULONG context);
    enum class Kick { None, Restart, Refill };
    Kick ReceiveKickLocked(HostPort &port, int64_t now);
    Kick TransmitKickLocked(HostPort &port, int64_t now);
    void KickTransmit(HostPort &port, Kick kick);
    void KickReceive(HostPort &port, Kick kick);
    // Looks at the port's idle words and restarts what stopped; then waits
    // for ready() (with the scheduler lock) until the deadline, looking again
    // every kRestartPoll.
    bool WaitKicking(HostPort &port, const std::function<bool()> &ready, const std::function<bool()> &some,
                     int64_t timeoutTicks, const char *what);

    const ServiceTableRecord *table_;
    std::vector<std::unique_ptr<HostPort>> ports_;
};

}  // namespace sim::host
