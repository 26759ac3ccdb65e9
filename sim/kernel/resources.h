// Bookkeeping of what the driver allocates from the platform (pool blocks,
// requests, descriptor lists), for the verifier: each allocation is known
// from allocation to free, freed blocks stay in quarantine for a while so
// that a double free or a late use names the block, and whatever is still
// live when a test ends is a leak. Fault injection also lives here.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "address_set.h"
#include "driver/platform/platform.h"

namespace sim {

enum class ResourceKind { Pool, Irp, Mdl };
const char *KindName(ResourceKind kind);

struct Resource {
    ResourceKind kind = ResourceKind::Pool;
    void *address = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE poolType = NonPagedPool;
    uint64_t serial = 0;  // allocation number of its kind, from 1
    bool freed = false;
    const char *origin = nullptr;  // who allocated it (a routine's name), or null
    // The allocator's own bookkeeping kept with the block (Allocate's
    // clientBytes), or null.
    void *client = nullptr;
};

// One fault rule: the nth next allocation of that kind fails (1 = the very
// next one; the count goes down with each matching allocation and the rule
// ends with its failure), or, with remaining 0, every one does; a tag narrows
// a rule to pool blocks of that tag.
struct ResourceFault {
    ResourceKind kind = ResourceKind::Pool;
    uint64_t remaining = 0;
    std::optional<ULONG> tag;
};

// The allocator's fault injection, one record. A World starts with
// WorldOptions::faults.resources (no rules by default).
struct ResourceFaults {
    std::vector<ResourceFault> rules;
};

class Resources {
public:
    static Resources &Get();

    // Allocates a block of request.size bytes of request.kind (its tag, pool
    // type and origin taken from request) and records it. trailer bytes
    // follow the block (a guard area, the caller's to fill), and clientBytes
    // of the caller's own bookkeeping go with it (Resource::client, zeroed),
    // kept apart from the block so that an underrun cannot reach them.
    // Returns null when fault injection fails the allocation (only if
    // failable); the block's contents are undefined. made, if given,
    // receives the record as made (serial number, client area).
    void *Allocate(const Resource &request, size_t trailer = 0, size_t clientBytes = 0, bool failable = true,
                   Resource *made = nullptr);
    // Marks the resource freed, fills it with 0xDD and keeps it in quarantine;
    // returns its record. Bug checks on unknown or already freed addresses,
    // and when a block leaving quarantine was written to after its free.
    // check, if given, looks at the block first (still whole, under the lock).
    // All of it happens under the lock: once Free returns, the block may
    // leave quarantine and be reused at any moment, so no caller touches it
    // after.
    Resource Free(ResourceKind kind, void *address, const char *routine,
                  const std::function<void(const Resource &)> &check = nullptr);
    // The live record at address, or null (also for freed ones).
    std::optional<Resource> Find(void *address);
    // Whether address is a live block of that kind.
    bool IsLive(ResourceKind kind, void *address);
    // The client bookkeeping of the live block of that kind at address, or
    // null when there is none.
    void *ClientOf(ResourceKind kind, void *address);
    bool IsFreed(void *address);
    // The live pool block that holds [address, address + size), if any.
    std::optional<Resource> FindPoolBlockHolding(const void *address, size_t size);

    // Every live resource, oldest first.
    std::vector<Resource> Live();
    std::string LeakReport();
    size_t LiveCount(ResourceKind kind);
    uint64_t AllocationCount(ResourceKind kind);

    // Releases everything, live or quarantined (end of a world).
    void Clear();

    // Fault injection (ResourceFaults): SetFaults replaces the rules, the
    // others add one rule each (FailNth with n 0 fails the next one) or drop
    // them all.
    void SetFaults(ResourceFaults faults);
    ResourceFaults Faults();
    void FailNth(ResourceKind kind, uint64_t n, std::optional<ULONG> tag = std::nullopt);
    void FailEvery(ResourceKind kind, std::optional<ULONG> tag = std::nullopt);
    void ClearFaults();
    bool ShouldFail(ResourceKind kind, ULONG tag);

private:
    // In front of every block: its record, and its place among all records.
    struct Header;
    Resources() = default;
    static size_t ReadQuarantineLimit();
    static Header *HeaderOf(const void *block);
    Header *FindLocked(const void *address) const;
    void TrimQuarantineLocked();
    void PrefetchLeavingLocked() const;
    void KeepSpareLocked(void *memory, size_t held);
    void *TakeSpareLocked(size_t held);
    void ReleaseLocked(Header *header);

    std::mutex mutex_;
    // The address of every allocation, live or in quarantine (its header
    // lies at a fixed distance before it); pool blocks also in address
    // order, for FindPoolBlockHolding.
    AddressSet records_;
    std::map<const void *, Header *> poolBlocks_;
    std::deque<Header *> quarantine_;
    const size_t quarantineLimit_ = ReadQuarantineLimit();
    // Memory of released blocks up to 2 KiB, by size in 16-byte units, for
    // the next allocations of that size.
    static constexpr size_t kSparesPerSize = 32;
    std::vector<std::vector<void *>> spares_ = std::vector<std::vector<void *>>(2048 / 16 + 1);
    ResourceFaults faults_;
    // Whether faults_ holds any rule, read without the lock so that an
    // allocation with no fault injection in force takes the lock only once.
    std::atomic<bool> anyFaults_{false};
    uint64_t serials_[3] = {0, 0, 0};
};

std::string TagText(ULONG tag);

}  // namespace sim
