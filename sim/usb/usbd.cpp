// The bus driver's library routines for parsing configuration descriptors
// and building select-configuration requests.
#include <algorithm>
#include <cstring>
#include <string>

#include "driver/platform/platform.h"
#include "sim/kernel/bugcheck.h"
#include "sim/kernel/resources.h"

namespace {

std::string Address(const void *p) { return sim::Hex(reinterpret_cast<uintptr_t>(p)); }

// The walk both routines make, checked as strictly as the verifier checks
// everything else: it ends at wTotalLength, every descriptor on the way must
// have a length that moves it on and fits within wTotalLength, and none of it
// may lie outside the pool block that holds the configuration descriptor (a
// descriptor outside pool, in a test's own memory, is checked against its
// wTotalLength only). Returns the first interface descriptor from start on
// that matches, or null at the end.
PUSB_INTERFACE_DESCRIPTOR Walk(const char *routine, PUSB_CONFIGURATION_DESCRIPTOR config, PVOID start,
                               LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
                               LONG interfaceProtocol)
{
    auto *base = reinterpret_cast<UCHAR *>(config);
    auto fail = [&](const std::string &what) {
        sim::BugCheck("BUGCODE_USB_DRIVER", std::string(routine) + ": " + what);
    };
    auto where = [&](size_t offset) {
        return "the descriptor at offset " + std::to_string(offset) + " of the configuration descriptor at " +
               Address(config);
    };
    if (auto block = sim::Resources::Get().FindPoolBlockHolding(config, sizeof(USB_COMMON_DESCRIPTOR))) {
        auto *blockEnd = static_cast<UCHAR *>(block->address) + block->size;
        std::string blockText =
            "its pool block (" + std::to_string(block->size) + " bytes at " + Address(block->address) + ")";
        if (base + 4 > blockEnd)
            fail("the wTotalLength of the configuration descriptor at " + Address(config) + " lies outside " +
                 blockText);
        if (base + config->wTotalLength > blockEnd)
            fail("wTotalLength " + std::to_string(config->wTotalLength) + " of the configuration descriptor at " +
                 Address(config) + " reaches past " + blockText);
    } else if (sim::Resources::Get().IsFreed(config)) {
        fail("the configuration descriptor at " + Address(config) + " is freed pool");
    }
    const size_t total = config->wTotalLength;
    auto *cursor = static_cast<UCHAR *>(start);
    if (cursor < base || cursor > base + total)
        fail("the start position " + Address(start) + " lies outside the configuration descriptor at " +
             Address(config) + " (wTotalLength " + std::to_string(total) + ")");
    while (cursor < base + total) {
        size_t offset = static_cast<size_t>(cursor - base);
        if (total - offset < sizeof(USB_COMMON_DESCRIPTOR))
            fail(where(offset) + " has no room for its header before wTotalLength " + std::to_string(total));
        auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(cursor);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR))
            fail(where(offset) + " has bLength " + std::to_string(common->bLength));
        if (common->bLength > total - offset)
            fail(where(offset) + " has bLength " + std::to_string(common->bLength) + ", which runs past wTotalLength " +
                 std::to_string(total));
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
                fail("the interface descriptor at offset " + std::to_string(offset) +
                     " of the configuration descriptor at " + Address(config) + " has bLength " +
                     std::to_string(common->bLength) + ", shorter than an interface descriptor");
            auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(cursor);
            if ((interfaceNumber == -1 || interface->bInterfaceNumber == interfaceNumber) &&
                (alternateSetting == -1 || interface->bAlternateSetting == alternateSetting) &&
                (interfaceClass == -1 || interface->bInterfaceClass == interfaceClass) &&
                (interfaceSubClass == -1 || interface->bInterfaceSubClass == interfaceSubClass) &&
                (interfaceProtocol == -1 || interface->bInterfaceProtocol == interfaceProtocol))
                return interface;
        }
        cursor += common->bLength;
    }
    return nullptr;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    return Walk("USBD_ParseConfigurationDescriptorEx", ConfigurationDescriptor, StartPosition, InterfaceNumber,
                AlternateSetting, InterfaceClass, InterfaceSubClass, InterfaceProtocol);
}

// One interface entry for every interface of the configuration (first
// alternate setting), each with room for all its endpoints. The block comes
// from non-paged pool; the caller frees it.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    // The first alternate setting of each interface, in order.
    auto Next = [](PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR after) {
        PVOID from = after ? static_cast<PVOID>(reinterpret_cast<UCHAR *>(after) + after->bLength) : config;
        return Walk("USBD_CreateConfigurationRequest", config, from, -1, 0, -1, -1, -1);
    };
    *Siz = 0;
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t count = 0;
    for (PUSB_INTERFACE_DESCRIPTOR interface = Next(ConfigurationDescriptor, nullptr); interface;
         interface = Next(ConfigurationDescriptor, interface)) {
        size += GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints);
        count++;
    }
    if (count == 0)
        return nullptr;
    size = std::max(size, sizeof(struct _URB_SELECT_CONFIGURATION));
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, 0x44425355));  // 'USBD'
    if (!urb)
        return nullptr;
    std::memset(urb, 0, size);
    auto *cursor = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSB_INTERFACE_DESCRIPTOR interface = Next(ConfigurationDescriptor, nullptr); interface;
         interface = Next(ConfigurationDescriptor, interface)) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints));
        info->InterfaceNumber = interface->bInterfaceNumber;
        info->AlternateSetting = interface->bAlternateSetting;
        info->NumberOfPipes = interface->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; i++)
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        cursor += info->Length;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    *Siz = static_cast<USHORT>(size);
    return urb;
}
