// The driver loaded into the simulated platform the way the platform loads
// it: the Plug and Play manager calls its entry point, gives it adapters as
// they arrive on the bus and drives them through start, stop and removal.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/base/adapter_table.h"
#include "driver/core/driver_entry.h"
#include "driver/base/names.h"
#include "sim/adapter/main_firmware.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/kernel/registry.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/chip_arrival.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/support/sim_test.h"

namespace testing_support {

class LifecycleTest : public SimTest {
protected:
    LifecycleTest()
    {
        for (auto &counter : ErrorStats)
            counter = 0;
        sim::Registry::Get().CreateKey(sim::pnp::PnpManager::kParametersKey);
    }

    // A running adapter with this serial number, plugged in and started.
    sim::pnp::Device &PlugAdapter(const std::string &serial, NTSTATUS expected = STATUS_SUCCESS)
    {
        models.push_back(std::make_unique<sim::adapter::MainFirmware>(serial));
        auto result = pnp->Plug(*models.back());
        EXPECT_EQ(result.status, expected) << serial;
        return *result.device;
    }
    // An adapter chip, blank unless told otherwise, that leaves the bus and
    // comes back when its main firmware starts, as the hardware does.
    sim::chip::EzUsbChip &PlugChip(sim::chip::ChipOptions options = {}, NTSTATUS expected = STATUS_SUCCESS)
    {
        models.push_back(std::make_unique<sim::chip::EzUsbChip>(options));
        auto &chip = static_cast<sim::chip::EzUsbChip &>(*models.back());
        EXPECT_EQ(sim::pnp::PlugChip(*pnp, chip).status, expected);
        return chip;
    }
    static AdapterContext *Adapter(sim::pnp::Device &device)
    {
        return static_cast<AdapterContext *>(device.Fdo()->DeviceExtension);
    }
    static sim::host::HostSerialDriver *Host(const std::string &serial)
    {
        return sim::pnp::ConfigManager::Get().HostFor(serial);
    }
    static sim::host::HostPort *HostPort(const std::string &serial, int index)
    {
        return sim::pnp::ConfigManager::Get().HostPortFor(serial, index);
    }
    static ULONGLONG Now() { return KeQueryInterruptTime(); }
    // Lets this much kernel time pass on the test's thread.
    static void Pause(int64_t ticks)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -ticks;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    // Models outlive the manager, which owns the buses over them.
    std::vector<std::unique_ptr<sim::usb::DeviceModel>> models;
    std::unique_ptr<sim::pnp::PnpManager> pnp = std::make_unique<sim::pnp::PnpManager>(DriverEntry, RbGetServiceTable);

    ~LifecycleTest() override { pnp.reset(); }
};

}  // namespace testing_support
