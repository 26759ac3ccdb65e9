// What a test can make a bus do that an ordinary one would not: complete
// every request inline or through the controller, cancel in one of three
// ways, lose its device, make control transfers slow, and answer Plug and
// Play and power requests late or with a failure. One record per bus; the
// defaults are an ordinary bus. A World hands its WorldOptions::faults.bus
// to every Bus made in it, and Bus's setters change single fields later.
#pragma once

#include <map>

#include "driver/platform/platform.h"
#include "sim/kernel/scheduler.h"

namespace sim::usb {

enum class CompletionMode {
    Pend,    // always STATUS_PENDING; the controller thread completes
    Inline,  // complete inside IofCallDriver when the device can answer at once
    Random,  // either, chosen per request from the world's seed
};

enum class CancelMode {
    Controller,  // the cancel routine hands the request to the controller thread
    Inline,      // the cancel routine completes it inside IoCancelIrp
    Hold,        // cancelled requests are kept until Bus::ReleaseHeldCancelled
};

struct BusFaults {
    CompletionMode completion = CompletionMode::Pend;
    CancelMode cancel = CancelMode::Controller;
    // Every request fails, as after the device left the bus.
    bool deviceGone = false;
    // Control transfers (descriptor, vendor and select-configuration
    // requests) pend and complete this long after they start, from the
    // controller thread, as on a bus that carries one per frame; 0: at once.
    Ticks controlTransferTime = 0;
    // IRP_MN_START_DEVICE pends and completes from the controller thread,
    // startDelay ticks after it arrived.
    bool startPending = false;
    Ticks startDelay = 0;
    // The same for every power request (completed with STATUS_SUCCESS).
    bool powerPending = false;
    Ticks powerDelay = 0;
    // Plug and Play requests with these minor codes fail with the status (a
    // pending start fails when it completes).
    std::map<UCHAR, NTSTATUS> pnpFailures;
};

}  // namespace sim::usb
