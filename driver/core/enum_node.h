// The Configuration Manager node that makes the platform load the host
// serial driver for a configured adapter.
#pragma once

#include "../base/context.h"

// Creates the adapter's node (or finds the one left from before) and stores
// it in EnumNode; FALSE when the Configuration Manager refused.
BOOLEAN CreateEnumNode(AdapterContext *Adapter);
VOID RemoveEnumNode(ULONG EnumNode);
