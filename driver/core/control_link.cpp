#include "control_link.h"

#include "../base/adapter_table.h"
#include "../base/kernel.h"
#include "../base/names.h"

// Guards LinkOwner and the link itself. An event, not a fast mutex: the
// symbolic-link routines run at PASSIVE_LEVEL, which a fast mutex would
// raise. Adapters arrive and leave on different threads, so the claim of
// one and the release of another are kept in one order.
static KEVENT ControlLinkLock;
// The adapter the link leads to, or null when there is no link.
static AdapterContext *LinkOwner;

VOID InitControlLink(VOID)
{
    KeInitializeEvent(&ControlLinkLock, SynchronizationEvent, TRUE);
    LinkOwner = NULL;
}

static VOID TakeLinkLock(VOID) { KeWaitForSingleObject(&ControlLinkLock, Executive, KernelMode, FALSE, NULL); }

static VOID DropLinkLock(VOID) { KeSetEvent(&ControlLinkLock, IO_NO_INCREMENT, FALSE); }

// Creates the link to the adapter in Slot; the lock is held.
static BOOLEAN LinkTo(ULONG Slot)
{
    TextBuilder Text;
    AdapterDeviceName(&Text, Slot);
    UNICODE_STRING DeviceName;
    if (!NT_SUCCESS(TextToUnicode(&Text, &DeviceName)))
        return FALSE;
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, ControlLinkName);
    NTSTATUS Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    RtlFreeUnicodeString(&DeviceName);
    return NT_SUCCESS(Status);
}

VOID ClaimControlLink(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    TakeLinkLock();
    if (!LinkOwner && LinkTo(Adapter->SlotIndex))
        LinkOwner = Adapter;
    DropLinkLock();
}

// The present adapter in the lowest slot, other than the one leaving.
static AdapterContext *NextLinkOwner(AdapterContext *Leaving)
{
    AdapterContext *Next = NULL;
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    for (ULONG Slot = 0; Slot < MAX_ADAPTERS && !Next; Slot++) {
        if (AdapterTable.Slots[Slot] && AdapterTable.Slots[Slot] != Leaving)
            Next = AdapterTable.Slots[Slot];
    }
    KeReleaseSpinLock(&AdapterTableLock, Previous);
    return Next;
}

// An adapter that is chosen here and starts its own removal meanwhile takes
// the lock after this, finds itself the owner and passes the link on again.
// One that is added meanwhile claims the link after this if none is left.
VOID ReleaseControlLink(AdapterContext *Adapter)
{
    RULE_PASSIVE();
    TakeLinkLock();
    if (LinkOwner == Adapter) {
        UNICODE_STRING LinkName;
        RtlInitUnicodeString(&LinkName, ControlLinkName);
        IoDeleteSymbolicLink(&LinkName);
        LinkOwner = NULL;
        AdapterContext *Next = NextLinkOwner(Adapter);
        if (Next && LinkTo(Next->SlotIndex))
            LinkOwner = Next;
    }
    DropLinkLock();
}
