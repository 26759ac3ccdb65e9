// The command channel against the simulated firmware: framing, order, one
// write at a time, the per-port answer waits, and the stopped channel.
#include <gtest/gtest.h>

#include "driver/command/command_queue.h"
#include "driver/command/response_reader.h"
#include "driver/usb/transport.h"
#include "sim/kernel/resources.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using Frame = std::vector<uint8_t>;
using sim::ResourceKind;
using sim::Resources;
using sim::adapter::AnswerMode;

constexpr ULONGLONG kSecond = 10'000'000;

class CommandChannelTest : public testing_support::SimTest {
protected:
    // An open port keeps the response reader running, as in real use.
    CommandChannelTest()
    {
        EXPECT_TRUE(rig.host.Open(rig.HostPort(4)));
        base = Commands().size();
    }
    // The commands written since the fixture opened its port.
    std::vector<Frame> Commands()
    {
        rig.bus.Drain();
        auto all = rig.firmware.Commands();
        return std::vector<Frame>(all.begin() + static_cast<long>(base), all.end());
    }

    BOOLEAN Queue(UCHAR code, Frame payload)
    {
        return QueueCommand(adapter, code, payload.data(), static_cast<ULONG>(payload.size()));
    }
    static ULONGLONG Now() { return KeQueryInterruptTime(); }
    // Sets a flag of the adapter's as the driver does, under its lock.
    void SetFlag(BOOLEAN &flag, BOOLEAN value)
    {
        LockAcquire(&adapter->Lock);
        flag = value;
        LockRelease(&adapter->Lock);
    }
    size_t Queued()
    {
        size_t n = 0;
        LockAcquire(&adapter->Lock);
        for (PLIST_ENTRY e = adapter->CommandQueue.Flink; e != &adapter->CommandQueue; e = e->Flink)
            n++;
        LockRelease(&adapter->Lock);
        return n;
    }

    testing_support::FirmwareRig rig;
    AdapterContext *adapter = rig.adapter;
    size_t base = 0;
};

TEST_F(CommandChannelTest, PortNumberOutsideOneToFourIsRefusedAndNothingChanges)
{
    KeSetEvent(&rig.Port(1)->CommandDoneEvent, EVENT_INCREMENT, FALSE);
    EXPECT_FALSE(Queue(CMD_OPEN, {0}));
    EXPECT_FALSE(Queue(CMD_OPEN, {5}));
    EXPECT_FALSE(Queue(CMD_ECHO, {0xFF, 1, 'x'}));
    rig.bus.Drain();
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(KeReadStateEvent(&rig.Port(1)->CommandDoneEvent), 1);
    EXPECT_EQ(Now(), 0u);
}

TEST_F(CommandChannelTest, FramesAreCodeThenPayloadInOneTransfer)
{
    EXPECT_TRUE(Queue(CMD_SETUP, Frame(rig.Port(2)->PortSettings, rig.Port(2)->PortSettings + 13)));
    EXPECT_TRUE(Queue(CMD_ECHO, {3, 4, 'B', 'O', 'N', 'G'}));
    EXPECT_TRUE(Queue(CMD_SET_DTR, {4, 1}));
    rig.bus.Drain();
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].size(), 14u);
    EXPECT_EQ(commands[0][0], CMD_SETUP);
    EXPECT_EQ(Frame(commands[0].begin() + 1, commands[0].end()),
              Frame(rig.Port(2)->PortSettings, rig.Port(2)->PortSettings + 13));
    EXPECT_EQ(commands[1], (Frame{CMD_ECHO, 3, 4, 'B', 'O', 'N', 'G'}));
    EXPECT_EQ(commands[2], (Frame{CMD_SET_DTR, 4, 1}));
}

TEST_F(CommandChannelTest, CommandsWithoutAnAnswerToAwaitReturnAtOnce)
{
    rig.firmware.SetAnswerMode(AnswerMode::Silent);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'z'}));
    Frame info(GET_INFO_PAYLOAD_SIZE, 0);
    info[0] = 1;
    EXPECT_TRUE(Queue(CMD_GET_INFO, info));
    EXPECT_EQ(Now(), 0u);
}

