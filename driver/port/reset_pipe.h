// Resetting a port's bulk OUT pipe, waiting for the bus driver to finish.
#pragma once

#include "../base/context.h"

NTSTATUS ResetPortOutPipe(PortContext *Port);

// Abandons the port's write in flight: cancels it (waiting for the bus to
// let go of it) and resets the OUT pipe. Its bytes are still in the host's
// ring and go again from the unchanged read position with the next write.
VOID AbandonPortWrite(PortContext *Port);
