// Each verifier check fires on the wrong call it exists for, with a message
// that names the object involved. Every death statement is the smallest
// misuse that trips the check; where the line between right and wrong is
// thin, the code around it shows the right use passing.
#include <cstring>
#include <string>

#include "sim/kernel/scheduler.h"
#include "sim/usb/scripted_device.h"
#include "sim_helpers.h"
#include "tests/support/sim_test.h"

namespace {

using simtest::Complete;
using simtest::NewRequest;
using simtest::Tag;
using simtest::TakeBack;
using simtest::TestDevice;

NTSTATUS NTAPI ReturnSuccess(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
// A cancel routine that forgets to release the cancel spin lock.
VOID NTAPI KeepCancelLock(PDEVICE_OBJECT, PIRP) {}
// A completion routine declared in the C convention, as if NTAPI had been
// forgotten: on the 32-bit platform it leaves its arguments on the stack.
NTSTATUS __cdecl TakeBackInTheWrongConvention(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

class VerifierDeathTest : public testing_support::SimTest {};

constexpr const char *kHex = "0x[0-9A-F]+";

std::string Check(const std::string &name, const std::string &details) { return "BUG CHECK: " + name + ".*" + details; }

TEST_F(VerifierDeathTest, WaitingAtDispatchLevelNeedsAZeroTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10'000;
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                 Check("IRQL_NOT_LESS_OR_EQUAL", "with a non-zero time-out at DISPATCH_LEVEL; object ") + kHex);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 Check("IRQL_NOT_LESS_OR_EQUAL", "with no time-out at DISPATCH_LEVEL"));

    // Polling is what DISPATCH_LEVEL code may do.
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    KeLowerIrql(old);
}

TEST_F(VerifierDeathTest, SpinLockOwnership)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL first;
            KIRQL second;
            KeAcquireSpinLock(&lock, &first);
            KeAcquireSpinLock(&lock, &second);
        },
        Check("SPIN_LOCK_ALREADY_OWNED", "KeAcquireSpinLock: spin lock ") + kHex + " is already held");
    // The stack names the routine the driver called, module+offset, and
    // how to have every frame of the module named with its source line.
    EXPECT_DEATH(
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL),
        Check("SPIN_LOCK_NOT_OWNED", "released by a processor that does not hold it") +
            ".*\\*\\*\\* stack:\n.*nuvix_tests\\+0x[0-9A-F]+ \\(KeReleaseSpinLock\\([^)]*\\)\\+0x[0-9A-F]+\\)\n"
            ".*addr2line -Cfipe [^ ]*nuvix_tests( 0x[0-9A-F]+)+\n");
}

TEST_F(VerifierDeathTest, FastMutexMisuse)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireFastMutex(&mutex);
        },
        Check("IRQL_NOT_LESS_OR_EQUAL", "ExAcquireFastMutex at DISPATCH_LEVEL; mutex ") + kHex);
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            ExAcquireFastMutex(&mutex);
        },
        Check("IRQL_NOT_LESS_OR_EQUAL", "ExAcquireFastMutex at DISPATCH_LEVEL while holding a spin lock"));
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        Check("FAST_MUTEX_RECURSION", "already owned by this thread"));
}

TEST_F(VerifierDeathTest, EventsMustBeInitialisedInPlace)
{
    KEVENT garbage;
    std::memset(&garbage, 0xCD, sizeof(garbage));
    EXPECT_DEATH(
        KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, nullptr),
        Check("INVALID_KERNEL_OBJECT", "KeWaitForSingleObject on ") + kHex + ", which is not an initialised event");

    // A copy's wait list still points into the original.
    KEVENT original;
    KeInitializeEvent(&original, NotificationEvent, TRUE);
    KEVENT copy = original;
    EXPECT_DEATH(KeReadStateEvent(&copy), Check("INVALID_KERNEL_OBJECT", "KeReadStateEvent"));
    EXPECT_EQ(KeReadStateEvent(&original), 1);
}

