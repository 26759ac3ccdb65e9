// Bulk timing: the bus's 1 ms frames (Bus::SetBulkTiming). Transfers wait on
// the bus's waiting list, as untimed ones do when the device is not ready;
// each frame the controller thread takes the first transfer of every pipe
// that is not NAK-parked, up to the frame's share of bulk packets, lets the
// device answer it and completes it once its last packet has gone.
#include <algorithm>

#include "bus.h"
#include "sim/io/io.h"

namespace sim::usb {

namespace {

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

// One bit per endpoint address: 0x00-0x0F OUT, 0x80-0x8F IN.
uint32_t EndpointBit(uint8_t endpoint) { return 1u << ((endpoint & 0x0F) | ((endpoint & 0x80) >> 3)); }

}  // namespace

void Bus::SetBulkTiming(bool on)
{
    Scheduler::Get().ChangeFor(this, [&] {
        bulkTiming_ = on;
        if (on && !waiting_.empty())
            ScheduleFrameLocked();
    });
}

// A bulk transfer on an open pipe waits for its frame; false (nothing done)
// for a closed or unknown pipe, which the untimed path refuses.
bool Bus::QueueFramed(PIRP irp)
{
    bool cancelled = false;
    const bool queued = Scheduler::Get().ChangeFor(this, [&] {
        Pipe *pipe = FindPipeLocked(UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle);
        if (!pipe)
            return false;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        if (CancelledBeforeQueued(irp) && IoSetCancelRoutine(irp, nullptr)) {
            cancelled = true;
        } else {
            waiting_.push_back(Waiting{irp, pipe, false});
            ScheduleFrameLocked();
        }
        return true;
    });
    if (cancelled)
        Finish(irp, USBD_STATUS_CANCELED);
    return queued;
}

// The end of the frame under way, on the controller thread.
void Bus::ScheduleFrameLocked()
{
    if (frameScheduled_)
        return;
    frameScheduled_ = true;
    const Ticks due = (Scheduler::Get().NowLocked() / kFrame + 1) * kFrame;
    timers_.emplace_back(due, [this] { RunFrame(); });
    rescan_ = true;
}

void Bus::EndpointReadyFramedLocked(uint8_t endpoint)
{
    readySince_ |= EndpointBit(endpoint);
    bool any = false;
    for (Waiting &waiting : waiting_) {
        if (waiting.pipe->endpoint == endpoint) {
            waiting.parked = false;
            any = true;
        }
    }
    if (any)
        ScheduleFrameLocked();
}

void Bus::RunFrame()
{
    std::vector<PIRP> carried;
    std::vector<Waiting> taken;
    Scheduler::Get().ChangeFor(this, [&] {
        frameScheduled_ = false;
        int packets = kBulkPacketsPerFrame;
        std::vector<const Pipe *> busy;
        // Transfers already answered and longer than a packet go on first:
        // their pipe takes nothing new until they are through.
        for (auto it = carrying_.begin(); it != carrying_.end();) {
            busy.push_back(it->pipe);
            if (packets > 0) {
                packets--;
                if (--it->packetsLeft == 0) {
                    carried.push_back(it->irp);
                    it = carrying_.erase(it);
                    continue;
                }
            }
            ++it;
        }
        // The first transfer of each pipe, in the order they arrived.
        std::vector<size_t> heads;
        for (size_t i = 0; i < waiting_.size(); i++) {
            const Pipe *pipe = waiting_[i].pipe;
            if (std::find(busy.begin(), busy.end(), pipe) != busy.end())
                continue;
            busy.push_back(pipe);
            if (!waiting_[i].parked)
                heads.push_back(i);
        }
        // Round the pipes from a point that moves on each frame, so that a
        // full bus shares its packets out fairly.
        std::vector<size_t> chosen;
        const size_t start = heads.empty() ? 0 : frameRotation_++ % heads.size();
        for (size_t k = 0; k < heads.size() && packets > 0; k++) {
            const size_t i = heads[(start + k) % heads.size()];
            // A transfer whose cancel routine already runs is that routine's.
            if (!IoSetCancelRoutine(waiting_[i].irp, nullptr))
                continue;
            chosen.push_back(i);
            packets--;
        }
        std::sort(chosen.rbegin(), chosen.rend());
        for (size_t i : chosen) {
            readySince_ &= ~EndpointBit(waiting_[i].pipe->endpoint);
            taken.push_back(waiting_[i]);
            waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    });
    for (PIRP irp : carried)
        Finish(irp, UrbOf(irp)->UrbHeader.Status);

    for (const Waiting &each : taken) {
        PIRP irp = each.irp;
        if (!Execute(irp, UrbOf(irp))) {
            // NAKed: first in its pipe's line again, until the device says
            // it is ready (it may have said so while it was answering).
            bool cancelled = false;
            Scheduler::Get().ChangeFor(this, [&] {
                if (!FindPipeLocked(each.pipe)) {
                    cancelled = true;
                    return;
                }
                IoSetCancelRoutine(irp, CancelPending);
                if (CancelledBeforeQueued(irp) && IoSetCancelRoutine(irp, nullptr))
                    cancelled = true;
                else
                    waiting_.insert(waiting_.begin(),
                                    Waiting{irp, each.pipe, !(readySince_ & EndpointBit(each.pipe->endpoint))});
            });
            if (cancelled)
                Finish(irp, USBD_STATUS_CANCELED);
            continue;
        }
        const size_t bytes = UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength;
        const size_t packetSize = std::max<size_t>(1, each.pipe->maxPacket);
        const int packets = static_cast<int>(std::max<size_t>(1, (bytes + packetSize - 1) / packetSize));
        if (packets == 1)
            Finish(irp, UrbOf(irp)->UrbHeader.Status);
        else
            Scheduler::Get().ChangeFor(this, [&] { carrying_.push_back(Carrying{irp, each.pipe, packets - 1}); });
    }

    Scheduler::Get().ChangeFor(this, [&] {
        bool more = !carrying_.empty();
        for (const Waiting &waiting : waiting_)
            more = more || !waiting.parked;
        if (more)
            ScheduleFrameLocked();
    });
}

}  // namespace sim::usb
