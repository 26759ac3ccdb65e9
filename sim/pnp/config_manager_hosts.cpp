// The Configuration Manager's second job: the host serial drivers it loads.
// A re-enumerated node whose hardware id names the adapter, and whose device
// id is the adapter's prefix and a serial number, gets a host serial driver
// of its own with four ports, which takes its service table from the driver.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "config_manager.h"
#include "sim/kernel/bugcheck.h"

namespace sim::pnp {

namespace {

constexpr const char kAdapterPrefix[] = "belmorin\\nuvix4\\dev_";
constexpr const char kAdapterHardwareId[] = "nuvix4";
constexpr const char kHardwareIdName[] = "HardwareID";

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

void ConfigManager::SetServiceTableGetter(host::HostSerialDriver::TableGetter getter)
{
    std::lock_guard lock(mutex_);
    getTable_ = getter;
}

host::HostSerialDriver *ConfigManager::HostFor(const std::string &serial)
{
    std::lock_guard lock(mutex_);
    for (auto &host : hosts_)
        if (host->loaded && host->serial == serial)
            return host->driver.get();
    return nullptr;
}

host::HostPort *ConfigManager::HostPortFor(const std::string &serial, int index)
{
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= 4)
        return nullptr;
    for (auto &host : hosts_)
        if (host->loaded && host->serial == serial)
            return host->ports[index];
    return nullptr;
}

std::vector<const LoadedHost *> ConfigManager::HostHistory(const std::string &serial)
{
    std::lock_guard lock(mutex_);
    std::vector<const LoadedHost *> history;
    for (auto &host : hosts_)
        if (host->serial == serial)
            history.push_back(host.get());
    return history;
}

std::optional<std::string> ConfigManager::HostToLoadLocked(DEVNODE node)
{
    Node *n = NodeLocked(node);
    if (!n)
        return std::nullopt;
    auto id = n->values.find(ValueKey(CM_REGISTRY_HARDWARE, "", kHardwareIdName));
    if (id == n->values.end() || Lower(id->second.Text()) != kAdapterHardwareId)
        return std::nullopt;
    const size_t prefix = std::strlen(kAdapterPrefix);
    if (n->deviceId.size() <= prefix || Lower(n->deviceId.substr(0, prefix)) != kAdapterPrefix)
        return std::nullopt;
    for (auto &host : hosts_)
        if (host->loaded && host->node == node)
            return std::nullopt;
    return n->deviceId.substr(prefix);
}

void ConfigManager::LoadHost(const std::string &serial, DEVNODE node)
{
    auto host = std::make_unique<LoadedHost>();
    host->serial = serial;
    host->node = node;
    host::HostSerialDriver::TableGetter getTable;
    {
        std::lock_guard lock(mutex_);
        getTable = getTable_;
    }
    if (!getTable)
        BugCheck("SIMULATION_MISUSE", "a host serial driver was loaded for " + serial +
                                          ", but nobody told the Configuration Manager where the driver's service "
                                          "table is (PnpManager takes it with DriverEntry)");
    host->driver = std::make_unique<host::HostSerialDriver>(getTable);
    for (int i = 0; i < 4; i++)
        host->ports[i] = &host->driver->AddPort(host::HostSerialDriver::PortName(serial, i));
    std::lock_guard lock(mutex_);
    for (auto &other : hosts_)
        if (other->loaded && other->node == node)
            return;  // another re-enumeration got there first
    hosts_.push_back(std::move(host));
}

}  // namespace sim::pnp