TEST_F(VerifierDeathTest, OwnRequestMustStopCompletionAtItsRoutine)
{
    TestDevice lower([](TestDevice &, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PIO_COMPLETION_ROUTINE returnSuccess = ReturnSuccess;
    EXPECT_DEATH(
        {
            PIRP irp = NewRequest(lower.Device());
            IoSetCompletionRoutine(irp, returnSuccess, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(lower.Device(), irp);
        },
        Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "completion routine of driver-allocated request ") + kHex +
            " returned 0x0 instead of STATUS_MORE_PROCESSING_REQUIRED");
    EXPECT_DEATH(IofCallDriver(lower.Device(), NewRequest(lower.Device())),
                 Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "completed with no completion routine stopping it"));
}

TEST_F(VerifierDeathTest, FreedRequestIsDeadToEveryRoutine)
{
    TestDevice lower([](TestDevice &, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PIRP irp = NewRequest(lower.Device());
    IoFreeIrp(irp);
    const std::string freed = std::string(" on request ") + kHex + ", which was already freed";
    EXPECT_DEATH(IoFreeIrp(irp), Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoFreeIrp" + freed));
    EXPECT_DEATH(IoCancelIrp(irp), Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoCancelIrp" + freed));
    EXPECT_DEATH(IofCallDriver(lower.Device(), irp),
                 Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IofCallDriver" + freed));
}

TEST_F(VerifierDeathTest, RequestCannotBeFreedWhileTheLowerDriverOwnsIt)
{
    PIRP held = nullptr;
    TestDevice lower([&](TestDevice &, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = NewRequest(lower.Device());
    IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
    ASSERT_EQ(IofCallDriver(lower.Device(), irp), STATUS_PENDING);
    EXPECT_TRUE(sim::io::IrpHeldByLowerDriver(irp));
    EXPECT_DEATH(IoFreeIrp(irp),
                 Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "while device ") + kHex + " still owns it");

    Complete(held, STATUS_SUCCESS);
    EXPECT_FALSE(sim::io::IrpHeldByLowerDriver(irp));
    IoFreeIrp(irp);
}

TEST_F(VerifierDeathTest, RequestCompletedTwice)
{
    TestDevice lower([](TestDevice &, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    });
    EXPECT_DEATH(
        {
            PIRP irp = NewRequest(lower.Device());
            IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(lower.Device(), irp);
        },
        Check("MULTIPLE_IRP_COMPLETE_REQUESTS", "request ") + kHex + " completed, but no driver holds it");
}

TEST_F(VerifierDeathTest, CancelRoutineMustReleaseTheCancelLock)
{
    TestDevice forgetful([](TestDevice &, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, KeepCancelLock);
        return STATUS_PENDING;
    });
    EXPECT_DEATH(
        {
            PIRP irp = NewRequest(forgetful.Device());
            IofCallDriver(forgetful.Device(), irp);
            IoCancelIrp(irp);
        },
        Check("IRQL_UNEXPECTED_VALUE", "a cancel routine \\(it must release the cancel spin lock\\)"));
}

TEST_F(VerifierDeathTest, PoolMisuse)
{
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, Tag("Dbl "));
    ExFreePool(block);
    EXPECT_DEATH(ExFreePool(block),
                 Check("BAD_POOL_CALLER", "double free of pool block ") + kHex + " \\(#1, 16 bytes, tag 'Dbl '\\)");

    EXPECT_DEATH(
        {
            auto *bytes = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, Tag("Ovr ")));
            bytes[10] = 0;
            ExFreePool(bytes);
        },
        Check("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", "write past the end of pool block ") + kHex +
            " \\(10 bytes, tag 'Ovr '\\) at offset 10");

    EXPECT_DEATH(
        {
            void *tagged = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Mine"));
            ExFreePoolWithTag(tagged, Tag("Othr"));
        },
        Check("BAD_POOL_CALLER", "ExFreePoolWithTag with tag 'Othr' of a block tagged 'Mine'"));
}

// Only the very addresses the platform handed out are blocks it takes back:
// not a pointer into one, not one of another kind, not memory of the caller's.
TEST_F(VerifierDeathTest, OnlyHandedOutAddressesAreTakenBack)
{
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, Tag("Own ")));
    EXPECT_DEATH(ExFreePool(block + 16),
                 Check("BAD_POOL_CALLER", "ExFreePool of ") + kHex + ", which is not a pool block the platform");
    UCHAR onStack[64];
    EXPECT_DEATH(ExFreePool(onStack),
                 Check("BAD_POOL_CALLER", "ExFreePool of ") + kHex + ", which is not a pool block the platform");
    EXPECT_DEATH(IoFreeIrp(reinterpret_cast<PIRP>(block)),
                 Check("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoFreeIrp on ") + kHex + ", which is not a request");
    EXPECT_DEATH(IoFreeMdl(reinterpret_cast<PMDL>(block)),
                 Check("BAD_POOL_CALLER", "IoFreeMdl of ") + kHex + ", which is not a memory descriptor list");
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
    EXPECT_DEATH(ExFreePool(mdl),
                 Check("BAD_POOL_CALLER", "ExFreePool of ") + kHex + ", which is not a pool block the platform");
    IoFreeMdl(mdl);
    ExFreePool(block);
}

// A late write through a kept address lands in quarantine and is named when
// the block leaves it (AddressSanitizer, where present, stops the write itself).
TEST_F(VerifierDeathTest, FreedMemoryWrittenInQuarantineIsNamedWhenItLeaves)
{
    auto pushOutOfQuarantine = [] {
        for (int i = 0; i < 5000; i++)
            ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Fill")));
    };
    EXPECT_DEATH(
        {
            auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 24, Tag("Late")));
            ExFreePool(block);
            block[5] = 0;
            pushOutOfQuarantine();
        },
        "(" + Check("DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", "freed pool block ") + kHex +
            " \\(#1, 24 bytes, tag 'Late'\\) was written to at offset 5 after it was freed|use-after-poison)");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            irp->IoStatus.Information = 1;
            pushOutOfQuarantine();
        },
        "(" + Check("DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", "freed request \\(IRP\\) ") + kHex +
            " \\(#1, from IoAllocateIrp\\) was written to at offset|use-after-poison)");
}

