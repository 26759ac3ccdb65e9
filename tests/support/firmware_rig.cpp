#include "firmware_rig.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/command/command_queue.h"
#include "driver/service/serial_settings.h"
#include "driver/usb/transport.h"
#include "sim/io/io.h"

namespace testing_support {

FirmwareRig::FirmwareRig(std::string serial, ULONG slot) : serialNumber(serial), firmware(serial), slot_(slot)
{
    driver = sim::io::CreateDriverObject("\\Driver\\NuvixUsbRig" + std::to_string(slot));
    EXPECT_EQ(IoCreateDevice(driver, sizeof(AdapterContext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    adapter = static_cast<AdapterContext *>(fdo->DeviceExtension);
    adapter->Fdo = fdo;
    adapter->SlotIndex = slot;
    adapter->LowerDevice = IoAttachDeviceToDeviceStack(fdo, bus.Pdo());
    adapter->IoRefCount = 1;
    adapter->MaximumTransferSize = 4096;
    LockInitialize(&adapter->Lock);
    InitTransferTracking(adapter);
    KeInitializeEvent(&adapter->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&adapter->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&adapter->StatusEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&adapter->FirmwareInfoEvent, NotificationEvent, FALSE);
    ExInitializeFastMutex(&adapter->OpenCloseMutex);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Configure();
    for (int i = 0; i < PORTS_PER_ADAPTER; i++)
        hostPorts_[i] = &host.AddPort(sim::host::HostSerialDriver::PortName(serialNumber, i));
}

void FirmwareRig::Configure()
{
    auto bytes = firmware.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0).value();
    auto *config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAlloc(bytes.size()));
    std::memcpy(config, bytes.data(), bytes.size());
    adapter->ConfigDescriptor = config;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface->NumberOfPipes; i++)
        interface->Pipes[i].MaximumTransferSize = adapter->MaximumTransferSize;
    EXPECT_EQ(SubmitUrbSync(adapter->LowerDevice, urb), STATUS_SUCCESS);
    adapter->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(PoolAlloc(interface->Length));
    std::memcpy(adapter->InterfaceInfo, interface, interface->Length);
    ExFreePool(urb);

    adapter->PortCount = PORTS_PER_ADAPTER;
    PUSBD_PIPE_INFORMATION pipes = adapter->InterfaceInfo->Pipes;
    adapter->CommandInPipe = &pipes[2 * PORTS_PER_ADAPTER];
    adapter->CommandOutPipe = &pipes[2 * PORTS_PER_ADAPTER + 1];
    adapter->CommandInBuffer = static_cast<PUCHAR>(PoolAlloc(RESPONSE_BUFFER_SIZE));
    adapter->CommandInUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
    adapter->CommandOutUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
    ResetCommandChannel(adapter);

    for (int k = 0; k < PORTS_PER_ADAPTER; k++) {
        EXPECT_EQ(IoCreateDevice(driver, sizeof(PortContext), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                                 &portDevices_[k]),
                  STATUS_SUCCESS);
        auto *port = static_cast<PortContext *>(portDevices_[k]->DeviceExtension);
        adapter->Ports[k] = port;
        port->Adapter = adapter;
        port->PortDevice = portDevices_[k];
        port->DataInPipe = &pipes[2 * k];
        port->DataOutPipe = &pipes[2 * k + 1];
        port->PortNumber = static_cast<UCHAR>(k + 1);
        port->ReadBuffer = static_cast<PUCHAR>(PoolAlloc(TRANSFER_CHUNK));
        port->WriteBuffer = static_cast<PUCHAR>(PoolAlloc(TRANSFER_CHUNK));
        port->ReadUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
        port->WriteUrb = static_cast<PURB>(PoolAlloc(BULK_TRANSFER_URB_SIZE));
        KeInitializeEvent(&port->ReadDoneEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&port->WriteDoneEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&port->ResetEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&port->CommandDoneEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&port->PortStatusEvent, NotificationEvent, FALSE);
        SetDefaultPortSettings(port);
        port->Chars[4] = 0x11;
        port->Chars[5] = 0x13;
        portDevices_[k]->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    adapter->SerialNumber = static_cast<PCHAR>(PoolAlloc(serialNumber.size() + 1));
    std::memcpy(adapter->SerialNumber, serialNumber.c_str(), serialNumber.size() + 1);
    AdapterTable.Slots[slot_] = adapter;
    AdapterTable.Count++;
    adapter->FirmwareRunning = TRUE;
    adapter->PortsCreated = TRUE;
    adapter->Configured = TRUE;
}

void FirmwareRig::OpenAndBind(int number, ULONG rxSize, ULONG txSize)
{
    ASSERT_TRUE(host.Open(HostPort(number)));
    ASSERT_TRUE(host.Bind(HostPort(number), rxSize, txSize));
}

// What removal does, in short: nothing may stay in flight, then everything
// the configuration allocated goes back.
void FirmwareRig::Teardown()
{
    LockAcquire(&adapter->Lock);
    adapter->Removed = TRUE;
    LockRelease(&adapter->Lock);
    for (int k = 0; k < PORTS_PER_ADAPTER; k++) {
        CancelAndWait(adapter, &adapter->Ports[k]->WriteIrp, &adapter->Ports[k]->WriteDoneEvent);
        CancelAndWait(adapter, &adapter->Ports[k]->ReadIrp, &adapter->Ports[k]->ReadDoneEvent);
    }
    CancelAndWait(adapter, &adapter->CommandInIrp, nullptr);
    CancelAndWait(adapter, &adapter->CommandOutIrp, nullptr);
    bus.Drain();
    ResetCommandChannel(adapter);
    AdapterTable.Slots[slot_] = nullptr;
    AdapterTable.Count--;
    for (int k = 0; k < PORTS_PER_ADAPTER; k++) {
        PortContext *port = adapter->Ports[k];
        PoolFree(&port->ReadBuffer);
        PoolFree(&port->WriteBuffer);
        PoolFree(&port->ReadUrb);
        PoolFree(&port->WriteUrb);
        IoDeleteDevice(portDevices_[k]);
        adapter->Ports[k] = nullptr;
    }
    PoolFree(&adapter->CommandInBuffer);
    PoolFree(&adapter->CommandInUrb);
    PoolFree(&adapter->CommandOutUrb);
    PoolFree(&adapter->InterfaceInfo);
    PoolFree(&adapter->ConfigDescriptor);
    PoolFree(&adapter->SerialNumber);
    IoDetachDevice(adapter->LowerDevice);
    IoDeleteDevice(fdo);
    sim::io::DeleteDriverObject(driver);
}

FirmwareRig::~FirmwareRig() { Teardown(); }

}  // namespace testing_support
