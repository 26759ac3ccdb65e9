// Arrival: blank chips plugged in and given their firmware, then the
// configuration the driver made of each.

#include "session_parts.h"

namespace nuvix::simtool {

namespace {

size_t CommonPrefixLength(const std::string &a, const std::string &b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        n++;
    return n;
}

struct DownloadTotals {
    uint64_t loaderInternal;
    uint64_t mainExternal;
    uint64_t mainInternal;
    uint64_t Records() const { return loaderInternal + mainExternal + mainInternal; }
};

// The chip knows the shipped images, which the driver's tables are built from.
const DownloadTotals &Totals()
{
    static const DownloadTotals totals = [] {
        const auto &images = sim::chip::KnownImages::Shipped();
        const nuvix::fw::ImageFacts loader = nuvix::fw::Examine(images.loader);
        const nuvix::fw::ImageFacts main = nuvix::fw::Examine(images.main);
        return DownloadTotals{loader.internal.records, main.external.records, main.internal.records};
    }();
    return totals;
}

// Records written to internal memory before the 8051 was first let run are
// the loader's; once it runs, the main firmware's external records go
// through it (0xA3), then its internal ones with the 8051 held again.
DownloadCounts CountDownload(const std::vector<sim::chip::ControlTransfer> &transfers)
{
    DownloadCounts counts;
    bool loaderRan = false;
    for (const auto &transfer : transfers) {
        if (transfer.kind != sim::chip::ControlTransfer::Kind::Vendor)
            continue;
        if (transfer.result != USBD_STATUS_SUCCESS)
            counts.failed++;
        if (transfer.request == sim::chip::kLoadInternal && transfer.value == sim::chip::kCpuControl) {
            if (!transfer.data.empty() && transfer.data[0] == 0)
                loaderRan = true;
        } else if (transfer.request == sim::chip::kLoadInternal) {
            (loaderRan ? counts.mainInternal : counts.loaderInternal)++;
        } else if (transfer.request == sim::chip::kLoadExternal) {
            counts.mainExternal++;
        }
    }
    return counts;
}

const char *CurrentPass(const DownloadCounts &counts)
{
    const DownloadTotals &totals = Totals();
    if (counts.loaderInternal < totals.loaderInternal)
        return "loader, internal";
    if (counts.mainExternal < totals.mainExternal)
        return "main, external";
    return "main, internal";
}

}  // namespace

// --- 1: plugged in blank, given its firmware ------------------------------------

void Session::Plug(Adapter &adapter)
{
    sim::chip::ChipOptions chipOptions;
    chipOptions.serialNumber = adapter.serial;
    adapter.chip = std::make_unique<sim::chip::EzUsbChip>(chipOptions);
    sim::chip::EzUsbChip &chip = *adapter.chip;

    // Not plugged in yet: asking the model directly disturbs nothing.
    const auto blank = chip.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
    uint16_t product = 0, vendor = 0;
    if (blank && blank->size() >= 12) {
        vendor = uint16_t((*blank)[8] | (*blank)[9] << 8);
        product = uint16_t((*blank)[10] | (*blank)[11] << 8);
    }
    if (product & 0x8000)
        adapter.Fail("the chip does not present itself as blank");
    if (Single())
        out_.Detail(Format("    %s  blank EZ-USB chip, USB %04X:%04X, %s", adapter.serial.c_str(), vendor, product,
                           chip.Running() == sim::chip::Program::None ? "no program running" : "a program running"));

    const DownloadTotals &totals = Totals();
    const std::string serial = adapter.serial;
    auto sample = [this, &chip, &totals, serial]() -> std::vector<Gauge> {
        const DownloadCounts counts = CountDownload(chip.Transfers());
        if (!Single()) {
            const char *note = counts.Records() >= totals.Records() ? "all three passes" : CurrentPass(counts);
            return {Gauge{serial, counts.Records(), totals.Records(), "records", false, note}};
        }
        return {Gauge{"loader, internal memory", counts.loaderInternal, totals.loaderInternal, "records", false, ""},
                Gauge{"main, external memory", counts.mainExternal, totals.mainExternal, "records", false, ""},
                Gauge{"main, internal memory", counts.mainInternal, totals.mainInternal, "records", false, ""}};
    };

    const sim::Ticks start = Now();
    Meter meter(out_, sample, Meter::Clock::Kernel, 10 * sim::kTicksPerMillisecond, Single() ? 25 : 100);
    const sim::pnp::PlugResult result = sim::pnp::PlugChip(*bed_->pnp, chip);
    meter.Finish();
    adapter.downloadTime = Now() - start;

    adapter.download = CountDownload(chip.Transfers());
    if (result.status != STATUS_SUCCESS)
        adapter.Fail(Format("the start of the blank chip failed with 0x%08X", unsigned(result.status)));
    if (adapter.download.Records() != totals.Records())
        adapter.Fail(Format("%llu of %llu firmware records written", (unsigned long long)adapter.download.Records(),
                            (unsigned long long)totals.Records()));
    if (adapter.download.failed)
        adapter.Fail(Format("%llu download transfers failed", (unsigned long long)adapter.download.failed));
    if (chip.Running() != sim::chip::Program::Main || chip.ReEnumerations() != 1)
        adapter.Fail(Format("the chip runs %s after %d re-enumerations, not the main firmware after one",
                            sim::chip::ProgramName(chip.Running()), chip.ReEnumerations()));

    adapter.device = bed_->pnp->Current(chip);
    adapter.firmware = chip.Firmware();
    if (!adapter.device || adapter.device->State() != sim::pnp::DeviceState::Started || !adapter.firmware) {
        adapter.Fail("the adapter did not come back started after its firmware download");
        adapter.alive = false;
        return;
    }
    adapter.context = static_cast<AdapterContext *>(adapter.device->Fdo()->DeviceExtension);
    const PUSB_DEVICE_DESCRIPTOR descriptor = adapter.context->DeviceDescriptor;
    if (Single() && descriptor)
        out_.Detail(Format("    %s  left the bus running the main firmware, back as USB %04X:%04X after %s",
                           adapter.serial.c_str(), descriptor->idVendor, descriptor->idProduct,
                           Seconds(adapter.downloadTime).c_str()));
}

void Session::PlugAll()
{
    Heading(Single() ? "A blank adapter is plugged in and given its firmware"
                     : "Blank adapters are plugged in one after another and given their firmware");
    if (Single())
        out_.Detail(Format("    %llu records in three passes, one control transfer per 1 ms frame",
                           (unsigned long long)Totals().Records()));
    for (int n = 1; n <= options_.adapters; n++) {
        auto adapter = std::make_unique<Adapter>();
        adapter->number = n;
        adapter->serial = Format("NX4A%04d", n);
        adapters_.push_back(std::move(adapter));
        // The platform starts one device at a time, and a returning adapter is
        // started by the manager's thread: let it finish before the next one.
        Plug(*adapters_.back());
    }
    int present = 0;
    for (auto &adapter : adapters_)
        present += adapter->device && adapter->device->Present() ? 1 : 0;
    if (!Single())
        out_.Detail(Format("    %d adapters running the main firmware, all present at once (adapter table: %u)",
                           present, driver_.table ? unsigned(driver_.table->Count) : unsigned(present)));
    if (driver_.table && driver_.table->Count != unsigned(options_.adapters))
        failures_.push_back(Format("the driver's adapter table holds %u adapters, not %d",
                                   unsigned(driver_.table->Count), options_.adapters));
}

// --- 2: configured, ports and enumeration node -----------------------------------

void Session::ShowConfiguration(Adapter &adapter)
{
    AdapterContext *context = adapter.context;
    if (!context->Configured || !context->FirmwareRunning || context->PortCount != kPorts) {
        adapter.Fail(Format("not configured for four ports (configured %d, firmware running %d, %u ports)",
                            context->Configured, context->FirmwareRunning, unsigned(context->PortCount)));
        adapter.alive = false;
        return;
    }
    const PUSB_DEVICE_DESCRIPTOR descriptor = context->DeviceDescriptor;
    const ULONG pipes = context->InterfaceInfo ? context->InterfaceInfo->NumberOfPipes : 0;
    if (Single())
        adapter.Say(Format("%s  USB %04X:%04X, configuration %u, %u pipes, %u ports", adapter.serial.c_str(),
                           descriptor ? descriptor->idVendor : 0, descriptor ? descriptor->idProduct : 0,
                           unsigned(adapter.firmware->Configuration()), unsigned(pipes), unsigned(context->PortCount)));
    std::array<std::string, kPorts + 1> names;
    for (int port = 1; port <= kPorts; port++) {
        PortContext *portContext = context->Ports[port - 1];
        names[port] = portContext ? sim::io::DeviceName(portContext->PortDevice) : "";
        if (names[port].empty())
            adapter.Fail(Format("port %d has no named device object", port));
        if (Single())
            adapter.Say(Format("%sport %d  %s", adapter.Indent().c_str(), port, names[port].c_str()));
    }
    if (!Single()) {
        // The four names share all but their ends: prefix{a,b,c,d}.
        size_t common = names[1].size();
        for (int port = 2; port <= kPorts; port++)
            common = std::min(common, CommonPrefixLength(names[1], names[port]));
        std::string ends;
        for (int port = 1; port <= kPorts; port++)
            ends += (port > 1 ? "," : "") + names[port].substr(common);
        adapter.Say(adapter.serial + "  ports " + names[1].substr(0, common) + "{" + ends + "}");
    }

    sim::pnp::ConfigManager &cm = sim::pnp::ConfigManager::Get();
    const std::string nodeId = context->EnumNode && cm.Exists(context->EnumNode) ? cm.DeviceId(context->EnumNode) : "";
    if (nodeId != kNodePrefix + adapter.serial)
        adapter.Fail("the enumeration node is missing or misnamed: '" + nodeId + "'");
    if (Single())
        adapter.Say(adapter.Indent() + "enumeration node  " + nodeId);

    adapter.host = cm.HostFor(adapter.serial);
    for (int port = 1; port <= kPorts; port++)
        adapter.ports[port] = cm.HostPortFor(adapter.serial, port - 1);
    if (!adapter.host || std::count(adapter.ports.begin() + 1, adapter.ports.end(), nullptr)) {
        adapter.Fail("no host serial driver was loaded for the adapter's node");
        adapter.alive = false;
        return;
    }
    std::string records;
    for (int port = 1; port <= kPorts; port++)
        records += (port > 1 ? ", " : "") + sim::Narrow(adapter.ports[port]->Name().c_str());
    if (Single())
        adapter.Say(adapter.Indent() + "host serial driver loaded, port records " + records);
    else
        adapter.Say(adapter.Indent() + "node " + nodeId + ", host serial driver loaded");
}

}  // namespace nuvix::simtool