TEST_F(VerifierDeathTest, DescriptorListMustDescribeOneNonPagedBlock)
{
    UCHAR onStack[32];
    PMDL mdl = IoAllocateMdl(onStack, sizeof(onStack), FALSE, FALSE, nullptr);
    EXPECT_DEATH(MmBuildMdlForNonPagedPool(mdl), Check("DRIVER_VERIFIER_DETECTED_VIOLATION", "over 32 bytes at ") +
                                                     kHex + ", which are not inside one non-paged pool block");
    IoFreeMdl(mdl);

    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 32, Tag("Nonp")));
    mdl = IoAllocateMdl(block + 16, 17, FALSE, FALSE, nullptr);
    EXPECT_DEATH(MmBuildMdlForNonPagedPool(mdl), Check("DRIVER_VERIFIER_DETECTED_VIOLATION", "over 17 bytes"));
    IoFreeMdl(mdl);

    mdl = IoAllocateMdl(block + 16, 16, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdl(mdl), block + 16);
    IoFreeMdl(mdl);
    // A list already freed is no list at all.
    EXPECT_DEATH(MmBuildMdlForNonPagedPool(mdl),
                 Check("DRIVER_VERIFIER_DETECTED_VIOLATION", "which is not a live memory descriptor list"));
    ExFreePool(block);
}

