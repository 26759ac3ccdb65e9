// Calls the host may make at the same time for one port, and stops that come
// in the middle of a port's work. Each race is driven into its bad order on
// purpose: a second caller enters while the first waits for the firmware's
// late answer, so the outcome does not depend on luck.
#include <gtest/gtest.h>

#include <array>

#include "driver/command/command_queue.h"
#include "driver/usb/transport.h"
#include "lifecycle_support.h"
#include "sim/kernel/resources.h"

namespace {

using sim::ResourceKind;
using sim::Resources;
using sim::adapter::AnswerMode;
using testing_support::LifecycleTest;

constexpr ULONGLONG kSecond = 10'000'000;

void Sleep(ULONGLONG ticks)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

class SamePortTest : public LifecycleTest {
protected:
    SamePortTest()
    {
        device = &PlugAdapter("SP1");
        adapter = Adapter(*device);
        host = Host("SP1");
        firmware = static_cast<sim::adapter::MainFirmware *>(models.back().get());
    }
    sim::host::HostPort &Port(int index) { return *HostPort("SP1", index); }
    ULONG OpenCount()
    {
        LockAcquire(&adapter->Lock);
        ULONG count = adapter->OpenPortCount;
        LockRelease(&adapter->Lock);
        return count;
    }

    sim::pnp::Device *device = nullptr;
    AdapterContext *adapter = nullptr;
    sim::host::HostSerialDriver *host = nullptr;
    sim::adapter::MainFirmware *firmware = nullptr;
};

// The second open arrives while the first waits for CMD_OPEN's answer: the
// port is not open yet, but it is taken.
TEST_F(SamePortTest, OfTwoOpensOfOnePortOnlyTheFirstSucceeds)
{
    firmware->SetAnswerMode(AnswerMode::Late, 6 * kSecond / 10);
    bool second = true;
    sim::World::Current().OpenWindow();
    sim::Thread other("second open", [&] {
        Sleep(kSecond / 10);
        second = host->Open(Port(0));
    });
    EXPECT_TRUE(host->Open(Port(0)));
    other.Join();
    sim::World::Current().CloseWindow();
    EXPECT_FALSE(second);
    EXPECT_EQ(OpenCount(), 1u);

    firmware->SetAnswerMode(AnswerMode::Normal);
    EXPECT_TRUE(host->Close(Port(0)));
    EXPECT_EQ(OpenCount(), 0u);
    EXPECT_FALSE(pnp->Remove(*device).Refused());
}

// Both closes have looked the port up (it was open) before either could
// take the mutex, which a close of another port holds meanwhile.
TEST_F(SamePortTest, OfTwoClosesOfOnePortOnlyTheFirstSucceedsAndTheCountStaysTrue)
{
    ASSERT_TRUE(host->Open(Port(0)));
    ASSERT_TRUE(host->Open(Port(1)));
    ASSERT_TRUE(host->Open(Port(2)));
    firmware->SetAnswerMode(AnswerMode::Late, 6 * kSecond / 10);
    bool first = false, second = false;
    sim::World::Current().OpenWindow();
    sim::Thread blocker("close of another port", [&] { host->Close(Port(1)); });
    sim::Thread a("first close", [&] {
        Sleep(kSecond / 10);
        first = host->Close(Port(0));
    });
    sim::Thread b("second close", [&] {
        Sleep(kSecond / 10);
        second = host->Close(Port(0));
    });
    blocker.Join();
    a.Join();
    b.Join();
    sim::World::Current().CloseWindow();
    EXPECT_NE(first, second);
    // Port 2 is still open: the count must say so, and removal must wait.
    EXPECT_EQ(OpenCount(), 1u);
    firmware->SetAnswerMode(AnswerMode::Normal);
    EXPECT_TRUE(pnp->Remove(*device).Refused());
    EXPECT_TRUE(host->Close(Port(2)));
    EXPECT_EQ(OpenCount(), 0u);
}

// An open and a close of one port at once: the close either finds the port
// open and closes it, or finds it not yet open and refuses; the count ends
// true either way.
TEST_F(SamePortTest, AnOpenAndACloseOfOnePortAtOnceLeaveATrueCount)
{
    firmware->SetAnswerMode(AnswerMode::Late, 3 * kSecond / 10);
    sim::World::Current().OpenWindow();
    for (uint64_t stagger : std::initializer_list<uint64_t>{0, kSecond / 10, 4 * kSecond / 10}) {
        bool closed = false;
        sim::Thread closer("close", [&] {
            Sleep(stagger);
            closed = host->Close(Port(0));
        });
        bool opened = host->Open(Port(0));
        closer.Join();
        EXPECT_TRUE(opened) << stagger;
        ULONG expected = (opened && !closed) ? 1u : 0u;
        EXPECT_EQ(OpenCount(), expected) << stagger;
        if (expected) {
            EXPECT_TRUE(host->Close(Port(0)));
        }
    }
    sim::World::Current().CloseWindow();
}

// Pipe resets of one port from two callers at once (a restarted write and a
// purge, say). The device holds every reset until the test lets it go, one
// at a time; each caller must wait for its own request only.
class HeldResetFirmware : public sim::adapter::MainFirmware {
public:
    using MainFirmware::MainFirmware;
    void ResetPipe(uint8_t endpoint) override
    {
        auto &scheduler = sim::Scheduler::Get();
        int mine = scheduler.Change([&] { return hold ? ++entered : 0; });
        if (mine)
            scheduler.Block([&] { return released >= mine; }, std::nullopt, "the test to release a pipe reset");
        MainFirmware::ResetPipe(endpoint);
    }
    void Hold(bool on)
    {
        sim::Scheduler::Get().Change([&] { hold = on; });
    }
    void ReleaseOne()
    {
        sim::Scheduler::Get().Change([&] { released++; });
    }
    int Entered()
    {
        return sim::Scheduler::Get().Read([&] { return entered; });
    }

private:
    bool hold = false;
    int entered = 0;
    int released = 0;
};

class PipeResetRaceTest : public LifecycleTest {};

TEST_F(PipeResetRaceTest, TwoResetsOfOnePortEachWaitForTheirOwnRequest)
{
    models.push_back(std::make_unique<HeldResetFirmware>("RR1"));
    auto &firmware = static_cast<HeldResetFirmware &>(*models.back());
    auto plugged = pnp->Plug(firmware);
    ASSERT_EQ(plugged.status, STATUS_SUCCESS);
    auto &host = *Host("RR1");
    auto &port = *HostPort("RR1", 0);
    ASSERT_TRUE(host.Open(port));
    ASSERT_TRUE(host.Bind(port, 256, 256));
    firmware.ConnectEndpoint(1);

    // A write in flight that the device holds and whose cancel the bus
    // keeps: both callers find it, cancel it and reset the pipe.
    firmware.HoldEndpoint(sim::adapter::PortOut(1), true);
    plugged.device->Bus().SetCancelMode(sim::usb::CancelMode::Hold);
    const uint8_t bytes[] = {'x', 'y', 'z'};
    ASSERT_EQ(host.Write(port, bytes, sizeof(bytes)), sizeof(bytes));
    // The write must be the bus's (waiting on the held endpoint, its cancel
    // routine set) before anyone cancels it; a cancel that comes first ends
    // it at once, and the second caller would find nothing to cancel.
    plugged.device->Bus().Drain();
    firmware.Hold(true);
    ULONG purge = SERIAL_PURGE_TXABORT;
    bool purged = false, restarted = false;
    sim::World::Current().OpenWindow();
    sim::Thread purger("purge",
                       [&] { purged = host.Control(port, IOCTL_SERIAL_PURGE, &purge, sizeof(purge), nullptr, 0); });
    sim::Thread writer("restart write", [&] {
        Sleep(kSecond / 10);
        restarted = host.StartWrite(port);
    });
    // Both resets are down by now, the first inside the device, the second
    // queued behind it. The first completes; the second caller must go on
    // waiting while its own request is still the bus's (it is held next).
    Sleep(2 * kSecond);
    firmware.ReleaseOne();
    Sleep(2 * kSecond);
    EXPECT_EQ(firmware.Entered(), 2);
    firmware.ReleaseOne();
    purger.Join();
    writer.Join();
    sim::World::Current().CloseWindow();
    EXPECT_TRUE(purged);
    EXPECT_TRUE(restarted);
    EXPECT_EQ(firmware.ResetCount(sim::adapter::PortOut(1)), 3);  // the open's, then both

    plugged.device->Bus().SetCancelMode(sim::usb::CancelMode::Controller);
    plugged.device->Bus().ReleaseHeldCancelled();
    firmware.HoldEndpoint(sim::adapter::PortOut(1), false);
    EXPECT_TRUE(host.StartWrite(port));
    plugged.device->Bus().Drain();
    EXPECT_EQ(firmware.TakeTransmitted(1), std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));
    EXPECT_TRUE(host.Close(port));
}

