// The Configuration Manager of the older platform: a tree of device nodes
// below a root, each with a device id (unique, compared without regard to
// case) and values of its own (name -> type and bytes), reached by the
// driver through the services declared in driver/platform/cm.h, which this
// implements.
//
// Node handles are small nonzero numbers, never reused within a world, so a
// handle kept after its node was removed is refused (CR_INVALID_DEVNODE).
// Values live per node, per branch (hardware or software key, from the
// service's flags) and per sub key; names compare without regard to case.
//
// Re-enumerating a node walks it and everything below it. A node whose
// HardwareID is "NUVIX4" and whose device id is "Belmorin\NUVIX4\DEV_<serial>"
// gets its driver loaded: the host serial driver for the adapter with that
// serial number, with one port record per adapter port named
// HostSerialDriver::PortName(serial, 0..3). Removing the node unloads it.
//
// Lifetime of a loaded host serial driver: an unloaded one is only marked
// unloaded (HostFor no longer finds it); the object and its port records,
// which the driver may still point into, stay valid until the world ends.
// Everything here is reset with the world.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config_manager_faults.h"
#include "driver/platform/cm.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/scheduler.h"

// Result codes the services return besides the ones cm.h already names.
#ifndef CR_OUT_OF_MEMORY
#define CR_OUT_OF_MEMORY 0x00000002
#endif
#ifndef CR_INVALID_POINTER
#define CR_INVALID_POINTER 0x00000003
#endif
#ifndef CR_INVALID_DEVNODE
#define CR_INVALID_DEVNODE 0x00000005
#endif
#ifndef CR_NO_SUCH_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#endif
#ifndef CR_FAILURE
#define CR_FAILURE 0x00000013
#endif
#ifndef CR_BUFFER_SMALL
#define CR_BUFFER_SMALL 0x0000001A
#endif
#ifndef CR_INVALID_DEVICE_ID
#define CR_INVALID_DEVICE_ID 0x0000001E
#endif
#ifndef CR_WRONG_TYPE
#define CR_WRONG_TYPE 0x00000026
#endif

// Which key a registry service reads or writes.
#ifndef CM_REGISTRY_HARDWARE
#define CM_REGISTRY_HARDWARE 0x00000000
#endif
#ifndef CM_REGISTRY_SOFTWARE
#define CM_REGISTRY_SOFTWARE 0x00000001
#endif

namespace sim::pnp {

struct CmValue {
    ULONG type = 0;
    std::vector<uint8_t> data;

    // The value as text, up to its first NUL.
    std::string Text() const;
};

// One service call as the driver made it.
struct CmCall {
    std::string service;  // "CM_Create_DevNode", ...
    DEVNODE node = 0;     // the node it named (for Create, the parent)
    std::string text;     // the device id or the value name, if any
    ULONG flags = 0;
    CONFIGRET result = CR_SUCCESS;
    DEVNODE created = 0;  // Create and Locate: the handle handed out
};

// The host serial driver the platform loaded for an adapter's node.
struct LoadedHost {
    std::string serial;
    DEVNODE node = 0;
    bool loaded = true;
    std::unique_ptr<host::HostSerialDriver> driver;
    std::array<host::HostPort *, 4> ports{};
};

class ConfigManager {
public:
    static ConfigManager &Get();
    // Back to a root node alone; unloaded and loaded host drivers are destroyed.
    void Reset();
    // Where the host serial drivers loaded from now on take the driver's
    // service table: the driver's RbGetServiceTable export, given by whoever
    // loaded the driver (PnpManager does). None after a reset; loading a host
    // serial driver without one is a misuse of the simulation.
    void SetServiceTableGetter(host::HostSerialDriver::TableGetter getter);

    // --- for tests ----------------------------------------------------------
    DEVNODE Root();
    bool Exists(DEVNODE node);
    // The node with this device id (any case), if there is one.
    std::optional<DEVNODE> Find(const std::string &deviceId);
    std::string DeviceId(DEVNODE node);
    std::optional<DEVNODE> Parent(DEVNODE node);
    std::vector<DEVNODE> Children(DEVNODE node);
    std::optional<CmValue> Value(DEVNODE node, const std::string &name, const std::string &subKey = "",
                                 ULONG flags = CM_REGISTRY_HARDWARE);
    size_t NodeCount();

