// Selecting a device's configuration straight on a bus's device object, as a
// function driver would, for tests that talk to the bus without the driver.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "driver/platform/platform.h"

namespace testing_support {

// A descriptor read built by hand rather than with the driver's own builder,
// so that tests of the bus do not lean on the code under test.
inline URB DescriptorRequest(UCHAR type, void *buffer, ULONG length)
{
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    auto &request = urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = type;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    return urb;
}

// Reads configuration descriptor 0, selects it with this transfer size on
// every pipe (through `submit`, which sends a URB synchronously and returns
// its final status) and returns the pipes the bus filled in.
inline std::vector<USBD_PIPE_INFORMATION> SelectWholeConfiguration(const std::function<NTSTATUS(PURB)> &submit,
                                                                   ULONG maximumTransferSize = 4096)
{
    std::vector<uint8_t> config(256);
    URB read = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, config.data(), static_cast<ULONG>(config.size()));
    EXPECT_EQ(submit(&read), STATUS_SUCCESS);
    USHORT size = 0;
    PURB select =
        USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    if (!select) {
        ADD_FAILURE() << "no select-configuration request";
        return {};
    }
    PUSBD_INTERFACE_INFORMATION info = &select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info->NumberOfPipes; i++)
        info->Pipes[i].MaximumTransferSize = maximumTransferSize;
    EXPECT_EQ(submit(select), STATUS_SUCCESS);
    std::vector<USBD_PIPE_INFORMATION> pipes(info->Pipes, info->Pipes + info->NumberOfPipes);
    ExFreePool(select);
    return pipes;
}

inline USBD_PIPE_HANDLE PipeHandleFor(const std::vector<USBD_PIPE_INFORMATION> &pipes, uint8_t endpoint)
{
    for (const USBD_PIPE_INFORMATION &pipe : pipes)
        if (pipe.EndpointAddress == endpoint)
            return pipe.PipeHandle;
    ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
    return nullptr;
}

}  // namespace testing_support