// A stop while the loopback keeps every port read completing with data: no
// read may re-arm behind the stop's cancel, and the restart must not wait
// for ever on a transfer left on the old configuration.
TEST_F(SamePortTest, StopAndRestartUnderTrafficAlwaysComeBack)
{
    for (int round = 0; round < 10; round++) {
        for (int index = 0; index < 4; index++) {
            firmware->ConnectLoopback(index + 1);
            ASSERT_TRUE(host->Open(Port(index))) << round;
            ASSERT_TRUE(host->Bind(Port(index), 4096, 4096)) << round;
            std::vector<uint8_t> data(1000, static_cast<uint8_t>(round));
            host->Write(Port(index), data.data(), data.size());
        }
        if (round == 9)  // the last stop under traffic is the race searched
            sim::World::Current().OpenWindow();
        ASSERT_FALSE(pnp->Stop(*device).Refused()) << round;
        ASSERT_EQ(pnp->Restart(*device), STATUS_SUCCESS) << round;
        if (round == 9)
            sim::World::Current().CloseWindow();
        EXPECT_EQ(OpenCount(), 0u);
        for (int index = 0; index < 4; index++) {
            // Every port comes back closed, and opens again.
            EXPECT_FALSE(host->Close(Port(index)));
            ASSERT_TRUE(host->Open(Port(index))) << round;
            EXPECT_TRUE(host->Close(Port(index))) << round;
        }
    }
    EXPECT_FALSE(pnp->Remove(*device).Refused());
}

