#include "adapter_table.h"

#include "../platform/rules.h"

AdapterTableRecord AdapterTable;
KSPIN_LOCK AdapterTableLock;

VOID InitAdapterTable(VOID) { KeInitializeSpinLock(&AdapterTableLock); }

// A slot whose adapter is still being removed stays held until that
// adapter's device name is gone, so the name made from the index is free
// whenever the slot is.
LONG TakeSlot(VOID)
{
    LONG Taken = -1;
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    for (ULONG Slot = 0; Slot < MAX_ADAPTERS && AdapterTable.Count < MAX_ADAPTERS; Slot++) {
        if (!AdapterTable.Held[Slot]) {
            AdapterTable.Held[Slot] = TRUE;
            AdapterTable.Count++;
            Taken = (LONG)Slot;
            break;
        }
    }
    KeReleaseSpinLock(&AdapterTableLock, Previous);
    return Taken;
}

VOID PublishSlot(ULONG Slot, AdapterContext *Adapter)
{
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    AdapterTable.Slots[Slot] = Adapter;
    KeReleaseSpinLock(&AdapterTableLock, Previous);
}

// Once the slot shows no adapter no lookup can find it any more, and every
// lookup that found it before holds a reference.
VOID HideSlot(AdapterContext *Adapter)
{
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    if (AdapterTable.Slots[Adapter->SlotIndex] == Adapter)
        AdapterTable.Slots[Adapter->SlotIndex] = NULL;
    KeReleaseSpinLock(&AdapterTableLock, Previous);
}

VOID ReleaseSlot(ULONG Slot)
{
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    AdapterTable.Slots[Slot] = NULL;
    if (AdapterTable.Held[Slot]) {
        AdapterTable.Held[Slot] = FALSE;
        AdapterTable.Count--;
    }
    KeReleaseSpinLock(&AdapterTableLock, Previous);
}

AdapterContext *FindAdapterByNameLocked(const USHORT *Name)
{
    RULE_SPIN_LOCK_HELD(&AdapterTableLock, "AdapterTableLock");
    for (ULONG Slot = 0; Slot < MAX_ADAPTERS; Slot++) {
        AdapterContext *Adapter = AdapterTable.Slots[Slot];
        // An empty serial number would match every name; configuration
        // refuses such an adapter, and a lookup never takes one either.
        if (!Adapter || !Adapter->SerialNumber || Adapter->SerialNumber[0] == 0)
            continue;
        const CHAR *Serial = Adapter->SerialNumber;
        ULONG i = 0;
        // The name's terminator stops a serial number longer than the name.
        while (Serial[i] != 0 && (UCHAR)Serial[i] == (UCHAR)Name[i])
            i++;
        if (Serial[i] == 0)
            return Adapter;
    }
    return NULL;
}
