// From the host's handle to a port, and whether the host may use it.
#pragma once

#include "../base/context.h"
#include "../platform/host_serial.h"

PortContext *LookupPort(HostPortHandle Handle);
BOOLEAN IsPortValid(PortContext *Port, BOOLEAN ForOpen);

// The common entry of the service routines: the port the handle names, with
// an outstanding-work reference on its adapter, if the port is valid. The
// reference is taken together with the lookup, under the adapter table's
// lock, so that no removal can finish between the two; the caller gives it
// back with ReleaseIoRef.
PortContext *EnterPort(HostPortHandle Handle, BOOLEAN ForOpen);
