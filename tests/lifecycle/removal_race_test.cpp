// An adapter that arrives while another is being removed: the removed one's
// slot, and with it its device name, stays taken until the name is gone, yet
// no port lookup finds the removed adapter from the start of its removal.
#include "tests/support/lookup.h"
#include "driver/service/port_lookup.h"
#include "sim/host/traffic.h"
#include "sim/io/io.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;

class RemovalRaceTest : public LifecycleTest {
protected:
    static void Pause()
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -10'000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    void Echo(const std::string &serial, int index)
    {
        sim::host::HostSerialDriver &host = *Host(serial);
        sim::host::HostPort &port = *HostPort(serial, index);
        EXPECT_EQ(sim::host::ShortEcho(host, port, {'r', 'a', 'c', 'e'}), "");
    }
};

TEST_F(RemovalRaceTest, AnAdapterArrivingDuringARemovalGetsAnotherSlotAndWorks)
{
    sim::pnp::Device &old = PlugAdapter("OLD");
    sim::host::HostPort &oldPort = *HostPort("OLD", 0);
    ASSERT_TRUE(Host("OLD")->Open(oldPort));
    ASSERT_TRUE(Host("OLD")->Bind(oldPort, 256, 256));
    // The removal cancels the port's read, which the bus holds back: the
    // removal then waits, past the point where it hides the adapter and
    // before it deletes the adapter's device object.
    sim::usb::Bus &oldBus = old.Bus();
    oldBus.SetCancelMode(sim::usb::CancelMode::Hold);
    NTSTATUS removal = STATUS_PENDING;
    sim::World::Current().OpenWindow();
    sim::Thread remover("remover", [&] { removal = pnp->SendRemove(old); });
    while (oldBus.HeldCancelled() == 0)
        Pause();

    // Hidden from lookups, but its name is still there.
    EXPECT_EQ(testing_support::LookupPortLocked(oldPort.Handle()), nullptr);
    EXPECT_FALSE(Host("OLD")->StartRead(oldPort));
    EXPECT_NE(sim::io::LookupDevice("\\Device\\NuvixUsb0"), nullptr);
    EXPECT_EQ(AdapterTable.Count, 1u);

    sim::pnp::Device &fresh = PlugAdapter("NEW");
    bool started = fresh.State() == sim::pnp::DeviceState::Started;
    EXPECT_TRUE(started) << "the newcomer collided with the name of the adapter being removed";
    sim::host::HostPort *port = nullptr;
    if (started) {
        AdapterContext *adapter = Adapter(fresh);
        EXPECT_EQ(adapter->SlotIndex, 1u);
        EXPECT_EQ(AdapterTable.Slots[1], adapter);
        EXPECT_EQ(AdapterTable.Count, 2u);
        EXPECT_EQ(sim::io::DeviceName(fresh.Fdo()), "\\Device\\NuvixUsb1");
        static_cast<sim::adapter::MainFirmware &>(fresh.Model()).ConnectLoopback(3);
        port = HostPort("NEW", 2);
        EXPECT_TRUE(Host("NEW")->Open(*port));
        EXPECT_TRUE(Host("NEW")->Bind(*port, 256, 256));
        EXPECT_EQ(testing_support::LookupPortLocked(port->Handle()), adapter->Ports[2]);
        Echo("NEW", 2);
    }

    oldBus.SetCancelMode(sim::usb::CancelMode::Controller);
    oldBus.ReleaseHeldCancelled();
    remover.Join();
    sim::World::Current().CloseWindow();
    EXPECT_EQ(removal, STATUS_SUCCESS);
    // Only now is the old slot free, with its name.
    EXPECT_EQ(sim::io::LookupDevice("\\Device\\NuvixUsb0"), nullptr);
    EXPECT_EQ(AdapterTable.Count, started ? 1u : 0u);
    sim::pnp::Device &third = PlugAdapter("THIRD");
    EXPECT_EQ(Adapter(third)->SlotIndex, 0u);
    EXPECT_EQ(AdapterTable.Count, started ? 2u : 1u);

    if (started) {
        Echo("NEW", 2);
        EXPECT_TRUE(Host("NEW")->Close(*port));
        EXPECT_FALSE(pnp->Remove(fresh).Refused());
    }
    EXPECT_FALSE(pnp->Remove(third).Refused());
    EXPECT_EQ(AdapterTable.Count, 0u);
}

}  // namespace
