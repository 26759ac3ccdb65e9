// Firmware responses: what each frame does, frames that name bad or closed
// ports, and when the reader re-arms and when it stops.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/command/command_queue.h"
#include "driver/command/response_reader.h"
#include "driver/usb/transport.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using Frame = std::vector<uint8_t>;

class ResponseReaderTest : public testing_support::SimTest {
protected:
    ResponseReaderTest() { ErrorStats[ERROR_STAT_BAD_RESPONSE_PORT] = 0; }

    // Feeds a frame and lets the reader take it.
    void Feed(Frame frame)
    {
        rig.firmware.SendResponse(std::move(frame));
        rig.bus.Drain();
    }
    bool Signalled(KEVENT &event) { return KeReadStateEvent(&event) != 0; }
    bool ReaderRunning()
    {
        LockAcquire(&adapter->Lock);
        bool running = adapter->CommandInIrp != nullptr;
        LockRelease(&adapter->Lock);
        return running;
    }
    // A port that is open and bound, with its host records in place.
    void OpenAndBind(int number) { rig.OpenAndBind(number); }

    testing_support::FirmwareRig rig;
    AdapterContext *adapter = rig.adapter;
};

TEST_F(ResponseReaderTest, DoneSignalsThePortInByteTwoWhateverByteOne)
{
    StartResponseReader(adapter, nullptr);
    Feed({RSP_DONE, 0x99, 3});
    EXPECT_TRUE(Signalled(rig.Port(3)->CommandDoneEvent));
    EXPECT_FALSE(Signalled(rig.Port(1)->CommandDoneEvent));

    KeClearEvent(&rig.Port(3)->CommandDoneEvent);
    StartResponseReader(adapter, nullptr);  // the reader stopped at that answer: no port is open
    Feed({RSP_DONE, 3, 0});
    Feed({RSP_DONE, 3, 5});
    for (int p = 1; p <= 4; p++)
        EXPECT_FALSE(Signalled(rig.Port(p)->CommandDoneEvent));
    EXPECT_EQ(ErrorStats[ERROR_STAT_BAD_RESPONSE_PORT], 0u);
}

// A frame is taken only as far as it arrived: the buffer beyond a short
// transfer still holds an earlier frame's bytes, which must not be dispatched
// again as if the device had sent them.
TEST_F(ResponseReaderTest, FramesCutShortOrEmptyAreDroppedNotFilledFromTheLastFrame)
{
    OpenAndBind(2);
    size_t before = rig.HostPort(2).Events().size();
    Feed({RSP_EVENT, 2, 0x01, 0xB0});
    ASSERT_EQ(rig.HostPort(2).Events().size(), before + 1);
    Feed({});
    Feed({RSP_EVENT});
    Feed({RSP_EVENT, 2, 0x01});
    EXPECT_EQ(rig.HostPort(2).Events().size(), before + 1);
    KeClearEvent(&rig.Port(2)->CommandDoneEvent);
    Feed({RSP_DONE, 0, 2});
    Feed({RSP_DONE, 0});
    EXPECT_TRUE(Signalled(rig.Port(2)->CommandDoneEvent));
    KeClearEvent(&rig.Port(2)->CommandDoneEvent);
    Feed({RSP_DONE, 0});
    EXPECT_FALSE(Signalled(rig.Port(2)->CommandDoneEvent));
    EXPECT_TRUE(ReaderRunning());
}

TEST_F(ResponseReaderTest, InformationAndAdapterStatusBlocksAreStoredAndSignalled)
{
    StartResponseReader(adapter, nullptr);
    Frame info(36);
    for (int i = 1; i < 36; i++)
        info[i] = static_cast<uint8_t>(i);
    info[0] = RSP_INFO;
    Feed(info);
    EXPECT_TRUE(Signalled(adapter->FirmwareInfoEvent));
    EXPECT_EQ(std::memcmp(adapter->FirmwareInfo, info.data() + 1, 35), 0);

    Frame status(20, 0x5A);
    status[0] = RSP_ADAPTER_STATUS;
    Feed(status);
    EXPECT_TRUE(Signalled(adapter->StatusEvent));
    EXPECT_EQ(adapter->StatusBlock[18], 0x5A);
    EXPECT_TRUE(ReaderRunning());  // no port open, but no answer to a command read yet
}

