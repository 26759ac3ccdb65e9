// The Configuration Manager's way in for a loaded image. On the platform each
// service is reached by a VxD service call: int 20h followed by the service's
// dword (device id 0x0033 in the high word, the service number in the low
// word, bit 15 set for the jump form, whose service returns straight to the
// stub's caller). Here int 20h is a privileged instruction and faults; the
// trap's handler (SIGSEGV) recognises the six bytes inside a loaded image and
// resumes the thread in the simulation's own service routine (driver/platform/
// cm.h, sim/pnp/config_manager) with the stack as the stub found it: the
// caller's arguments and its return address, as the jump form leaves them.
// Any other fault goes on to the handler that was there before.
#pragma once

#if defined(NUVIX_HOST32)

#include <cstddef>
#include <cstdint>

namespace sim::loader {

// Service calls within [base, base + size) are the Configuration Manager's
// from now on; the handler is installed on the first range. Ranges are
// withdrawn when their image is unloaded.
void AddServiceCallRange(const uint8_t *base, size_t size);
void RemoveServiceCallRange(const uint8_t *base);

}  // namespace sim::loader

#endif