// A lower driver that never finishes a cancelled port read: the restart
// must not wait for it for ever, nor reuse the buffer the bus still holds.
// It fails; once the bus lets the read go, the next start works.
TEST_F(SamePortTest, ARestartWithATransferTheBusKeepsFailsInsteadOfHanging)
{
    pnp->SetRemoveAfterFailedStart(false);
    ASSERT_TRUE(host->Open(Port(0)));
    ASSERT_TRUE(host->Bind(Port(0), 4096, 4096));
    device->Bus().SetCancelMode(sim::usb::CancelMode::Hold);
    ASSERT_FALSE(pnp->Stop(*device).Refused());
    EXPECT_EQ(device->Bus().HeldCancelled(), 1u);
    ULONGLONG start = Now();
    EXPECT_EQ(pnp->Restart(*device), STATUS_DEVICE_BUSY);
    EXPECT_LE(Now() - start, 10 * kSecond);
    device->Bus().SetCancelMode(sim::usb::CancelMode::Controller);
    device->Bus().ReleaseHeldCancelled();
    device->Bus().Drain();
    EXPECT_EQ(pnp->Restart(*device), STATUS_SUCCESS);
    ASSERT_TRUE(host->Open(Port(0)));
    EXPECT_TRUE(host->Close(Port(0)));
}

