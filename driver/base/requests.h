// Handing a request on, or ending it here: the few ways every dispatch
// routine of the driver finishes with a request it was given.
#pragma once

#include "context.h"

// The two ways of handing a request to LowerDevice.
NTSTATUS PassDownCopy(AdapterContext *Adapter, PIRP Irp);
NTSTATUS PassDownSkip(AdapterContext *Adapter, PIRP Irp);
// Completes the request with Status and returns it.
NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status);
// Completes a request that reached a port device object: those belong to no
// device stack and are not the adapter's to act on.
NTSTATUS RefusePortRequest(PIRP Irp);
