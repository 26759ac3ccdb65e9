#include "resources.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "bugcheck.h"
#include "poison.h"

namespace sim {

namespace {
// How many freed blocks stay in quarantine before their memory goes back to
// the heap. NUVIX_SIM_QUARANTINE=N in the environment sets another number: a
// small one hands addresses out again soon after their free, which makes a
// use of a stale address (by the driver or by the simulation) show at once.
size_t QuarantineLimit()
{
    static const size_t limit = [] {
        const char *text = std::getenv("NUVIX_SIM_QUARANTINE");
        const long n = text ? std::atol(text) : 0;
        return n > 0 ? static_cast<size_t>(n) : size_t{4096};
    }();
    return limit;
}
constexpr unsigned char kFreedByte = 0xDD;

// The first byte of a quarantined block that no longer holds the freed
// pattern, or size when every byte still does.
size_t FirstWrittenByte(const Resource &r)
{
    auto *bytes = static_cast<const unsigned char *>(r.address);
    // A word at a time: every block that leaves quarantine is checked.
    constexpr uint64_t kFreedWord = 0x0101010101010101ull * kFreedByte;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= r.size; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof(word));
        if (word != kFreedWord)
            break;
    }
    for (; i < r.size; i++)
        if (bytes[i] != kFreedByte)
            return i;
    return r.size;
}
}  // namespace

const char *KindName(ResourceKind kind)
{
    switch (kind) {
    case ResourceKind::Pool:
        return "pool block";
    case ResourceKind::Irp:
        return "request (IRP)";
    case ResourceKind::Mdl:
        return "memory descriptor list";
    }
    return "?";
}

std::string TagText(ULONG tag)
{
    std::string text = "'";
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text + "'";
}

void ReleaseHeapBlock(void *address, size_t held)
{
    SIM_UNPOISON(address, held);
    std::free(address);
}

Resources &Resources::Get()
{
    static Resources instance;
    return instance;
}

void Resources::Add(Resource resource)
{
    std::lock_guard lock(mutex_);
    void *address = resource.address;
    if (auto old = records_.find(address); old != records_.end())
        EraseLocked(old);
    auto [it, inserted] = records_.emplace(address, resource);
    if (resource.kind == ResourceKind::Pool)
        poolBlocks_[address] = &it->second;
}

void Resources::EraseLocked(std::unordered_map<void *, Resource>::iterator it)
{
    if (it->second.kind == ResourceKind::Pool)
        poolBlocks_.erase(it->first);
    records_.erase(it);
}

static std::string Describe(const Resource &r)
{
    std::ostringstream out;
    out << KindName(r.kind) << " " << Hex(reinterpret_cast<uintptr_t>(r.address)) << " (#" << r.serial;
    if (r.kind == ResourceKind::Pool)
        out << ", " << r.size << " bytes, tag " << TagText(r.tag) << (r.poolType == PagedPool ? ", paged" : "");
    if (r.origin && *r.origin)
        out << ", from " << r.origin;
    out << ")";
    return out.str();
}

Resource Resources::Free(ResourceKind kind, void *address, const char *routine,
                         const std::function<void(const Resource &)> &check)
{
    std::lock_guard lock(mutex_);
    auto it = records_.find(address);
    if (it == records_.end() || it->second.kind != kind)
        BugCheck("BAD_POOL_CALLER", std::string(routine) + " of " + Hex(reinterpret_cast<uintptr_t>(address)) +
                                        ", which is not a " + KindName(kind) + " the platform handed out");
    if (it->second.freed)
        BugCheck("BAD_POOL_CALLER", std::string(routine) + ": double free of " + Describe(it->second));
    if (check)
        check(it->second);
    it->second.freed = true;
    // Filled and poisoned under the lock. Done after the lock is released, a
    // thread preempted between the two would fill memory that enough other
    // frees had meanwhile pushed out of quarantine and the heap had handed
    // out again. The pattern is what the end of quarantine checks.
    std::memset(address, kFreedByte, it->second.size);
    SIM_POISON(address, it->second.size);
    quarantine_.push_back(address);
    TrimQuarantineLocked();
    return it->second;
}

