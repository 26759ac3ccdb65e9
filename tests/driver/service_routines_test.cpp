// Opening, closing and starting a port through the service table, against
// the simulated firmware.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/base/protocol.h"
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
    // What the bus logged from the given count of entries on.
    std::vector<sim::usb::UrbRecord> LogSince(size_t logged)
    {
        auto log = rig.bus.Log();
        return std::vector<sim::usb::UrbRecord>(log.begin() + static_cast<long>(logged), log.end());
    }
    int PipeResets()
    {
        int resets = 0;
        for (const auto &record : rig.bus.Log())
            resets += record.function == URB_FUNCTION_RESET_PIPE;
        return resets;
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

    EXPECT_EQ(PipeResets(), 2);
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
    Frame echo = rig.firmware.Commands().back();
    Frame marker(rig.Port(1)->DrainMarker, rig.Port(1)->DrainMarker + DRAIN_MARKER_LENGTH);
    EXPECT_EQ(Frame(echo.begin(), echo.begin() + 3), (Frame{CMD_ECHO, 1, DRAIN_MARKER_LENGTH}));
    EXPECT_EQ(Frame(echo.begin() + 3, echo.end()), marker);
    EXPECT_EQ(marker.front(), 'B');
    EXPECT_EQ(marker.back(), 'G');
    EXPECT_FALSE(rig.Port(1)->DrainMarkerPending);
    // The last port closed: the reader and any command write are gone.
    EXPECT_FALSE(ReaderRunning());
    EXPECT_EQ(adapter->OpenPortCount, 0u);
    EXPECT_EQ(adapter->IoRefCount, 1);
}

// A stop begins while a close drains (it refuses the echo, and no read may
// start behind its cancels): the first read to complete, data and not the
// marker, ends the drain at once rather than at the 0.5 s time-out.
TEST_F(ServiceRoutinesTest, AReadCompletingDuringAStopEndsTheCloseDrainAtOnce)
{
    rig.OpenAndBind(1);
    rig.firmware.ConnectEndpoint(1);
    rig.bus.Drain();
    ASSERT_NE(rig.Port(1)->ReadIrp, nullptr);
    rig.SetStopping(TRUE);
    const ULONGLONG start = Now();
    rig.bus.Schedule(kHalfSecond / 10, [&] { rig.firmware.Inject(1, Frame(8, 'd')); });  // while the close waits
    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    EXPECT_LT(Now() - start, kHalfSecond / 5);
    EXPECT_EQ(rig.Port(1)->ReadIrp, nullptr);
    EXPECT_EQ(rig.Port(1)->HostBinding.HostBuffers->RxCount, 0u);
    rig.SetStopping(FALSE);
}

// The echo held up on the way: the drain gives up after 0.5 s and cancels
// the read. The echo still comes, late, when the port is open again; it is
// the driver's, not the host's data. Each close makes a marker of its own.
// The cancel's own wait costs its full 0.5 s when the cancelled read
// signals before the wait clears the event, which real threads sometimes
// do: the close takes between 0.5 s and 1 s.
TEST_F(ServiceRoutinesTest, CloseCancelsTheReadWhenTheMarkerNeverComesAndALateOneIsNotData)
{
    rig.OpenAndBind(1);
    rig.firmware.ConnectEndpoint(1);
    rig.bus.Drain();
    rig.firmware.HoldEndpoint(sim::adapter::PortIn(1), true);
    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    EXPECT_GE(Now(), kHalfSecond);
    EXPECT_LE(Now(), kSecond);
    EXPECT_EQ(rig.Port(1)->ReadIrp, nullptr);
    EXPECT_FALSE(rig.Port(1)->Open);
    EXPECT_TRUE(rig.Port(1)->DrainMarkerPending);
    Frame first(rig.Port(1)->DrainMarker, rig.Port(1)->DrainMarker + DRAIN_MARKER_LENGTH);

    rig.firmware.HoldEndpoint(sim::adapter::PortIn(1), false);
    rig.OpenAndBind(1);
    rig.firmware.Inject(1, {'d', 'a', 't', 'a'});
    Frame received(4);
    ASSERT_TRUE(host.WaitReadable(rig.HostPort(1), kSecond));
    EXPECT_EQ(host.Read(rig.HostPort(1), received.data(), 8), 4u);
    EXPECT_EQ(received, (Frame{'d', 'a', 't', 'a'}));
    EXPECT_FALSE(rig.Port(1)->DrainMarkerPending);
    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    EXPECT_NE(Frame(rig.Port(1)->DrainMarker, rig.Port(1)->DrainMarker + DRAIN_MARKER_LENGTH), first);
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
    EXPECT_EQ(PipeResets(), 2);                 // at open, and after the abandoned write

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(1), false);
    rig.bus.Drain();
    EXPECT_EQ(host.Unsent(rig.HostPort(1)), 0u);
    EXPECT_EQ(rig.firmware.TakeTransmitted(1), data);  // once, not twice
}

