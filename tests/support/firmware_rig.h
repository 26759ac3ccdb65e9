// An adapter whose main firmware runs, brought up the way the platform does
// it: the Plug and Play manager loads the driver, the adapter arrives and is
// started, and the driver's own configuration maps its pipes, creates its
// ports and has the platform load the host serial driver for it.
#pragma once

#include <string>

#include "driver/base/context.h"
#include "sim/adapter/main_firmware.h"
#include "sim/host/host_serial_driver.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
#include "sim/usb/bus.h"

namespace testing_support {

class FirmwareRig {
public:
    explicit FirmwareRig(std::string serialNumber = "NX4A0001");
    ~FirmwareRig();

    PortContext *Port(int number) { return adapter->Ports[number - 1]; }
    sim::host::HostPort &HostPort(int number);

    // Opens and binds a port through the host, with rings of these sizes.
    void OpenAndBind(int number, ULONG rxSize = 4096, ULONG txSize = 4096);
    // Marks a stop as begun (or over) as the stop does, without its cancels:
    // for tests of what completes while one runs.
    void SetStopping(BOOLEAN stopping);

private:
    sim::Testbed bed_;

public:
    std::string serialNumber;
    sim::adapter::MainFirmware &firmware;

private:
    sim::pnp::Device *device_ = nullptr;

public:
    sim::usb::Bus &bus;
    sim::host::HostSerialDriver &host;
    AdapterContext *adapter = nullptr;
};

}  // namespace testing_support
