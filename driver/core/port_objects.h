// The four named port device objects of an adapter and their contexts.
#pragma once

#include "../base/context.h"

NTSTATUS CreatePortObjects(AdapterContext *Adapter);
BOOLEAN InitPortContext(PortContext *Port);
