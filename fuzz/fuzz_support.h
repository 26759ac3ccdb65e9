// What the fuzz targets share: how a failed check ends the run, and the
// descriptors of an adapter whose main firmware runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_device.h"

namespace fuzzing {

// The fuzzer's bytes, taken from the front; past the end every read gives
// zeros (or nothing), so any input is a whole one.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, size_ - std::min(pos_, size_));
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

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
