// What a test can make the main firmware do that a sound one would not:
// answer commands wrongly, late or not at all, fail a bulk transfer, or
// keep an endpoint busy. One record per firmware; the defaults are a sound
// firmware. Every MainFirmware made in a World (those a chip starts on
// re-enumeration too) starts with WorldOptions::faults.firmware, and
// MainFirmware's setters change the record later.
#pragma once

#include "sim/kernel/scheduler.h"
#include "sim/usb/endpoint_faults.h"

namespace sim::adapter {

// How the firmware answers commands; tests use the others to make it
// misbehave the way real devices do. Only answers to commands are affected:
// modem events, adapter status and raw frames go out as they are, and
// kEcho data still flows on the port pipes.
enum class AnswerMode {
    Normal,
    Silent,     // no answers to commands at all
    Late,       // every response after answerDelay of kernel time
    WrongPort,  // kDone / kStatus name the next port (4 wraps to 1)
    Garbage,    // unknown response codes instead of answers
    Short,      // responses cut to their first byte
};

struct FirmwareFaults {
    AnswerMode answers = AnswerMode::Normal;
    Ticks answerDelay = 0;  // AnswerMode::Late; below 0 counts as 0
    // Failed transfers (once each) and held endpoints, in front of the
    // firmware's bulk endpoints.
    usb::EndpointFaults endpoints;
};

}  // namespace sim::adapter
