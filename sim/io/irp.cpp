// Requests: allocation, passing down, completion, cancellation, and the
// verifier's checks on each.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <mutex>
#include <string>

#include "io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/driver_call.h"
#include "sim/kernel/cpu.h"
#include "sim/kernel/poison.h"
#include "sim/kernel/resources.h"
#include "sim/kernel/scheduler.h"

namespace sim::io {
namespace {

enum class Origin { Driver, DeviceIoControl, System };

// A request's state lives with its record (the record's client area), so
// finding it costs no look-up of its own; it is read and written under
// gMutex, and goes in the same step as the record.
struct IrpState {
    Origin origin = Origin::Driver;
    PDEVICE_OBJECT heldBy = nullptr;  // lower device that owns it now
    int cancelCalls = 0;              // IoCancelIrp calls that have not returned
    uint64_t serial = 0;              // tells this request from a later one at the same address
};

sim::Mutex gMutex;
// What finishes each request the I/O manager built for the system.
std::unordered_map<PIRP, std::function<void(PIRP)>> gOnFinal;
KSPIN_LOCK gCancelSpinLock = 0;

std::string Address(const void *p) { return Hex(reinterpret_cast<uintptr_t>(p)); }

[[noreturn]] void Violation(const std::string &what) { BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", what); }

// Cancel and CancelRoutine are touched by IoCancelIrp on one processor while
// the owner of the request looks at them on another.
bool CancelFlag(PIRP irp) { return std::atomic_ref<BOOLEAN>(irp->Cancel).load() != 0; }
PDRIVER_CANCEL CancelRoutineOf(PIRP irp)
{
    // Through a data pointer: a template argument would lose the routine type's calling convention.
    return reinterpret_cast<PDRIVER_CANCEL>(
        std::atomic_ref<PVOID>(reinterpret_cast<PVOID &>(irp->CancelRoutine)).load());
}

// The state of a live request, or null.
IrpState *StateOf(PIRP irp) { return static_cast<IrpState *>(Resources::Get().ClientOf(ResourceKind::Irp, irp)); }

// Bug checks unless irp is a live request; returns its state (to be touched
// under gMutex only).
IrpState &CheckLive(PIRP irp, const char *routine)
{
    if (!irp)
        Violation(std::string(routine) + " with a null request");
    if (IrpState *state = StateOf(irp))
        return *state;
    if (Resources::Get().IsFreed(irp))
        Violation(std::string(routine) + " on request " + Address(irp) + ", which was already freed");
    Violation(std::string(routine) + " on " + Address(irp) + ", which is not a request");
}

PIRP NewIrp(CCHAR stackSize, Origin origin, const char *routine)
{
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " above DISPATCH_LEVEL");
    if (stackSize < 1)
        Violation(std::string(routine) + " with stack size " + std::to_string(stackSize));
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    Resource request;
    request.kind = ResourceKind::Irp;
    request.size = bytes;
    request.origin = routine;
    Resource made;
    // Fault injection aims at the driver's allocations; the I/O manager's own
    // requests (Plug and Play, handles) are not the driver's to fail.
    auto *irp =
        static_cast<PIRP>(Resources::Get().Allocate(request, 0, sizeof(IrpState), origin != Origin::System, &made));
    if (!irp)
        return nullptr;
    IoInitializeIrp(irp, static_cast<USHORT>(bytes), stackSize);
    // Nobody else has the request yet.
    *static_cast<IrpState *>(made.client) = IrpState{origin, nullptr, 0, made.serial};
    return irp;
}

// The request's state goes in the same step as its record: once the record
// is freed the address may leave quarantine and belong to a new request at
// any moment, whose state a later erase would take instead.
void ReleaseIrp(PIRP irp, const char *routine)
{
    std::lock_guard lock(gMutex);
    bool system = false;
    Resources::Get().Free(ResourceKind::Irp, irp, routine, [&system](const Resource &record) {
        system = static_cast<const IrpState *>(record.client)->origin == Origin::System;
    });
    if (system)
        gOnFinal.erase(irp);
}

bool ShouldInvoke(PIO_STACK_LOCATION stack, PIRP irp)
{
    if (!stack->CompletionRoutine)
        return false;
    if (CancelFlag(irp) && (stack->Control & SL_INVOKE_ON_CANCEL))
        return true;
    if (NT_SUCCESS(irp->IoStatus.Status))
        return (stack->Control & SL_INVOKE_ON_SUCCESS) != 0;
    return (stack->Control & SL_INVOKE_ON_ERROR) != 0;
}

}  // namespace

PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onFinal)
{
    PIRP irp = NewIrp(stackSize, Origin::System, "the I/O manager");
    if (irp) {
        std::lock_guard lock(gMutex);
        gOnFinal[irp] = std::move(onFinal);
    }
    return irp;
}

