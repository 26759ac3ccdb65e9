// A bulk transfer on a request of the test's own, sent straight to a bus's
// device object and completed asynchronously, for tests that watch a
// transfer wait in the bus.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/platform.h"
#include "sim/io/io.h"
#include "sim/kernel/scheduler.h"

namespace testing_support {

class BulkRequest {
public:
    using Bytes = std::vector<uint8_t>;

    BulkRequest(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG flags, Bytes data)
        : pdo_(pdo), buffer_(std::move(data))
    {
        std::memset(&urb_, 0, sizeof(urb_));
        auto &bulk = urb_.UrbBulkOrInterruptTransfer;
        bulk.Hdr.Length = sizeof(bulk);
        bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk.PipeHandle = pipe;
        bulk.TransferFlags = flags;
        bulk.TransferBuffer = buffer_.data();
        bulk.TransferBufferLength = static_cast<ULONG>(buffer_.size());
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    }
    ~BulkRequest()
    {
        // A transfer still down in the bus belongs to it; a failing test leaks it rather than crash.
        if (!sim::io::IrpHeldByLowerDriver(irp_))
            IoFreeIrp(irp_);
    }
    BulkRequest(const BulkRequest &) = delete;
    BulkRequest &operator=(const BulkRequest &) = delete;

    NTSTATUS Start() { return IofCallDriver(pdo_, irp_); }
    bool Done() { return KeReadStateEvent(&done_) != 0; }
    NTSTATUS Wait()
    {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return status_;
    }
    // False when the transfer has not ended within this much kernel time.
    bool WaitFor(int64_t ticks)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ticks;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    }
    PURB Urb() { return &urb_; }
    PIRP Irp() const { return irp_; }
    USBD_STATUS UrbStatus() const { return urb_.UrbHeader.Status; }
    ULONG Length() const { return urb_.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    Bytes Data() const { return Bytes(buffer_.begin(), buffer_.begin() + Length()); }
    const std::string &CompletedOn() const { return completedOn_; }
    KIRQL CompletedAt() const { return completedAt_; }
    sim::Ticks CompletedTime() const { return completedTime_; }  // kernel time of the completion

private:
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<BulkRequest *>(context);
        self->status_ = irp->IoStatus.Status;
        self->completedOn_ = sim::Scheduler::Get().CurrentName();
        self->completedAt_ = KeGetCurrentIrql();
        self->completedTime_ = sim::Scheduler::Get().Now();
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    Bytes buffer_;
    URB urb_;
    KEVENT done_;
    PIRP irp_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
    std::string completedOn_;
    KIRQL completedAt_ = PASSIVE_LEVEL;
    sim::Ticks completedTime_ = 0;
};

}  // namespace testing_support
