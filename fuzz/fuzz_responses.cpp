// Fuzz target: what the adapter sends on its IN pipes. The input is cut into
// response frames for the command IN pipe, data for the four port IN pipes,
// failed transfers, and host actions in between; they go through the
// simulated bus to a started adapter whose ports are open and bound to the
// target's own host rings.
//
// One adapter is started per process (and again every kInputsPerWorld
// inputs, which bounds the bus's transfer log). Each input starts from the
// same state: ports set up as its header says, empty rings, cleared events
// and counters, nothing in flight. The bus completes inline on the calling
// thread, so an input that does not ask for a sync point never switches
// threads; at a sync point the bus's controller retries the transfers
// waiting for data while this thread waits, so one thread runs at a time and
// an input replays exactly.
//
// Checks beyond the sanitizers and the verifier's bug checks: every byte a
// port read delivered while its port was open and bound reaches the host's
// ring, in order, once; the ring's count and write index stay inside the
// ring; an open port's idle word says stopped whenever no read is in flight
// (its host restarts reception only then); an event names the port it is
// delivered for; at the end of the input
// nothing is in flight and the driver holds no more pool blocks, requests or
// descriptor lists than before it.
//
// Input layout (every field optional; missing bytes read as zero):
//   byte 0   port states, two bits per port (port 1 lowest):
//            0 closed, 1 open with the bind pending and no rings yet,
//            2 open with the rings given but the bind still pending, 3 open and bound
//   byte 1   receive ring size (low 3 bits pick one of kRingSizes); bit 3:
//            port 4 gets no receive ring
//   byte 2   where the rings start (the host's read and the driver's write index)
//   then operations, one byte each (kind = low 3 bits, argument = the rest)
//   and their operands; see Op below.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "driver/base/protocol.h"
#include "driver/command/response_reader.h"
#include "driver/base/context.h"
#include "driver/core/driver_entry.h"
#include "driver/port/data_paths.h"
#include "driver/usb/transport.h"
#include "fuzz/fuzz_device.h"
#include "fuzz/fuzz_support.h"
#include "sim/kernel/resources.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"
#include "sim/world.h"

namespace {

using fuzzing::Fail;
using fuzzing::InAnswer;
using fuzzing::Input;

constexpr int kPorts = PORTS_PER_ADAPTER;
constexpr int kInputsPerWorld = 1024;
// Answers per input: each one answered inline nests a completion inside the
// submission that asked for it, so this bounds the stack too.
constexpr size_t kMaxAnswers = 256;
constexpr ULONG kRingSizes[8] = {64, 65, 96, 127, 128, 200, 256, 4096};
constexpr USBD_STATUS kFailures[] = {
    USBD_STATUS_STALL_PID,       USBD_STATUS_DEV_NOT_RESPONDING,   USBD_STATUS_DATA_OVERRUN,
    USBD_STATUS_ENDPOINT_HALTED, USBD_STATUS_ERROR_SHORT_TRANSFER, USBD_STATUS_INSUFFICIENT_RESOURCES,
    USBD_STATUS_CANCELED,        USBD_STATUS_DEVICE_GONE};

enum Op : uint8_t {
    OpCommandFrame = 0,  // [len] [len bytes]: a frame on the command IN pipe
    OpPortData = 1,      // arg: port; [len] [len bytes]: data on that port's IN pipe (0 bytes: a zero-length packet)
    OpFailure = 2,       // arg: pipe (0..3 a port's, 4 the command pipe); [status]: a failed transfer
    OpSync = 3,          // the bus retries the transfers that wait for data
    OpHostRead = 4,      // arg: port; [count]: the host takes bytes off its ring, then calls StartRead
    OpStartReader = 5,   // the response reader is started (as a port open does)
    OpClose = 6,         // arg: port; the port starts closing (not open, no longer counted)
    OpBindDone = 7,      // arg: port; a pending bind completes
};

enum PortState : uint8_t { Closed = 0, OpenUnbound = 1, OpenBinding = 2, OpenBound = 3 };

struct HostSide {
    HostBuffers buffers{};
    std::vector<UCHAR> rx;
    ULONG rxIdle = 0;
    ULONG txIdle = 0;
    ULONG readIndex = 0;
    bool open = false;
    bool hasRing = false;
    std::deque<uint8_t> expected;  // delivered to the driver, not yet read by the host
    uint64_t delivered = 0;        // bytes of this input that reached the ring
    uint64_t notifications = 0;
    uint64_t events = 0;
};

class ResponsesWorld;
ResponsesWorld *gWorld = nullptr;

class ResponsesWorld {
public:
    ResponsesWorld();
    ~ResponsesWorld();
    void Run(const uint8_t *data, size_t size);

private:
    static VOID HOSTAPI RxNotify(ULONG context);
    static VOID HOSTAPI TxNotify(ULONG) {}
    static VOID HOSTAPI EventNotify(ULONG context, ULONGLONG record);
    static void Observed(void *context, uint8_t endpoint, const InAnswer &answer);

