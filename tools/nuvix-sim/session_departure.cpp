// Departure: the ports close with their drain, the diagnostic device is
// read, and the adapters are removed.

#include "session_parts.h"

namespace nuvix::simtool {

// --- 6: close ------------------------------------------------------------------

void Session::ClosePorts(Adapter &adapter)
{
    int good = 0;
    for (int port = 1; port <= kPorts; port++) {
        const sim::Ticks start = Now();
        const bool closed = adapter.host->Close(*adapter.ports[port]);
        const sim::Ticks took = Now() - start;
        adapter.longestDrain = std::max(adapter.longestDrain, took);
        size_t echoes = 0;
        for (const auto &frame : adapter.firmware->Commands())
            echoes += frame.size() >= 2 && frame[0] == sim::adapter::wire::kEcho && frame[1] == port;
        const bool drained = echoes > 0 && took < kDrainLimit;
        const bool uartClosed = !adapter.firmware->Port(port).open;
        const bool ok = closed && drained && uartClosed;
        if (!ok)
            adapter.Fail(Format("port %d: close %s, drain marker %s, UART %s", port, closed ? "done" : "refused",
                                drained ? "returned" : "lost", uartClosed ? "closed" : "still open"));
        good += ok;
        if (Single())
            adapter.Say(Format("port %d  closed; drain marker echoed back after %.1f ms of kernel time%s", port,
                               double(took) / double(sim::kTicksPerMillisecond), ok ? "" : "  (FAILED)"));
    }
    if (adapter.context->OpenPortCount != 0)
        adapter.Fail(Format("%u ports still counted open", unsigned(adapter.context->OpenPortCount)));
    if (!Single())
        adapter.Say(Format("%s  %d of 4 ports closed with the echo drain", adapter.serial.c_str(), good));
}

// --- 7: the diagnostic device --------------------------------------------------

void Session::ReadInformationBlock()
{
    const std::string target = sim::io::ResolveSymbolicLink(kDiagnosticLink);
    Adapter *owner = nullptr;
    for (auto &adapter : adapters_)
        if (adapter->alive && sim::io::DeviceName(adapter->device->Fdo()) == target)
            owner = adapter.get();
    Heading(std::string("The diagnostic device ") + kDiagnosticLink + " reads the firmware's information block");
    if (!owner) {
        failures_.push_back(std::string(kDiagnosticLink) + " leads to no adapter ('" + target + "')");
        return;
    }
    out_.Detail("    " + std::string(kDiagnosticLink) + " -> " + target + ", adapter " + owner->serial);

    sim::user::Handle handle = nullptr;
    NTSTATUS status = sim::user::Open(kDiagnosticLink, &handle);
    if (status != STATUS_SUCCESS) {
        owner->Fail(Format("the diagnostic device would not open: 0x%08X", unsigned(status)));
        return;
    }
    std::vector<uint8_t> input(GET_INFO_PAYLOAD_SIZE, 0);
    input[0] = 1;  // any port of the adapter will do
    std::array<uint8_t, FIRMWARE_INFO_SIZE> block{};
    ULONG returned = 0;
    status = sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), ULONG(input.size()), block.data(),
                                        ULONG(block.size()), &returned);
    const NTSTATUS closed = sim::user::Close(handle);
    if (status != STATUS_SUCCESS || returned != block.size()) {
        owner->Fail(
            Format("IOCTL_DIAG_GET_INFO gave status 0x%08X and %u bytes", unsigned(status), unsigned(returned)));
        return;
    }
    if (closed != STATUS_SUCCESS)
        owner->Fail(Format("closing the diagnostic device gave 0x%08X", unsigned(closed)));
    if (block != owner->firmware->InfoBlock())
        owner->Fail("the information block differs from the firmware's");
    out_.Detail(Format("    information block, %u bytes:", unsigned(returned)));
    for (const std::string &line : HexDump(block.data(), block.size()))
        out_.Detail("      " + line);
    const std::string name(reinterpret_cast<const char *>(block.data()),
                           strnlen(reinterpret_cast<const char *>(block.data()), 20));
    out_.Detail(Format("    firmware \"%s\", version %u.%u.%u, %u ports", name.c_str(), block[20], block[21], block[22],
                       block[23]));
}

// --- 8: removal ------------------------------------------------------------------

void Session::TakeTallies(Adapter &adapter)
{
    const auto commands = adapter.firmware->Commands();
    for (int port = 1; port <= kPorts; port++) {
        PortTally &tally = adapter.tally[port];
        const sim::host::PortStats stats = adapter.ports[port]->Stats();
        tally.toAdapter = stats.bytesSent;
        tally.fromAdapter = stats.bytesRead;
        tally.events = adapter.ports[port]->EventCount();
        tally.commands = size_t(std::count_if(commands.begin(), commands.end(), [port](const auto &frame) {
            return frame.size() >= 2 && frame[1] == port;
        }));
    }
}

void Session::RemoveAll()
{
    Heading(Single() ? "The adapter is removed" : "The adapters are removed, one after another");
    sim::pnp::ConfigManager &cm = sim::pnp::ConfigManager::Get();
    for (auto &adapter : adapters_) {
        if (adapter->HasPorts())
            TakeTallies(*adapter);
        if (!adapter->device || !adapter->device->Present())
            continue;
        const sim::Ticks start = Now();
        const sim::pnp::QueryOutcome outcome = bed_->pnp->Remove(*adapter->device);
        const sim::Ticks took = Now() - start;
        const bool unloaded = cm.HostFor(adapter->serial) == nullptr;
        const bool nodeGone = !cm.Find(kNodePrefix + adapter->serial);
        const bool removed = !outcome.Refused() && outcome.final == STATUS_SUCCESS &&
                             adapter->device->State() == sim::pnp::DeviceState::Removed;
        if (!removed)
            adapter->Fail(
                Format("removal: query 0x%08X, removal 0x%08X", unsigned(outcome.query), unsigned(outcome.final)));
        if (!unloaded || !nodeGone)
            adapter->Fail("the host serial driver or the enumeration node outlived the adapter");
        out_.Detail(Format("    %s  %s in %s; host serial driver %s, enumeration node %s", adapter->serial.c_str(),
                           removed ? "removed" : "NOT removed", Seconds(took).c_str(),
                           unloaded ? "unloaded" : "still loaded", nodeGone ? "gone" : "still there"));
    }
    if (driver_.table && driver_.table->Count != 0)
        failures_.push_back(Format("the adapter table still holds %u adapters", unsigned(driver_.table->Count)));
}

void Session::CheckErrorStat()
{
    const std::optional<sim::RegistryValue> value =
        sim::Registry::Get().Query(sim::pnp::PnpManager::kParametersKey, "ErrorStat");
    if (!value || value->type != REG_BINARY || value->data.size() != sizeof(errorStat_)) {
        failures_.push_back("the removal wrote no ErrorStat value of three counters");
        return;
    }
    std::memcpy(errorStat_.data(), value->data.data(), sizeof(errorStat_));
    errorStatRead_ = true;
    for (size_t i = 0; i < errorStat_.size(); i++)
        if (driver_.table && errorStat_[i] != ErrorStats[i])
            failures_.push_back("the ErrorStat value differs from the driver's counters");
    if (errorStat_[ERROR_STAT_BAD_RESPONSE_PORT] || errorStat_[ERROR_STAT_SERIAL_TOO_LONG])
        failures_.push_back("the driver counted errors (see ErrorStat)");
}

}  // namespace nuvix::simtool
