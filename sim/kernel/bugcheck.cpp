#include "bugcheck.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "scheduler.h"

namespace sim {

namespace {
std::mutex gNoteMutex;
std::string gNote;
}  // namespace

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
    std::fprintf(stderr, "\n*** SIMULATED BUG CHECK: %s\n*** on thread '%s'\n%s\n%s\n", name.c_str(),
                 Scheduler::Get().CurrentName().c_str(), details.c_str(), note.c_str());
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
