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
#include "sim/testbed.h"
#include "tests/support/sim_test.h"

namespace testing_support {

// The testbed under a gtest fixture: the world first (SimTest), then the
// driver loaded; each plug checks the start's status.
class LifecycleTest : public SimTest, public sim::Testbed {
protected:
    LifecycleTest() : sim::Testbed(ClearedErrorStats(), RbGetServiceTable) {}

    // A running adapter with this serial number, plugged in and started.
    sim::pnp::Device &PlugAdapter(const std::string &serial, NTSTATUS expected = STATUS_SUCCESS)
    {
        auto result = Testbed::PlugAdapter(serial);
        EXPECT_EQ(result.status, expected) << serial;
        return *result.device;
    }
    // An adapter chip, blank unless told otherwise, that leaves the bus and
    // comes back when its main firmware starts, as the hardware does.
    sim::chip::EzUsbChip &PlugChip(sim::chip::ChipOptions options = {}, NTSTATUS expected = STATUS_SUCCESS)
    {
        auto arrival = Testbed::PlugChip(options);
        EXPECT_EQ(arrival.status, expected);
        return arrival.chip;
    }
    static AdapterContext *Adapter(sim::pnp::Device &device)
    {
        return static_cast<AdapterContext *>(device.Fdo()->DeviceExtension);
    }
    static ULONGLONG Now() { return KeQueryInterruptTime(); }
    // Lets this much kernel time pass on the test's thread.
    static void Pause(int64_t ticks)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -ticks;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

private:
    // The driver's counters start from zero in every test, before it loads.
    static PDRIVER_INITIALIZE ClearedErrorStats()
    {
        for (auto &counter : ErrorStats)
            counter = 0;
        return DriverEntry;
    }
};

}  // namespace testing_support
