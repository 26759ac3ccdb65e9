// A World's fault records reach every component as it starts, the defaults
// inject nothing, and a setter changes only its own field of a record.
#include <gtest/gtest.h>

#include "sim/chip/ezusb_chip.h"
#include "sim/io/io.h"
#include "sim/pnp/config_manager.h"
#include "sim/usb/bus.h"
#include "sim/usb/scripted_device.h"
#include "sim/world.h"

namespace {

using sim::usb::CancelMode;
using sim::usb::CompletionMode;

TEST(WorldFaultsTest, EachComponentStartsWithTheWorldsRecord)
{
    sim::WorldFaults faults;
    faults.bus.completion = CompletionMode::Inline;
    faults.bus.pnpFailures[IRP_MN_START_DEVICE] = STATUS_UNSUCCESSFUL;
    faults.resources.rules.push_back({sim::ResourceKind::Irp, 1, std::nullopt});
    faults.configManager.failNextCreate = CR_FAILURE;
    faults.chip.lostCount = 2;
    faults.firmware.answers = sim::adapter::AnswerMode::Silent;
    for (bool injected : {true, false}) {
        sim::World world(sim::WorldOptions{.seed = 1, .faults = injected ? faults : sim::WorldFaults{}});
        sim::usb::ScriptedDevice device;
        sim::usb::Bus bus(device);
        bus.SetCancelMode(CancelMode::Hold);
        const sim::usb::BusFaults held = bus.Faults();
        EXPECT_EQ(held.completion, injected ? CompletionMode::Inline : CompletionMode::Pend);
        EXPECT_EQ(held.cancel, CancelMode::Hold);
        EXPECT_EQ(held.pnpFailures.size(), injected ? 1u : 0u);

        PIRP irp = IoAllocateIrp(1, FALSE);
        EXPECT_EQ(irp == nullptr, injected);
        if (irp)
            IoFreeIrp(irp);
        DEVNODE root = 0, node = 0;
        ASSERT_EQ(CM_Locate_DevNode(&root, nullptr, 0), CONFIGRET(CR_SUCCESS));
        char id[] = "Test\\Node";
        EXPECT_EQ(CM_Create_DevNode(&node, id, root, 0), injected ? CONFIGRET(CR_FAILURE) : CONFIGRET(CR_SUCCESS));
        sim::chip::EzUsbChip chip({.runningMain = true});
        EXPECT_EQ(chip.Faults().lostCount, injected ? 2u : 0u);
        EXPECT_EQ(chip.Firmware()->Faults().answers == sim::adapter::AnswerMode::Silent, injected);
    }
}

}  // namespace