TEST_F(ResponseReaderTest, StatusWhileTheBindIsPendingOnlyEndsTheWait)
{
    ASSERT_TRUE(rig.host.Open(rig.HostPort(2)));
    PortContext *port = rig.Port(2);
    ASSERT_TRUE(port->BindPending);
    Feed({RSP_STATUS, 2, 1, 0x30, 7, 8, 9});
    EXPECT_TRUE(Signalled(port->PortStatusEvent));
    EXPECT_EQ(port->LastEvent.PortNumber, 0);
    EXPECT_EQ(port->ModemStatus, 0);  // a status never changes the modem status
}

TEST_F(ResponseReaderTest, StatusForABoundPortReachesTheHostWhole)
{
    OpenAndBind(2);
    size_t before = rig.HostPort(2).Events().size();
    KeClearEvent(&rig.Port(2)->PortStatusEvent);
    Feed({RSP_STATUS, 2, 0x21, 0x30, 7, 8, 9});
    auto events = rig.HostPort(2).Events();
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(std::memcmp(&events.back(), "\x02\x21\x30\x07\x08\x09", 6), 0);
    EXPECT_EQ(std::memcmp(&rig.Port(2)->LastEvent, "\x02\x21\x30\x07\x08\x09", 6), 0);
    EXPECT_TRUE(Signalled(rig.Port(2)->PortStatusEvent));
    EXPECT_EQ(rig.Port(2)->ModemStatus, 0);
}

TEST_F(ResponseReaderTest, FramesForAClosedPortDoNothingAndItsStatusRequestTimesOut)
{
    OpenAndBind(1);  // keeps the reader running
    StartResponseReader(adapter, nullptr);
    Feed({RSP_STATUS, 3, 1, 0x30, 0, 0, 0});
    Feed({RSP_EVENT, 3, 1, 0x30});
    EXPECT_FALSE(Signalled(rig.Port(3)->PortStatusEvent));
    EXPECT_EQ(rig.Port(3)->ModemStatus, 0);
    UCHAR port = 3;
    EXPECT_FALSE(QueueCommand(adapter, CMD_GET_STATUS, &port, 1));
    EXPECT_EQ(KeQueryInterruptTime(), 10'000'000u);
}

TEST_F(ResponseReaderTest, EventsUpdateOneSlotChosenByTheLowestFlagBit)
{
    OpenAndBind(4);
    PortContext *port = rig.Port(4);
    Feed({RSP_EVENT, 4, 0x01, 0xB0});
    EXPECT_EQ(port->ModemStatus, 0xB0);
    Feed({RSP_EVENT, 4, 0x06, 0x44});  // bits 1 and 2: only slot 1
    EXPECT_EQ(port->LastEvent.Values[1], 0x44);
    EXPECT_EQ(port->LastEvent.Values[2], 0);
    EXPECT_EQ(port->LastEvent.Values[0], 0xB0);
    EXPECT_EQ(port->ModemStatus, 0xB0);
    Feed({RSP_EVENT, 4, 0x08, 0x55});
    EXPECT_EQ(port->LastEvent.Values[3], 0x55);

    size_t before = rig.HostPort(4).Events().size();
    Feed({RSP_EVENT, 4, 0x10, 0x66});  // no slot, but the host still hears of it
    auto events = rig.HostPort(4).Events();
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events.back().Flags, 0x10);
    EXPECT_EQ(std::memcmp(events.back().Values, "\xB0\x44\x00\x55", 4), 0);
    EXPECT_EQ(port->ModemStatus, 0xB0);
}

