// The calling rules routines state at their top are checked as they are
// entered: taking away the caller's lock, or calling at too high a level,
// stops the simulation with the routine's name and the rule it states.
#include <gtest/gtest.h>

#include "driver/command/command_queue.h"
#include "driver/port/data_paths.h"
#include "driver/usb/transport.h"
#include "tests/support/adapter_rig.h"
#include "tests/support/sim_test.h"

namespace {

class CallingRuleDeathTest : public testing_support::SimTest {
protected:
    CallingRuleDeathTest() { rig.SelectConfiguration(); }
    testing_support::AdapterRig rig;
    AdapterContext *adapter = rig.adapter;
    PortContext *Port() { return rig.AddPort(1, 0x81, 0x01); }
};

std::string Broken(const std::string &routine, const std::string &rule)
{
    return "BUG CHECK: DRIVER_VERIFIER_DETECTED_VIOLATION.*calling rule broken: " + routine + " requires " + rule;
}

TEST_F(CallingRuleDeathTest, AStartWithoutTheAdapterLockStops)
{
    PortContext *port = Port();
    EXPECT_DEATH(StartPortWrite(port), Broken("StartPortWrite",
                                              "&Port->Adapter->Lock held, but this processor "
                                              "does not hold it"));
    EXPECT_DEATH(StartPortRead(port), Broken("StartPortRead", "&Port->Adapter->Lock held"));
    EXPECT_DEATH(KickCommandSender(adapter), Broken("KickCommandSender", "&Adapter->Lock held"));

    // With the lock the rule holds, and the start refuses for its own reason:
    // the port has no ring to send from.
    LockAcquire(&adapter->Lock);
    EXPECT_EQ(StartPortWrite(port), STATUS_UNSUCCESSFUL);
    LockRelease(&adapter->Lock);
}

TEST_F(CallingRuleDeathTest, AWaitAboveItsLevelStops)
{
    const UCHAR portNumber = 1;
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            SendCommand(adapter, CMD_OPEN, &portNumber, 1);
        },
        Broken("SendCommand", "IRQL at most APC_LEVEL, but it was called at DISPATCH_LEVEL"));
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            WaitForTransfersIdle(adapter);
        },
        Broken("WaitForTransfersIdle", "IRQL at most APC_LEVEL"));
}

}  // namespace
