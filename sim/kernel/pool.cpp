// Pool with tags. Blocks come with undefined contents (filled with 0xCD) and
// a guard area after them that is checked when the block is freed, the way
// the verifier's special pool catches overruns.
#include <cstdlib>
#include <cstring>
#include <string>

#include "bugcheck.h"
#include "cpu.h"
#include "poison.h"
#include "resources.h"

namespace {

using sim::BugCheck;
using sim::ResourceKind;
using sim::Resources;

constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xFD;
constexpr unsigned char kFreshByte = 0xCD;

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = sim::Cpu().irql;
    if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL))
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string("ExAllocatePoolWithTag of ") +
                                               (PoolType == PagedPool ? "paged" : "non-paged") + " pool at " +
                                               sim::IrqlName(irql));
    sim::Resource request;
    request.kind = ResourceKind::Pool;
    request.size = NumberOfBytes;
    request.tag = Tag;
    request.poolType = PoolType;
    auto *block = static_cast<unsigned char *>(Resources::Get().Allocate(request, kGuard));
    if (!block)
        return nullptr;
    std::memset(block, kFreshByte, NumberOfBytes);
    std::memset(block + NumberOfBytes, kGuardByte, kGuard);
    return block;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // 'None'
}

static void FreePoolBlock(PVOID P, const char *routine)
{
    if (sim::Cpu().irql > DISPATCH_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " above DISPATCH_LEVEL");
    if (!P)
        BugCheck("BAD_POOL_CALLER", std::string(routine) + " of a null pointer");
    Resources::Get().Free(ResourceKind::Pool, P, routine, [P](const sim::Resource &block) {
        auto *bytes = static_cast<const unsigned char *>(P);
        for (size_t i = 0; i < kGuard; i++)
            if (bytes[block.size + i] != kGuardByte)
                BugCheck("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
                         "write past the end of pool block " + sim::Hex(reinterpret_cast<uintptr_t>(P)) + " (" +
                             std::to_string(block.size) + " bytes, tag " + sim::TagText(block.tag) + ") at offset " +
                             std::to_string(block.size + i));
        SIM_POISON(bytes + block.size, kGuard);
    });
}

VOID ExFreePool(PVOID P) { FreePoolBlock(P, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    auto record = Resources::Get().Find(P);
    if (record && record->tag != Tag)
        BugCheck("BAD_POOL_CALLER",
                 "ExFreePoolWithTag with tag " + sim::TagText(Tag) + " of a block tagged " + sim::TagText(record->tag));
    FreePoolBlock(P, "ExFreePoolWithTag");
}
