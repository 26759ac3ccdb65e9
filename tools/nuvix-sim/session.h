// One run of nuvix-sim: the adapters' whole lives in the simulated platform,
// told as they happen, then the summary.
#pragma once

#include "display.h"
#include "options.h"

namespace sim::usb {
class Capture;
}

namespace nuvix::simtool {

// Needs the world to exist, with the calling thread as its first thread.
// Prints the account, the summary and the PASS or FAIL line; returns true
// when every check held. A capture, if given, is attached to every bus.
bool RunSession(const Options &options, Output &output, sim::usb::Capture *capture = nullptr);

}  // namespace nuvix::simtool