// A freed block is written to by no one: a write while it sat in quarantine
// is a late use by whoever kept its address, caught here before the memory
// goes back to the heap it would otherwise corrupt.
void Resources::CheckUntouchedLocked(const Resource &r)
{
    SIM_UNPOISON(r.address, r.size);
    size_t offset = FirstWrittenByte(r);
    if (offset < r.size)
        BugCheck("DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", "freed " + Describe(r) + " was written to at offset " +
                                                                std::to_string(offset) + " after it was freed");
}

void Resources::TrimQuarantineLocked()
{
    while (quarantine_.size() > QuarantineLimit()) {
        auto it = records_.find(quarantine_.front());
        quarantine_.pop_front();
        if (it != records_.end() && it->second.freed) {
            CheckUntouchedLocked(it->second);
            if (it->second.release)
                it->second.release(it->second.address, it->second.held);
            EraseLocked(it);
        }
    }
}

std::optional<Resource> Resources::Find(void *address)
{
    std::lock_guard lock(mutex_);
    auto it = records_.find(address);
    if (it == records_.end() || it->second.freed)
        return std::nullopt;
    return it->second;
}

bool Resources::IsFreed(void *address)
{
    std::lock_guard lock(mutex_);
    auto it = records_.find(address);
    return it != records_.end() && it->second.freed;
}

std::optional<Resource> Resources::FindPoolBlockHolding(const void *address, size_t size)
{
    std::lock_guard lock(mutex_);
    auto it = poolBlocks_.upper_bound(address);
    if (it == poolBlocks_.begin())
        return std::nullopt;
    --it;
    const Resource &r = *it->second;
    auto *start = static_cast<const char *>(r.address);
    auto *p = static_cast<const char *>(address);
    if (r.freed || r.kind != ResourceKind::Pool || p + size > start + r.size)
        return std::nullopt;
    return r;
}

std::vector<Resource> Resources::Live()
{
    std::lock_guard lock(mutex_);
    std::vector<Resource> live;
    for (auto &[address, r] : records_)
        if (!r.freed)
            live.push_back(r);
    std::sort(live.begin(), live.end(), [](const Resource &a, const Resource &b) {
        return a.kind != b.kind ? a.kind < b.kind : a.serial < b.serial;
    });
    return live;
}

std::string Resources::LeakReport()
{
    std::string report;
    for (const Resource &r : Live())
        report += "leaked " + Describe(r) + "\n";
    return report;
}

size_t Resources::LiveCount(ResourceKind kind)
{
    size_t n = 0;
    for (const Resource &r : Live())
        n += r.kind == kind;
    return n;
}

uint64_t Resources::AllocationCount(ResourceKind kind)
{
    std::lock_guard lock(mutex_);
    return serials_[static_cast<int>(kind)];
}

uint64_t Resources::NextSerial(ResourceKind kind)
{
    std::lock_guard lock(mutex_);
    return ++serials_[static_cast<int>(kind)];
}

void Resources::Clear()
{
    std::lock_guard lock(mutex_);
    for (auto &[address, r] : records_) {
        if (r.freed)
            CheckUntouchedLocked(r);
        if (r.release)
            r.release(r.address, r.held);
    }
    records_.clear();
    poolBlocks_.clear();
    quarantine_.clear();
    faults_.clear();
    for (auto &s : serials_)
        s = 0;
}

void Resources::FailNth(ResourceKind kind, uint64_t n, std::optional<ULONG> tag)
{
    std::lock_guard lock(mutex_);
    faults_.push_back({kind, n == 0 ? 1 : n, tag});
}

void Resources::FailEvery(ResourceKind kind, std::optional<ULONG> tag)
{
    std::lock_guard lock(mutex_);
    faults_.push_back({kind, 0, tag});
}

void Resources::ClearFaults()
{
    std::lock_guard lock(mutex_);
    faults_.clear();
}

bool Resources::ShouldFail(ResourceKind kind, ULONG tag)
{
    std::lock_guard lock(mutex_);
    bool fail = false;
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->kind != kind || (it->tag && *it->tag != tag)) {
            ++it;
            continue;
        }
        if (it->remaining == 0) {
            fail = true;
            ++it;
        } else if (--it->remaining == 0) {
            fail = true;
            it = faults_.erase(it);
        } else {
            ++it;
        }
    }
    return fail;
}

}  // namespace sim
