// The driver's front door: its entry point, adapter creation, and the
// driver-wide lock that keeps port lookups and adapter teardown apart.
#pragma once

#include "context.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
BOOLEAN QueryRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG *Value);

// Guards the adapter table's slots against a lookup that is about to take a
// reference on an adapter while its removal clears the slot.
extern KSPIN_LOCK AdapterTableLock;

// Gives a held adapter-table slot back; called once the device name made
// from its index no longer exists (or was never made).
VOID ReleaseSlot(ULONG Slot);
