// The four named port device objects of an adapter, their contexts, and the
// Configuration Manager node that makes the platform load the host serial
// driver for the adapter.
#pragma once

#include "../core/context.h"

NTSTATUS CreatePortObjects(AdapterContext *Adapter);
BOOLEAN InitPortContext(PortContext *Port);
BOOLEAN CreateEnumNode(AdapterContext *Adapter);
VOID RemoveEnumNode(ULONG EnumNode);
