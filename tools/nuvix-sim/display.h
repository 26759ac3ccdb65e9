// What nuvix-sim shows and how: plain lines always, progress redrawn in
// place only on a terminal (anything else gets occasional whole lines and
// never a control character), and the formatting helpers the report uses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/scheduler.h"

namespace nuvix::simtool {

class Output {
public:
    Output(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

    bool Terminal() const { return terminal_; }
    bool Quiet() const { return quiet_; }

    // A line of the run's account; --quiet drops it.
    void Detail(const std::string &line);
    // A line of the summary or the result, printed whatever the options.
    void Always(const std::string &line);
    // Terminal only: replaces the line being redrawn; Finish ends it.
    void Redraw(const std::string &line);
    void FinishRedraw(const std::string &line);

private:
    void WriteLocked(const std::string &text);

    const bool terminal_;
    const bool quiet_;
    sim::Mutex mutex_;
    size_t drawnWidth_ = 0;
};

// Whether a redrawn line is on the screen unfinished (for the bug-check
// handler, which must not end up behind it).
bool RedrawInProgress();

// One progress line: label, how far, and a note after the counts.
struct Gauge {
    std::string label;
    uint64_t done = 0;
    uint64_t total = 0;
    std::string unit;      // after the counts ("records"); unused with inBytes
    bool inBytes = false;  // counts shown as sizes (FormatBytes)
    std::string note;
};

// Shows a sequence of gauges, one line each, in order: the first unfinished
// one is the live one. It polls sample() from a thread of its own, because
// the work it watches runs elsewhere (the firmware download runs inside the
// start request, on the thread that plugged the adapter in).
//
// Kernel clock: the poller is a simulated thread waking every period of
// kernel time, so it sees work that advances kernel time (control transfers,
// one per frame) at the pace the hardware would do it. Wall clock: a plain
// thread that only reads counters, for work that takes no kernel time.
//
// Off a terminal, a line is printed each time a gauge passes another
// milestonePercent (100: only when it is complete).
class Meter {
public:
    enum class Clock { Kernel, Wall };
    using Sample = std::function<std::vector<Gauge>()>;

    Meter(Output &output, Sample sample, Clock clock, sim::Ticks period, int milestonePercent);
    ~Meter();
    Meter(const Meter &) = delete;
    Meter &operator=(const Meter &) = delete;

    // Stops polling and shows the final state of every gauge.
    void Finish();

private:
    void Poll();
    void Show(const std::vector<Gauge> &gauges, bool final);
    std::string Line(const Gauge &gauge, size_t labelWidth) const;

    Output &output_;
    Sample sample_;
    const Clock clock_;
    const sim::Ticks period_;
    const int milestone_;
    size_t current_ = 0;
    int printedPercent_ = 0;
    bool finished_ = false;

    // Kernel clock: set through the scheduler. Wall clock: under wallMutex_.
    bool stop_ = false;
    std::mutex wallMutex_;
    std::condition_variable wallWake_;
    std::unique_ptr<sim::Thread> kernelThread_;
    std::thread wallThread_;
};

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
// 512 B, 4 KiB, 1.5 MiB.
std::string FormatBytes(uint64_t bytes);
// "CTS DSR --- DCD": the modem status bits the firmware reports, in order
// CTS, DSR, RI, DCD, a dash for each one clear.
std::string ModemText(uint8_t msr);
// Offset, sixteen bytes in hex, then the printable ones as text.
std::vector<std::string> HexDump(const uint8_t *data, size_t length);
// Kernel time as seconds with three decimals.
std::string Seconds(sim::Ticks ticks);

}  // namespace nuvix::simtool
