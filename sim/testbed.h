// The driver on the simulated platform with adapters plugged into it: the one
// machine every test, sweep, benchmark, fuzz target and nuvix-sim's run stand
// on. It loads the driver through a Plug and Play manager (with the service's
// Parameters key made first, as setup makes it), owns the device models
// plugged into it and finds the host serial driver the platform loaded for
// an adapter. Each program adds only what is its own: its bus modes
// (OnNewBus), its removal order, its checks. A World must exist first.
//
// The members are public on purpose: a fixture reaches the manager for odd
// request orders, and the models stay reachable for a test to drive.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/adapter/main_firmware.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/device_model.h"

namespace sim {

class Testbed {
public:
    Testbed(PDRIVER_INITIALIZE driverEntry, host::HostSerialDriver::TableGetter serviceTable);
    // Unloads the driver (what is still present is pulled out first), then
    // frees the models, which outlive the buses over them.
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // A device model kept until the testbed goes, made from these arguments.
    template <typename Model, typename... Args>
    Model &Own(Args &&...args)
    {
        models.push_back(std::make_unique<Model>(std::forward<Args>(args)...));
        return static_cast<Model &>(*models.back());
    }

    // An adapter already running its main firmware, plugged in and started.
    pnp::PlugResult PlugAdapter(const std::string &serial);
    // A chip (blank unless the options say otherwise), plugged in; a blank
    // one gets its firmware and comes back (sim::pnp::PlugChip). status is the
    // first start's.
    struct ChipArrival {
        chip::EzUsbChip &chip;
        NTSTATUS status;
    };
    ChipArrival PlugChip(chip::ChipOptions options = {});

    // The host serial driver loaded for the adapter with this serial number,
    // and one of its ports (index 0 to 3); null when there is none.
    static host::HostSerialDriver *Host(const std::string &serial);
    static host::HostPort *HostPort(const std::string &serial, int index);

    // Unloads the driver now (the pool check comes after); the models stay.
    void Unload() { pnp.reset(); }
    // Loads the driver again after an Unload, as a fresh boot would; the
    // manager's set-up of new buses has to be given again.
    void Load();

    // Declared first, so that the manager, which owns the buses over them,
    // goes first.
    std::vector<std::unique_ptr<usb::DeviceModel>> models;
    std::unique_ptr<pnp::PnpManager> pnp;

private:
    PDRIVER_INITIALIZE driverEntry_;
    host::HostSerialDriver::TableGetter serviceTable_;
};

}  // namespace sim
