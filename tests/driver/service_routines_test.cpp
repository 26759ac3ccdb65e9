// Opening, closing and starting a port through the service table, against
// the simulated firmware.
#include <gtest/gtest.h>

#include "driver/command/protocol.h"
#include "driver/usb/transport.h"
#include "sim/kernel/resources.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using sim::adapter::AnswerMode;
using sim::adapter::kCommandIn;
using sim::adapter::kCommandOut;
using Frame = std::vector<uint8_t>;

constexpr ULONGLONG kSecond = 10'000'000;
constexpr ULONGLONG kHalfSecond = 5'000'000;

class ServiceRoutinesTest : public testing_support::SimTest {
protected:
    static ULONGLONG Now() { return KeQueryInterruptTime(); }
    bool ReaderRunning()
    {
        LockAcquire(&adapter->Lock);
        bool running = adapter->CommandInIrp != nullptr;
        LockRelease(&adapter->Lock);
        return running;
    }
    std::vector<UCHAR> CommandCodes()
    {
        std::vector<UCHAR> codes;
        for (const auto &frame : rig.firmware.Commands())
            codes.push_back(frame[0]);
        return codes;
    }

    testing_support::FirmwareRig rig;
    AdapterContext *adapter = rig.adapter;
    sim::host::HostSerialDriver &host = rig.host;
};

TEST_F(ServiceRoutinesTest, OpenStartsTheReaderOnceResetsThePipeAndOpensOnTheDevice)
{
    EXPECT_TRUE(host.Open(rig.HostPort(1)));
    EXPECT_TRUE(rig.Port(1)->Open);
    EXPECT_TRUE(rig.Port(1)->BindPending);
    EXPECT_EQ(adapter->OpenPortCount, 1u);
    EXPECT_TRUE(rig.firmware.Port(1).open);
    EXPECT_EQ(adapter->IoRefCount, 1);
    EXPECT_TRUE(ReaderRunning());

    EXPECT_TRUE(host.Open(rig.HostPort(2)));
    EXPECT_EQ(adapter->OpenPortCount, 2u);
    EXPECT_TRUE(ReaderRunning());
    int reads = 0, answers = 0;
    for (const auto &record : rig.bus.Log())
        if (record.endpoint == kCommandIn)
            reads++, answers += record.transferred > 0;
    EXPECT_EQ(reads, answers);  // every completed read carried an answer: never two reads at once

    int resets = 0;
    for (const auto &record : rig.bus.Log())
        resets += record.function == URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(CommandCodes(), (std::vector<UCHAR>{CMD_OPEN, CMD_OPEN}));
}

TEST_F(ServiceRoutinesTest, StartBeforeTheBindIsRefused)
{
    ASSERT_TRUE(host.Open(rig.HostPort(1)));
    EXPECT_FALSE(host.StartRead(rig.HostPort(1)));
    EXPECT_FALSE(host.StartWrite(rig.HostPort(1)));
    EXPECT_EQ(adapter->IoRefCount, 1);
    ASSERT_TRUE(host.Bind(rig.HostPort(1), 256, 256));
    EXPECT_FALSE(rig.Port(1)->BindPending);
    EXPECT_TRUE(host.StartRead(rig.HostPort(1)));
    EXPECT_TRUE(host.StartWrite(rig.HostPort(1)));  // empty ring: nothing to send
    EXPECT_EQ(rig.HostPort(1).TxIdle(), 1u);
}

TEST_F(ServiceRoutinesTest, UnansweredOpenFailsAfterOneSecondAndGivesEverythingBack)
{
    rig.firmware.SetAnswerMode(AnswerMode::Silent);
    EXPECT_FALSE(host.Open(rig.HostPort(3)));
    EXPECT_EQ(Now(), kSecond);
    EXPECT_FALSE(rig.Port(3)->Open);
    EXPECT_TRUE(rig.Port(3)->BindPending);
    EXPECT_EQ(adapter->IoRefCount, 1);
    EXPECT_EQ(adapter->OpenPortCount, 0u);  // a failed open does not count
}

TEST_F(ServiceRoutinesTest, OpenFailsWhenThePipeResetFails)
{
    // The reader takes the first request; the reset gets none.
    sim::Resources::Get().FailNth(sim::ResourceKind::Irp, 2);
    EXPECT_FALSE(host.Open(rig.HostPort(1)));
    EXPECT_FALSE(rig.Port(1)->Open);
    EXPECT_TRUE(rig.firmware.Commands().empty());
    EXPECT_EQ(adapter->OpenPortCount, 0u);
    EXPECT_EQ(adapter->IoRefCount, 1);
}

