// Sizes the driver relies on when it allocates platform records itself.
// They only hold on the 32-bit platform, so only the real build checks them;
// code everywhere else uses sizeof.
#pragma once

#if defined(NUVIX_TARGET)
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor request URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor request URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "deselect form of select configuration");
static_assert(sizeof(void *) == 4, "the platform is 32-bit");
#endif
