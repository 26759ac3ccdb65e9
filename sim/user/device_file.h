// An application's handles on a driver's named devices, as the I/O manager
// serves them: Open sends IRP_MJ_CREATE, DeviceIoControl sends
// IRP_MJ_DEVICE_CONTROL, Close sends IRP_MJ_CLOSE (after IRP_MJ_CLEANUP if
// the driver has a routine for it). Each call waits for the request's
// completion and returns its final status; call them at PASSIVE_LEVEL from a
// simulated thread.
//
// An open handle holds a reference on the device object it opened
// (DEVICE_OBJECT::ReferenceCount): a device the driver deletes while handles
// are open keeps its memory until the last one is closed, and requests on
// those handles still reach the driver, which has to refuse them itself.
//
// Control requests: METHOD_BUFFERED codes get one system buffer of
// max(input, output) bytes from the I/O manager's own memory, the input copied
// in; on completion without an error status, IoStatus.Information bytes
// (never more than the output length) are copied back. METHOD_NEITHER codes
// pass the caller's buffers as they are.
#pragma once

#include <string>

#include "driver/platform/platform.h"

namespace sim::user {

struct File;
using Handle = File *;

// *handle is null unless the create succeeded. A name that leads nowhere
// gives STATUS_OBJECT_NAME_NOT_FOUND without a request.
NTSTATUS Open(const std::string &name, Handle *handle);
NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void *input, ULONG inputLength, void *output,
                         ULONG outputLength, ULONG *returned);
NTSTATUS Close(Handle handle);

// The device object the handle opened (valid memory while the handle is open).
PDEVICE_OBJECT DeviceOf(Handle handle);
// Handles opened and not yet closed.
size_t OpenHandles();
// Forgets every handle (a new world starts); sends nothing.
void Reset();

}  // namespace sim::user
