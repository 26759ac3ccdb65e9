// An adapter whose main firmware runs, configured the way the driver's start
// leaves it: the ten pipes mapped, the command channel's buffers ready, four
// port objects with initialised contexts, the serial number set and the
// adapter in the adapter table. The host serial driver model is at hand.
#pragma once

#include <memory>
#include <string>

#include "driver/core/context.h"
#include "sim/adapter/main_firmware.h"
#include "sim/host/host_serial_driver.h"
#include "sim/usb/bus.h"

namespace testing_support {

class FirmwareRig {
public:
    explicit FirmwareRig(std::string serialNumber = "NX4A0001", ULONG slot = 0);
    ~FirmwareRig();

    PortContext *Port(int number) { return adapter->Ports[number - 1]; }
    sim::host::HostPort &HostPort(int number) { return *hostPorts_[number - 1]; }

    // Opens and binds a port through the host, with rings of these sizes.
    void OpenAndBind(int number, ULONG rxSize = 4096, ULONG txSize = 4096);

    std::string serialNumber;
    sim::adapter::MainFirmware firmware;
    sim::usb::Bus bus{firmware, "usb " + serialNumber};
    sim::host::HostSerialDriver host;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    AdapterContext *adapter = nullptr;

private:
    void Configure();
    void Teardown();
    PDEVICE_OBJECT portDevices_[PORTS_PER_ADAPTER] = {};
    sim::host::HostPort *hostPorts_[PORTS_PER_ADAPTER] = {};
    ULONG slot_;
};

}  // namespace testing_support
