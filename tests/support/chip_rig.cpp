#include "chip_rig.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/usb/transport.h"
#include "sim/io/io.h"

namespace testing_support {

ChipRig::ChipRig(sim::chip::ChipOptions options) : ChipModel(std::move(options)), AddedAdapter(chip) {}

std::vector<uint8_t> ChipRig::DeviceDescriptor()
{
    auto *urb = static_cast<PURB>(PoolAlloc(DESCRIPTOR_URB_SIZE));
    auto *buffer = static_cast<PUCHAR>(PoolAlloc(sizeof(USB_DEVICE_DESCRIPTOR)));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof(USB_DEVICE_DESCRIPTOR));
    std::vector<uint8_t> bytes;
    if (NT_SUCCESS(SubmitAdapterUrbSync(fdo, urb)))
        bytes.assign(buffer, buffer + urb->UrbControlDescriptorRequest.TransferBufferLength);
    PoolFree(&buffer);
    PoolFree(&urb);
    return bytes;
}

ULONG ChipRig::SelectConfigurationPipes()
{
    constexpr ULONG kRoom = 512;
    auto *urb = static_cast<PURB>(PoolAlloc(DESCRIPTOR_URB_SIZE));
    auto *config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAlloc(kRoom));
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, kRoom);
    NTSTATUS status = SubmitAdapterUrbSync(fdo, urb);
    PoolFree(&urb);
    ULONG pipes = 0;
    if (NT_SUCCESS(status)) {
        USHORT size = 0;
        PURB select = USBD_CreateConfigurationRequest(config, &size);
        if (select) {
            if (NT_SUCCESS(SubmitAdapterUrbSync(fdo, select)))
                pipes = select->UrbSelectConfiguration.Interface.NumberOfPipes;
            ExFreePool(select);
        }
    }
    PoolFree(&config);
    return pipes;
}

}  // namespace testing_support
