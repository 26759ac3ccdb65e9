// The Configuration Manager: the device tree, its registry values and the
// services the driver calls. The host serial drivers it loads for adapter
// nodes are in config_manager_hosts.cpp.
#include "config_manager.h"

#include <algorithm>
#include <cstring>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"

namespace sim::pnp {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Text(const char *text) { return text ? std::string(text) : std::string(); }

// A device id as the platform takes it: shorter than its 200-character
// limit, at most three parts (enumerator, device, instance) separated by
// backslashes, none of them empty, and no character the platform's ids exclude
// (control characters and space, a comma, anything above 0x7E).
constexpr size_t kMaxDeviceIdLength = 200;

bool IsValidDeviceId(const std::string &id)
{
    if (id.empty() || id.size() >= kMaxDeviceIdLength || id.front() == '\\' || id.back() == '\\' ||
        id.find("\\\\") != std::string::npos || std::count(id.begin(), id.end(), '\\') > 2)
        return false;
    return std::all_of(id.begin(), id.end(), [](unsigned char c) { return c > ' ' && c <= '~' && c != ','; });
}

// The services are reached through VxD calls the driver makes from its own
// threads at PASSIVE_LEVEL (or APC_LEVEL under a fast mutex), never from
// code that holds a spin lock.
void RequireLowIrql(const char *service)
{
    if (Cpu().irql > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(service) + " at " + IrqlName(Cpu().irql));
}

}  // namespace

std::string CmValue::Text() const
{
    auto end = std::find(data.begin(), data.end(), uint8_t{0});
    return std::string(data.begin(), end);
}

ConfigManager &ConfigManager::Get()
{
    static ConfigManager instance;
    return instance;
}

ConfigManager::ConfigManager() { ResetLocked(); }

void ConfigManager::Reset()
{
    std::vector<std::unique_ptr<LoadedHost>> hosts;
    {
        std::lock_guard lock(mutex_);
        hosts.swap(hosts_);
        ResetLocked();
    }
    hosts.clear();
}

void ConfigManager::ResetLocked()
{
    getTable_ = nullptr;
    nodes_.clear();
    calls_.clear();
    faults_ = {};
    stored_.clear();
    nextHandle_ = 1;
    root_ = AddNodeLocked("HTREE\\ROOT\\0", 0);
}

std::string ConfigManager::ValueKey(ULONG flags, const std::string &subKey, const std::string &name)
{
    std::string branch = (flags & CM_REGISTRY_SOFTWARE) ? "software" : "hardware";
    return branch + "|" + Lower(subKey) + "|" + Lower(name);
}

ConfigManager::Node *ConfigManager::NodeLocked(DEVNODE node)
{
    auto it = nodes_.find(node);
    return it == nodes_.end() ? nullptr : &it->second;
}

DEVNODE ConfigManager::AddNodeLocked(const std::string &deviceId, DEVNODE parent)
{
    DEVNODE handle = nextHandle_++;
    Node node;
    node.deviceId = deviceId;
    node.parent = parent;
    if (auto stored = stored_.find(Lower(deviceId)); stored != stored_.end())
        node.values = stored->second;
    nodes_[handle] = std::move(node);
    if (Node *above = NodeLocked(parent))
        above->children.push_back(handle);
    return handle;
}

void ConfigManager::CollectSubTreeLocked(DEVNODE node, std::vector<DEVNODE> &out)
{
    out.push_back(node);
    if (Node *n = NodeLocked(node))
        for (DEVNODE child : n->children)
            CollectSubTreeLocked(child, out);
}

void ConfigManager::RecordLocked(CmCall call) { calls_.push_back(std::move(call)); }

// --- for tests -----------------------------------------------------------

DEVNODE ConfigManager::Root()
{
    std::lock_guard lock(mutex_);
    return root_;
}

bool ConfigManager::Exists(DEVNODE node)
{
    std::lock_guard lock(mutex_);
    return NodeLocked(node) != nullptr;
}

