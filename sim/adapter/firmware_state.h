// The main firmware model's state and the routines that change it, shared by
// the files that make up the model: main_firmware.cpp (the device on the bus
// and the test's controls), command_channel.cpp (the command interpreter) and
// serial_lines.cpp (the UARTs, their lines and their peers). Internal to
// sim/adapter; tests use main_firmware.h.
#pragma once

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "main_firmware.h"
#include "protocol.h"
#include "sim/kernel/scheduler.h"
#include "sim/usb/bus.h"
#include "sim/usb/endpoint_faults.h"
#include "uart.h"

namespace sim::adapter {

// Internal to the model: included by its own files only.
constexpr size_t kDefaultCapacity = 1024;
// Characters a paced UART puts on the line per timer event: one event per
// character would make a megabyte transfer a million controller jobs.
constexpr size_t kPacedBatch = 64;
constexpr size_t kSetupBlockSize = 13;
constexpr uint8_t kStatusFlags = 0x01;
constexpr uint8_t kGarbageCode = 0x7E;
constexpr size_t kGarbageLength = 7;
constexpr uint8_t kNoOpCommand = wire::kNoOp;

// The information block kGetInfo returns unless a test sets another.
std::array<uint8_t, 35> DefaultInfoBlock();

struct MainFirmware::Impl : std::enable_shared_from_this<MainFirmware::Impl> {
    // What an operation leaves to do once the lock is released: the bus may
    // call straight back into the model, so it is never called with the lock
    // held.
    struct Work;
    // A timer runs under the lock, with its own Work.
    using Timer = std::function<void(Impl &, Work &)>;

    struct Work {
        Ticks now = 0;
        uint64_t power = 0;  // the power cycle the work belongs to
        std::vector<uint8_t> ready;
        std::vector<std::pair<Ticks, Timer>> timers;

        void Wake(uint8_t endpoint)
        {
            if (std::find(ready.begin(), ready.end(), endpoint) == ready.end())
                ready.push_back(endpoint);
        }
    };

    explicit Impl(std::string serialNumber) : serial(std::move(serialNumber)), info(DefaultInfoBlock()) {}

    // Runs f(work) under the lock, then tells the bus what f left to do.
    template <typename F>
    auto Run(F &&f) -> decltype(f(std::declval<Work &>()))
    {
        Work work;
        work.now = Scheduler::Get().Now();
        if constexpr (std::is_void_v<decltype(f(work))>) {
            {
                std::lock_guard lock(mutex);
                work.power = power;
                f(work);
            }
            Apply(work);
        } else {
            std::unique_lock lock(mutex);
            work.power = power;
            auto result = f(work);
            lock.unlock();
            Apply(work);
            return result;
        }
    }

    // The bus is read, and called, under plugMutex: a device being unplugged
    // waits until nobody is calling the bus it leaves, which goes right after.
    // Timers carry their power cycle and do nothing once the device has lost
    // power since they were set (they belong to the bus it left).
    void Apply(Work &work);

    // The device lost power (unplugged): the firmware starts again from
    // nothing when it is plugged in. What the test set up (answer mode,
    // failures and holds asked for, pacing, capacity, the information block,
    // what is wired to each port) is not device state and stays, as do the
    // records tests read (commands seen, pipe resets).
    void PowerOffLocked();

    Uart &U(int port) { return uarts[static_cast<size_t>(port - 1)]; }

    // What a transfer gets before the firmware looks at it: a failure the
    // test asked for, or a NAK while the endpoint is held.
    std::optional<usb::BulkAnswer> PreemptLocked(uint8_t endpoint) { return faults.endpoints.Preempt(endpoint); }

    // --- the command channel ------------------------------------------------

    void QueueResponseLocked(std::vector<uint8_t> frame, Work &work);

    // An answer to a command, bent the way the answer mode says.
    void AnswerLocked(std::vector<uint8_t> frame, Work &work);

    void AnswerDoneLocked(int port, Work &work);

