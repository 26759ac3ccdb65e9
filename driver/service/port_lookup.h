// From the host's handle to a port, and whether the host may use it.
#pragma once

#include "../core/context.h"
#include "host_records.h"

PortContext *LookupPort(HostPortHandle Handle);
BOOLEAN IsPortValid(PortContext *Port, BOOLEAN ForOpen);
