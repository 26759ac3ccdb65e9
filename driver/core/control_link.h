// The diagnostic device's DOS link: one name for the whole driver, leading
// to one adapter at a time. It leads to an adapter that is present for as
// long as any is, and goes with the last one.
#pragma once

#include "../base/context.h"

// Once, from DriverEntry.
VOID InitControlLink(VOID);
// At the end of AddDevice, once the adapter is in the table: the adapter
// takes the link if no adapter holds it. PASSIVE_LEVEL.
VOID ClaimControlLink(AdapterContext *Adapter);
// At removal, once the adapter is hidden from the table: if the link leads
// to this adapter it is moved to another present adapter (the lowest slot),
// or deleted when none is left. A link that leads elsewhere is left alone.
// PASSIVE_LEVEL.
VOID ReleaseControlLink(AdapterContext *Adapter);