TEST_F(CommandChannelTest, UnansweredCommandTimesOutAfterOneSecondAndTheChannelGoesOn)
{
    rig.firmware.SetAnswerMode(AnswerMode::Silent);
    EXPECT_FALSE(Queue(CMD_OPEN, {1}));
    EXPECT_EQ(Now(), kSecond);
    EXPECT_FALSE(Queue(CMD_GET_STATUS, {2}));
    EXPECT_EQ(Now(), 2 * kSecond);

    rig.firmware.SetAnswerMode(AnswerMode::Normal);
    EXPECT_TRUE(Queue(CMD_CLOSE, {1}));
    EXPECT_EQ(Commands().size(), 3u);
    EXPECT_FALSE(adapter->CommandBusy);
}

TEST_F(CommandChannelTest, WritesGoOneAtATimeInQueueOrder)
{
    // The device takes no command for now: the first write stays in flight
    // and the others wait in the queue behind it.
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, true);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'a'}));
    EXPECT_TRUE(Queue(CMD_ECHO, {2, 1, 'b'}));
    EXPECT_TRUE(Queue(CMD_ECHO, {3, 1, 'c'}));
    rig.bus.Drain();
    EXPECT_TRUE(adapter->CommandBusy);
    EXPECT_NE(adapter->CommandOutIrp, nullptr);
    EXPECT_EQ(Queued(), 2u);
    EXPECT_TRUE(Commands().empty());

    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, false);
    rig.bus.Drain();
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][3], 'a');
    EXPECT_EQ(commands[1][3], 'b');
    EXPECT_EQ(commands[2][3], 'c');
    EXPECT_EQ(Queued(), 0u);
    EXPECT_FALSE(adapter->CommandBusy);
}

TEST_F(CommandChannelTest, AnEarlierAnswerReleasesLaterWaitersOfTheSamePortOnly)
{
    rig.firmware.SetAnswerMode(AnswerMode::Late, 6 * kSecond / 10);  // answers 0.6 s late
    ULONGLONG secondDone = 0, otherDone = 0;
    BOOLEAN second = FALSE, other = FALSE;
    sim::World::Current().OpenWindow();
    sim::Thread samePort("same port", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -1'000'000;  // queued 0.1 s after the first
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        second = Queue(CMD_SET_RTS, {1, 1});
        secondDone = Now();
    });
    sim::Thread otherPort("other port", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -1'000'000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        other = Queue(CMD_SET_RTS, {2, 1});
        otherDone = Now();
    });
    EXPECT_TRUE(Queue(CMD_SET_DTR, {1, 1}));
    EXPECT_EQ(Now(), 6 * kSecond / 10);
    samePort.Join();
    otherPort.Join();
    sim::World::Current().CloseWindow();
    EXPECT_TRUE(second);
    EXPECT_EQ(secondDone, 6 * kSecond / 10);  // released by the first command's answer
    EXPECT_TRUE(other);
    EXPECT_EQ(otherDone, 7 * kSecond / 10);  // waits for its own
}

// A failed write, or one cancelled in flight (as the last close does), loses
// its own command only: the channel sends nothing more by itself, and the
// next command sends what waited, in order, then itself.
TEST_F(CommandChannelTest, AFailedOrCancelledWritePausesTheChannelUntilTheNextCommand)
{
    rig.firmware.FailNextTransfer(sim::adapter::kCommandOut, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(Queue(CMD_OPEN, {1}));
    EXPECT_FALSE(adapter->CommandBusy);
    EXPECT_EQ(Now(), kSecond);
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(Queue(CMD_OPEN, {2}));

    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, true);
    EXPECT_TRUE(Queue(CMD_ECHO, {2, 1, 'c'}));
    EXPECT_TRUE(Queue(CMD_ECHO, {2, 1, 'q'}));
    CancelAndWait(adapter, &adapter->CommandOutIrp, NULL);
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, false);
    EXPECT_EQ(Commands().size(), 1u);  // the open; nothing went by itself
    EXPECT_EQ(Queued(), 1u);
    EXPECT_TRUE(Queue(CMD_SET_DTR, {2, 1}));
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1], (Frame{CMD_ECHO, 2, 1, 'q'}));
    EXPECT_EQ(commands[2], (Frame{CMD_SET_DTR, 2, 1}));
}

