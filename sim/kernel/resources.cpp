#include "resources.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <new>
#include <sstream>

#include "bugcheck.h"
#include "environment.h"
#include "poison.h"

namespace sim {

namespace {
constexpr unsigned char kFreedByte = 0xDD;

// What a freed block holds, a page of it to compare against.
constexpr size_t kPatternBytes = 4096;
constexpr std::array<unsigned char, kPatternBytes> kFreedPattern = [] {
    std::array<unsigned char, kPatternBytes> pattern{};
    pattern.fill(kFreedByte);
    return pattern;
}();

// The first byte of a quarantined block that no longer holds the freed
// pattern, or size when every byte still does. Every block that leaves
// quarantine is checked, so the search compares whole runs (memcmp) and
// looks at single bytes only in a run that differs.
size_t FirstWrittenByte(const void *address, size_t size)
{
    auto *bytes = static_cast<const unsigned char *>(address);
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(size - done, kPatternBytes);
        if (std::memcmp(bytes + done, kFreedPattern.data(), n) != 0) {
            for (size_t i = done; i < done + n; i++)
                if (bytes[i] != kFreedByte)
                    return i;
        }
        done += n;
    }
    return size;
}

// Between a block's header and the block: never written, poisoned for
// AddressSanitizer all the block's life, so a write just before the block
// is caught at the access as it would be before a heap block of its own.
constexpr size_t kGap = 16;
}  // namespace

struct alignas(16) Resources::Header {
    Resource record;
    void *memory = nullptr;  // what the heap gave: client area, header, gap, block, trailer
    size_t held = 0;         // bytes from memory
};

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

// How many freed blocks stay in quarantine before their memory goes back to
// the heap. NUVIX_SIM_QUARANTINE=N in the environment sets another number: a
// small one hands addresses out again soon after their free, which makes a
// use of a stale address (by the driver or by the simulation) show at once.
size_t Resources::ReadQuarantineLimit() { return Env().quarantine; }
Resources &Resources::Get()
{
    static Resources instance;
    return instance;
}

void *Resources::Allocate(const Resource &request, size_t trailer, size_t clientBytes, bool failable, Resource *made)
{
    if (failable && ShouldFail(request.kind, request.tag))
        return nullptr;
    if (request.size > SIZE_MAX / 2)
        return nullptr;  // more than any heap has; the sums below must not wrap
    const size_t client = (clientBytes + 15) & ~size_t{15};
    const size_t used = client + sizeof(Header) + kGap + request.size + trailer;
    const size_t held = (used + 15) & ~size_t{15};  // whole units, so that spare memory fits many sizes
    std::lock_guard lock(mutex_);
    auto *memory = static_cast<unsigned char *>(TakeSpareLocked(held));
    if (!memory)
        return nullptr;
    std::memset(memory, 0, client);
    auto *header = new (memory + client) Header;
    unsigned char *block = memory + client + sizeof(Header) + kGap;
    SIM_POISON(block - kGap, kGap);
    SIM_POISON(memory + used, held - used);
    header->record = request;
    header->record.address = block;
    header->record.freed = false;
    header->record.client = client ? memory : nullptr;
    header->memory = memory;
    header->held = held;
    header->record.serial = ++serials_[static_cast<int>(request.kind)];
    if (made)
        *made = header->record;
    records_.Insert(block);
    if (request.kind == ResourceKind::Pool)
        poolBlocks_[block] = header;
    return block;
}

Resources::Header *Resources::HeaderOf(const void *block)
{
    return reinterpret_cast<Header *>(const_cast<char *>(static_cast<const char *>(block)) - kGap - sizeof(Header));
}

Resources::Header *Resources::FindLocked(const void *address) const
{
    return records_.Contains(address) ? HeaderOf(address) : nullptr;
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
    Header *header = FindLocked(address);
    if (!header || header->record.kind != kind)
        BugCheck("BAD_POOL_CALLER", std::string(routine) + " of " + Hex(reinterpret_cast<uintptr_t>(address)) +
                                        ", which is not a " + KindName(kind) + " the platform handed out");
    Resource &r = header->record;
    if (r.freed)
        BugCheck("BAD_POOL_CALLER", std::string(routine) + ": double free of " + Describe(r));
    if (check)
        check(r);
    r.freed = true;
    // Filled and poisoned under the lock. Done after the lock is released, a
    // thread preempted between the two would fill memory that enough other
    // frees had meanwhile pushed out of quarantine and the heap had handed
    // out again. The pattern is what the end of quarantine checks.
    std::memset(address, kFreedByte, r.size);
    SIM_POISON(address, r.size);
    const Resource freed = r;
    quarantine_.push_back(header);
    TrimQuarantineLocked();
    return freed;
}

// Gives a record's memory back to the heap. A freed block is first checked:
// it is written to by no one, so a write while it sat in quarantine is a
// late use by whoever kept its address, caught here before the memory goes
// back to the heap it would otherwise corrupt.
void Resources::ReleaseLocked(Header *header)
{
    const Resource &r = header->record;
    if (r.freed) {
        SIM_UNPOISON(r.address, r.size);
        const size_t offset = FirstWrittenByte(r.address, r.size);
        if (offset < r.size)
            BugCheck("DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", "freed " + Describe(r) + " was written to at offset " +
                                                                    std::to_string(offset) + " after it was freed");
    }
    records_.Erase(r.address);
    if (r.kind == ResourceKind::Pool)
        poolBlocks_.erase(r.address);
    void *memory = header->memory;
    const size_t held = header->held;
    header->~Header();
    KeepSpareLocked(memory, held);
}

