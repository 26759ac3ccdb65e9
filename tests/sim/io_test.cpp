// The I/O manager's request mechanics, device stacks, the object namespace,
// fault injection and the leak report.
#include <string>
#include <vector>

#include "sim/kernel/resources.h"
#include "sim_helpers.h"
#include "tests/support/sim_test.h"

namespace {

using sim::ResourceKind;
using simtest::Complete;
using simtest::NewRequest;
using simtest::Tag;
using simtest::TestDevice;
using simtest::Text;

class IoTest : public testing_support::SimTest {};
class IoDeathTest : public testing_support::SimTest {};

constexpr UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

struct Hook {
    const char *name;
    std::vector<std::string> *log;
    NTSTATUS result = STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    bool pendingReturned = false;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *hook = static_cast<Hook *>(context);
    hook->log->push_back(hook->name);
    hook->device = device;
    hook->pendingReturned = irp->PendingReturned;
    // What every driver's routine owes the one above; the owner has no location to mark.
    if (device && irp->PendingReturned && hook->result != STATUS_MORE_PROCESSING_REQUIRED)
        IoMarkIrpPending(irp);
    return hook->result;
}

void SetHook(PIRP irp, Hook *hook, UCHAR control)
{
    IoSetCompletionRoutine(irp, Record, hook, (control & SL_INVOKE_ON_SUCCESS) != 0,
                           (control & SL_INVOKE_ON_ERROR) != 0, (control & SL_INVOKE_ON_CANCEL) != 0);
}

// Three drivers: the bottom one completes (or pends) with a chosen status, the
// two above pass requests down, each with a completion routine asking for the
// outcomes in its control bits (none when zero). The test owns the requests.
class Stack {
public:
    Stack()
    {
        middle.AttachTo(bottom.Device());
        top.AttachTo(middle.Device());
    }

    PIRP NewOwnRequest()
    {
        PIRP irp = NewRequest(top.Device(), IRP_MJ_READ);
        SetHook(irp, &ownerHook, kAll);
        return irp;
    }
    NTSTATUS Send(PIRP irp) { return IofCallDriver(top.Device(), irp); }

    std::vector<std::string> log;
    std::vector<std::string> visits;
    NTSTATUS bottomStatus = STATUS_SUCCESS;
    bool bottomPends = false;
    PIRP pended = nullptr;
    Hook middleHook{"middle", &log};
    Hook topHook{"top", &log};
    Hook ownerHook{"owner", &log, STATUS_MORE_PROCESSING_REQUIRED};
    UCHAR middleControl = kAll;
    UCHAR topControl = kAll;

    TestDevice bottom{[this](TestDevice &self, PIRP irp) {
        Visit(self, irp, "bottom");
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_READ);
        if (!bottomPends)
            return Complete(irp, bottomStatus);
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    }};
    TestDevice middle{
        [this](TestDevice &self, PIRP irp) { return PassDown(self, irp, "middle", &middleHook, middleControl); }};
    TestDevice top{[this](TestDevice &self, PIRP irp) { return PassDown(self, irp, "top", &topHook, topControl); }};

private:
    void Visit(TestDevice &self, PIRP irp, const char *name)
    {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, self.Device());
        visits.push_back(std::string(name) + "@" + std::to_string(irp->CurrentLocation));
    }
    NTSTATUS PassDown(TestDevice &self, PIRP irp, const char *name, Hook *hook, UCHAR control)
    {
        Visit(self, irp, name);
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (control)
            SetHook(irp, hook, control);
        return IofCallDriver(self.Below(), irp);
    }
};

using Names = std::vector<std::string>;

TEST_F(IoTest, EachDriverGetsItsOwnLocationAndEachRoutineItsOwnDevice)
{
    Stack stack;
    EXPECT_EQ(stack.top.Device()->StackSize, 3);
    PIRP irp = stack.NewOwnRequest();
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(stack.Send(irp), STATUS_SUCCESS);
    EXPECT_EQ(stack.visits, (Names{"top@3", "middle@2", "bottom@1"}));
    EXPECT_EQ(stack.log, (Names{"middle", "top", "owner"}));
    EXPECT_EQ(stack.middleHook.device, stack.middle.Device());
    EXPECT_EQ(stack.topHook.device, stack.top.Device());
    EXPECT_EQ(stack.ownerHook.device, nullptr);
    EXPECT_EQ(irp->CurrentLocation, 4);
    IoFreeIrp(irp);
}

