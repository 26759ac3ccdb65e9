// The same adapter pulled out and plugged in again: it comes back as a
// freshly powered device, whatever it was doing when it lost power.
#include <vector>

#include "sim/adapter/uart.h"
#include "sim/host/traffic.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;

constexpr int64_t kPatience = 5 * sim::kTicksPerSecond;

class ReplugTest : public LifecycleTest {
protected:
    sim::host::HostPort &OpenPort(const std::string &serial, int index, ULONG baud)
    {
        sim::host::HostSerialDriver &host = *Host(serial);
        sim::host::HostPort &port = *HostPort(serial, index);
        // Looped back with RTS/CTS, the port holds itself off only when its
        // FIFO fills.
        EXPECT_TRUE(sim::host::OpenForTraffic(host, port, 1024, 1024));
        EXPECT_TRUE(host.Control(port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0));
        return port;
    }
};

TEST_F(ReplugTest, APacedAdapterPulledOutWithBytesOnTheLineWorksWhenPluggedInAgain)
{
    const std::string serial = "NX4R0001";
    sim::pnp::Device &first = PlugAdapter(serial);
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(*models.back());
    firmware.SetPacing(true);
    firmware.ConnectLoopback(1);

    // 200 bytes at 300 baud take more than six seconds on the line; pull the
    // adapter out once the driver has handed them all to the UART and the
    // first of them have gone round the loop.
    sim::host::HostPort &before = OpenPort(serial, 0, 300);
    const std::vector<uint8_t> old(200, 0xAA);
    ASSERT_EQ(Host(serial)->Write(before, old.data(), old.size()), old.size());
    for (int i = 0; i < 500 && (Host(serial)->Unsent(before) > 0 || firmware.Port(1).bytesTransmitted == 0); i++)
        Pause(10 * sim::kTicksPerMillisecond);
    ASSERT_EQ(Host(serial)->Unsent(before), 0u);
    ASSERT_GT(firmware.Port(1).bytesTransmitted, 0u) << "the line never started";
    ASSERT_LT(firmware.Port(1).bytesTransmitted, old.size()) << "nothing was left on the line";
    EXPECT_EQ(pnp->SurpriseRemove(first), STATUS_SUCCESS);

    // Plugged in again: closed ports, power-on line settings, empty FIFOs;
    // the wiring and the pacing the test chose stay.
    auto again = pnp->Plug(firmware);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    const sim::adapter::PortState fresh = firmware.Port(1);
    EXPECT_FALSE(fresh.open);
    EXPECT_EQ(fresh.line.baud, sim::adapter::LineSettings{}.baud);
    EXPECT_EQ(fresh.line.handshake, 0);
    EXPECT_EQ(fresh.bytesTransmitted, 0u);
    EXPECT_EQ(fresh.bytesReceived, 0u);

    sim::host::HostSerialDriver &host = *Host(serial);
    sim::host::HostPort &port = OpenPort(serial, 0, 9600);
    std::vector<uint8_t> sent(150);
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = static_cast<uint8_t>(i);
    const ULONGLONG start = Now();
    ASSERT_EQ(host.Write(port, sent.data(), sent.size()), sent.size());
    std::vector<uint8_t> received;
    while (received.size() < sent.size()) {
        uint8_t buffer[256];
        const size_t n = host.Read(port, buffer, sizeof(buffer));
        received.insert(received.end(), buffer, buffer + n);
        if (n == 0) {
            ASSERT_TRUE(host.WaitReadable(port, kPatience))
                << "stalled after " << received.size() << " bytes; UART sent " << firmware.Port(1).bytesTransmitted
                << ", received " << firmware.Port(1).bytesReceived << "; host queued " << port.Stats().bytesQueued
                << ", driver took " << port.Stats().bytesSent << ", idle words " << port.RxIdle() << "/"
                << port.TxIdle();
        }
    }
    EXPECT_EQ(received, sent) << "bytes from before the power loss came back";
    EXPECT_GE(Now() - start, ULONGLONG(sim::adapter::LineTime(sent.size(), 9600))) << "the pacing was lost";
    EXPECT_TRUE(host.Close(port));
}

}  // namespace
