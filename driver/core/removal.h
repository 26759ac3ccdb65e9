// Draining outstanding work, and tearing an adapter down in order at
// removal.
#pragma once

#include "../base/context.h"

// Query-remove: gives back the caller's reference, waits until only the
// adapter's own reference is left, and takes the caller's back.
VOID DrainOutstandingWork(AdapterContext *Adapter);
// The whole removal; the caller holds one reference, which this gives back.
NTSTATUS RemoveAdapter(AdapterContext *Adapter, PIRP Irp);