TEST_F(ResponseReaderTest, ASecondStartLeavesTheReadInFlightAlone)
{
    EXPECT_TRUE(NT_SUCCESS(StartResponseReader(adapter, nullptr)));
    rig.bus.Drain();
    PIRP first = adapter->CommandInIrp;
    EXPECT_EQ(StartResponseReader(adapter, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(adapter->CommandInIrp, first);
    Feed({RSP_DONE, 0, 1});
    EXPECT_FALSE(ReaderRunning());
}

TEST_F(ResponseReaderTest, FailedReadOrRemovalStopsTheReaderWithoutDispatching)
{
    StartResponseReader(adapter, nullptr);
    rig.firmware.FailNextTransfer(sim::adapter::kCommandIn, USBD_STATUS_DEV_NOT_RESPONDING);
    rig.bus.Drain();
    EXPECT_FALSE(ReaderRunning());

    StartResponseReader(adapter, nullptr);
    LockAcquire(&adapter->Lock);
    adapter->Removed = TRUE;
    LockRelease(&adapter->Lock);
    Feed({RSP_DONE, 0, 1});
    EXPECT_FALSE(ReaderRunning());
    EXPECT_FALSE(KeReadStateEvent(&rig.Port(1)->CommandDoneEvent));
}

// A response read that completes once a stop has begun is dispatched (its
// waiter hears the answer) but starts no next read behind the stop's cancels.
TEST_F(ResponseReaderTest, AResponseReadCompletingDuringAStopIsDispatchedButNotReArmed)
{
    OpenAndBind(1);
    rig.bus.Drain();
    ASSERT_TRUE(ReaderRunning());
    KeClearEvent(&rig.Port(1)->CommandDoneEvent);
    rig.SetStopping(TRUE);
    Feed({RSP_DONE, 0, 1});
    EXPECT_TRUE(Signalled(rig.Port(1)->CommandDoneEvent));
    EXPECT_FALSE(ReaderRunning());
    rig.SetStopping(FALSE);
}

// With no port open the reader stops after the first done; with one open it
// reads on past done, past frames that name no port (counted and ignored)
// and past short or garbage frames. A done for port 2, fed last, shows
// whether it still reads.
struct ReadOnRow {
    int openPort;  // 0: none, the reader started by hand
    std::vector<Frame> frames;
    bool readsOn;
    ULONG badPortFrames;
};
class ReadOnTest : public ResponseReaderTest, public testing::WithParamInterface<ReadOnRow> {};

TEST_P(ReadOnTest, TheReaderStopsAtADoneOnlyWithNoPortOpen)
{
    const ReadOnRow &row = GetParam();
    if (row.openPort)
        OpenAndBind(row.openPort);
    else
        StartResponseReader(adapter, nullptr);
    size_t events = row.openPort ? rig.HostPort(row.openPort).Events().size() : 0;
    for (const Frame &frame : row.frames)
        Feed(frame);
    EXPECT_EQ(ReaderRunning(), row.readsOn);
    EXPECT_EQ(ErrorStats[ERROR_STAT_BAD_RESPONSE_PORT], row.badPortFrames);
    KeClearEvent(&rig.Port(2)->CommandDoneEvent);
    Feed({RSP_DONE, 0, 2});
    EXPECT_EQ(Signalled(rig.Port(2)->CommandDoneEvent), row.readsOn);
    if (row.openPort) {
        EXPECT_EQ(rig.HostPort(row.openPort).Events().size(), events);
        EXPECT_TRUE(rig.host.Close(rig.HostPort(row.openPort)));
    }
}

const Frame kStatus1 = {RSP_STATUS, 1, 0, 0, 0, 0, 0};
const std::vector<Frame> kNamingNoPort = {
    {RSP_STATUS, 0, 1, 2, 3, 4, 5}, {RSP_STATUS, 5, 1, 2, 3, 4, 5}, {RSP_EVENT, 0, 1, 0x10}, {RSP_EVENT, 200, 1, 0x10}};
INSTANTIATE_TEST_SUITE_P(
    Frames, ReadOnTest,
    testing::Values(ReadOnRow{0, {{RSP_INFO}, kStatus1, {0x42}}, true, 0},  // unknown codes are ignored
                    ReadOnRow{0, {{RSP_INFO}, kStatus1, {0x42}, {RSP_DONE, 0, 1}}, false, 0},
                    ReadOnRow{1, {{RSP_DONE, 0, 2}, {RSP_DONE, 0, 3}}, true, 0}, ReadOnRow{1, kNamingNoPort, true, 4},
                    ReadOnRow{1, {{}, {RSP_STATUS}, {RSP_EVENT, 1}, Frame(64, 0xFF), Frame(64, RSP_INFO)}, true, 0}));

}  // namespace