std::optional<DEVNODE> ConfigManager::Find(const std::string &deviceId)
{
    std::lock_guard lock(mutex_);
    std::string key = Lower(deviceId);
    for (auto &[handle, node] : nodes_)
        if (Lower(node.deviceId) == key)
            return handle;
    return std::nullopt;
}

std::string ConfigManager::DeviceId(DEVNODE node)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    return n ? n->deviceId : std::string();
}

std::optional<DEVNODE> ConfigManager::Parent(DEVNODE node)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    if (!n || node == root_)
        return std::nullopt;
    return n->parent;
}

std::vector<DEVNODE> ConfigManager::Children(DEVNODE node)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    return n ? n->children : std::vector<DEVNODE>{};
}

std::optional<CmValue> ConfigManager::Value(DEVNODE node, const std::string &name, const std::string &subKey,
                                            ULONG flags)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    if (!n)
        return std::nullopt;
    auto it = n->values.find(ValueKey(flags, subKey, name));
    if (it == n->values.end())
        return std::nullopt;
    return it->second;
}

size_t ConfigManager::NodeCount()
{
    std::lock_guard lock(mutex_);
    return nodes_.size();
}

DEVNODE ConfigManager::CreateNode(const std::string &deviceId, std::optional<DEVNODE> parent)
{
    std::lock_guard lock(mutex_);
    DEVNODE above = parent.value_or(root_);
    if (!NodeLocked(above))
        BugCheck("SIMULATION_MISUSE", "a device node below " + std::to_string(above) + ", which does not exist");
    std::string key = Lower(deviceId);
    for (auto &[handle, node] : nodes_)
        if (Lower(node.deviceId) == key)
            BugCheck("SIMULATION_MISUSE", "a second device node '" + deviceId + "'");
    return AddNodeLocked(deviceId, above);
}

void ConfigManager::SetValue(DEVNODE node, const std::string &name, CmValue value, const std::string &subKey,
                             ULONG flags)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    if (!n)
        BugCheck("SIMULATION_MISUSE", "a value on device node " + std::to_string(node) + ", which does not exist");
    n->values[ValueKey(flags, subKey, name)] = std::move(value);
}

void ConfigManager::SetString(DEVNODE node, const std::string &name, const std::string &text, const std::string &subKey,
                              ULONG flags)
{
    CmValue value;
    value.type = CM_REGISTRY_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    SetValue(node, name, std::move(value), subKey, flags);
}

void ConfigManager::SetStoredValue(const std::string &deviceId, const std::string &name, CmValue value,
                                   const std::string &subKey, ULONG flags)
{
    std::lock_guard lock(mutex_);
    stored_[Lower(deviceId)][ValueKey(flags, subKey, name)] = std::move(value);
}

void ConfigManager::SetStoredString(const std::string &deviceId, const std::string &name, const std::string &text,
                                    const std::string &subKey, ULONG flags)
{
    CmValue value;
    value.type = CM_REGISTRY_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    SetStoredValue(deviceId, name, std::move(value), subKey, flags);
}

void ConfigManager::SetFaults(const ConfigManagerFaults &faults)
{
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

ConfigManagerFaults ConfigManager::Faults()
{
    std::lock_guard lock(mutex_);
    return faults_;
}

void ConfigManager::FailNextCreate(CONFIGRET result)
{
    std::lock_guard lock(mutex_);
    faults_.failNextCreate = result;
}

std::vector<CmCall> ConfigManager::Calls()
{
    std::lock_guard lock(mutex_);
    return calls_;
}

void ConfigManager::ClearCalls()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}

int ConfigManager::Reenumerations(DEVNODE node)
{
    std::lock_guard lock(mutex_);
    Node *n = NodeLocked(node);
    return n ? n->reenumerations : 0;
}

// --- the services --------------------------------------------------------

