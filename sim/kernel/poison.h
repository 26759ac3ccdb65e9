// Marks quarantined memory unusable under AddressSanitizer, so a driver that
// touches a freed block is caught at the access itself.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIM_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define SIM_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define SIM_POISON(address, size) ((void)(address), (void)(size))
#define SIM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif
