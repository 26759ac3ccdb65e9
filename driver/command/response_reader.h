// The reader of firmware responses: one 64-byte read kept outstanding on the
// command IN pipe while it is needed, and the dispatcher of what it reads.
#pragma once

#include "../base/context.h"
#include "../base/protocol.h"

// Starts a response read unless one is already in flight. HeldLock is the
// adapter's Lock when the caller holds it, else null.
NTSTATUS StartResponseReader(AdapterContext *Adapter, LockRecord *HeldLock);
