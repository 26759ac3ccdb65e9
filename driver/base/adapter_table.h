// The driver-wide table of adapters: the slot that names each adapter's
// device object, and the lookup of an adapter by the name the host gives a
// port. Only this file touches the table.
#pragma once

#include "context.h"

// Walked by port lookup in index order. Changed under AdapterTableLock.
// A slot is Held from the moment AddDevice chooses it until the adapter's
// device object, whose name carries the slot index, has been deleted; Slots
// shows the adapter to port lookups only between the end of AddDevice and
// the start of its removal. Count is the number of held slots.
struct AdapterTableRecord {
    ULONG Count;
    AdapterContext *Slots[MAX_ADAPTERS];
    BOOLEAN Held[MAX_ADAPTERS];
};

extern AdapterTableRecord AdapterTable;

// Guards the table's slots against a lookup that is about to take a
// reference on an adapter while its removal clears the slot.
extern KSPIN_LOCK AdapterTableLock;

VOID InitAdapterTable(VOID);
// Takes the lowest slot not held, or returns -1 when all are.
LONG TakeSlot(VOID);
// Shows the adapter to lookups from now on.
VOID PublishSlot(ULONG Slot, AdapterContext *Adapter);
// No lookup finds the adapter any more; its slot stays held.
VOID HideSlot(AdapterContext *Adapter);
// Gives a held slot back; called once the device name made from its index
// no longer exists (or was never made).
VOID ReleaseSlot(ULONG Slot);
// The published adapter a host port name of NameLength UTF-16 units (serial
// number, then a suffix ending in the port digit) names; only the low byte
// of each unit counts. AdapterTableLock held.
AdapterContext *FindAdapterByNameLocked(const USHORT *Name, ULONG NameLength);
