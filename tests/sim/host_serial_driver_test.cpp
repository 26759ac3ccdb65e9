// The host serial driver model follows the host contract: it learns that the
// driver stopped a path from the idle words, whatever the reason, and starts
// it again when it has room to receive into or bytes to send.
#include <vector>

#include "sim/host/traffic.h"
#include "sim/kernel/resources.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using sim::adapter::PortIn;
using sim::adapter::PortOut;

constexpr int64_t kPatience = sim::kTicksPerSecond;

class HostSerialDriverTest : public testing_support::SimTest {
protected:
    // Sends `count` bytes through port 1, looped back, and reads them all
    // back; false (with a failure) if the traffic stalls.
    bool Echo(size_t count, uint8_t seed)
    {
        sim::host::HostPort &port = rig.HostPort(1);
        const std::string failure = sim::host::CheckedEcho(rig.host, port, seed, count, kPatience);
        EXPECT_EQ(failure, "") << "idle words " << port.RxIdle() << "/" << port.TxIdle();
        return failure.empty();
    }

    testing_support::FirmwareRig rig;
};

// A failed read and a failed write each stop their path with the idle word
// at 1 and no callback; the host sees the words and restarts both.
TEST_F(HostSerialDriverTest, TrafficResumesAfterATransientBusError)
{
    rig.firmware.ConnectLoopback(1);
    rig.OpenAndBind(1);
    ASSERT_TRUE(Echo(100, 1));

    rig.firmware.FailNextTransfer(PortIn(1), USBD_STATUS_STALL_PID);
    rig.bus.Drain();
    EXPECT_EQ(rig.HostPort(1).RxIdle(), 1u);
    rig.firmware.FailNextTransfer(PortOut(1), USBD_STATUS_STALL_PID);
    EXPECT_TRUE(Echo(500, 2));
    EXPECT_EQ(rig.HostPort(1).Stats().bytesSent, 600u);
}

// A path the driver stops because it could not get a request is restarted
// the same way.
TEST_F(HostSerialDriverTest, TrafficResumesAfterTheDriverRanOutOfRequests)
{
    rig.firmware.ConnectLoopback(1);
    rig.OpenAndBind(1);
    ASSERT_TRUE(Echo(70, 3));
    sim::Resources::Get().FailNth(sim::ResourceKind::Irp, 1);
    EXPECT_TRUE(Echo(300, 4));
}

// A receive ring too full for a read stops reception; reading makes room and
// reception resumes with nothing lost.
TEST_F(HostSerialDriverTest, AFullReceiveRingStopsReceptionUntilTheHostReads)
{
    rig.firmware.ConnectLoopback(1);
    rig.OpenAndBind(1, 128, 512);
    sim::host::HostPort &port = rig.HostPort(1);
    std::vector<uint8_t> sent(400);
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(rig.host.Write(port, sent.data(), sent.size()), sent.size());
    rig.bus.Drain();
    EXPECT_EQ(port.RxIdle(), 1u);
    std::vector<uint8_t> received;
    while (received.size() < sent.size()) {
        uint8_t buffer[50];
        const size_t n = rig.host.Read(port, buffer, sizeof(buffer));
        received.insert(received.end(), buffer, buffer + n);
        if (n == 0) {
            ASSERT_TRUE(rig.host.WaitReadable(port, kPatience)) << "stalled after " << received.size();
        }
    }
    EXPECT_EQ(received, sent);
}

}  // namespace