CONFIGRET ConfigManager::LocateDevNode(PDEVNODE node, const char *deviceId, ULONG flags)
{
    RequireLowIrql("CM_Locate_DevNode");
    std::lock_guard lock(mutex_);
    CmCall call{"CM_Locate_DevNode", 0, Text(deviceId), flags, CR_SUCCESS, 0};
    if (!node) {
        call.result = CR_INVALID_POINTER;
    } else if (!deviceId || !*deviceId) {
        *node = call.created = root_;
    } else {
        call.result = CR_NO_SUCH_DEVNODE;
        std::string key = Lower(deviceId);
        for (auto &[handle, n] : nodes_)
            if (Lower(n.deviceId) == key) {
                *node = call.created = handle;
                call.result = CR_SUCCESS;
                break;
            }
    }
    RecordLocked(call);
    return call.result;
}

CONFIGRET ConfigManager::CreateDevNode(PDEVNODE node, const char *deviceId, DEVNODE parent, ULONG flags)
{
    RequireLowIrql("CM_Create_DevNode");
    std::lock_guard lock(mutex_);
    CmCall call{"CM_Create_DevNode", parent, Text(deviceId), flags, CR_SUCCESS, 0};
    if (!node) {
        call.result = CR_INVALID_POINTER;
    } else if (!deviceId || !IsValidDeviceId(deviceId)) {
        call.result = CR_INVALID_DEVICE_ID;
    } else if (!NodeLocked(parent)) {
        call.result = CR_INVALID_DEVNODE;
    } else if (faults_.failNextCreate) {
        call.result = *faults_.failNextCreate;
        faults_.failNextCreate.reset();
    } else {
        std::string key = Lower(deviceId);
        for (auto &[handle, n] : nodes_)
            if (Lower(n.deviceId) == key) {
                // The caller gets the node that is there, as on the platform.
                *node = call.created = handle;
                call.result = CR_ALREADY_SUCH_DEVNODE;
                break;
            }
        if (call.result == CR_SUCCESS)
            *node = call.created = AddNodeLocked(deviceId, parent);
    }
    RecordLocked(call);
    return call.result;
}

CONFIGRET ConfigManager::RemoveSubTree(DEVNODE node, ULONG flags)
{
    RequireLowIrql("CM_Remove_SubTree");
    std::lock_guard lock(mutex_);
    CmCall call{"CM_Remove_SubTree", node, {}, flags, CR_SUCCESS, 0};
    if (Node *n = NodeLocked(node)) {
        call.text = n->deviceId;
        if (node == root_) {
            call.result = CR_FAILURE;
        } else {
            std::vector<DEVNODE> doomed;
            CollectSubTreeLocked(node, doomed);
            if (Node *above = NodeLocked(n->parent))
                std::erase(above->children, node);
            for (DEVNODE gone : doomed) {
                nodes_.erase(gone);
                // Unloaded, not destroyed: the driver may still hold the host's
                // records until it learns the node is gone.
                for (auto &host : hosts_)
                    if (host->loaded && host->node == gone)
                        host->loaded = false;
            }
        }
    } else {
        call.result = CR_INVALID_DEVNODE;
    }
    RecordLocked(call);
    return call.result;
}

CONFIGRET ConfigManager::ReenumerateDevNode(DEVNODE node, ULONG flags)
{
    RequireLowIrql("CM_Reenumerate_DevNode");
    std::vector<std::pair<std::string, DEVNODE>> toLoad;
    CONFIGRET result = CR_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        CmCall call{"CM_Reenumerate_DevNode", node, {}, flags, CR_SUCCESS, 0};
        if (Node *n = NodeLocked(node)) {
            call.text = n->deviceId;
            std::vector<DEVNODE> subtree;
            CollectSubTreeLocked(node, subtree);
            for (DEVNODE each : subtree) {
                NodeLocked(each)->reenumerations++;
                if (auto serial = HostToLoadLocked(each))
                    toLoad.emplace_back(*serial, each);
            }
        } else {
            call.result = CR_INVALID_DEVNODE;
        }
        result = call.result;
        RecordLocked(call);
    }
    // Built outside the lock: the host asks the driver for its service table.
    for (auto &[serial, each] : toLoad)
        LoadHost(serial, each);
    return result;
}

