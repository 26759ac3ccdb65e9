// What the simulation gives a loaded image for each routine it may import:
// the routine's address, by module and name, with the platform's calling
// convention for that routine (stdcall for the kernel's and the USB bus
// driver library's routines, fastcall for the HAL's spin-lock and fast-mutex
// routines and the kernel's Iof and Interlocked ones, cdecl for DbgPrint
// and the C library's memcpy and memset). Most are the simulation's own
// routines, whose declarations in driver/platform/host carry those
// conventions in this build; a few platform names with no routine of their
// own in the host headers (the HAL's Kf spin-lock forms) get a small shim.
#pragma once

#if defined(NUVIX_HOST32)

#include <string>

namespace sim::loader {

// The routine for module!name, or null when the simulation has none. The
// module compares without regard to case, as the platform's loader does.
const void *FindImportBinding(const std::string &module, const std::string &name);
// Whether the module is one a driver may import from at all.
bool KnownImportModule(const std::string &module);

}  // namespace sim::loader

#endif