TEST_F(VerifierDeathTest, ConfigurationWalkStaysInsideItsTotalLengthAndItsPoolBlock)
{
    const std::vector<uint8_t> honest = sim::usb::MakeBulkConfiguration({0x81, 0x01});  // 32 bytes
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, honest.size(), Tag("Conf")));
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
    auto parse = [&](LONG interfaceNumber) {
        return USBD_ParseConfigurationDescriptorEx(config, config, interfaceNumber, -1, -1, -1, -1);
    };
    auto create = [&] {
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        if (urb)
            ExFreePool(urb);
        return urb != nullptr;
    };
    std::memcpy(block, honest.data(), honest.size());
    EXPECT_EQ(parse(-1), reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(block + 9));
    EXPECT_EQ(parse(7), nullptr);
    EXPECT_TRUE(create());
    // The walk ends at wTotalLength: an interface behind it is not there.
    config->wTotalLength = 9;
    EXPECT_EQ(parse(-1), nullptr);
    EXPECT_FALSE(create());

    config->wTotalLength = static_cast<USHORT>(honest.size() + 1);
    EXPECT_DEATH(parse(-1), Check("BUGCODE_USB_DRIVER",
                                  "USBD_ParseConfigurationDescriptorEx: wTotalLength 33 of "
                                  "the configuration descriptor at ") +
                                kHex + " reaches past its pool block \\(32 bytes at " + kHex + "\\)");
    EXPECT_DEATH(create(), Check("BUGCODE_USB_DRIVER", "USBD_CreateConfigurationRequest: wTotalLength 33"));

    std::memcpy(block, honest.data(), honest.size());
    block[25] = 0;  // the second endpoint
    EXPECT_DEATH(parse(7), Check("BUGCODE_USB_DRIVER",
                                 "USBD_ParseConfigurationDescriptorEx: the descriptor at "
                                 "offset 25 of the configuration descriptor at ") +
                               kHex + " has bLength 0");
    EXPECT_DEATH(create(), Check("BUGCODE_USB_DRIVER",
                                 "USBD_CreateConfigurationRequest: the descriptor at offset "
                                 "25 .* has bLength 0"));
    block[25] = 8;
    EXPECT_DEATH(parse(7), Check("BUGCODE_USB_DRIVER",
                                 "the descriptor at offset 25 .* has bLength 8, which runs "
                                 "past wTotalLength 32"));
    block[25] = 7;
    block[10] = USB_ENDPOINT_DESCRIPTOR_TYPE;  // no interface left: the walk reaches the end
    EXPECT_EQ(parse(-1), nullptr);
    block[9] = 5;
    block[10] = USB_INTERFACE_DESCRIPTOR_TYPE;
    EXPECT_DEATH(parse(-1), Check("BUGCODE_USB_DRIVER",
                                  "the interface descriptor at offset 9 .* has bLength 5, "
                                  "shorter than an interface descriptor"));
    ExFreePool(block);
}

TEST_F(VerifierDeathTest, DeadlockNamesWhatEveryThreadWaitsFor)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                 Check("SIMULATION_DEADLOCK", "no time-out is pending:\n  thread 'test': waits for event ") + kHex);

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&mutex);
            sim::Thread worker("worker", [&] {
                ExAcquireFastMutex(&mutex);
                ExReleaseFastMutex(&mutex);
            });
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            ExReleaseFastMutex(&mutex);
            worker.Join();
        },
        Check("SIMULATION_DEADLOCK", "thread 'test': waits for event ") + kHex +
            "\n  thread 'worker': waits for fast mutex " + kHex);
}

// The same source, two builds: the 32-bit one (host32), where the routine
// really is cdecl, stops at its first completion; the 64-bit one, with one
// convention, cannot tell and the request completes normally.
TEST_F(VerifierDeathTest, CompletionRoutineInTheWrongConventionIsCaughtOnlyWhereConventionsDiffer)
{
    TestDevice lower([](TestDevice &, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PIRP irp = NewRequest(lower.Device());
    IoSetCompletionRoutine(irp, (PIO_COMPLETION_ROUTINE)TakeBackInTheWrongConvention, nullptr, TRUE, TRUE, TRUE);
#if defined(NUVIX_HOST32)
    EXPECT_DEATH(
        IofCallDriver(lower.Device(), irp),
        Check("DRIVER_CALLING_CONVENTION", "completion routine at nuvix_tests\\+0x[0-9A-F]+ returned with 12 bytes"));
#else
    EXPECT_EQ(IofCallDriver(lower.Device(), irp), STATUS_SUCCESS);
#endif
    IoFreeIrp(irp);
}

}  // namespace