// Which routines run for an outcome, by the control bits each asked with.
struct OutcomeRow {
    UCHAR middleControl, topControl;
    NTSTATUS status;
    BOOLEAN cancel;
    Names log;
};
class OutcomeTest : public IoTest, public testing::WithParamInterface<OutcomeRow> {};

TEST_P(OutcomeTest, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor)
{
    Stack stack;
    stack.middleControl = GetParam().middleControl;
    stack.topControl = GetParam().topControl;
    stack.bottomStatus = GetParam().status;
    PIRP irp = stack.NewOwnRequest();
    irp->Cancel = GetParam().cancel;
    EXPECT_EQ(stack.Send(irp), GetParam().status);
    EXPECT_EQ(stack.log, GetParam().log);
    EXPECT_EQ(irp->IoStatus.Status, GetParam().status);
    IoFreeIrp(irp);
}
INSTANTIATE_TEST_SUITE_P(
    Outcomes, OutcomeTest,
    testing::Values(OutcomeRow{SL_INVOKE_ON_ERROR, SL_INVOKE_ON_SUCCESS, STATUS_SUCCESS, FALSE, {"top", "owner"}},
                    OutcomeRow{
                        SL_INVOKE_ON_ERROR, SL_INVOKE_ON_SUCCESS, STATUS_UNSUCCESSFUL, FALSE, {"middle", "owner"}},
                    OutcomeRow{SL_INVOKE_ON_SUCCESS, SL_INVOKE_ON_CANCEL, STATUS_CANCELLED, TRUE, {"top", "owner"}}));

TEST_F(IoTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    Stack stack;
    stack.middleHook.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = stack.NewOwnRequest();
    EXPECT_EQ(stack.Send(irp), STATUS_SUCCESS);
    EXPECT_EQ(stack.log, (Names{"middle"}));
    EXPECT_EQ(irp->CurrentLocation, 2);  // the middle driver owns it again
    EXPECT_TRUE(sim::io::IrpHeldByLowerDriver(irp));

    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(stack.log, (Names{"middle", "top", "owner"}));
    EXPECT_FALSE(sim::io::IrpHeldByLowerDriver(irp));
    IoFreeIrp(irp);
}

TEST_F(IoTest, PendingReturnedReachesEveryRoutineAbove)
{
    Stack stack;
    PIRP irp = stack.NewOwnRequest();
    stack.Send(irp);
    EXPECT_FALSE(stack.topHook.pendingReturned);
    EXPECT_FALSE(stack.ownerHook.pendingReturned);
    IoFreeIrp(irp);

    // The middle driver sets no routine, so the I/O manager carries the mark past it.
    stack.log.clear();
    stack.bottomPends = true;
    stack.middleControl = 0;
    irp = stack.NewOwnRequest();
    EXPECT_EQ(stack.Send(irp), STATUS_PENDING);
    EXPECT_TRUE(stack.log.empty());
    Complete(stack.pended, STATUS_SUCCESS);
    EXPECT_EQ(stack.log, (Names{"top", "owner"}));
    EXPECT_TRUE(stack.topHook.pendingReturned);
    EXPECT_TRUE(stack.ownerHook.pendingReturned);
    IoFreeIrp(irp);
}

constexpr ULONG kControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

