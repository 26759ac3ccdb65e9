#include "sim/loader/config_trap.h"

#if defined(NUVIX_HOST32)

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "driver/platform/cm.h"

namespace sim::loader {
namespace {

constexpr uint16_t kConfigManagerId = 0x0033;
constexpr uint16_t kJumpForm = 0x8000;

// Few images at once; read by the handler without a lock (a range is put in
// before its image runs and taken out after it stopped running).
constexpr int kMaxRanges = 8;
std::atomic<uintptr_t> gRangeBase[kMaxRanges];
std::atomic<size_t> gRangeSize[kMaxRanges];
std::mutex gRangesMutex;
struct sigaction gPrevious;
bool gInstalled = false;

bool InLoadedImage(uintptr_t address, size_t length)
{
    for (int i = 0; i < kMaxRanges; i++) {
        uintptr_t base = gRangeBase[i].load();
        size_t size = gRangeSize[i].load();
        if (base != 0 && address >= base && address - base + length <= size)
            return true;
    }
    return false;
}

// The service routine for a Configuration Manager service number; null for
// one the simulation does not provide.
uintptr_t ServiceRoutine(uint16_t service)
{
    switch (service) {
    case CM_SERVICE_LOCATE_DEVNODE:
        return reinterpret_cast<uintptr_t>(&CM_Locate_DevNode);
    case CM_SERVICE_CREATE_DEVNODE:
        return reinterpret_cast<uintptr_t>(&CM_Create_DevNode);
    case CM_SERVICE_REMOVE_SUBTREE:
        return reinterpret_cast<uintptr_t>(&CM_Remove_SubTree);
    case CM_SERVICE_REENUMERATE_DEVNODE:
        return reinterpret_cast<uintptr_t>(&CM_Reenumerate_DevNode);
    case CM_SERVICE_READ_REGISTRY_VALUE:
        return reinterpret_cast<uintptr_t>(&CM_Read_Registry_Value);
    case CM_SERVICE_WRITE_REGISTRY_VALUE:
        return reinterpret_cast<uintptr_t>(&CM_Write_Registry_Value);
    default:
        return 0;
    }
}

void Say(const char *text) { (void)!write(STDERR_FILENO, text, strlen(text)); }

void OnFault(int signal, siginfo_t *info, void *context)
{
    auto *uc = static_cast<ucontext_t *>(context);
    uintptr_t eip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
    if (InLoadedImage(eip, 6)) {
        const auto *code = reinterpret_cast<const uint8_t *>(eip);
        if (code[0] == 0xCD && code[1] == 0x20) {
            uint32_t id;
            std::memcpy(&id, code + 2, sizeof(id));
            uint16_t device = static_cast<uint16_t>(id >> 16);
            uint16_t service = static_cast<uint16_t>(id & 0xFFFF);
            uintptr_t routine = device == kConfigManagerId ? ServiceRoutine(service & ~kJumpForm) : 0;
            if (routine != 0 && (service & kJumpForm) != 0) {
                // The stub's stack is the caller's call frame: go on in the
                // service, which returns to the caller; the caller removes
                // the arguments (the services are cdecl).
                uc->uc_mcontext.gregs[REG_EIP] = static_cast<greg_t>(routine);
                return;
            }
            Say("*** SIMULATED BUG CHECK: a VxD service call the simulation does not provide "
                "(only the Configuration Manager's, in the jump form)\n");
            abort();
        }
    }
    // Not ours: the handler from before takes it when the instruction faults again.
    sigaction(signal, &gPrevious, nullptr);
    (void)info;
}

}  // namespace

void AddServiceCallRange(const uint8_t *base, size_t size)
{
    std::lock_guard lock(gRangesMutex);
    for (int i = 0; i < kMaxRanges; i++) {
        if (gRangeBase[i].load() == 0) {
            gRangeSize[i].store(size);
            gRangeBase[i].store(reinterpret_cast<uintptr_t>(base));
            break;
        }
    }
    // (Re)installed every time: a handler installed after ours (a program's
    // crash reporter) would otherwise take the traps.
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    if (gInstalled && current.sa_sigaction == OnFault)
        return;
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPrevious);
    gInstalled = true;
}

void RemoveServiceCallRange(const uint8_t *base)
{
    std::lock_guard lock(gRangesMutex);
    for (int i = 0; i < kMaxRanges; i++) {
        if (gRangeBase[i].load() == reinterpret_cast<uintptr_t>(base)) {
            gRangeBase[i].store(0);
            gRangeSize[i].store(0);
        }
    }
}

}  // namespace sim::loader

#endif
