// The one header through which driver code reaches the platform.
//
// The real build (NUVIX_TARGET, i686 cross compiler) takes the platform's own
// DDK headers; every other build takes the host declarations under host/,
// which the simulated platform implements. Driver code must not include
// anything else of the platform or of the C++ library.
#pragma once

#if defined(NUVIX_TARGET)
// The compiler's intrin.h already defines these two; wdm.h would again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#include <ntddser.h>
#include <stddef.h>
#else
#include "host/ntddser.h"
#include "host/usb.h"
#include "host/wdm.h"
#endif

// Wide string literals in the platform's own character type.
#if defined(NUVIX_TARGET)
#define NT_TEXT(s) L##s
#else
#define NT_TEXT(s) u##s
#endif

#include "layout_checks.h"