// Once removal (or a stop) has begun nothing more is queued or written: a
// command would only wait for a channel that is going away. The caller hears
// that it was not sent.
TEST_F(CommandChannelTest, AfterRemovalOrDuringAStopNothingIsQueuedOrSent)
{
    UCHAR payload[] = {1, 1, 'r'};
    for (BOOLEAN *flag : {&adapter->Stopping, &adapter->Removed}) {
        SCOPED_TRACE(flag == &adapter->Stopping ? "stop" : "removal");
        SetFlag(*flag, TRUE);
        NTSTATUS status = SendCommand(adapter, CMD_ECHO, payload, sizeof(payload));
        EXPECT_EQ(status, flag == &adapter->Removed ? STATUS_DELETE_PENDING : STATUS_DEVICE_NOT_READY);
        EXPECT_TRUE(Commands().empty());
        EXPECT_EQ(Queued(), 0u);
        SetFlag(*flag, FALSE);
    }
}

TEST_F(CommandChannelTest, AWriteCompletingAfterRemovalBeganStopsTheChannel)
{
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, true);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'r'}));
    SetFlag(adapter->Removed, TRUE);
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, false);
    EXPECT_EQ(Commands().size(), 1u);
    EXPECT_TRUE(adapter->CommandBusy);
    EXPECT_EQ(adapter->CurrentCommand, nullptr);
    SetFlag(adapter->Removed, FALSE);
}

// A write that completes once a stop has begun sends nothing more: what is
// queued behind it waits for the restart, which resets the channel, and the
// channel is left idle rather than busy with a write that never comes.
TEST_F(CommandChannelTest, AWriteCompletingDuringAStopSendsNothingMore)
{
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, true);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'a'}));
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'b'}));
    rig.SetStopping(TRUE);
    rig.firmware.HoldEndpoint(sim::adapter::kCommandOut, false);
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0][3], 'a');
    EXPECT_FALSE(adapter->CommandBusy);
    EXPECT_EQ(adapter->CommandOutIrp, nullptr);
    EXPECT_EQ(Queued(), 1u);
    rig.SetStopping(FALSE);
}

TEST_F(CommandChannelTest, WithoutARequestTheCommandWaitsAtTheHeadOfTheQueue)
{
    Resources::Get().FailNth(ResourceKind::Irp, 1);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'x'}));
    EXPECT_FALSE(adapter->CommandBusy);
    EXPECT_EQ(Queued(), 1u);

    Resources::Get().FailNth(ResourceKind::Mdl, 1);
    EXPECT_TRUE(Queue(CMD_ECHO, {1, 1, 'y'}));
    EXPECT_EQ(Queued(), 2u);
    EXPECT_EQ(adapter->CurrentCommand, nullptr);

    EXPECT_TRUE(Queue(CMD_SET_DTR, {1, 0}));
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][3], 'x');
    EXPECT_EQ(commands[1][3], 'y');
    EXPECT_EQ(commands[2][0], CMD_SET_DTR);
}

TEST_F(CommandChannelTest, WithoutANodeNothingIsQueued)
{
    Resources::Get().FailNth(ResourceKind::Pool, 1);
    EXPECT_FALSE(Queue(CMD_OPEN, {1}));
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(Now(), 0u);
    EXPECT_TRUE(Queue(CMD_OPEN, {1}));
}

}  // namespace

namespace {

// A firmware that answers for the wrong port, with garbage, or with frames
// cut short: the waiting caller times out, nothing breaks, and the channel
// still works once the firmware behaves.
TEST_F(CommandChannelTest, MisbehavingAnswersEndInATimeOutAndNothingElse)
{
    for (AnswerMode mode : {AnswerMode::WrongPort, AnswerMode::Garbage, AnswerMode::Short}) {
        rig.firmware.SetAnswerMode(mode);
        ULONGLONG start = Now();
        EXPECT_FALSE(Queue(CMD_SET_DTR, {1, 1})) << int(mode);
        EXPECT_EQ(Now() - start, kSecond) << int(mode);
    }
    rig.firmware.SetAnswerMode(AnswerMode::Normal);
    EXPECT_TRUE(Queue(CMD_SET_DTR, {1, 0}));
    EXPECT_FALSE(adapter->CommandBusy);
}

}  // namespace
