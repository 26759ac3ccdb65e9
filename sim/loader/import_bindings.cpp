#include "sim/loader/import_bindings.h"

#if defined(NUVIX_HOST32)

#include <strings.h>

#include <cstring>

#include "driver/platform/platform.h"

namespace sim::loader {
namespace {

// The HAL's spin-lock routines take the lock in ecx and give the old level
// back in al; the kernel's Ke forms are macros over them on the platform.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { KeAcquireSpinLockAtDpcLevel(SpinLock); }
VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { KeReleaseSpinLockFromDpcLevel(SpinLock); }
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old;
    KeRaiseIrql(NewIrql, &old);
    return old;
}
VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }
// The kernel exports its interlocked routines in the fastcall convention.
LONG FASTCALL KernelInterlockedIncrement(LONG volatile *Addend) { return InterlockedIncrement(Addend); }
LONG FASTCALL KernelInterlockedDecrement(LONG volatile *Addend) { return InterlockedDecrement(Addend); }
LONG FASTCALL KernelInterlockedExchange(LONG volatile *Target, LONG Value)
{
    return InterlockedExchange(Target, Value);
}
LONG FASTCALL KernelInterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    return InterlockedCompareExchange(Destination, Exchange, Comparand);
}
LONG FASTCALL KernelInterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    return InterlockedExchangeAdd(Addend, Value);
}

struct Binding {
    const char *module;
    const char *name;
    const void *address;
};

#define BIND(module, routine)                                      \
    {                                                              \
        module, #routine, reinterpret_cast<const void *>(&routine) \
    }
#define BIND_AS(module, name, routine)                         \
    {                                                          \
        module, name, reinterpret_cast<const void *>(&routine) \
    }

const Binding kBindings[] = {
    // The kernel: stdcall unless said otherwise.
    BIND("ntoskrnl.exe", DbgPrint),  // cdecl, variadic
    BIND("ntoskrnl.exe", ExAllocatePool),
    BIND("ntoskrnl.exe", ExAllocatePoolWithTag),
    BIND("ntoskrnl.exe", ExFreePool),
    BIND("ntoskrnl.exe", ExFreePoolWithTag),
    BIND("ntoskrnl.exe", IoAllocateIrp),
    BIND("ntoskrnl.exe", IoAllocateMdl),
    BIND("ntoskrnl.exe", IoAttachDeviceToDeviceStack),
    BIND("ntoskrnl.exe", IoBuildDeviceIoControlRequest),
    BIND("ntoskrnl.exe", IoCancelIrp),
    BIND("ntoskrnl.exe", IoCreateDevice),
    BIND("ntoskrnl.exe", IoCreateSymbolicLink),
    BIND("ntoskrnl.exe", IoDeleteDevice),
    BIND("ntoskrnl.exe", IoDeleteSymbolicLink),
    BIND("ntoskrnl.exe", IoDetachDevice),
    BIND("ntoskrnl.exe", IoFreeIrp),
    BIND("ntoskrnl.exe", IoFreeMdl),
    BIND("ntoskrnl.exe", IoInitializeIrp),
    BIND("ntoskrnl.exe", IoAcquireCancelSpinLock),
    BIND("ntoskrnl.exe", IoReleaseCancelSpinLock),
    BIND("ntoskrnl.exe", IofCallDriver),       // fastcall
    BIND("ntoskrnl.exe", IofCompleteRequest),  // fastcall
    BIND("ntoskrnl.exe", KeClearEvent),
    BIND("ntoskrnl.exe", KeDelayExecutionThread),
    BIND("ntoskrnl.exe", KeInitializeEvent),
    BIND("ntoskrnl.exe", KeInitializeSpinLock),
    BIND("ntoskrnl.exe", KeQueryInterruptTime),
    BIND("ntoskrnl.exe", KeQuerySystemTime),
    BIND("ntoskrnl.exe", KeReadStateEvent),
    BIND("ntoskrnl.exe", KeResetEvent),
    BIND("ntoskrnl.exe", KeSetEvent),
    BIND("ntoskrnl.exe", KeWaitForSingleObject),
    BIND("ntoskrnl.exe", KefAcquireSpinLockAtDpcLevel),                           // fastcall
    BIND("ntoskrnl.exe", KefReleaseSpinLockFromDpcLevel),                         // fastcall
    BIND_AS("ntoskrnl.exe", "InterlockedIncrement", KernelInterlockedIncrement),  // fastcall
    BIND_AS("ntoskrnl.exe", "InterlockedDecrement", KernelInterlockedDecrement),
    BIND_AS("ntoskrnl.exe", "InterlockedExchange", KernelInterlockedExchange),
    BIND_AS("ntoskrnl.exe", "InterlockedCompareExchange", KernelInterlockedCompareExchange),
    BIND_AS("ntoskrnl.exe", "InterlockedExchangeAdd", KernelInterlockedExchangeAdd),
    BIND("ntoskrnl.exe", MmBuildMdlForNonPagedPool),
    BIND("ntoskrnl.exe", PoCallDriver),
    BIND("ntoskrnl.exe", PoStartNextPowerIrp),
    BIND("ntoskrnl.exe", RtlAnsiStringToUnicodeString),
    BIND("ntoskrnl.exe", RtlAppendUnicodeStringToString),
    BIND("ntoskrnl.exe", RtlAppendUnicodeToString),
    BIND("ntoskrnl.exe", RtlCompareMemory),
    BIND("ntoskrnl.exe", RtlCopyUnicodeString),
    BIND("ntoskrnl.exe", RtlFreeUnicodeString),
    BIND("ntoskrnl.exe", RtlInitAnsiString),
    BIND("ntoskrnl.exe", RtlInitUnicodeString),
    BIND("ntoskrnl.exe", RtlIntegerToUnicodeString),
    BIND("ntoskrnl.exe", RtlQueryRegistryValues),
    BIND("ntoskrnl.exe", RtlWriteRegistryValue),
    BIND("ntoskrnl.exe", memcpy),  // cdecl, the C library's
    BIND("ntoskrnl.exe", memmove),
    BIND("ntoskrnl.exe", memset),
    // The HAL: the spin-lock and fast-mutex routines are fastcall.
    BIND("HAL.dll", ExAcquireFastMutex),
    BIND("HAL.dll", ExReleaseFastMutex),
    BIND("HAL.dll", KeGetCurrentIrql),  // stdcall
    BIND("HAL.dll", KfAcquireSpinLock),
    BIND("HAL.dll", KfReleaseSpinLock),
    BIND("HAL.dll", KfRaiseIrql),
    BIND("HAL.dll", KfLowerIrql),
    // The USB bus driver's library, stdcall; the import library names one
    // routine in its decorated form.
    BIND("USBD.SYS", USBD_CreateConfigurationRequest),
    BIND_AS("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28", USBD_ParseConfigurationDescriptorEx),
    BIND("USBD.SYS", USBD_ParseConfigurationDescriptorEx),
};

}  // namespace

bool KnownImportModule(const std::string &module)
{
    for (const char *known : {"ntoskrnl.exe", "HAL.dll", "USBD.SYS"})
        if (strcasecmp(module.c_str(), known) == 0)
            return true;
    return false;
}

const void *FindImportBinding(const std::string &module, const std::string &name)
{
    for (const Binding &binding : kBindings)
        if (strcasecmp(module.c_str(), binding.module) == 0 && name == binding.name)
            return binding.address;
    return nullptr;
}

}  // namespace sim::loader

#endif
