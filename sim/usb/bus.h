// The simulated USB bus driver: the device object an adapter's driver
// attaches to. It serves IOCTL_INTERNAL_USB_SUBMIT_URB for descriptor reads,
// vendor requests, configuration selection, bulk transfers and pipe resets,
// against a DeviceModel. Requests complete from the bus's own controller
// thread (as from the host controller's DPC), or inline inside IofCallDriver
// when a test asks for it; cancellation is honoured, and can be delayed or
// done inside the cancel call to exercise the driver's cancel paths.
//
// The same device object is the adapter's physical device object: it answers
// Plug and Play, power and system-control requests as a bus driver does,
// completing them with STATUS_SUCCESS unless a test asks otherwise, and
// records each one as it arrived.
//
// Pipes. Each select-configuration request makes new pipe records, whose
// addresses are the pipe handles it hands out. Selecting another
// configuration or deselecting closes the old pipes at once, as a bus driver
// aborts them: the transfers waiting on them end USBD_STATUS_CANCELED; a
// transfer the device is answering at that moment (on another processor)
// ends with the device's answer if it had one, else cancelled; a closed
// pipe's handle is refused (USBD_STATUS_INVALID_PIPE_HANDLE). Pipe records
// live as long as the bus, so a handle is never reused and nothing ever
// reads a freed record.
#pragma once

#include <atomic>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_faults.h"
#include "device_model.h"
#include "sim/kernel/scheduler.h"

namespace sim::usb {

struct UrbRecord {
    USHORT function = 0;
    uint8_t endpoint = 0;  // bulk (cancelled ones too) and reset-pipe requests
    size_t length = 0;     // bytes requested
    size_t transferred = 0;
    SetupPacket setup;  // vendor requests
    uint8_t descriptorType = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// Watches the URBs a bus carries (a USB capture, say). Submitted is called as
// a request reaches the bus, before the bus acts on it; Completed once its
// status and lengths are final, just before it is completed upward (the URB
// is still the submitter's then). Both may run on any thread, at most
// DISPATCH_LEVEL, and must not block or call back into the bus.
class BusObserver {
public:
    virtual ~BusObserver() = default;
    virtual void Submitted(Bus &bus, const URB &urb) = 0;
    virtual void Completed(Bus &bus, const URB &urb) = 0;
};

// Running counts of what the bus carried, kept whatever the log keeps.
struct BusCounts {
    uint64_t urbs = 0;           // every request logged, as the log would hold it
    uint64_t bulkTransfers = 0;  // bulk transfers that ended (cancelled ones too)
    uint64_t bytesIn = 0;        // bulk bytes device to host
    uint64_t bytesOut = 0;       // bulk bytes host to device
};

// A Plug and Play, power or system-control request as it reached the bus,
// with the status the drivers above left in it on the way down.
struct PdoRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS arrivedWith = 0;
};

class Bus {
public:
    explicit Bus(DeviceModel &device, std::string name = "usb");
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // The lower device object a function driver attaches to.
    PDEVICE_OBJECT Pdo() const { return pdo_; }

    // Fault injection (bus_faults.h). The bus starts with its World's
    // WorldOptions::faults.bus; SetFaults replaces the whole record, and the
    // setters below change one field each, from now on.
    void SetFaults(const BusFaults &faults);
    BusFaults Faults();
    void SetCompletionMode(CompletionMode mode);
    void SetCancelMode(CancelMode mode);
    // Completes the requests held back by CancelMode::Hold.
    void ReleaseHeldCancelled();
    // BusFaults::deviceGone; going, the bus also fails the requests waiting
    // on it.
    void SetDeviceGone(bool gone);
    // BusFaults::controlTransferTime. Bulk transfers are not affected.
    void SetControlTransferTime(Ticks ticks);
    // Full-speed bulk timing (off by default: bulk transfers then complete as
    // soon as the device answers). On, the bus runs 1 ms frames: a pipe
    // carries at most one packet (wMaxPacketSize, 64 bytes) per frame, and
    // the whole bus at most kBulkPacketsPerFrame bulk packets per frame,
    // shared by every pipe on it, taken round the pipes from a point that
    // moves on each frame. A transfer of n packets completes at the end of
    // its n-th frame; an IN (or OUT) the device is not ready for is NAKed,
    // uses no packet, and is tried again in the first frame after the device
    // calls EndpointReady. Control transfers keep their own time
    // (SetControlTransferTime) in the frame's reserved control share, so they
    // take nothing from the bulk packets. Each Bus is its own bus: adapters
    // on different Bus objects do not share frames.
    static constexpr Ticks kFrame = kTicksPerMillisecond;
    static constexpr int kBulkPacketsPerFrame = 19;
    void SetBulkTiming(bool on);

    // BusFaults::startPending and startDelay.
    void SetStartPending(bool pending, Ticks delay = 0);
    // BusFaults::powerPending and powerDelay.
    void SetPowerPending(bool pending, Ticks delay = 0);
    // One entry of BusFaults::pnpFailures; ClearPnpFailures empties it.
    void FailPnp(UCHAR minor, NTSTATUS status);
    void ClearPnpFailures();
    // Every Plug and Play, power and system-control request received, in order.
    std::vector<PdoRequest> PdoRequests();

