// The bus driver's library routines for parsing configuration descriptors
// and building select-configuration requests.
#include <algorithm>
#include <cstring>

#include "driver/platform/platform.h"

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    auto *cursor = static_cast<UCHAR *>(StartPosition);
    auto *end = reinterpret_cast<UCHAR *>(ConfigurationDescriptor) + ConfigurationDescriptor->wTotalLength;
    while (cursor + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(cursor);
        if (common->bLength == 0)
            return nullptr;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            cursor + sizeof(USB_INTERFACE_DESCRIPTOR) <= end) {
            auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(cursor);
            if ((InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol))
                return interface;
        }
        cursor += common->bLength;
    }
    return nullptr;
}

// One interface entry for every interface of the configuration (first
// alternate setting), each with room for all its endpoints. The block comes
// from non-paged pool; the caller frees it.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz)
{
    *Siz = 0;
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t count = 0;
    for (PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
             ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
         interface; interface = USBD_ParseConfigurationDescriptorEx(
                        ConfigurationDescriptor, reinterpret_cast<UCHAR *>(interface) + interface->bLength, -1, 0,
                        -1, -1, -1)) {
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
    for (PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
             ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
         interface; interface = USBD_ParseConfigurationDescriptorEx(
                        ConfigurationDescriptor, reinterpret_cast<UCHAR *>(interface) + interface->bLength, -1, 0,
                        -1, -1, -1)) {
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
