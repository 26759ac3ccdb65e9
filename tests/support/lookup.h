// The driver's port lookup as a test asks it: with the adapter table's lock
// held, as the service routines hold it.
#pragma once

#include "driver/base/adapter_table.h"
#include "driver/service/port_lookup.h"

namespace testing_support {

inline PortContext *LookupPortLocked(HostPortHandle handle)
{
    KIRQL previous;
    KeAcquireSpinLock(&AdapterTableLock, &previous);
    PortContext *port = LookupPort(handle);
    KeReleaseSpinLock(&AdapterTableLock, previous);
    return port;
}

}  // namespace testing_support
