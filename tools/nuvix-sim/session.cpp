// One nuvix-sim run: the phases in order, the summary, the verdict.
#include "session.h"

#include "session_parts.h"

namespace nuvix::simtool {

bool UartReady(const sim::adapter::PortState &state)
{
    return state.open && state.line.baud == kBaud && state.line.dataBits == 8 && state.line.parity == 'n' &&
           state.line.stopCode == 1 && (state.line.handshake & kRtsCts) == kRtsCts;
}

sim::Ticks Now() { return sim::Scheduler::Get().Now(); }

void Pause(sim::Ticks ticks)
{
    sim::Scheduler &scheduler = sim::Scheduler::Get();
    scheduler.Block([] { return false; }, scheduler.Now() + ticks, "a pause for the adapter to settle");
}

const char *PeerName(int port) { return port <= 2 ? "loopback" : "null modem"; }

void Session::Heading(const std::string &text)
{
    out_.Detail("");
    out_.Detail(std::to_string(++phase_) + ". " + text);
}

// Prints what each adapter had to say, in adapter order.
void Session::Flush()
{
    for (auto &adapter : adapters_) {
        for (const std::string &line : adapter->lines)
            out_.Detail("    " + line);
        adapter->lines.clear();
    }
}

// The body runs for every adapter still alive, all at once, each on a
// simulated thread of its own, as separate applications would use them.
template <typename F>
void Session::ForEachAlive(const std::string &name, F body)
{
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (auto &adapter : adapters_) {
        if (!adapter->alive)
            continue;
        Adapter *a = adapter.get();
        threads.push_back(std::make_unique<sim::Thread>(name + " " + a->serial, [a, &body] { body(*a); }));
    }
    for (auto &thread : threads)
        thread->Join();
    Flush();
}

// --- the summary ---------------------------------------------------------------

void Session::Summary()
{
    out_.Detail("");
    out_.Always("Summary");
    out_.Always(Format("  %-9s %4s  %-10s  %12s  %12s  %8s  %6s", "adapter", "port", "peer", "to adapter",
                       "from adapter", "commands", "events"));
    PortTally total;
    for (auto &adapter : adapters_) {
        for (int port = 1; port <= kPorts; port++) {
            const PortTally &tally = adapter->tally[port];
            out_.Always(Format("  %-9s %4d  %-10s  %12llu  %12llu  %8llu  %6llu", adapter->serial.c_str(), port,
                               PeerName(port), (unsigned long long)tally.toAdapter,
                               (unsigned long long)tally.fromAdapter, (unsigned long long)tally.commands,
                               (unsigned long long)tally.events));
            total.toAdapter += tally.toAdapter;
            total.fromAdapter += tally.fromAdapter;
            total.commands += tally.commands;
            total.events += tally.events;
        }
    }
    out_.Always(Format("  %-9s %4s  %-10s  %12llu  %12llu  %8llu  %6llu", "total", "", "",
                       (unsigned long long)total.toAdapter, (unsigned long long)total.fromAdapter,
                       (unsigned long long)total.commands, (unsigned long long)total.events));
    out_.Always("");
    if (errorStatRead_)
        out_.Always(
            Format("ErrorStat (registry, written at removal): bad response port %u, failed downloads %u, "
                   "serial number too long %u",
                   unsigned(errorStat_[ERROR_STAT_BAD_RESPONSE_PORT]), unsigned(errorStat_[ERROR_STAT_DOWNLOAD_FAILED]),
                   unsigned(errorStat_[ERROR_STAT_SERIAL_TOO_LONG])));
    else
        out_.Always("ErrorStat (registry, written at removal): missing");
}

bool Session::Run()
{
    out_.Detail(Format("nuvix-sim: %d adapter%s, %s per stream, %s kernel time, seed %llu, %s schedule",
                       options_.adapters, Single() ? "" : "s", FormatBytes(bytes_).c_str(),
                       options_.realTime ? "real-time" : "simulated", (unsigned long long)seed_,
                       sim::ScheduleName(sim::Scheduler::Get().CurrentSchedule())));

    bed_ = std::make_unique<sim::Testbed>(driver_.entry, driver_.serviceTable);
    bed_->pnp->OnNewBus([this, timing = options_.busTiming](sim::usb::Bus &bus) {
        bus.SetControlTransferTime(kControlTransferTime);
        bus.SetBulkTiming(timing);
        if (capture_)
            capture_->Attach(bus);
    });
    PlugAll();

    Heading(Single() ? "The driver configures the adapter: ports and enumeration node"
                     : "The driver configures the adapters: ports and enumeration nodes");
    for (auto &adapter : adapters_)
        if (adapter->alive)
            ShowConfiguration(*adapter);
    Flush();

    Heading("The host serial driver opens the ports: 115200 8N1, RTS/CTS flow control");
    ForEachAlive("open", [this](Adapter &adapter) { OpenPorts(adapter); });

    Heading(Format("Data through every port at once, %s each way per port, every byte checked",
                   FormatBytes(bytes_).c_str()));
    out_.Detail("    loopback plug on ports 1 and 2, null-modem cable between ports 3 and 4");
    MoveData();

    Heading("Modem lines (flow control off): each change shows as an event at the other end");
    ForEachAlive("lines", [this](Adapter &adapter) { ToggleLines(adapter); });

    Heading("The ports close, each with the echo drain");
    ForEachAlive("close", [this](Adapter &adapter) { ClosePorts(adapter); });

    sim::Ticks longestDrain = 0;
    for (auto &adapter : adapters_)
        longestDrain = std::max(longestDrain, adapter->longestDrain);
    out_.Always(Format("Close drain: at most %.1f ms of kernel time per port",
                       double(longestDrain) / double(sim::kTicksPerMillisecond)));

    ReadInformationBlock();
    RemoveAll();
    CheckErrorStat();

    // Unloads the driver; whatever it still holds afterwards is a leak.
    bed_.reset();
    const std::string leaks = sim::World::Current().LeakReport();
    if (!leaks.empty())
        failures_.push_back("the driver left allocations behind:\n" + leaks);
    if (sim::user::OpenHandles() != 0)
        failures_.push_back("handles on the diagnostic device were left open");

    Summary();
    if (sim::Scheduler::Get().Deterministic())
        out_.Always(Format("Schedule: %s, %llu switch points, trace %016llx (the same seed gives the same trace)",
                           sim::ScheduleName(sim::Scheduler::Get().CurrentSchedule()),
                           (unsigned long long)sim::Scheduler::Get().Steps(),
                           (unsigned long long)sim::Scheduler::Get().TraceHash()));
    if (capture_ && !capture_->Healthy())
        failures_.push_back("the USB capture could not be written to " + options_.pcap);
    if (capture_)
        out_.Always(
            Format("USB capture: %llu records in %s", (unsigned long long)capture_->Records(), options_.pcap.c_str()));
    out_.Always(leaks.empty() ? "Pool check: nothing the driver allocated is left"
                              : "Pool check: the driver left allocations behind");

    for (auto &adapter : adapters_)
        failures_.insert(failures_.end(), adapter->failures.begin(), adapter->failures.end());
    if (failures_.empty()) {
        out_.Always(Format("PASS: %d adapter%s, %d ports, %d streams of %s, every byte checked; every check held",
                           options_.adapters, Single() ? "" : "s", options_.adapters * kPorts,
                           options_.adapters * kPorts, FormatBytes(bytes_).c_str()));
        return true;
    }
    for (const std::string &failure : failures_)
        out_.Always("  failed: " + failure);
    out_.Always(Format("FAIL: %zu check%s failed", failures_.size(), failures_.size() == 1 ? "" : "s"));
    return false;
}

bool RunSession(const Options &options, Output &output, sim::usb::Capture *capture)
{
    const unsigned long long seed = sim::World::Current().Seed();
    sim::SetBugCheckNote(Format("*** simulation seed %llu (replay: the same options and --seed %llu)", seed, seed));
    for (auto &counter : ErrorStats)
        counter = 0;
    DriverSource driver;
#if defined(NUVIX_HOST32)
    std::unique_ptr<sim::loader::LoadedImage> image;
    if (!options.image.empty()) {
        sim::loader::LoadResult loaded = sim::loader::LoadImageFile(options.image);
        if (!loaded.image) {
            output.Always("nuvix-sim: " + loaded.error);
            output.Always("FAIL: the image was not loaded");
            return false;
        }
        image = std::move(loaded.image);
        driver.entry = image->Entry();
        driver.table = nullptr;
        driver.serviceTable = image->GetServiceTable();
        output.Detail("nuvix-sim: the driver is the image " + options.image);
    }
#endif
    Session session(options, output, capture, driver);
    return session.Run();
}

}  // namespace nuvix::simtool