// A close that straddles a stop and the restart: it holds the open/close
// mutex across its waits; the restart must neither re-initialise that mutex
// nor let the close count the port off a second time.
TEST_F(SamePortTest, ACloseStraddlingAStopAndRestartLeavesATrueCount)
{
    ASSERT_TRUE(host->Open(Port(0)));
    ASSERT_TRUE(host->Open(Port(1)));
    firmware->SetAnswerMode(AnswerMode::Silent);
    bool closed = false;
    sim::World::Current().OpenWindow();
    sim::Thread closer("close", [&] { closed = host->Close(Port(0)); });
    Sleep(kSecond / 10);
    firmware->SetAnswerMode(AnswerMode::Normal);
    ASSERT_FALSE(pnp->Stop(*device).Refused());
    ASSERT_EQ(pnp->Restart(*device), STATUS_SUCCESS);
    closer.Join();
    sim::World::Current().CloseWindow();
    EXPECT_TRUE(closed);
    EXPECT_EQ(OpenCount(), 0u);
    ASSERT_TRUE(host->Open(Port(1)));
    EXPECT_EQ(OpenCount(), 1u);
    EXPECT_TRUE(host->Close(Port(1)));
    EXPECT_FALSE(pnp->Remove(*device).Refused());
}

// A setting whose command cannot even be queued was not applied: the host
// must hear it, not be told all is well, and the get request must not
// report it either. The same request with pool to be had is applied.
TEST_F(SamePortTest, ASettingThatCouldNotBeSentIsReportedNotAppliedAndNotKept)
{
    ASSERT_TRUE(host->Open(Port(0)));
    ASSERT_TRUE(host->Bind(Port(0), 256, 256));
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
    flow.FlowReplace = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT;
    ULONG baud = 115200;
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    struct Row {
        ULONG set;
        void *input;
        ULONG length;
        ULONG get;  // 0: nothing is kept to read back
    };
    for (const Row &row : {Row{IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), IOCTL_SERIAL_GET_HANDFLOW},
                           Row{IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), IOCTL_SERIAL_GET_BAUD_RATE},
                           Row{IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), IOCTL_SERIAL_GET_LINE_CONTROL},
                           Row{IOCTL_SERIAL_SET_DTR, nullptr, 0, 0}}) {
        auto readBack = [&] {
            std::array<uint8_t, 16> value{};
            if (row.get)
                host->Control(Port(0), row.get, nullptr, 0, value.data(), ULONG(value.size()));
            return value;
        };
        const auto before = readBack();
        Resources::Get().FailNth(ResourceKind::Pool, 1, POOL_TAG);
        EXPECT_FALSE(host->Control(Port(0), row.set, row.input, row.length, nullptr, 0)) << row.set;
        EXPECT_EQ(readBack(), before) << row.set;
        EXPECT_TRUE(host->Control(Port(0), row.set, row.input, row.length, nullptr, 0)) << row.set;
        if (row.get) {
            EXPECT_NE(readBack(), before) << row.set;
        }
    }
    EXPECT_EQ(firmware->Port(1).line.baud, 115200u);
    EXPECT_TRUE(host->Close(Port(0)));
}

// The response reader's re-arm fails once (no request to be had); the next
// command starts it again, so answers keep arriving for every port.
TEST_F(SamePortTest, AFailedReArmOfTheResponseReaderDoesNotStallTheCommands)
{
    ASSERT_TRUE(host->Open(Port(0)));
    ASSERT_TRUE(host->Open(Port(1)));
    // The next request the driver allocates is the reader's re-arm after the
    // answer to this DTR command: it fails.
    firmware->SetAnswerMode(AnswerMode::Late, kSecond / 10);
    sim::World::Current().OpenWindow();
    sim::Thread failer("fault", [&] {
        Sleep(kSecond / 20);
        Resources::Get().FailNth(ResourceKind::Irp, 1);
    });
    EXPECT_TRUE(host->Control(Port(0), IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0));
    failer.Join();
    device->Bus().Drain();
    sim::World::Current().CloseWindow();
    LockAcquire(&adapter->Lock);
    EXPECT_EQ(adapter->CommandInIrp, nullptr);
    LockRelease(&adapter->Lock);
    firmware->SetAnswerMode(AnswerMode::Normal);
    ULONGLONG start = Now();
    EXPECT_TRUE(host->Control(Port(1), IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0));
    EXPECT_TRUE(host->Close(Port(0)));
    EXPECT_TRUE(host->Close(Port(1)));
    EXPECT_LT(Now() - start, kSecond);
}

}  // namespace