    void Reset(Input &input);
    void Sync();
    void StartReaders();
    void HostRead(int index, ULONG count);
    void StartRead(int index);
    void Finish();
    void CheckRing(int index, const char *where);
    void CheckIdleWords();
    PortContext *Port(int index) { return adapter_->Ports[index]; }
    std::vector<size_t> LiveCounts();

    sim::World world_{sim::WorldOptions{1, sim::ClockMode::Simulated, sim::Schedule::RealThreads}};
    sim::Testbed bed_{DriverEntry, RbGetServiceTable};
    fuzzing::FuzzDevice &device_ = bed_.Own<fuzzing::FuzzDevice>();
    sim::pnp::PnpManager &pnp_ = *bed_.pnp;
    sim::pnp::Device *plugged_ = nullptr;
    sim::usb::Bus *bus_ = nullptr;
    AdapterContext *adapter_ = nullptr;
    HostSide host_[kPorts];
    std::vector<size_t> baseline_;
    size_t answers_ = 0;
    bool readersStarted_ = false;
};

ResponsesWorld::ResponsesWorld()
{
    fuzzing::DescribeRunningAdapter(device_, "FZ000001");
    pnp_.OnNewBus([](sim::usb::Bus &bus) {
        bus.SetCompletionMode(sim::usb::CompletionMode::Inline);
        bus.SetCancelMode(sim::usb::CancelMode::Inline);
    });
    sim::pnp::PlugResult result = pnp_.Plug(device_);
    if (result.status != STATUS_SUCCESS || !result.device)
        Fail("setup: the adapter did not start");
    plugged_ = result.device;
    bus_ = &plugged_->Bus();
    adapter_ = static_cast<AdapterContext *>(plugged_->Fdo()->DeviceExtension);
    for (int i = 0; i < kPorts; i++)
        if (!Port(i) || !Port(i)->ReadBuffer || !Port(i)->DataInPipe)
            Fail("setup: a port is missing after the start");
    device_.Observe(Observed, this);
    baseline_ = LiveCounts();
    gWorld = this;
}

ResponsesWorld::~ResponsesWorld()
{
    gWorld = nullptr;
    device_.Observe(nullptr, nullptr);
    if (plugged_->Present())
        pnp_.SurpriseRemove(*plugged_);
    bed_.Unload();
}

std::vector<size_t> ResponsesWorld::LiveCounts()
{
    std::vector<size_t> counts(3);
    for (const sim::Resource &r : sim::Resources::Get().Live())
        counts[static_cast<size_t>(r.kind)]++;
    return counts;
}

VOID HOSTAPI ResponsesWorld::RxNotify(ULONG context)
{
    gWorld->host_[context].notifications++;
    gWorld->CheckRing(static_cast<int>(context), "in the receive callback");
}

VOID HOSTAPI ResponsesWorld::EventNotify(ULONG context, ULONGLONG record)
{
    EventRecord event;
    std::memcpy(&event, &record, sizeof(event));
    gWorld->host_[context].events++;
    if (event.PortNumber != context + 1)
        Fail("an event for port " + std::to_string(event.PortNumber) + " was delivered to port " +
             std::to_string(context + 1));
}

// The device gives an answer: data for an open port with a ring must reach
// that ring whole (a read is only asked for while a whole one fits).
void ResponsesWorld::Observed(void *context, uint8_t endpoint, const InAnswer &answer)
{
    auto *self = static_cast<ResponsesWorld *>(context);
    if (endpoint < fuzzing::PortIn(1) || endpoint > fuzzing::PortIn(kPorts))
        return;
    HostSide &host = self->host_[endpoint - fuzzing::PortIn(1)];
    if (USBD_SUCCESS(answer.status) && host.open && host.hasRing)
        host.expected.insert(host.expected.end(), answer.data.begin(), answer.data.end());
}

void ResponsesWorld::CheckRing(int index, const char *where)
{
    const HostBuffers &b = host_[index].buffers;
    if (!host_[index].hasRing)
        return;
    if (b.RxCount > b.RxSize || b.RxWriteIndex >= b.RxSize)
        Fail("port " + std::to_string(index + 1) + " ring out of bounds " + where + ": RxCount " +
             std::to_string(b.RxCount) + ", RxWriteIndex " + std::to_string(b.RxWriteIndex) + ", RxSize " +
             std::to_string(b.RxSize));
    if ((host_[index].readIndex + b.RxCount) % b.RxSize != b.RxWriteIndex)
        Fail("port " + std::to_string(index + 1) + " ring count and write index disagree " + where);
}

void ResponsesWorld::Reset(Input &input)
{
    uint8_t states = input.Byte();
    uint8_t ringChoice = input.Byte();
    uint8_t ringStart = input.Byte();
    ULONG rxSize = kRingSizes[ringChoice & 7];

    device_.ClearQueues();
    answers_ = 0;
    readersStarted_ = false;
    for (ULONG &count : ErrorStats)
        count = 0;

    LockAcquire(&adapter_->Lock);
    adapter_->OpenPortCount = 0;
    std::memset(adapter_->CommandInBuffer, 0, RESPONSE_BUFFER_SIZE);
    std::memset(adapter_->FirmwareInfo, 0, sizeof(adapter_->FirmwareInfo));
    std::memset(adapter_->StatusBlock, 0, sizeof(adapter_->StatusBlock));
    for (int i = 0; i < kPorts; i++) {
        PortContext *port = Port(i);
        HostSide &host = host_[i];
        auto state = static_cast<PortState>((states >> (2 * i)) & 3);
        host.expected.clear();
        host.delivered = host.notifications = host.events = 0;
        host.rxIdle = IDLE_STOPPED;
        host.txIdle = IDLE_STOPPED;
        host.hasRing = !(i == kPorts - 1 && (ringChoice & 8));
        host.rx.assign(host.hasRing ? rxSize : 0, 0);
        host.buffers = HostBuffers{};
        host.buffers.RxBase = host.hasRing ? host.rx.data() : nullptr;
        host.buffers.RxSize = host.hasRing ? rxSize : 0;
        host.buffers.RxWriteIndex = host.hasRing ? ringStart % rxSize : 0;
        host.readIndex = host.buffers.RxWriteIndex;
        host.open = state != Closed;

        std::memset(&port->HostBinding, 0, sizeof(port->HostBinding));
        if (state == OpenBinding || state == OpenBound) {
            port->HostBinding.HostBuffers = &host.buffers;
            port->HostBinding.RxNotify = RxNotify;
            port->HostBinding.RxNotifyContext = static_cast<ULONG>(i);
            port->HostBinding.RxIdleFlag = &host.rxIdle;
            port->HostBinding.TxNotify = TxNotify;
            port->HostBinding.TxNotifyContext = static_cast<ULONG>(i);
            port->HostBinding.TxIdleFlag = &host.txIdle;
            port->HostBinding.EventNotify = EventNotify;
            port->HostBinding.EventNotifyContext = static_cast<ULONG>(i);
        } else {
            host.hasRing = false;
        }
        port->Open = host.open;
        port->BindPending = state == OpenUnbound || state == OpenBinding;
        // No close has asked for a marker: whatever looks like one is data.
        port->DrainMarkerPending = FALSE;
        if (host.open)
            adapter_->OpenPortCount++;
        std::memset(&port->LastEvent, 0, sizeof(port->LastEvent));
        port->ModemStatus = 0;
        std::memset(port->ReadBuffer, 0, TRANSFER_CHUNK);
        KeClearEvent(&port->ReadDoneEvent);
        KeClearEvent(&port->PortStatusEvent);
        KeClearEvent(&port->CommandDoneEvent);
    }
    LockRelease(&adapter_->Lock);
    KeClearEvent(&adapter_->StatusEvent);
    KeClearEvent(&adapter_->FirmwareInfoEvent);
}

// What opening and binding the ports started: the response reader while a
// port is open, and a read per port with rings.
void ResponsesWorld::StartReaders()
{
    readersStarted_ = true;
    LockAcquire(&adapter_->Lock);
    if (adapter_->OpenPortCount > 0)
        StartResponseReader(adapter_, &adapter_->Lock);
    LockRelease(&adapter_->Lock);
    // The bind request starts reading before the bind is done.
    LockAcquire(&adapter_->Lock);
    for (int i = 0; i < kPorts; i++)
        if (Port(i)->HostBinding.HostBuffers)
            StartPortRead(Port(i));
    LockRelease(&adapter_->Lock);
}

// As the StartRead service routine does, for a port it accepts.
void ResponsesWorld::StartRead(int index)
{
    PortContext *port = Port(index);
    LockAcquire(&adapter_->Lock);
    if (port->Open && !port->BindPending)
        StartPortRead(port);
    LockRelease(&adapter_->Lock);
}

void ResponsesWorld::Sync()
{
    if (!readersStarted_)
        StartReaders();
    bool retried = false;
    for (uint8_t endpoint : fuzzing::AdapterEndpoints()) {
        if ((endpoint & 0x80) && device_.Waiting(endpoint) && device_.HasQueued(endpoint)) {
            bus_->EndpointReady(endpoint);
            retried = true;
        }
    }
    if (retried)
        bus_->Drain();
}

// Between operations nothing runs but this thread: a port whose read is not
// in flight has stopped, and its host must be able to see that.
void ResponsesWorld::CheckIdleWords()
{
    LockAcquire(&adapter_->Lock);
    for (int i = 0; i < kPorts; i++) {
        PortContext *port = Port(i);
        if (port->Open && port->HostBinding.RxIdleFlag && !port->ReadIrp && host_[i].rxIdle != IDLE_STOPPED) {
            LockRelease(&adapter_->Lock);
            Fail("port " + std::to_string(i + 1) + ": no read in flight, but the idle word says running");
        }
    }
    LockRelease(&adapter_->Lock);
}

// The host reads what arrived: it must be what the device sent, in order.
void ResponsesWorld::HostRead(int index, ULONG count)
{
    HostSide &host = host_[index];
    if (!host.hasRing)
        return;
    CheckRing(index, "before the host reads");
    HostBuffers &b = host.buffers;
    count = std::min(count, b.RxCount);
    for (ULONG n = 0; n < count; n++) {
        if (host.expected.empty())
            Fail("port " + std::to_string(index + 1) + ": the ring holds bytes the device never sent");
        if (host.rx[host.readIndex] != host.expected.front())
            Fail("port " + std::to_string(index + 1) + ": the ring holds other bytes than the device sent");
        host.expected.pop_front();
        host.delivered++;
        host.readIndex = (host.readIndex + 1) % b.RxSize;
    }
    // No read can be completing now: only this thread runs.
    b.RxCount -= count;
}

void ResponsesWorld::Finish()
{
    Sync();
    CheckIdleWords();
    for (int i = 0; i < kPorts; i++) {
        if (!host_[i].hasRing)
            continue;
        HostRead(i, host_[i].buffers.RxCount);
        if (!host_[i].expected.empty())
            Fail("port " + std::to_string(i + 1) + ": " + std::to_string(host_[i].expected.size()) +
                 " bytes the device sent never reached the ring");
    }
    for (int i = 0; i < kPorts; i++) {
        CancelAndWait(adapter_, &Port(i)->ReadIrp, nullptr);
        CancelAndWait(adapter_, &Port(i)->WriteIrp, nullptr);
    }
    CancelAndWait(adapter_, &adapter_->CommandInIrp, nullptr);
    CancelAndWait(adapter_, &adapter_->CommandOutIrp, nullptr);

    LockAcquire(&adapter_->Lock);
    bool idle = adapter_->CommandInIrp == nullptr && adapter_->TransfersInFlight == 0;
    for (int i = 0; i < kPorts; i++)
        idle = idle && Port(i)->ReadIrp == nullptr;
    for (int i = 0; i < kPorts; i++) {
        Port(i)->Open = FALSE;
        Port(i)->BindPending = FALSE;
        std::memset(&Port(i)->HostBinding, 0, sizeof(Port(i)->HostBinding));
    }
    adapter_->OpenPortCount = 0;
    LockRelease(&adapter_->Lock);
    if (!idle || bus_->PendingTransfers() != 0)
        Fail("transfers still in flight after every one was cancelled");
    if (LiveCounts() != baseline_)
        Fail("the driver holds more pool blocks, requests or descriptor lists than before the input:\n" +
             sim::Resources::Get().LeakReport());
    if (fuzzing::Tracing()) {
        std::fprintf(stderr, "answers %zu, bad-port frames %u\n", answers_,
                     static_cast<unsigned>(ErrorStats[ERROR_STAT_BAD_RESPONSE_PORT]));
        for (int i = 0; i < kPorts; i++)
            std::fprintf(stderr, "port %d: %s, %llu bytes read by the host, %llu receive callbacks, %llu events\n",
                         i + 1, host_[i].hasRing ? "ring" : "no ring",
                         static_cast<unsigned long long>(host_[i].delivered),
                         static_cast<unsigned long long>(host_[i].notifications),
                         static_cast<unsigned long long>(host_[i].events));
    }
}

void ResponsesWorld::Run(const uint8_t *data, size_t size)
{
    Input input(data, size);
    Reset(input);
    while (!input.Empty() && answers_ < kMaxAnswers) {
        uint8_t op = input.Byte();
        uint8_t arg = op >> 3;
        int port = arg % kPorts;
        switch (op & 7) {
        case OpCommandFrame: {
            uint8_t length = input.Byte();
            device_.Push(fuzzing::kCommandIn, InAnswer{USBD_STATUS_SUCCESS, input.Bytes(length)});
            answers_++;
            break;
        }
        case OpPortData: {
            uint8_t length = input.Byte();
            device_.Push(fuzzing::PortIn(port + 1), InAnswer{USBD_STATUS_SUCCESS, input.Bytes(length)});
            answers_++;
            break;
        }
        case OpFailure: {
            uint8_t pipe = arg % (kPorts + 1);
            USBD_STATUS status = kFailures[input.Byte() % std::size(kFailures)];
            device_.Push(pipe == kPorts ? fuzzing::kCommandIn : fuzzing::PortIn(pipe + 1), InAnswer{status, {}});
            answers_++;
            break;
        }
        case OpSync:
            Sync();
            break;
        case OpHostRead:
            HostRead(port, input.Byte());
            StartRead(port);
            break;
        case OpStartReader:
            StartResponseReader(adapter_, nullptr);
            break;
        case OpClose:
            if (host_[port].open) {
                LockAcquire(&adapter_->Lock);
                Port(port)->Open = FALSE;
                adapter_->OpenPortCount--;
                LockRelease(&adapter_->Lock);
                host_[port].open = false;
            }
            break;
        case OpBindDone:
            if (host_[port].open && Port(port)->HostBinding.HostBuffers) {
                LockAcquire(&adapter_->Lock);
                Port(port)->BindPending = FALSE;
                LockRelease(&adapter_->Lock);
            }
            break;
        }
        CheckIdleWords();
    }
    Finish();
}

std::unique_ptr<ResponsesWorld> gResponses;
int gInputs = 0;

// Registered after the simulation's own singletons exist, so it runs before
// they are destroyed: the adapter is removed while its world is whole.
void TearDownAtExit() { gResponses.reset(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::NoPerInputLeakHunt(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (gInputs++ % kInputsPerWorld == 0) {
        gResponses.reset();
        gResponses = std::make_unique<ResponsesWorld>();
        if (gInputs == 1)
            std::atexit(TearDownAtExit);
    }
    gResponses->Run(data, size);
    return 0;
}
