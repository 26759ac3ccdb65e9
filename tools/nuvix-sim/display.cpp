#include "display.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "sim/adapter/main_firmware.h"

namespace nuvix::simtool {

namespace {

std::atomic<bool> gRedrawing{false};

constexpr size_t kBarWidth = 24;

std::string Bar(uint64_t done, uint64_t total)
{
    const size_t filled = total ? size_t(std::min(done, total) * kBarWidth / total) : kBarWidth;
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
}

int Percent(uint64_t done, uint64_t total) { return total ? int(std::min(done, total) * 100 / total) : 100; }

}  // namespace

bool RedrawInProgress() { return gRedrawing.load(); }

// --- Output -------------------------------------------------------------------

void Output::WriteLocked(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Output::Detail(const std::string &line)
{
    if (!quiet_)
        Always(line);
}

void Output::Always(const std::string &line)
{
    std::lock_guard lock(mutex_);
    // A line cut short by an unfinished redraw would read as one garbled line.
    if (drawnWidth_) {
        WriteLocked("\n");
        drawnWidth_ = 0;
        gRedrawing = false;
    }
    WriteLocked(line + "\n");
}

void Output::Redraw(const std::string &line)
{
    if (!terminal_)
        return;
    std::lock_guard lock(mutex_);
    std::string text = "\r" + line;
    if (line.size() < drawnWidth_)
        text += std::string(drawnWidth_ - line.size(), ' ');
    drawnWidth_ = std::max<size_t>(line.size(), 1);
    gRedrawing = true;
    WriteLocked(text);
}

void Output::FinishRedraw(const std::string &line)
{
    if (!terminal_) {
        Always(line);
        return;
    }
    Redraw(line);
    std::lock_guard lock(mutex_);
    WriteLocked("\n");
    drawnWidth_ = 0;
    gRedrawing = false;
}

// --- Meter --------------------------------------------------------------------

Meter::Meter(Output &output, Sample sample, Clock clock, sim::Ticks period, int milestonePercent)
    : output_(output), sample_(std::move(sample)), clock_(clock), period_(period), milestone_(milestonePercent)
{
    if (output_.Quiet())
        return;
    if (clock_ == Clock::Kernel) {
        kernelThread_ = std::make_unique<sim::Thread>("progress meter", [this] {
            sim::Scheduler &scheduler = sim::Scheduler::Get();
            while (!scheduler.Block([this] { return stop_; }, scheduler.Now() + period_, "the next progress sample"))
                Poll();
        });
    } else {
        wallThread_ = std::thread([this] {
            std::unique_lock lock(wallMutex_);
            while (!wallWake_.wait_for(lock, std::chrono::microseconds(period_ / 10), [this] { return stop_; })) {
                lock.unlock();
                Poll();
                lock.lock();
            }
        });
    }
}

Meter::~Meter() { Finish(); }

void Meter::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    if (output_.Quiet())
        return;
    if (kernelThread_) {
        sim::Scheduler::Get().Change([this] { stop_ = true; });
        kernelThread_->Join();
    } else {
        {
            std::lock_guard lock(wallMutex_);
            stop_ = true;
        }
        wallWake_.notify_all();
        wallThread_.join();
    }
    Show(sample_(), true);
}

void Meter::Poll() { Show(sample_(), false); }

std::string Meter::Line(const Gauge &gauge, size_t labelWidth) const
{
    std::string counts = gauge.inBytes
                             ? FormatBytes(gauge.done) + " of " + FormatBytes(gauge.total)
                             : std::to_string(gauge.done) + "/" + std::to_string(gauge.total) + " " + gauge.unit;
    std::string label = gauge.label + std::string(labelWidth - gauge.label.size(), ' ');
    std::string progress =
        output_.Terminal() ? Bar(gauge.done, gauge.total) : Format("%3d%%", Percent(gauge.done, gauge.total));
    std::string line = "    " + label + "  " + progress + "  " + counts;
    if (!gauge.note.empty())
        line += "  " + gauge.note;
    return line;
}

// Gauges before current_ have had their last line; the current one is drawn
// (or, off a terminal, printed at milestones) until it is complete, and a
// sample may finish several at once.
void Meter::Show(const std::vector<Gauge> &gauges, bool final)
{
    size_t labelWidth = 0;
    for (const Gauge &gauge : gauges)
        labelWidth = std::max(labelWidth, gauge.label.size());
    while (current_ < gauges.size()) {
        const Gauge &gauge = gauges[current_];
        const bool complete = gauge.done >= gauge.total;
        if (output_.Terminal()) {
            if (!complete && !final) {
                output_.Redraw(Line(gauge, labelWidth));
                return;
            }
            output_.FinishRedraw(Line(gauge, labelWidth));
        } else {
            const int percent = Percent(gauge.done, gauge.total);
            const int reached = complete ? 100 : percent / milestone_ * milestone_;
            const bool cutShort = final && !complete;
            if (clock_ == Clock::Wall) {
                // Sampled on the wall clock, so when a sample comes is
                // chance: print every milestone passed, each with its own
                // counts, and the output is the same whenever samples fall.
                for (int at = printedPercent_ + milestone_; at <= reached; at += milestone_) {
                    Gauge milestone = gauge;
                    milestone.done = (gauge.total * uint64_t(at) + 99) / 100;  // shows as at%
                    output_.Always(Line(milestone, labelWidth));
                }
            } else if (reached > printedPercent_ && reached > 0 && !cutShort) {
                output_.Always(Line(gauge, labelWidth));
            }
            if (cutShort)
                output_.Always(Line(gauge, labelWidth));
            printedPercent_ = std::max(printedPercent_, reached);
            if (!complete && !final)
                return;
        }
        current_++;
        printedPercent_ = 0;
    }
}

// --- formatting ---------------------------------------------------------------

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    std::string text;
    if (n < 0) {
        text.clear();
    } else if (size_t(n) < sizeof(small)) {
        text.assign(small, size_t(n));
    } else {
        text.resize(size_t(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(size_t(n));
    }
    va_end(args);
    return text;
}

std::string FormatBytes(uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    const char *units[] = {"KiB", "MiB", "GiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 2) {
        value /= 1024;
        unit++;
    }
    if (value == double(uint64_t(value)))
        return Format("%llu %s", static_cast<unsigned long long>(value), units[unit]);
    return Format("%.1f %s", value, units[unit]);
}

std::string ModemText(uint8_t msr)
{
    std::string text;
    text += (msr & sim::adapter::kMsrCts) ? "CTS " : "--- ";
    text += (msr & sim::adapter::kMsrDsr) ? "DSR " : "--- ";
    text += (msr & sim::adapter::kMsrRing) ? "RI  " : "--  ";
    text += (msr & sim::adapter::kMsrDcd) ? "DCD" : "---";
    return text;
}

std::vector<std::string> HexDump(const uint8_t *data, size_t length)
{
    std::vector<std::string> lines;
    for (size_t offset = 0; offset < length; offset += 16) {
        std::string hex, text;
        for (size_t i = 0; i < 16; i++) {
            if (offset + i < length) {
                const uint8_t byte = data[offset + i];
                hex += Format("%02X ", byte);
                text += (byte >= 0x20 && byte < 0x7F) ? char(byte) : '.';
            } else {
                hex += "   ";
            }
        }
        lines.push_back(Format("%04zX  ", offset) + hex + " |" + text + "|");
    }
    return lines;
}

std::string Seconds(sim::Ticks ticks) { return Format("%.3f s", double(ticks) / double(sim::kTicksPerSecond)); }

}  // namespace nuvix::simtool
