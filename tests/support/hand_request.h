// A Plug and Play, power or system-control request sent by hand to the top
// of a device stack, built as the platform builds it (IoStatus.Status starts
// as STATUS_NOT_SUPPORTED), for tests that need what the Plug and Play
// manager's calls hide: the value the top driver's dispatch routine returned,
// the moment between that return and the completion, and which stack
// location each driver handed on (a driver that skips its location hands the
// one it was given; one that copies fills the next one down).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "sim/io/io.h"
#include "sim/kernel/scheduler.h"

namespace testing_support {

class HandRequest {
public:
    HandRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor) : top_(top), state_(std::make_shared<State>())
    {
        stackCount_ = top->StackSize;
        auto state = state_;
        CCHAR count = stackCount_;
        irp_ = sim::io::AllocateSystemIrp(top->StackSize, [state, count](PIRP irp) {
            // Every location is still as the drivers left it; the first one
            // is the lowest.
            PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - count;
            std::vector<PDEVICE_OBJECT> devices;
            for (CCHAR i = 0; i < count; i++)
                devices.push_back(first[static_cast<int>(i)].DeviceObject);
            NTSTATUS status = irp->IoStatus.Status;
            sim::io::FreeSystemIrp(irp);
            sim::Scheduler::Get().Change([&] {
                state->locations = devices;
                state->final = status;
                state->done = true;
            });
        });
        irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp_->IoStatus.Information = 0;
        irp_->RequestorMode = KernelMode;
        irp_->Tail.Overlay.Thread = KeGetCurrentThread();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = major;
        next->MinorFunction = minor;
    }
    HandRequest(const HandRequest &) = delete;
    HandRequest &operator=(const HandRequest &) = delete;
    ~HandRequest()
    {
        if (sent_)
            Wait();
        else
            sim::io::FreeSystemIrp(irp_);
    }

    // What the top driver's dispatch routine returned.
    NTSTATUS Send()
    {
        sent_ = true;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        return next->MajorFunction == IRP_MJ_POWER ? PoCallDriver(top_, irp_) : IofCallDriver(top_, irp_);
    }
    bool Done()
    {
        return sim::Scheduler::Get().Read([&] { return state_->done; });
    }
    // The final status, once the request has completed.
    NTSTATUS Wait()
    {
        auto state = state_;
        sim::Scheduler::Get().Block([state] { return state->done; }, std::nullopt, "a hand-sent request to complete");
        return state_->final;
    }
    // The device object each stack location was last given to, lowest first
    // (null: no driver used it). Valid after Wait.
    std::vector<PDEVICE_OBJECT> Locations()
    {
        return sim::Scheduler::Get().Read([&] { return state_->locations; });
    }

private:
    struct State {
        bool done = false;
        NTSTATUS final = STATUS_PENDING;
        std::vector<PDEVICE_OBJECT> locations;
    };
    PDEVICE_OBJECT top_;
    std::shared_ptr<State> state_;
    CCHAR stackCount_ = 0;
    PIRP irp_ = nullptr;
    bool sent_ = false;
};

}  // namespace testing_support
