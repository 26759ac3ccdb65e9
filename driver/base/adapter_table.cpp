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

// Whether the adapter's serial number is the first SerialLength units of
// the name, compared on the low byte of each unit.
static BOOLEAN SerialBegins(const CHAR *Serial, const USHORT *Name, ULONG NameLength, ULONG *SerialLength)
{
    ULONG i = 0;
    while (Serial[i] != 0) {
        if (i >= NameLength || (UCHAR)Serial[i] != (UCHAR)Name[i])
            return FALSE;
        i++;
    }
    *SerialLength = i;
    return TRUE;
}

// A name of the form the driver gives its own port objects, serial number,
// '-' and the port digit, names the adapter whose serial number is all of
// the name before the "-d": exactly that one, so that of two adapters whose
// serial numbers nest ("AB" and "AB1", "A" and "A-3") each gets only its own
// ports. A name with another suffix resolves to the adapter with the longest
// serial number it begins with that still leaves the port digit.
AdapterContext *FindAdapterByNameLocked(const USHORT *Name, ULONG NameLength)
{
    RULE_SPIN_LOCK_HELD(&AdapterTableLock, "AdapterTableLock");
    const BOOLEAN OwnForm = NameLength >= 3 && (UCHAR)Name[NameLength - 2] == '-';
    AdapterContext *Best = NULL;
    ULONG BestLength = 0;
    for (ULONG Slot = 0; Slot < MAX_ADAPTERS; Slot++) {
        AdapterContext *Adapter = AdapterTable.Slots[Slot];
        // An empty serial number would match every name; configuration
        // refuses such an adapter, and a lookup never takes one either.
        if (!Adapter || !Adapter->SerialNumber || Adapter->SerialNumber[0] == 0)
            continue;
        ULONG Length = 0;
        if (!SerialBegins(Adapter->SerialNumber, Name, NameLength, &Length))
            continue;
        if (OwnForm) {
            if (Length == NameLength - 2)
                return Adapter;
        } else if (Length < NameLength && Length > BestLength) {
            Best = Adapter;
            BestLength = Length;
        }
    }
    return Best;
}
