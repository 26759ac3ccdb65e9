// Layout checks of the platform's records. The full table (sizes, alignments,
// field offsets) is in layout_table.h and holds in both 32-bit builds; the
// checks below are the real build's alone.
#pragma once

#include "layout_table.h"

#if defined(NUVIX_TARGET)
static_assert(sizeof(void *) == 4, "the platform is 32-bit");
#endif
#if defined(NUVIX_HOST32)
static_assert(sizeof(void *) == 4, "the host32 build is 32-bit");
#endif
