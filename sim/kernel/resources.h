// Bookkeeping of what the driver allocates from the platform (pool blocks,
// requests, descriptor lists), for the verifier: each allocation is known
// from allocation to free, freed blocks stay in quarantine for a while so
// that a double free or a late use names the block, and whatever is still
// live when a test ends is a leak. Fault injection also lives here.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

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
    // Gives the memory back when quarantine ends: release(address, held),
    // where held counts every byte the allocation holds (guard bytes too).
    void (*release)(void *address, size_t held) = nullptr;
    size_t held = 0;
};

// The usual release: unpoison and free what malloc or calloc gave.
void ReleaseHeapBlock(void *address, size_t held);

class Resources {
public:
    static Resources &Get();

    void Add(Resource resource);
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

    // Fault injection: the nth next allocation of that kind (1 = the very
    // next one), or every one, fails; a tag narrows pool rules.
    void FailNth(ResourceKind kind, uint64_t n, std::optional<ULONG> tag = std::nullopt);
    void FailEvery(ResourceKind kind, std::optional<ULONG> tag = std::nullopt);
    void ClearFaults();
    bool ShouldFail(ResourceKind kind, ULONG tag);
    uint64_t NextSerial(ResourceKind kind);

private:
    struct FaultRule {
        ResourceKind kind;
        uint64_t remaining;  // 0: every matching allocation
        std::optional<ULONG> tag;
    };
    Resources() = default;
    void TrimQuarantineLocked();
    void CheckUntouchedLocked(const Resource &r);

    void EraseLocked(std::unordered_map<void *, Resource>::iterator it);

    std::mutex mutex_;
    // Every allocation by address, constant time for the per-transfer
    // requests and descriptor lists; pool blocks are also kept in address
    // order, for FindPoolBlockHolding. Records do not move once made.
    std::unordered_map<void *, Resource> records_;
    std::map<const void *, Resource *> poolBlocks_;
    std::deque<void *> quarantine_;
    std::vector<FaultRule> faults_;
    uint64_t serials_[3] = {0, 0, 0};
};

std::string TagText(ULONG tag);

}  // namespace sim