    // Nodes and values made as if someone before the driver had made them.
    DEVNODE CreateNode(const std::string &deviceId, std::optional<DEVNODE> parent = std::nullopt);
    void SetValue(DEVNODE node, const std::string &name, CmValue value, const std::string &subKey = "",
                  ULONG flags = CM_REGISTRY_HARDWARE);
    void SetString(DEVNODE node, const std::string &name, const std::string &text, const std::string &subKey = "",
                   ULONG flags = CM_REGISTRY_HARDWARE);

    // Values the registry still holds under a device id that has no node
    // (the platform keeps a device's key after its node is gone): a node
    // created later with that id, by the driver or by CreateNode, starts
    // with them. Values written to a node are not kept this way.
    void SetStoredValue(const std::string &deviceId, const std::string &name, CmValue value,
                        const std::string &subKey = "", ULONG flags = CM_REGISTRY_HARDWARE);
    void SetStoredString(const std::string &deviceId, const std::string &name, const std::string &text,
                         const std::string &subKey = "", ULONG flags = CM_REGISTRY_HARDWARE);

    // Fault injection (config_manager_faults.h): the world's
    // WorldOptions::faults.configManager from the start; SetFaults replaces
    // the record, FailNextCreate sets ConfigManagerFaults::failNextCreate.
    void SetFaults(const ConfigManagerFaults &faults);
    ConfigManagerFaults Faults();
    void FailNextCreate(CONFIGRET result);

    std::vector<CmCall> Calls();
    void ClearCalls();
    // How often a node was re-enumerated (by the driver or by the test).
    int Reenumerations(DEVNODE node);

    // The host serial driver loaded for this serial number, or null when none
    // is loaded now.
    host::HostSerialDriver *HostFor(const std::string &serial);
    // Its port record for port index (0..3), or null.
    host::HostPort *HostPortFor(const std::string &serial, int index);
    // Every host driver ever loaded for the serial number, oldest first,
    // loaded or not (valid until the world ends).
    std::vector<const LoadedHost *> HostHistory(const std::string &serial);

    // --- the services (the extern "C" functions forward here) ---------------
    CONFIGRET LocateDevNode(PDEVNODE node, const char *deviceId, ULONG flags);
    CONFIGRET CreateDevNode(PDEVNODE node, const char *deviceId, DEVNODE parent, ULONG flags);
    CONFIGRET RemoveSubTree(DEVNODE node, ULONG flags);
    CONFIGRET ReenumerateDevNode(DEVNODE node, ULONG flags);
    CONFIGRET ReadRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG expectedType, void *buffer,
                                PULONG length, ULONG flags);
    CONFIGRET WriteRegistryValue(DEVNODE node, const char *subKey, const char *name, ULONG type, const void *buffer,
                                 ULONG length, ULONG flags);

private:
    struct Node {
        std::string deviceId;
        DEVNODE parent = 0;
        std::vector<DEVNODE> children;
        std::map<std::string, CmValue> values;  // key: branch, sub key and name, lower case
        int reenumerations = 0;
    };

    ConfigManager();
    void ResetLocked();
    Node *NodeLocked(DEVNODE node);
    DEVNODE AddNodeLocked(const std::string &deviceId, DEVNODE parent);
    void CollectSubTreeLocked(DEVNODE node, std::vector<DEVNODE> &out);
    void RecordLocked(CmCall call);
    // The serial number of an adapter node that should have its host
    // driver loaded and has none yet.
    std::optional<std::string> HostToLoadLocked(DEVNODE node);
    void LoadHost(const std::string &serial, DEVNODE node);
    static std::string ValueKey(ULONG flags, const std::string &subKey, const std::string &name);

    sim::Mutex mutex_;
    std::map<DEVNODE, Node> nodes_;
    DEVNODE root_ = 0;
    DEVNODE nextHandle_ = 1;
    ConfigManagerFaults faults_;
    // Device id (lower case) -> value key -> value.
    std::map<std::string, std::map<std::string, CmValue>> stored_;
    std::vector<CmCall> calls_;
    std::vector<std::unique_ptr<LoadedHost>> hosts_;
    host::HostSerialDriver::TableGetter getTable_ = nullptr;
};

}  // namespace sim::pnp