    // One frame from the command OUT pipe. The firmware reads a fixed-size
    // buffer, so bytes a short frame leaves out read as zero, except in the
    // setup block, which keeps what the last kSetup put there.
    void ExecuteLocked(const std::vector<uint8_t> &frame, Work &work);

    // --- modem lines ----------------------------------------------------------

    uint8_t SeenLinesLocked(int port);

    // Some UART's outputs or wiring changed: every UART re-reads its inputs,
    // and an open port reports a change of what it sees.
    void LinesChangedLocked(Work &work);

    // --- the serial lines -------------------------------------------------------

    // A character, or a break, arrives at a UART's receiver: decoded with
    // the UART's own framing, taken as XON or XOFF under transmit flow
    // control, else put in the FIFO (lost when it is full); errors reported.
    void ReceiveLocked(int port, const LineCharacter &character, Work &work);

    // The receiver saw line status bits: recorded, and reported while the
    // port is open. While its report still waits
    // on the command IN pipe, new bits are added to it, as a UART's line
    // status register gathers errors until it is read.
    void ReportLineStatusLocked(int port, uint8_t bits, Work &work);

    // The UART's receive level changed: the automatic RTS and DTR follow it,
    // and an XON or XOFF it now has to send goes at once unless the line is
    // paced (then with the UART's next batch).
    void FlowCheckLocked(int port, Work &work);

    // Break goes on or off on the UART's transmitter; the peer's receiver
    // sees a break when it goes on, and transmission resumes when it goes
    // off.
    void SetBreakLocked(int port, bool on, Work &work);

    // Whether the UART may start its next character now: its XON or XOFF,
    // or data when nothing holds it.
    bool CanSendLocked(int port);

    void SendCharacterLocked(int port, Work &work);

    // Hands a character the UART sent (or its break) to the cable's far end.
    void PutOnLineLocked(int port, const LineCharacter &character, Work &work);

    // As many characters at once as can go before anything that decides
    // whether the next may go could change (the receiver's automatic RTS, an
    // endpoint peer's room): the same as that many SendCharacterLocked calls.
    // Characters the receiver must decode one by one (another shape of
    // frame, or XON and XOFF to look for) go one at a time.
    void SendRunLocked(int port, Work &work);

    // A host write the model refused for want of room is retried once the
    // whole of it fits.
    void CheckTransmitRoomLocked(int port, Work &work);

    // Starts what each UART can send now; repeats while characters moved,
    // since a delivery can change another UART's lines.
    void PumpAllLocked(Work &work);

    bool PumpLocked(int port, Work &work);

    // Puts up to kPacedBatch characters on the line; they reach the peer when
    // the last of them has been shifted out. The characters stay in the FIFO
    // until then, so the host sees the FIFO drain at the line's pace. Batches
    // that follow each other are timed from the start of the run, so rounding
    // does not add up over a long transfer.
    void StartBatchLocked(int port, Work &work);

    // The batch's time on the line is over. What may hold the transmitter
    // (break, CTS, DSR, XOFF) is looked at before each character, as the UART
    // does, so a sender held off mid-batch keeps the rest in its FIFO.
    void BatchDoneLocked(int port, Work &work);

    void DisconnectLocked(int port);

    void RewiredLocked(Work &work);

    sim::Mutex plugMutex;     // taken before mutex, never after
    usb::Bus *bus = nullptr;  // guarded by plugMutex, written under both
    sim::Mutex mutex;
    uint64_t power = 0;  // power cycles: counts the times the device lost power
    const std::string serial;
    uint8_t configuration = 0;
    std::vector<std::vector<uint8_t>> commands;
    std::deque<std::vector<uint8_t>> responses;
    std::array<uint8_t, 35> info;
    FirmwareFaults faults;
    std::map<uint8_t, int> resets;
    bool paced = false;
    size_t capacity = kDefaultCapacity;
    std::array<Uart, kPorts> uarts;
};

}  // namespace sim::adapter
