// Small pieces the simulator's own tests share: a device object with a
// dispatch routine written as a lambda, and the few steps every hand-built
// request needs.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "driver/platform/platform.h"
#include "sim/io/io.h"

namespace simtest {

constexpr ULONG Tag(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

inline UNICODE_STRING Text(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

// A device object of a driver of its own. Dispatch receives every major
// function; a device attached to another reaches it through Below().
class TestDevice {
public:
    using Dispatch = std::function<NTSTATUS(TestDevice &self, PIRP irp)>;

    explicit TestDevice(Dispatch dispatch, const char16_t *name = nullptr) : dispatch_(std::move(dispatch))
    {
        driver_ = sim::io::CreateDriverObject("\\Driver\\SimTest");
        for (PDRIVER_DISPATCH &routine : driver_->MajorFunction)
            routine = Route;
        UNICODE_STRING text = Text(name ? name : u"");
        NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDevice *), name ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                         FALSE, &device_);
        EXPECT_EQ(status, STATUS_SUCCESS);
        *static_cast<TestDevice **>(device_->DeviceExtension) = this;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    ~TestDevice()
    {
        if (below_)
            IoDetachDevice(below_);
        IoDeleteDevice(device_);
        sim::io::DeleteDriverObject(driver_);
    }

    TestDevice(const TestDevice &) = delete;
    TestDevice &operator=(const TestDevice &) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_OBJECT Below() const { return below_; }
    PDEVICE_OBJECT AttachTo(PDEVICE_OBJECT target) { return below_ = IoAttachDeviceToDeviceStack(device_, target); }

private:
    static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp)
    {
        TestDevice *self = *static_cast<TestDevice **>(device->DeviceExtension);
        return self->dispatch_(*self, irp);
    }

    Dispatch dispatch_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT below_ = nullptr;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A request of the test's own, sized for the target's stack.
inline PIRP NewRequest(PDEVICE_OBJECT target, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL)
{
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    return irp;
}

// Completion routine for a request the test allocated: the request comes back
// to the test, which frees it.
inline NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

}  // namespace simtest
