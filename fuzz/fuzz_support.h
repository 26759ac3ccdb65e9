// What the fuzz targets share: how a failed check ends the run, and the
// descriptors of an adapter whose main firmware runs.
#pragma once

#include <string>

#include "fuzz/fuzz_device.h"

namespace fuzzing {

// A check of the target failed: prints why and aborts, so that libFuzzer
// keeps the input as a crash.
[[noreturn]] void Fail(const std::string &why);

// Device, configuration and serial-number descriptors of a running adapter.
void DescribeRunningAdapter(FuzzDevice &device, const std::string &serial);

// NUVIX_FUZZ_TRACE=1 in the environment: the targets say what each input did.
bool Tracing();

// The simulation's own records outlive an input (the bus's transfer log of a
// world kept from one input to the next, and bookkeeping kept across worlds),
// which libFuzzer's per-input leak hunt would take for a leak in every input
// and chase at great cost (running the input again under LeakSanitizer). The
// targets turn it off (-detect_leaks=0 unless the command line
// says otherwise) and checks the driver's allocations itself after each
// input; LeakSanitizer still checks the whole process at exit.
void NoPerInputLeakHunt(int *argc, char ***argv);

}  // namespace fuzzing
