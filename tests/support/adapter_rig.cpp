#include "adapter_rig.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/usb/transport.h"
#include "sim/io/io.h"

namespace testing_support {

namespace {
sim::usb::ScriptedDevice &Described(sim::usb::ScriptedDevice &device, const std::vector<uint8_t> &endpoints)
{
    device.SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sim::usb::MakeBulkConfiguration(endpoints));
    return device;
}
}  // namespace

AdapterRig::AdapterRig(std::vector<uint8_t> endpoints)
    : OwnScriptedDevice{std::make_unique<sim::usb::ScriptedDevice>()},
      AddedAdapter(Described(*own, endpoints)),
      device(*own)
{
}

AdapterRig::AdapterRig(sim::usb::ScriptedDevice &model, std::vector<uint8_t> endpoints)
    : AddedAdapter(Described(model, endpoints)), device(model)
{
}

AdapterRig::~AdapterRig()
{
    for (auto &port : ports_) {
        CancelAndWait(adapter, &port->ReadIrp, nullptr);
        CancelAndWait(adapter, &port->WriteIrp, nullptr);
    }
    bus.Drain();
    for (auto &port : ports_) {
        PoolFree(&port->ReadBuffer);
        PoolFree(&port->WriteBuffer);
        PoolFree(&port->ReadUrb);
        PoolFree(&port->WriteUrb);
        adapter->Ports[port->PortNumber - 1] = nullptr;
    }
}

void AdapterRig::SelectConfiguration(ULONG maximumTransferSize)
{
    auto bytes = device.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0).value();
    auto *config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAlloc(bytes.size()));
    std::memcpy(config, bytes.data(), bytes.size());
    adapter->ConfigDescriptor = config;

    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface->NumberOfPipes; i++)
        interface->Pipes[i].MaximumTransferSize = maximumTransferSize;
    ASSERT_EQ(SubmitUrbSync(adapter->LowerDevice, urb), STATUS_SUCCESS);
    adapter->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(PoolAlloc(interface->Length));
    std::memcpy(adapter->InterfaceInfo, interface, interface->Length);
    ExFreePool(urb);
}

PUSBD_PIPE_INFORMATION AdapterRig::Pipe(uint8_t endpointAddress)
{
    for (ULONG i = 0; i < adapter->InterfaceInfo->NumberOfPipes; i++)
        if (adapter->InterfaceInfo->Pipes[i].EndpointAddress == endpointAddress)
            return &adapter->InterfaceInfo->Pipes[i];
    ADD_FAILURE() << "no pipe for endpoint " << int(endpointAddress);
    return nullptr;
}

PortContext *AdapterRig::AddPort(UCHAR portNumber, uint8_t inEndpoint, uint8_t outEndpoint)
{
    auto port = std::make_unique<PortContext>();
    std::memset(port.get(), 0, sizeof(PortContext));
    port->Adapter = adapter;
    port->PortNumber = portNumber;
    port->DataInPipe = Pipe(inEndpoint);
    port->DataOutPipe = Pipe(outEndpoint);
    port->ReadBuffer = static_cast<PUCHAR>(PoolAlloc(TRANSFER_CHUNK));
    port->WriteBuffer = static_cast<PUCHAR>(PoolAlloc(TRANSFER_CHUNK));
    port->ReadUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
    port->WriteUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
    KeInitializeEvent(&port->ReadDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&port->WriteDoneEvent, NotificationEvent, FALSE);
    adapter->Ports[portNumber - 1] = port.get();
    ports_.push_back(std::move(port));
    return ports_.back().get();
}

}  // namespace testing_support
