// The simulated I/O manager: driver and device objects, the object namespace,
// requests with their stack locations, completion and cancellation, memory
// descriptor lists. Routines the platform declares are implemented in the
// .cpp files; this header is the simulator's own view of the same state.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/platform/platform.h"

namespace sim::io {

// Driver objects that the simulation itself owns (bus driver, host side).
PDRIVER_OBJECT CreateDriverObject(const std::string &name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// The device a name or a symbolic link leads to, or null.
PDEVICE_OBJECT LookupDevice(const std::string &name);
std::string ResolveSymbolicLink(const std::string &link);
std::vector<std::string> SymbolicLinks();
std::string DeviceName(PDEVICE_OBJECT device);
// The device this one is attached on top of, or null.
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
std::vector<PDEVICE_OBJECT> LiveDevices();

// References on a device object (what an open handle holds). A device
// deleted while its ReferenceCount is above zero loses its name and its
// place in the stack at once, but its memory stays valid, for the handles
// and whatever the driver still reaches through them, until the count drops
// to zero; only then is it poisoned. A count the driver raised itself and
// never lowers keeps it until the world ends.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// True for a device deleted while referenced whose memory is still valid.
bool DeletePending(PDEVICE_OBJECT device);

// Requests built by the simulation (for example the Plug and Play manager's):
// when completion walks past the top stack location, onFinal runs instead of
// the driver-request check.
PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onFinal);
void FreeSystemIrp(PIRP irp);

// True while the request is passed down and not yet completed back to the
// driver that sent it.
bool IrpHeldByLowerDriver(PIRP irp);

// Everything the driver allocated from the I/O manager and still holds,
// one line each (device objects and symbolic links), for leak checks.
std::string LeakReport();
void Reset();
// Forgets the state of every request (a new world starts).
void ResetRequests();

}  // namespace sim::io
