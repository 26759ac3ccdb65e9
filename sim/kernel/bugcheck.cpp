#include "bugcheck.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "scheduler.h"

namespace sim {

namespace {
std::mutex gNoteMutex;
std::string gNote;

struct Image {
    std::string name;
    size_t size = 0;
};
std::mutex gImagesMutex;
std::map<uintptr_t, Image> gImages;  // by base

std::string Offset(uintptr_t offset)
{
    char text[24];
    std::snprintf(text, sizeof(text), "+0x%llX", static_cast<unsigned long long>(offset));
    return text;
}

// The frames that called BugCheck, one line each, and the addr2line
// command that names every line of the first module, static routines and
// source lines too. A driver image has no unwind tables, so the walk may end
// at the first frame inside one: that frame names the driver's routine that
// made the call.
std::string Backtrace()
{
    void *frames[48];
    const int count = backtrace(frames, 48);
    std::string text;
    std::string module;
    std::string offsets;
    for (int i = 2; i < count; i++) {  // past Backtrace and BugCheck
        // A return address: the call lies just before it.
        const void *call = static_cast<const char *>(frames[i]) - 1;
        text += "***   #" + std::to_string(i - 2) + " " + DescribeAddress(call) + "\n";
        Dl_info info;
        if (!dladdr(call, &info) || !info.dli_fname)
            continue;
        if (module.empty())
            module = info.dli_fname;
        // addr2line takes a position-independent module's offsets, and a
        // fixed one's addresses as they are.
        const bool fixed = static_cast<const ElfW(Ehdr) *>(info.dli_fbase)->e_type == ET_EXEC;
        if (module == info.dli_fname)
            offsets += " " + Hex(uintptr_t(call) - (fixed ? 0 : uintptr_t(info.dli_fbase)));
    }
    if (!module.empty())
        text += "*** every frame of " + module + " with its source line: addr2line -Cfipe " + module + offsets + "\n";
    return text;
}
}  // namespace

void RegisterImage(const std::string &name, const void *base, size_t size)
{
    std::lock_guard lock(gImagesMutex);
    gImages[reinterpret_cast<uintptr_t>(base)] = Image{name, size};
}

void UnregisterImage(const void *base)
{
    std::lock_guard lock(gImagesMutex);
    gImages.erase(reinterpret_cast<uintptr_t>(base));
}

std::string DescribeAddress(const void *address)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    {
        std::lock_guard lock(gImagesMutex);
        auto it = gImages.upper_bound(at);
        if (it != gImages.begin()) {
            --it;
            if (at - it->first < it->second.size)
                return it->second.name + Offset(at - it->first);
        }
    }
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname)
        return Hex(at);
    const char *slash = std::strrchr(info.dli_fname, '/');
    std::string text = std::string(slash ? slash + 1 : info.dli_fname) + Offset(at - uintptr_t(info.dli_fbase));
    if (info.dli_sname && info.dli_saddr) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        text += std::string(" (") + (status == 0 && demangled ? demangled : info.dli_sname) +
                Offset(at - uintptr_t(info.dli_saddr)) + ")";
        std::free(demangled);
    }
    return text;
}

void SetBugCheckNote(std::string note)
{
    std::lock_guard lock(gNoteMutex);
    gNote = std::move(note);
}

void BugCheck(const std::string &name, const std::string &details)
{
    std::string note;
    {
        std::lock_guard lock(gNoteMutex);
        note = gNote;
    }
    std::fprintf(stderr, "\n*** SIMULATED BUG CHECK: %s\n*** on thread '%s'\n%s\n%s\n*** stack:\n%s", name.c_str(),
                 Scheduler::Get().CurrentName().c_str(), details.c_str(), note.c_str(), Backtrace().c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace sim