void FreeSystemIrp(PIRP irp) { ReleaseIrp(irp, "the I/O manager"); }

void ResetRequests()
{
    std::lock_guard lock(gMutex);
    gOnFinal.clear();
}

bool IrpHeldByLowerDriver(PIRP irp)
{
    std::lock_guard lock(gMutex);
    const IrpState *state = StateOf(irp);
    return state && state->heldBy != nullptr;
}

}  // namespace sim::io

using namespace sim;
using namespace sim::io;

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    return NewIrp(StackSize, Origin::Driver, "IoAllocateIrp");
}

VOID IoFreeIrp(PIRP Irp)
{
    IrpState &state = CheckLive(Irp, "IoFreeIrp");
    {
        std::lock_guard lock(gMutex);
        if (state.origin != Origin::Driver)
            Violation("IoFreeIrp of request " + Address(Irp) + ", which the I/O manager built and frees itself");
        if (state.heldBy)
            Violation("IoFreeIrp of request " + Address(Irp) + " while device " + Address(state.heldBy) +
                      " still owns it (passed down, not yet completed back)");
        if (state.cancelCalls)
            Violation("IoFreeIrp of request " + Address(Irp) + " while an IoCancelIrp call on it has not returned");
    }
    ReleaseIrp(Irp, "IoFreeIrp");
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (Cpu().irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    if (!InternalDeviceIoControl && (InputBuffer || OutputBuffer))
        BugCheck("SIMULATION_UNSUPPORTED", "IoBuildDeviceIoControlRequest with buffers for a public control code");
    PIRP irp = NewIrp(DeviceObject->StackSize, Origin::DeviceIoControl, "IoBuildDeviceIoControlRequest");
    if (!irp)
        return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = OutputBuffer;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    sim::Scheduler::Get().SwitchPoint();
    IrpState &state = CheckLive(Irp, "IofCallDriver");
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IofCallDriver above DISPATCH_LEVEL");
    if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE)
        Violation("IofCallDriver to " + Address(DeviceObject) + ", which is not a device object");
    if (Irp->CurrentLocation <= 1)
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver of request " + Address(Irp) + " with " +
                                                    std::to_string(Irp->StackCount) + " stack locations to device " +
                                                    Address(DeviceObject) + ": none left for it");
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    // The driver calls in the order they happen, for the schedule's trace.
    const bool control =
        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sim::Scheduler::Get().Trace(uint64_t(stack->MajorFunction) << 56 | uint64_t(stack->MinorFunction) << 48 |
                                (control ? stack->Parameters.DeviceIoControl.IoControlCode : 0));
    {
        std::lock_guard lock(gMutex);
        state.heldBy = DeviceObject;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (!dispatch)
        Violation("IofCallDriver: device " + Address(DeviceObject) + " has no dispatch routine for major function " +
                  std::to_string(stack->MajorFunction));
    IrqlBalanceCheck balance("a dispatch routine");
    return sim::CallDispatchRoutine(dispatch, DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    sim::Scheduler::Get().SwitchPoint();
    IrpState &state = CheckLive(Irp, "IofCompleteRequest");
    sim::Scheduler::Get().Trace(uint64_t(uint32_t(Irp->IoStatus.Status)) << 32 ^ Irp->IoStatus.Information);
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest above DISPATCH_LEVEL");
    if (Irp->CurrentLocation > Irp->StackCount)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "request " + Address(Irp) + " completed, but no driver holds it");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        Violation("request " + Address(Irp) + " completed with STATUS_PENDING");
    if (CancelRoutineOf(Irp))
        Violation("request " + Address(Irp) + " completed with its cancel routine still set");

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const bool top = Irp->CurrentLocation == Irp->StackCount + 1;
        if (top) {
            std::lock_guard lock(gMutex);
            state.heldBy = nullptr;
        }
        if (ShouldInvoke(stack, Irp)) {
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            PDEVICE_OBJECT device = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            NTSTATUS status;
            {
                IrqlBalanceCheck balance("a completion routine");
                status = sim::CallCompletionRoutine(routine, device, Irp, context);
            }
            if (status == STATUS_MORE_PROCESSING_REQUIRED)
                return;  // the request may already be freed
            if (top) {
                // Looked up again: a routine that did not stop completion
                // may have freed the request anyway.
                std::lock_guard lock(gMutex);
                const IrpState *now = StateOf(Irp);
                if (!now || now->origin == Origin::Driver)
                    Violation("the completion routine of driver-allocated request " + Address(Irp) + " returned " +
                              Hex(static_cast<ULONG>(status)) +
                              " instead of STATUS_MORE_PROCESSING_REQUIRED; the I/O manager would now finish a "
                              "request that has no thread");
            }
        } else if (Irp->PendingReturned && !top) {
            IoMarkIrpPending(Irp);
        }
    }

    Origin origin;
    std::function<void(PIRP)> onFinal;
    {
        std::lock_guard lock(gMutex);
        const IrpState *now = StateOf(Irp);
        origin = now ? now->origin : Origin::Driver;
        if (origin == Origin::System)
            onFinal = gOnFinal[Irp];
    }
    switch (origin) {
    case Origin::Driver:
        Violation("driver-allocated request " + Address(Irp) +
                  " completed with no completion routine stopping it; the I/O manager would now finish a request "
                  "that has no thread");
    case Origin::DeviceIoControl: {
        // The request is gone before the waiter wakes, as on the platform.
        PIO_STATUS_BLOCK statusBlock = Irp->UserIosb;
        PKEVENT event = Irp->UserEvent;
        IO_STATUS_BLOCK status = Irp->IoStatus;
        ReleaseIrp(Irp, "the I/O manager");
        *statusBlock = status;
        if (event)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        break;
    }
    case Origin::System:
        onFinal(Irp);
        break;
    }
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelSpinLock, Irql); }
VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelSpinLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile *>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    IrpState &state = CheckLive(Irp, "IoCancelIrp");
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCancelIrp above DISPATCH_LEVEL");
    uint64_t serial;
    {
        std::lock_guard lock(gMutex);
        state.cancelCalls++;
        serial = state.serial;
    }
    BOOLEAN cancelled;
    {
        IrqlBalanceCheck balance("a cancel routine (it must release the cancel spin lock)");
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
        if (routine) {
            Irp->CancelIrql = irql;
            routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
            cancelled = TRUE;
        } else {
            IoReleaseCancelSpinLock(irql);
            cancelled = FALSE;
        }
    }
    // The cancel routine may have completed a request the I/O manager frees
    // itself; its state is gone then and must not be brought back, nor taken
    // for that of a later request given the same address.
    std::lock_guard lock(gMutex);
    if (IrpState *now = StateOf(Irp); now && now->serial == serial)
        now->cancelCalls--;
    return cancelled;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoAllocateMdl above DISPATCH_LEVEL");
    if (Irp) {
        CheckLive(Irp, "IoAllocateMdl");
        if (SecondaryBuffer || Irp->MdlAddress)
            BugCheck("SIMULATION_UNSUPPORTED", "chained memory descriptor lists");
    }
    Resource request;
    request.kind = ResourceKind::Mdl;
    request.size = sizeof(MDL);
    request.origin = "IoAllocateMdl";
    auto *mdl = static_cast<PMDL>(Resources::Get().Allocate(request));
    if (!mdl)
        return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
    mdl->ByteCount = Length;
    if (Irp)
        Irp->MdlAddress = mdl;
    return mdl;
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    if (!Resources::Get().IsLive(ResourceKind::Mdl, MemoryDescriptorList))
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "MmBuildMdlForNonPagedPool on " +
                                                           Hex(reinterpret_cast<uintptr_t>(MemoryDescriptorList)) +
                                                           ", which is not a live memory descriptor list");
    PVOID va = MmGetMdlVirtualAddress(MemoryDescriptorList);
    auto block = Resources::Get().FindPoolBlockHolding(va, MemoryDescriptorList->ByteCount);
    if (!block || block->poolType != NonPagedPool)
        BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "MmBuildMdlForNonPagedPool over " + std::to_string(MemoryDescriptorList->ByteCount) + " bytes at " +
                     Hex(reinterpret_cast<uintptr_t>(va)) + ", which are not inside one non-paged pool block");
    MemoryDescriptorList->MappedSystemVa = va;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID IoFreeMdl(PMDL Mdl)
{
    if (Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoFreeMdl above DISPATCH_LEVEL");
    Resources::Get().Free(ResourceKind::Mdl, Mdl, "IoFreeMdl");
}

VOID PoStartNextPowerIrp(PIRP Irp) { CheckLive(Irp, "PoStartNextPowerIrp"); }

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