TEST_F(ServiceRoutinesTest, OpeningAnOpenPortIsRefusedAndChangesNothing)
{
    rig.OpenAndBind(1);
    EXPECT_FALSE(host.Open(rig.HostPort(1)));
    EXPECT_EQ(adapter->OpenPortCount, 1u);
    EXPECT_FALSE(rig.Port(1)->BindPending);
    EXPECT_EQ(CommandCodes(), (std::vector<UCHAR>{CMD_OPEN, CMD_GET_STATUS}));
}

TEST_F(ServiceRoutinesTest, CloseWithoutAReadInFlightSendsNoEcho)
{
    ASSERT_TRUE(host.Open(rig.HostPort(1)));
    ASSERT_TRUE(host.Open(rig.HostPort(2)));
    EXPECT_TRUE(host.Close(rig.HostPort(1)));  // never bound: no read
    EXPECT_EQ(Now(), 0u);
    EXPECT_FALSE(rig.Port(1)->Open);
    EXPECT_EQ(adapter->OpenPortCount, 1u);
    EXPECT_TRUE(ReaderRunning());  // another port is still open
    EXPECT_EQ(CommandCodes(), (std::vector<UCHAR>{CMD_OPEN, CMD_OPEN, CMD_CLOSE}));
    EXPECT_FALSE(host.Close(rig.HostPort(1)));  // not open any more
}

TEST_F(ServiceRoutinesTest, CloseDrainsTheReadWithTheEchoedMarker)
{
    rig.OpenAndBind(1);
    rig.firmware.ConnectEndpoint(1);
    rig.firmware.Inject(1, Frame(100, 'd'));  // data the host never reads
    rig.bus.Drain();
    ASSERT_NE(rig.Port(1)->ReadIrp, nullptr);
    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    EXPECT_LT(Now(), kHalfSecond);
    EXPECT_EQ(rig.Port(1)->ReadIrp, nullptr);
    auto commands = rig.firmware.Commands();
    EXPECT_EQ(commands.back(), (Frame{CMD_ECHO, 1, 4, 'B', 'O', 'N', 'G'}));
    // The last port closed: the reader and any command write are gone.
    EXPECT_FALSE(ReaderRunning());
    EXPECT_EQ(adapter->OpenPortCount, 0u);
    EXPECT_EQ(adapter->IoRefCount, 1);
}

TEST_F(ServiceRoutinesTest, CloseCancelsTheReadWhenTheMarkerNeverComes)
{
    rig.OpenAndBind(1);
    rig.bus.Drain();
    rig.firmware.FailNextTransfer(kCommandOut, USBD_STATUS_STALL_PID);  // CMD_CLOSE never arrives
    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    // 1 s for the unanswered close, 0.5 s for the marker, and the cancelled
    // read signals its event at once.
    EXPECT_GE(Now(), kSecond + kHalfSecond);
    EXPECT_LT(Now(), 2 * kSecond + kHalfSecond);
    EXPECT_EQ(rig.Port(1)->ReadIrp, nullptr);
    EXPECT_FALSE(rig.Port(1)->Open);
}

TEST_F(ServiceRoutinesTest, StartWriteAbandonsAWriteInFlightAndSendsFromTheRingAgain)
{
    rig.OpenAndBind(1);
    rig.firmware.ConnectEndpoint(1);
    rig.firmware.HoldEndpoint(sim::adapter::PortOut(1), true);
    Frame data(10, 'w');
    ASSERT_EQ(host.Write(rig.HostPort(1), data.data(), data.size()), 10u);
    rig.bus.Drain();
    PIRP abandoned = rig.Port(1)->WriteIrp;
    ASSERT_NE(abandoned, nullptr);

    EXPECT_TRUE(host.StartWrite(rig.HostPort(1)));
    EXPECT_NE(rig.Port(1)->WriteIrp, nullptr);  // a new write of the same bytes
    int resets = 0;
    for (const auto &record : rig.bus.Log())
        resets += record.function == URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(resets, 2);  // at open, and after the abandoned write

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(1), false);
    rig.bus.Drain();
    EXPECT_EQ(host.Unsent(rig.HostPort(1)), 0u);
    EXPECT_EQ(rig.firmware.TakeTransmitted(1), data);  // once, not twice
}

}  // namespace
