// Driver and device objects, device stacks and the object namespace.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/cpu.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/poison.h"
#include "sim/kernel/registry.h"

namespace sim::io {
namespace {

struct DeviceRecord {
    std::string name;
    PDEVICE_OBJECT attachedTo = nullptr;
    size_t bytes = 0;
};

sim::Mutex gMutex;
std::map<PDEVICE_OBJECT, DeviceRecord> gDevices;
std::map<std::string, PDEVICE_OBJECT> gNames;     // lower-case name -> device
std::map<std::string, std::string> gLinks;        // lower-case link -> device name
std::vector<std::pair<void *, size_t>> gDeleted;  // poisoned until the world ends
std::map<PDEVICE_OBJECT, size_t> gDeletePending;  // deleted, still referenced: valid memory

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string NameOf(PUNICODE_STRING name) { return Narrow(name->Buffer, name->Length / sizeof(WCHAR)); }

std::string Address(const void *p) { return Hex(reinterpret_cast<uintptr_t>(p)); }

void RequirePassive(const char *routine)
{
    if (Cpu().irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " above PASSIVE_LEVEL");
}

// The object directories the simulated namespace holds; a name is a leaf in
// one of them (or in the root). The real object manager refuses a name that
// is not absolute, one with an empty part (a doubled or trailing
// separator), and one whose directory does not exist: a separator inside
// what was meant as one name part makes a path to a directory nobody made.
NTSTATUS CheckObjectName(const std::string &name)
{
    static const char *const kDirectories[] = {"", "\\device", "\\dosdevices", "\\??", "\\global??", "\\driver"};
    if (name.empty() || name[0] != '\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (name.back() == '\\' || name.find("\\\\") != std::string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    const std::string directory = Lower(name.substr(0, name.rfind('\\')));
    for (const char *known : kDirectories)
        if (directory == known)
            return STATUS_SUCCESS;
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

LONG ReferenceCountOf(PDEVICE_OBJECT device) { return std::atomic_ref<LONG>(device->ReferenceCount).load(); }

// Kept poisoned rather than freed: a later use is a use after free.
void PoisonDeletedLocked(PDEVICE_OBJECT device, size_t bytes)
{
    std::memset(device, 0xDD, bytes);
    SIM_POISON(device, bytes);
    gDeleted.emplace_back(device, bytes);
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(const std::string &name)
{
    auto *driver = new DRIVER_OBJECT{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = new DRIVER_EXTENSION{};
    driver->DriverExtension->DriverObject = driver;
    auto *text = new WCHAR[name.size() + 1];
    for (size_t i = 0; i <= name.size(); i++)
        text[i] = static_cast<unsigned char>(name.c_str()[i]);
    RtlInitUnicodeString(&driver->DriverName, text);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject)
        BugCheck("DRIVER_UNLOADED_WITHOUT_DELETING_DEVICES",
                 "driver " + NameOf(&driver->DriverName) + " still has device " + Address(driver->DeviceObject));
    delete[] driver->DriverName.Buffer;
    delete driver->DriverExtension;
    delete driver;
}

PDEVICE_OBJECT LookupDevice(const std::string &name)
{
    std::lock_guard lock(gMutex);
    std::string key = Lower(name);
    for (int hops = 0; hops < 8; hops++) {
        if (auto it = gNames.find(key); it != gNames.end())
            return it->second;
        auto link = gLinks.find(key);
        if (link == gLinks.end())
            return nullptr;
        key = Lower(link->second);
    }
    return nullptr;
}

std::string ResolveSymbolicLink(const std::string &link)
{
    std::lock_guard lock(gMutex);
    auto it = gLinks.find(Lower(link));
    return it == gLinks.end() ? std::string() : it->second;
}

std::vector<std::string> SymbolicLinks()
{
    std::lock_guard lock(gMutex);
    std::vector<std::string> links;
    for (auto &[link, target] : gLinks)
        links.push_back(link);
    return links;
}

std::string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    auto it = gDevices.find(device);
    return it == gDevices.end() ? std::string() : it->second.name;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    auto it = gDevices.find(device);
    return it == gDevices.end() ? nullptr : it->second.attachedTo;
}

std::vector<PDEVICE_OBJECT> LiveDevices()
{
    std::lock_guard lock(gMutex);
    std::vector<PDEVICE_OBJECT> devices;
    for (auto &[device, record] : gDevices)
        devices.push_back(device);
    return devices;
}

std::string LeakReport()
{
    std::lock_guard lock(gMutex);
    std::string report;
    for (auto &[device, record] : gDevices)
        report += "leaked device object " + Address(device) + " '" + record.name + "'\n";
    for (auto &[link, target] : gLinks)
        report += "leaked symbolic link '" + link + "' -> '" + target + "'\n";
    return report;
}

void Reset()
{
    ResetRequests();
    std::lock_guard lock(gMutex);
    for (auto &[device, record] : gDevices) {
        SIM_UNPOISON(device, record.bytes);
        std::free(device);
    }
    for (auto &[memory, bytes] : gDeleted) {
        SIM_UNPOISON(memory, bytes);
        std::free(memory);
    }
    for (auto &[device, bytes] : gDeletePending)
        std::free(device);
    gDeleted.clear();
    gDeletePending.clear();
    gDevices.clear();
    gNames.clear();
    gLinks.clear();
}

void ReferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    if (!gDevices.count(device))
        BugCheck("SIMULATION_MISUSE", "a reference on " + Address(device) + ", which is not a live device object");
    InterlockedIncrement(&device->ReferenceCount);
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    auto pending = gDeletePending.find(device);
    if (!gDevices.count(device) && pending == gDeletePending.end())
        BugCheck("SIMULATION_MISUSE", "a reference dropped on " + Address(device) + ", whose memory is already gone");
    if (ReferenceCountOf(device) <= 0)
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "the reference count of device " + Address(device) + " would drop below zero; the driver lowered it");
    if (InterlockedDecrement(&device->ReferenceCount) == 0 && pending != gDeletePending.end()) {
        size_t bytes = pending->second;
        gDeletePending.erase(pending);
        PoisonDeletedLocked(device, bytes);
    }
}

bool DeletePending(PDEVICE_OBJECT device)
{
    std::lock_guard lock(gMutex);
    return gDeletePending.count(device) != 0;
}

}  // namespace sim::io

using namespace sim;
using namespace sim::io;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    (void)Exclusive;
    RequirePassive("IoCreateDevice");
    std::string name = DeviceName ? NameOf(DeviceName) : std::string();
    size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    size_t bytes = header + DeviceExtensionSize;
    if (DeviceName) {
        if (NTSTATUS refused = CheckObjectName(name); refused != STATUS_SUCCESS)
            return refused;
    }
    {
        std::lock_guard lock(gMutex);
        if (!name.empty() && (gNames.count(Lower(name)) || gLinks.count(Lower(name))))
            return STATUS_OBJECT_NAME_COLLISION;
        auto *device = static_cast<PDEVICE_OBJECT>(std::calloc(1, bytes));
        device->Type = IO_TYPE_DEVICE;
        device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
        device->DriverObject = DriverObject;
        device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(device) + header : nullptr;
        device->DeviceType = DeviceType;
        device->Characteristics = DeviceCharacteristics;
        device->StackSize = 1;
        device->Flags = DO_DEVICE_INITIALIZING;
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
        gDevices[device] = DeviceRecord{name, nullptr, bytes};
        if (!name.empty())
            gNames[Lower(name)] = device;
        *DeviceObject = device;
    }
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequirePassive("IoDeleteDevice");
    std::lock_guard lock(gMutex);
    auto it = gDevices.find(DeviceObject);
    if (it == gDevices.end())
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoDeleteDevice of " + Address(DeviceObject) + ", which is not a live device object");
    if (DeviceObject->AttachedDevice)
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoDeleteDevice of '" + it->second.name + "' while device " +
                                                            Address(DeviceObject->AttachedDevice) +
                                                            " is still attached on top of it");
    if (it->second.attachedTo && it->second.attachedTo->AttachedDevice == DeviceObject)
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoDeleteDevice of '" + it->second.name + "' before IoDetachDevice from the device below it");
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    if (!it->second.name.empty())
        gNames.erase(Lower(it->second.name));
    size_t bytes = it->second.bytes;
    gDevices.erase(it);
    // Open handles (or the driver itself) still reference it: the memory has
    // to stay valid until the last of them lets go.
    if (ReferenceCountOf(DeviceObject) > 0)
        gDeletePending[DeviceObject] = bytes;
    else
        PoisonDeletedLocked(DeviceObject, bytes);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequirePassive("IoCreateSymbolicLink");
    if (NTSTATUS refused = CheckObjectName(NameOf(SymbolicLinkName)); refused != STATUS_SUCCESS)
        return refused;
    std::lock_guard lock(gMutex);
    std::string link = Lower(NameOf(SymbolicLinkName));
    if (gLinks.count(link) || gNames.count(link))
        return STATUS_OBJECT_NAME_COLLISION;
    gLinks[link] = NameOf(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequirePassive("IoDeleteSymbolicLink");
    std::lock_guard lock(gMutex);
    return gLinks.erase(Lower(NameOf(SymbolicLinkName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    RequirePassive("IoAttachDeviceToDeviceStack");
    std::lock_guard lock(gMutex);
    if (!gDevices.count(SourceDevice) || !gDevices.count(TargetDevice))
        return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    gDevices[SourceDevice].attachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard lock(gMutex);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above)
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoDetachDevice of " + Address(TargetDevice) + ", which has nothing attached");
    TargetDevice->AttachedDevice = nullptr;
    if (auto it = gDevices.find(above); it != gDevices.end())
        it->second.attachedTo = nullptr;
}