CONFIGRET ConfigManager::ReadRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG expectedType,
                                           void *buffer, PULONG length, ULONG flags)
{
    RequireLowIrql("CM_Read_Registry_Value");
    std::lock_guard lock(mutex_);
    CmCall call{"CM_Read_Registry_Value", node, Text(name), flags, CR_SUCCESS, 0};
    Node *n = NodeLocked(node);
    if (!n) {
        call.result = CR_INVALID_DEVNODE;
    } else if (!length || (!buffer && *length != 0)) {
        call.result = CR_INVALID_POINTER;
    } else {
        auto it = n->values.find(ValueKey(flags, Text(subKey), Text(name)));
        if (it == n->values.end()) {
            call.result = CR_NO_SUCH_VALUE;
        } else if (expectedType != REG_NONE && it->second.type != expectedType) {
            call.result = CR_WRONG_TYPE;
        } else {
            auto size = static_cast<ULONG>(it->second.data.size());
            if (*length < size) {
                call.result = CR_BUFFER_SMALL;
            } else if (size) {
                std::memcpy(buffer, it->second.data.data(), size);
            }
            // Both ways the caller learns the size of the value.
            *length = size;
        }
    }
    RecordLocked(call);
    return call.result;
}

CONFIGRET ConfigManager::WriteRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG type,
                                            const void *buffer, ULONG length, ULONG flags)
{
    RequireLowIrql("CM_Write_Registry_Value");
    std::lock_guard lock(mutex_);
    CmCall call{"CM_Write_Registry_Value", node, Text(name), flags, CR_SUCCESS, 0};
    Node *n = NodeLocked(node);
    if (!n) {
        call.result = CR_INVALID_DEVNODE;
    } else if (!buffer && length != 0) {
        call.result = CR_INVALID_POINTER;
    } else {
        CmValue value;
        value.type = type;
        if (length)
            value.data.assign(static_cast<const uint8_t *>(buffer), static_cast<const uint8_t *>(buffer) + length);
        n->values[ValueKey(flags, Text(subKey), Text(name))] = std::move(value);
    }
    RecordLocked(call);
    return call.result;
}

}  // namespace sim::pnp

using sim::pnp::ConfigManager;

extern "C" {

CONFIGRET __cdecl CM_Locate_DevNode(PDEVNODE pdnDevNode, DEVNODEID pDeviceID, ULONG ulFlags)
{
    return ConfigManager::Get().LocateDevNode(pdnDevNode, pDeviceID, ulFlags);
}

CONFIGRET __cdecl CM_Create_DevNode(PDEVNODE pdnDevNode, DEVNODEID pDeviceID, DEVNODE dnParent, ULONG ulFlags)
{
    return ConfigManager::Get().CreateDevNode(pdnDevNode, pDeviceID, dnParent, ulFlags);
}

CONFIGRET __cdecl CM_Remove_SubTree(DEVNODE dnAncestor, ULONG ulFlags)
{
    return ConfigManager::Get().RemoveSubTree(dnAncestor, ulFlags);
}

CONFIGRET __cdecl CM_Reenumerate_DevNode(DEVNODE dnDevNode, ULONG ulFlags)
{
    return ConfigManager::Get().ReenumerateDevNode(dnDevNode, ulFlags);
}

CONFIGRET __cdecl CM_Read_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName, ULONG ulExpectedType,
                                         PVOID pBuffer, PULONG pulLength, ULONG ulFlags)
{
    return ConfigManager::Get().ReadRegistryValue(dnDevNode, pszSubKey, pszValueName, ulExpectedType, pBuffer,
                                                  pulLength, ulFlags);
}

CONFIGRET __cdecl CM_Write_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName, ULONG ulType,
                                          PVOID pBuffer, ULONG ulLength, ULONG ulFlags)
{
    return ConfigManager::Get().WriteRegistryValue(dnDevNode, pszSubKey, pszValueName, ulType, pBuffer, ulLength,
                                                   ulFlags);
}

}  // extern "C"
