// Calls from the platform into a driver's dispatch and completion routines.
//
// On the 32-bit platform these routines are stdcall: they remove their own
// arguments. A routine declared in another convention returns with its
// arguments still on the stack, and the caller goes on with a wrong stack
// pointer. In the 32-bit host build (which can run the real image) each call
// checks the stack pointer the routine returned with and bug-checks
// (DRIVER_CALLING_CONVENTION) when it moved; elsewhere the host has one
// convention and the calls are plain.
#pragma once

#include "driver/platform/platform.h"

namespace sim {

NTSTATUS CallDispatchRoutine(PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp);
NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp, PVOID context);

}  // namespace sim
