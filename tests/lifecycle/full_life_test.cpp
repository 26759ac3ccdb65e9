// One adapter's whole life: plugged in blank, given its firmware, back as a
// working adapter, used, stopped and restarted, pulled out with traffic in
// flight, plugged in again and used again. Nothing may leak and nothing may
// be touched after it was freed (the sanitizer builds run this too).
#include <memory>

#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;

constexpr int64_t kPatience = 2 * sim::kTicksPerSecond;

class FullLifeTest : public LifecycleTest {
protected:
    void OpenAll(const std::string &serial)
    {
        for (int i = 0; i < 4; i++) {
            ASSERT_TRUE(Host(serial)->Open(*HostPort(serial, i))) << i;
            ASSERT_TRUE(Host(serial)->Bind(*HostPort(serial, i), 700 + 100 * i, 500 + 50 * i)) << i;
            // Hardware flow control, so a full receiver holds the sender off.
            SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
            Host(serial)->Control(*HostPort(serial, i), IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0);
        }
    }

    // Sends `total` bytes through a looped-back port and checks they return.
    void Echo(const std::string &serial, int index, size_t total)
    {
        sim::host::HostSerialDriver &host = *Host(serial);
        sim::host::HostPort &port = *HostPort(serial, index);
        size_t sent = 0, received = 0;
        std::vector<uint8_t> buffer(256);
        while (received < total) {
            while (sent < total) {
                uint8_t chunk[97];
                size_t n = std::min(sizeof(chunk), total - sent);
                for (size_t i = 0; i < n; i++)
                    chunk[i] = static_cast<uint8_t>((sent + i) * 7 + index);
                size_t taken = host.Write(port, chunk, n);
                sent += taken;
                if (taken < n)
                    break;
            }
            size_t n = host.Read(port, buffer.data(), buffer.size());
            for (size_t i = 0; i < n; i++)
                ASSERT_EQ(buffer[i], static_cast<uint8_t>((received + i) * 7 + index)) << "byte " << received + i;
            received += n;
            if (n == 0) {
                ASSERT_TRUE(host.WaitReadable(port, kPatience)) << "stalled at " << received;
            }
        }
    }

    // Keeps writing until the adapter goes away under it.
    static void WriteUntilGone(sim::host::HostSerialDriver &host, sim::host::HostPort &port)
    {
        uint8_t chunk[64] = {};
        for (int round = 0; round < 10000; round++) {
            if (host.Write(port, chunk, sizeof(chunk)) == 0 && !host.WaitWritable(port, kPatience))
                return;
            uint8_t sink[128];
            host.Read(port, sink, sizeof(sink));
        }
    }
};

TEST_F(FullLifeTest, BlankToWorkingToStoppedToPulledOutToWorkingAgain)
{
    sim::chip::EzUsbChip &chip = PlugChip();
    EXPECT_EQ(chip.Running(), sim::chip::Program::Main);
    sim::pnp::Device *device = pnp->Current(chip);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(Adapter(*device)->Configured);
    const std::string serial = "NX4A0001";
    for (int port = 1; port <= 4; port++)
        chip.Firmware()->ConnectLoopback(port);

    OpenAll(serial);
    for (int i = 0; i < 4; i++)
        Echo(serial, i, 20000);

    // Stop and start again: the ports come back closed and are opened anew.
    EXPECT_FALSE(pnp->Stop(*device).Refused());
    EXPECT_EQ(pnp->Restart(*device), STATUS_SUCCESS);
    OpenAll(serial);
    Echo(serial, 2, 5000);

    // Pulled out while every port is busy.
    sim::host::HostSerialDriver &host = *Host(serial);
    sim::host::HostPort *ports[4];
    for (int i = 0; i < 4; i++)
        ports[i] = HostPort(serial, i);
    std::vector<std::unique_ptr<sim::Thread>> writers;
    for (int i = 0; i < 4; i++)
        writers.push_back(std::make_unique<sim::Thread>("writer " + std::to_string(i),
                                                        [&host, port = ports[i]] { WriteUntilGone(host, *port); }));
    LARGE_INTEGER delay;
    delay.QuadPart = -200'000;  // 20 ms of traffic first
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(pnp->SurpriseRemove(*device), STATUS_SUCCESS);
    for (auto &writer : writers)
        writer->Join();
    EXPECT_EQ(AdapterTable.Count, 0u);
    // The unloaded host driver's ports lead nowhere any more.
    EXPECT_EQ(Host(serial), nullptr);
    for (sim::host::HostPort *port : ports)
        EXPECT_FALSE(host.Close(*port));

    // In again: a new adapter, a new host driver, working ports.
    auto again = pnp->Plug(chip);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    pnp->WaitIdle();
    ASSERT_NE(Host(serial), nullptr);
    EXPECT_NE(Host(serial), &host);
    for (int port = 1; port <= 4; port++)
        chip.Firmware()->ConnectLoopback(port);
    OpenAll(serial);
    Echo(serial, 0, 10000);
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(Host(serial)->Close(*HostPort(serial, i)));
    EXPECT_FALSE(pnp->Remove(*again.device).Refused());
    EXPECT_EQ(AdapterTable.Count, 0u);
}

}  // namespace