    // Every URB from now on is shown to observer (null: none); it must
    // outlive the bus or be replaced first.
    void SetObserver(BusObserver *observer) { observer_.store(observer); }

    // Device-side calls (from the model, any thread).
    void EndpointReady(uint8_t endpoint);
    // Runs fn on the controller thread after delay ticks of kernel time.
    void Schedule(Ticks delay, std::function<void()> fn);

    // What the bus has seen and holds. The log is whole when the world keeps
    // full records (WorldOptions::fullRecords, as tests do); otherwise it
    // holds the most recent kRecentLog requests, and Counts() the totals.
    static constexpr size_t kRecentLog = 1024;
    std::vector<UrbRecord> Log();
    BusCounts Counts();
    size_t PendingTransfers();
    size_t HeldCancelled();
    // Waits until nothing is queued for the controller (tests use it to let
    // the simulated hardware settle).
    void Drain();

private:
    // Written once, before the record is published under the scheduler lock,
    // and never changed: whoever found it open may read it without the lock.
    struct Pipe {
        uint8_t endpoint = 0;
        uint16_t maxPacket = 0;
        ULONG maximumTransferSize = 0;
    };
    struct Work;

    static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
    void RecordPdoRequest(PIRP irp);
    static VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Submit(PIRP irp);
    // The completion mode for one request (Random draws one), lock held.
    CompletionMode RequestModeLocked();
    // Carries out the URB; false when a bulk transfer has to wait for the device.
    bool Execute(PIRP irp, PURB urb);
    static bool CancelledBeforeQueued(PIRP irp);
    void ExecuteSelectConfiguration(PURB urb);
    std::vector<PIRP> ReplacePipes(std::vector<std::unique_ptr<Pipe>> pipes);
    bool ExecuteBulk(PIRP irp, PURB urb);
    void Finish(PIRP irp, USBD_STATUS status);
    void Record(const UrbRecord &record);
    // Readiness calls so far for the endpoint of the request's pipe; read
    // before the device is asked, handed to Queue.
    uint64_t ReadyCount(PIRP irp);
    void Queue(PIRP irp, uint64_t readyBefore);
    std::function<void()> ControllerWork(PIRP irp);
    void RetryEndpoint(uint8_t endpoint);
    std::vector<PIRP> TakeWaitingLocked(const std::function<bool(const Pipe &)> &match);
    void ChangeFaults(const std::function<void(BusFaults &)> &change);
    void ControllerLoop();
    // Bulk timing (bus_frames.cpp).
    bool QueueFramed(PIRP irp);
    void ScheduleFrameLocked();
    void RunFrame();
    void EndpointReadyFramedLocked(uint8_t endpoint);
    // The open pipe with this handle, or null; with the scheduler lock held.
    Pipe *FindPipeLocked(USBD_PIPE_HANDLE handle);
    // Any pipe record this bus made, open or closed, or null.
    Pipe *FindPipeRecordLocked(USBD_PIPE_HANDLE handle);

    DeviceModel &device_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    BusFaults faults_;  // guarded by the scheduler lock

    // Guarded by the scheduler lock (the controller's readiness test reads them).
    std::deque<std::function<void()>> work_;
    std::vector<std::pair<Ticks, std::function<void()>>> timers_;
    struct Waiting {
        PIRP irp;
        Pipe *pipe;
        bool parked = false;  // bulk timing: NAKed, waits for EndpointReady
    };
    std::vector<Waiting> waiting_;  // bulk transfers the device is not ready for
    // EndpointReady calls per endpoint (index: address & 0x0F, IN ones + 16):
    // a device may say it is ready while it is still answering a transfer
    // "not ready" on another thread, before that transfer is queued; the
    // count tells Queue to retry it rather than leave it waiting for a call
    // that has already come.
    std::array<uint64_t, 32> readyCalls_{};
    std::vector<PIRP> held_;  // cancelled, held back
    bool stopping_ = false;
    bool busy_ = false;
    bool rescan_ = false;  // a timer was added: recompute the deadline
    // Bulk timing, guarded by the scheduler lock too.
    struct Carrying {
        PIRP irp;
        Pipe *pipe;
        int packetsLeft;  // answered; packets still to go, one a frame
    };
    bool bulkTiming_ = false;
    bool frameScheduled_ = false;
    size_t frameRotation_ = 0;
    uint32_t readySince_ = 0;  // endpoints whose EndpointReady came since a take
    std::vector<Carrying> carrying_;

    sim::Mutex logMutex_;
    const bool fullLog_;
    std::deque<UrbRecord> log_;
    BusCounts counts_;
    std::vector<PdoRequest> pdoLog_;
    // Guarded by the scheduler lock: every pipe record this bus made (kept
    // until the bus goes), and the open ones, those of the configuration
    // selected now.
    std::vector<std::unique_ptr<Pipe>> pipeRecords_;
    std::vector<Pipe *> openPipes_;
    std::unique_ptr<Thread> controller_;
    std::atomic<BusObserver *> observer_{nullptr};
};

}  // namespace sim::usb
