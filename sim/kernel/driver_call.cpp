#include "sim/kernel/driver_call.h"

#include <cstdint>
#include <sstream>

#include "sim/kernel/bugcheck.h"

namespace sim {

#if defined(NUVIX_HOST32)
namespace {

// Pushes the arguments right to left, calls, and gives back how far the
// stack pointer ended from where it was before the pushes (0 when the
// routine removed its arguments). esi holds the stack pointer across the
// call: every convention keeps it.
uint32_t CallAndMeasure(const void *routine, uint32_t a, uint32_t b, uint32_t c, int count, uint32_t &result)
{
    uint32_t after, before;
    if (count == 2) {
        asm volatile(
            "movl %%esp, %%esi\n\t"
            "pushl %[b]\n\t"
            "pushl %[a]\n\t"
            "call *%[fn]\n\t"
            "movl %%esp, %%edx\n\t"
            "movl %%esi, %%esp\n\t"
            : "=a"(result), "=d"(after), "=&S"(before)
            : [fn] "r"(routine), [a] "r"(a), [b] "r"(b)
            : "ecx", "memory", "cc");
    } else {
        asm volatile(
            "movl %%esp, %%esi\n\t"
            "pushl %[c]\n\t"
            "pushl %[b]\n\t"
            "pushl %[a]\n\t"
            "call *%[fn]\n\t"
            "movl %%esp, %%edx\n\t"
            "movl %%esi, %%esp\n\t"
            : "=a"(result), "=d"(after), "=&S"(before)
            : [fn] "r"(routine), [a] "r"(a), [b] "r"(b), [c] "r"(c)
            : "ecx", "memory", "cc");
    }
    return before - after;
}

template <typename Routine>
void Check(uint32_t left, Routine routine, const char *kind, int count)
{
    if (left == 0)
        return;
    std::ostringstream details;
    details << "the " << kind << " at " << DescribeAddress(reinterpret_cast<const void *>(routine)) << " returned with "
            << left << " bytes of its " << 4 * count
            << " bytes of arguments still on the stack: it is not declared in the platform's stdcall "
               "convention (NTAPI)";
    BugCheck("DRIVER_CALLING_CONVENTION", details.str());
}

uint32_t Word(const void *pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

}  // namespace

NTSTATUS CallDispatchRoutine(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp)
{
    uint32_t result;
    uint32_t left = CallAndMeasure(reinterpret_cast<const void *>(routine), Word(device), Word(irp), 0, 2, result);
    Check(left, routine, "dispatch routine", 2);
    return static_cast<NTSTATUS>(result);
}

NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    uint32_t result;
    uint32_t left =
        CallAndMeasure(reinterpret_cast<const void *>(routine), Word(device), Word(irp), Word(context), 3, result);
    Check(left, routine, "completion routine", 3);
    return static_cast<NTSTATUS>(result);
}

#else

NTSTATUS CallDispatchRoutine(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp) { return routine(device, irp); }

NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return routine(device, irp, context);
}

#endif

}  // namespace sim