// StartWrite with a write in flight: the write is cancelled and its cancel
// waited for, then the port's own OUT pipe is reset, and only then does the
// next write go, from the read position the ring had: from the middle of the
// ring and across its end here, so that a lost or doubled chunk shows.
TEST_F(ServiceRoutinesTest, StartWriteCancelsWaitsResetsAndResendsFromTheSamePlace)
{
    rig.OpenAndBind(2, 4096, 128);
    sim::host::HostPort &port = rig.HostPort(2);
    rig.firmware.ConnectEndpoint(2);
    Frame first(100, 'f');
    ASSERT_EQ(host.Write(port, first.data(), first.size()), 100u);
    rig.bus.Drain();
    ASSERT_EQ(rig.firmware.TakeTransmitted(2), first);

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(2), true);
    Frame second;
    for (int i = 0; i < 50; i++)
        second.push_back(static_cast<uint8_t>('a' + i % 26));
    ASSERT_EQ(host.Write(port, second.data(), second.size()), 50u);
    rig.bus.Drain();
    ASSERT_NE(rig.Port(2)->WriteIrp, nullptr);
    size_t logged = rig.bus.Log().size();
    int resets = rig.firmware.ResetCount(sim::adapter::PortOut(2));

    EXPECT_TRUE(host.StartWrite(port));
    auto fresh = LogSince(logged);
    ASSERT_EQ(fresh.size(), 2u);  // the new write waits on the held pipe
    EXPECT_EQ(fresh[0].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(fresh[0].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(fresh[0].endpoint, sim::adapter::PortOut(2));
    EXPECT_EQ(fresh[1].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(fresh[1].endpoint, sim::adapter::PortOut(2));
    EXPECT_EQ(rig.firmware.ResetCount(sim::adapter::PortOut(2)), resets + 1);
    EXPECT_EQ(port.Buffers().TxReadIndex, 100u);
    EXPECT_EQ(port.Buffers().TxCount, 50u);
    EXPECT_NE(rig.Port(2)->WriteIrp, nullptr);
    EXPECT_EQ(port.TxIdle(), 0u);

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(2), false);
    rig.bus.Drain();
    EXPECT_EQ(rig.firmware.TakeTransmitted(2), second);
    EXPECT_EQ(port.Buffers().TxReadIndex, (100u + 50u) % 128u);
    EXPECT_EQ(port.Buffers().TxCount, 0u);
    EXPECT_EQ(host.Unsent(port), 0u);
    EXPECT_EQ(adapter->IoRefCount, 1);
}

// The last close ends the command channel's requests itself; a close while
// another port stays open leaves both alone. The command pipe is held so
// that CMD_CLOSE stays in flight, unanswered, and no RSP_DONE comes to end
// the response read: only the close's cancels can end them.
struct CloseRow {
    std::vector<int> open;
    std::vector<uint8_t> cancelled;  // the endpoints, in order
};
class CommandRequestsAtCloseTest : public ServiceRoutinesTest, public testing::WithParamInterface<CloseRow> {};

TEST_P(CommandRequestsAtCloseTest, OnlyTheLastCloseCancelsTheCommandRequestsOnTheBus)
{
    const CloseRow &row = GetParam();
    for (int number : row.open)
        ASSERT_TRUE(host.Open(rig.HostPort(number)));  // never bound: no read to drain
    rig.bus.Drain();
    ASSERT_TRUE(ReaderRunning());
    rig.firmware.HoldEndpoint(kCommandOut, true);
    size_t logged = rig.bus.Log().size();

    EXPECT_TRUE(host.Close(rig.HostPort(1)));
    EXPECT_EQ(Now(), kSecond);  // the unanswered close
    rig.bus.Drain();
    std::vector<uint8_t> cancelled;
    for (const auto &record : LogSince(logged))
        if (record.status == USBD_STATUS_CANCELED)
            cancelled.push_back(record.endpoint);
    std::sort(cancelled.begin(), cancelled.end());
    EXPECT_EQ(cancelled, row.cancelled);
    const bool last = row.open.size() == 1;
    EXPECT_EQ(ReaderRunning(), !last);
    EXPECT_EQ(adapter->CommandOutIrp == nullptr, last);  // else CMD_CLOSE, still held
    EXPECT_EQ(rig.bus.PendingTransfers() == 0, last);

    rig.firmware.HoldEndpoint(kCommandOut, false);
    rig.bus.Drain();
    for (int number : row.open)
        EXPECT_EQ(host.Close(rig.HostPort(number)), number != 1) << number;
    EXPECT_FALSE(ReaderRunning());
    EXPECT_EQ(adapter->CommandOutIrp, nullptr);
    EXPECT_EQ(adapter->OpenPortCount, 0u);
    EXPECT_EQ(adapter->IoRefCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Ports, CommandRequestsAtCloseTest,
                         testing::Values(CloseRow{{1}, {kCommandOut, kCommandIn}}, CloseRow{{1, 2}, {}}));

}  // namespace
