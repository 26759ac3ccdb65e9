// Resetting a port's bulk OUT pipe, waiting for the bus driver to finish.
#pragma once

#include "../base/context.h"

NTSTATUS ResetPortOutPipe(PortContext *Port);