// Memory of a released block, kept for the next allocation of the same size
// instead of going back to the heap: the requests and descriptor lists of
// the data path are a few sizes, allocated and released at the same rate.
// It stays poisoned while it waits. Bounded, so memory stays flat.
void Resources::KeepSpareLocked(void *memory, size_t held)
{
    if (held / 16 < spares_.size() && spares_[held / 16].size() < kSparesPerSize) {
        SIM_POISON(memory, held);
        spares_[held / 16].push_back(memory);
        return;
    }
    SIM_UNPOISON(memory, held);
    std::free(memory);
}

// Memory for a block of held bytes (a multiple of 16): kept from a release,
// or from the heap.
void *Resources::TakeSpareLocked(size_t held)
{
    if (held / 16 < spares_.size() && !spares_[held / 16].empty()) {
        void *memory = spares_[held / 16].back();
        spares_[held / 16].pop_back();
        SIM_UNPOISON(memory, held);
        return memory;
    }
    return std::malloc(held);
}

void Resources::TrimQuarantineLocked()
{
    while (quarantine_.size() > quarantineLimit_) {
        Header *header = quarantine_.front();
        quarantine_.pop_front();
        ReleaseLocked(header);
        PrefetchLeavingLocked();
    }
}

// The blocks about to leave quarantine have gone cold since their free: the
// record of the one after next, and all that the next one's release will
// touch (its bytes for the check, its slot in the set, the heap's word in
// front of it), start coming into the cache while other work goes on.
void Resources::PrefetchLeavingLocked() const
{
    if (quarantine_.size() < 2)
        return;
    __builtin_prefetch(quarantine_[1]);
    const Header *next = quarantine_.front();
    const auto *block = static_cast<const char *>(next->record.address);
    for (size_t offset = 0; offset < next->record.size && offset < 1024; offset += 64)
        __builtin_prefetch(block + offset);
    records_.Prefetch(block);
    __builtin_prefetch(static_cast<const char *>(next->memory) - 16);
}

std::optional<Resource> Resources::Find(void *address)
{
    std::lock_guard lock(mutex_);
    const Header *header = FindLocked(address);
    if (!header || header->record.freed)
        return std::nullopt;
    return header->record;
}

bool Resources::IsLive(ResourceKind kind, void *address)
{
    std::lock_guard lock(mutex_);
    const Header *header = FindLocked(address);
    return header && !header->record.freed && header->record.kind == kind;
}

void *Resources::ClientOf(ResourceKind kind, void *address)
{
    std::lock_guard lock(mutex_);
    const Header *header = FindLocked(address);
    return header && !header->record.freed && header->record.kind == kind ? header->record.client : nullptr;
}

bool Resources::IsFreed(void *address)
{
    std::lock_guard lock(mutex_);
    const Header *header = FindLocked(address);
    return header && header->record.freed;
}

std::optional<Resource> Resources::FindPoolBlockHolding(const void *address, size_t size)
{
    std::lock_guard lock(mutex_);
    auto it = poolBlocks_.upper_bound(address);
    if (it == poolBlocks_.begin())
        return std::nullopt;
    --it;
    const Resource &r = it->second->record;
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
    for (const void *block : records_.Keys())
        if (const Header *header = HeaderOf(block); !header->record.freed)
            live.push_back(header->record);
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

void Resources::Clear()
{
    std::lock_guard lock(mutex_);
    for (const void *block : records_.Keys())
        ReleaseLocked(HeaderOf(block));
    records_.Clear();
    for (size_t units = 0; units < spares_.size(); units++) {
        for (void *memory : spares_[units]) {
            SIM_UNPOISON(memory, units * 16);
            std::free(memory);
        }
        spares_[units].clear();
    }
    poolBlocks_.clear();
    quarantine_.clear();
    faults_.rules.clear();
    anyFaults_ = false;
    for (auto &s : serials_)
        s = 0;
}

void Resources::SetFaults(ResourceFaults faults)
{
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
    anyFaults_ = !faults_.rules.empty();
}

ResourceFaults Resources::Faults()
{
    std::lock_guard lock(mutex_);
    return faults_;
}

void Resources::FailNth(ResourceKind kind, uint64_t n, std::optional<ULONG> tag)
{
    std::lock_guard lock(mutex_);
    faults_.rules.push_back({kind, n == 0 ? 1 : n, tag});
    anyFaults_ = true;
}

void Resources::FailEvery(ResourceKind kind, std::optional<ULONG> tag)
{
    std::lock_guard lock(mutex_);
    faults_.rules.push_back({kind, 0, tag});
    anyFaults_ = true;
}

void Resources::ClearFaults() { SetFaults({}); }

bool Resources::ShouldFail(ResourceKind kind, ULONG tag)
{
    if (!anyFaults_)
        return false;
    std::lock_guard lock(mutex_);
    bool fail = false;
    auto &rules = faults_.rules;
    for (auto it = rules.begin(); it != rules.end();) {
        if (it->kind != kind || (it->tag && *it->tag != tag)) {
            ++it;
            continue;
        }
        if (it->remaining == 0) {
            fail = true;
            ++it;
        } else if (--it->remaining == 0) {
            fail = true;
            it = rules.erase(it);
            anyFaults_ = !rules.empty();
        } else {
            ++it;
        }
    }
    return fail;
}

}  // namespace sim