TEST_F(IoTest, DeviceControlRequestReportsThroughEventAndStatusBlock)
{
    bool pend = false;
    PIRP held = nullptr;
    PVOID seenInput = nullptr;
    TestDevice device([&](TestDevice &, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, kControlCode);
        seenInput = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        if (!pend)
            return Complete(irp, STATUS_SUCCESS, 42);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    auto &resources = sim::Resources::Get();
    int input = 7;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(kControlCode, device.Device(), &input, sizeof(input), nullptr, 0, TRUE,
                                             &done, &status);
    EXPECT_EQ(IofCallDriver(device.Device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(seenInput, &input);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 42u);
    EXPECT_EQ(resources.LiveCount(ResourceKind::Irp), 0u);  // the I/O manager freed it

    pend = true;
    KeClearEvent(&done);
    status.Status = STATUS_PENDING;
    irp = IoBuildDeviceIoControlRequest(kControlCode, device.Device(), nullptr, 0, nullptr, 0, TRUE, &done, &status);
    EXPECT_EQ(IofCallDriver(device.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    EXPECT_EQ(resources.LiveCount(ResourceKind::Irp), 1u);
    Complete(held, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(status.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(resources.LiveCount(ResourceKind::Irp), 0u);
}

// What the cancel routine saw; cancel routines take no context.
struct {
    PDEVICE_OBJECT device;
    KIRQL irql;
    BOOLEAN cancel;
    KIRQL cancelIrql;
} gCancelSeen;

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT device, PIRP irp)
{
    gCancelSeen = {device, KeGetCurrentIrql(), irp->Cancel, irp->CancelIrql};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

// Keeps every request pending, cancellable unless told otherwise.
struct PendingDevice {
    bool cancellable = true;
    PIRP held = nullptr;
    TestDevice device{[this](TestDevice &, PIRP irp) {
        IoMarkIrpPending(irp);
        if (cancellable)
            IoSetCancelRoutine(irp, CancelAndComplete);
        held = irp;
        return STATUS_PENDING;
    }};

    PIRP Send(KEVENT &done, IO_STATUS_BLOCK &status)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(kControlCode, device.Device(), nullptr, 0, nullptr, 0, TRUE, &done, &status);
        EXPECT_EQ(IofCallDriver(device.Device(), irp), STATUS_PENDING);
        return irp;
    }
};

TEST_F(IoTest, CancelCallsTheCancelRoutineUnderTheCancelLock)
{
    PendingDevice pending;
    KEVENT done;
    IO_STATUS_BLOCK status{};
    PIRP irp = pending.Send(done, status);
    gCancelSeen = {};
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(gCancelSeen.device, pending.device.Device());
    EXPECT_EQ(gCancelSeen.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(gCancelSeen.cancel);
    EXPECT_EQ(gCancelSeen.cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);

    // With no cancel routine set, cancelling only marks the request.
    pending.cancellable = false;
    irp = pending.Send(done, status);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    Complete(pending.held, STATUS_CANCELLED);
}

// The I/O manager frees a device-control request inside IoCancelIrp when the
// cancel routine completes it. Once the request has left quarantine, a stale
// pointer to it is no request at all, not one with a cancel in progress.
TEST_F(IoDeathTest, RequestFreedInsideCancelIsForgottenAfterQuarantine)
{
    PendingDevice pending;
    KEVENT done;
    IO_STATUS_BLOCK status{};
    PIRP irp = pending.Send(done, status);
    EXPECT_TRUE(IoCancelIrp(irp));
    // Enough frees to push the request out of the verifier's quarantine.
    for (int i = 0; i < 4096; i++)
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4096, Tag("Fill")));
    EXPECT_DEATH(IoFreeIrp(irp), "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*which is not a request");
}

TEST_F(IoTest, AttachingGoesOnTopOfTheStackAndGrowsStackSize)
{
    auto complete = [](TestDevice &, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    TestDevice bottom(complete), middle(complete), top(complete);
    EXPECT_EQ(middle.AttachTo(bottom.Device()), bottom.Device());
    // Attaching to the bottom of a stack lands on whatever is on top of it.
    EXPECT_EQ(top.AttachTo(bottom.Device()), middle.Device());
    EXPECT_EQ(bottom.Device()->StackSize, 1);
    EXPECT_EQ(middle.Device()->StackSize, 2);
    EXPECT_EQ(top.Device()->StackSize, 3);
    EXPECT_EQ(bottom.Device()->AttachedDevice, middle.Device());
    EXPECT_EQ(middle.Device()->AttachedDevice, top.Device());
    EXPECT_EQ(sim::io::AttachedTo(top.Device()), middle.Device());
    EXPECT_EQ(sim::io::AttachedTo(bottom.Device()), nullptr);
}

TEST_F(IoTest, DeviceNamesAndSymbolicLinks)
{
    TestDevice port([](TestDevice &, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }, u"\\Device\\SimPort0");
    EXPECT_EQ(sim::io::LookupDevice("\\device\\SIMPORT0"), port.Device());
    EXPECT_EQ(sim::io::DeviceName(port.Device()), "\\Device\\SimPort0");

    PDRIVER_OBJECT other = sim::io::CreateDriverObject("\\Driver\\Other");
    PDEVICE_OBJECT clash = nullptr;
    UNICODE_STRING sameName = Text(u"\\DEVICE\\simport0");
    EXPECT_EQ(IoCreateDevice(other, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(clash, nullptr);

    UNICODE_STRING link = Text(u"\\DosDevices\\COM7");
    UNICODE_STRING target = Text(u"\\Device\\SimPort0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::LookupDevice("\\dosdevices\\com7"), port.Device());
    EXPECT_EQ(sim::io::ResolveSymbolicLink("\\DOSDEVICES\\COM7"), "\\Device\\SimPort0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&sameName, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateDevice(other, 0, &link, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NE(world_.LeakReport().find("leaked symbolic link '\\dosdevices\\com7' -> '\\Device\\SimPort0'"),
              std::string::npos);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::io::LookupDevice("\\DosDevices\\COM7"), nullptr);

    // Names the platform refuses, for a device or a link alike.
    struct Refused {
        const char16_t *name;
        NTSTATUS status;
    } refused[] = {
        {u"Device\\X", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\\\X", STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\AB\\CD-0", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Device\\SimPort0\\X", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Nowhere\\X", STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(std::string(r.name, r.name + std::char_traits<char16_t>::length(r.name)));
        UNICODE_STRING name = Text(r.name);
        EXPECT_EQ(IoCreateDevice(other, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash), r.status);
        EXPECT_EQ(IoCreateSymbolicLink(&name, &target), r.status);
    }
    EXPECT_EQ(clash, nullptr);
    sim::io::DeleteDriverObject(other);
}

// The name leaves the namespace at IoDeleteDevice even while the object is
// still referenced (an open handle keeps only its memory): a new device may
// take the name at once.
TEST_F(IoTest, ADeletedDeviceGivesUpItsNameAtOnceEvenWhileReferenced)
{
    PDRIVER_OBJECT driver = sim::io::CreateDriverObject("\\Driver\\Named");
    UNICODE_STRING name = Text(u"\\Device\\Named0");
    PDEVICE_OBJECT first = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
    sim::io::ReferenceDevice(first);
    IoDeleteDevice(first);
    EXPECT_TRUE(sim::io::DeletePending(first));
    EXPECT_EQ(sim::io::LookupDevice("\\Device\\Named0"), nullptr);
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 8, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::LookupDevice("\\Device\\Named0"), second);
    sim::io::DereferenceDevice(first);
    EXPECT_FALSE(sim::io::DeletePending(first));
    IoDeleteDevice(second);
    sim::io::DeleteDriverObject(driver);
}

TEST_F(IoTest, FaultInjectionFailsExactlyTheChosenAllocations)
{
    auto &resources = sim::Resources::Get();
    resources.FailNth(ResourceKind::Pool, 2);
    void *first = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Flt1"));
    void *second = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Flt1"));
    void *third = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Flt1"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(resources.AllocationCount(ResourceKind::Pool), 2u);  // failures hand out nothing
    ExFreePool(first);
    ExFreePool(third);

    // A tag narrows the rule to that tag's blocks.
    resources.FailEvery(ResourceKind::Pool, Tag("Bad "));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Bad ")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Bad ")), nullptr);
    void *good = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Good"));
    EXPECT_NE(good, nullptr);
    ExFreePool(good);
    resources.ClearFaults();
    void *recovered = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Bad "));
    EXPECT_NE(recovered, nullptr);
    ExFreePool(recovered);

    // Rules of one kind leave the other kinds alone.
    resources.FailNth(ResourceKind::Irp, 1);
    resources.FailNth(ResourceKind::Mdl, 1);
    void *block = ExAllocatePoolWithTag(NonPagedPool, 64, Tag("Buf "));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoAllocateMdl(block, 64, FALSE, FALSE, irp), nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, mdl);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePool(block);
}

TEST_F(IoTest, LeakReportNamesWhatIsStillLive)
{
    void *block = ExAllocatePoolWithTag(PagedPool, 24, Tag("Leak"));
    PIRP irp = IoAllocateIrp(2, FALSE);
    std::string report = world_.LeakReport();
    EXPECT_NE(report.find("leaked pool block 0x"), std::string::npos) << report;
    EXPECT_NE(report.find("(#1, 24 bytes, tag 'Leak', paged)"), std::string::npos) << report;
    EXPECT_NE(report.find("leaked request (IRP) 0x"), std::string::npos) << report;
    EXPECT_NE(report.find("(#1, from IoAllocateIrp)"), std::string::npos) << report;
    ExFreePool(block);
    IoFreeIrp(irp);
    EXPECT_EQ(world_.LeakReport(), "");
}

}  // namespace
